// What a user sees in Qt's own file dialog: the entries of its file-type box and the names it
// lists in a folder under one of them.
#pragma once

#include <QAbstractItemModel>
#include <QComboBox>
#include <QFileDialog>
#include <QListView>
#include <QStringList>
#include <QTest>

namespace testsupport {

// The labels of the file-type box, as shown.
inline QStringList FileTypesShown(QFileDialog* dialog) {
    QStringList labels;
    if (auto* box = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))) {
        for (int i = 0; i < box->count(); ++i) {
            labels << box->itemText(i);
        }
    }
    return labels;
}

// Picks the file type at typeIndex, opens the folder and waits (up to 10 s, the listing is
// loaded in the background) until the dialog lists the file name. Returns whether it did.
inline bool ListsFile(QFileDialog* dialog, int typeIndex, const QString& folder, const QString& name) {
    dialog->selectNameFilter(dialog->nameFilters().value(typeIndex));
    dialog->setDirectory(folder);
    auto* view = dialog->findChild<QListView*>(QStringLiteral("listView"));
    if (view == nullptr) {
        return false;
    }
    return QTest::qWaitFor(
        [&] {
            const QAbstractItemModel* model = view->model();
            for (int row = 0; model && row < model->rowCount(view->rootIndex()); ++row) {
                if (model->index(row, 0, view->rootIndex()).data().toString() == name) {
                    return true;
                }
            }
            return false;
        },
        10000);
}

} // namespace testsupport
