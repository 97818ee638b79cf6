#include "HexEditBaseView.h"

#include <QVBoxLayout>

#include "HexEditBase.h"

CHexEditBaseView::CHexEditBaseView(QWidget* parent) : QWidget(parent), m_HexEdit(new CHexEditBase(this)) {
    m_HexEdit->setProperty("controlId", kHexEditId);
    m_HexEdit->setObjectName(QStringLiteral("hexEdit"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_HexEdit);
    setFocusProxy(m_HexEdit);
}
