// Control numbers on widgets: every control made from a window template carries its number from
// res/resource.h as the "controlId" property, and code finds a control by that number.
#pragma once

#include <QList>
#include <QVariant>
#include <QWidget>

inline constexpr const char* kControlIdProperty = "controlId";

inline void SetControlId(QWidget* widget, int id) {
    widget->setProperty(kControlIdProperty, id);
}

inline int GetControlId(const QWidget* widget) {
    const QVariant v = widget->property(kControlIdProperty);
    return v.isValid() ? v.toInt() : 0;
}

// The first child of root (at any depth) of type T whose control number is id; nullptr if none.
template <class T = QWidget>
T* FindControl(const QWidget* root, int id) {
    const QList<T*> children = root->findChildren<T*>();
    for (T* child : children) {
        if (GetControlId(child) == id)
            return child;
    }
    return nullptr;
}
