#include "PageTabCtrl.h"

#include <QTabBar>

CPageTabCtrl::CPageTabCtrl(QWidget* parent) : QTabWidget(parent) {
    setDocumentMode(false);
    connect(this, &QTabWidget::currentChanged, this, &CPageTabCtrl::OnCurrentChanged);
}

int CPageTabCtrl::InsertItem(int index, const QString& text) {
    auto* placeholder = new QWidget;
    placeholder->setProperty("vandrelPlaceholder", true);
    return insertTab(index, placeholder, text);
}

void CPageTabCtrl::CreatePages(const QList<QWidget*>& pages) {
    QSignalBlocker block(this);
    for (int i = 0; i < pages.size(); ++i) {
        QWidget* page = pages[i];
        if (!page)
            continue;
        if (i < count()) {
            const QString text = tabText(i);
            QWidget* old = widget(i);
            removeTab(i);
            insertTab(i, page, text);
            if (old && old->property("vandrelPlaceholder").toBool())
                delete old;
        } else {
            addTab(page, QString());
        }
    }
    setCurrentIndex(0);
    block.unblock();
    OnCurrentChanged(currentIndex());
}

QWidget* CPageTabCtrl::GetPage(int index) const {
    QWidget* page = widget(index);
    return page && !page->property("vandrelPlaceholder").toBool() ? page : nullptr;
}

int CPageTabCtrl::SetCurSel(int index) {
    const int previous = currentIndex();
    if (index >= 0 && index < count())
        setCurrentIndex(index);
    return previous;
}

void CPageTabCtrl::OnCurrentChanged(int index) {
    // A click gives the new page the focus; while the keyboard walks the tabs, the focus stays
    // on the tabs so that the next key still reaches them.
    QWidget* page = widget(index);
    if (page && !tabBar()->hasFocus() && isVisible())
        page->setFocus(Qt::MouseFocusReason);
    emit pageShown(index);
}
