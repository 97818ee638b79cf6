// CHexEditBaseView: a view that holds one hex view control filling it.
#pragma once

#include <QWidget>

class CHexEditBase;

class CHexEditBaseView : public QWidget {
    Q_OBJECT

public:
    // Control number of the hex view inside the view.
    static constexpr int kHexEditId = 256;

    explicit CHexEditBaseView(QWidget* parent = nullptr);

    CHexEditBase* GetHexEditBase() const { return m_HexEdit; }

private:
    CHexEditBase* m_HexEdit;
};
