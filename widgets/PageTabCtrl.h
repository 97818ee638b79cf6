// A tab control that owns one page per tab and always shows the page of the selected tab,
// however the tab was selected (mouse, keyboard or code). The main window gives it the log page
// and the memory dump page.
#pragma once

#include <QTabWidget>

class CPageTabCtrl : public QTabWidget {
    Q_OBJECT
public:
    explicit CPageTabCtrl(QWidget* parent = nullptr);

    // Adds a tab with its text only; its page comes with CreatePages(). Returns the index.
    int InsertItem(int index, const QString& text);
    // Takes ownership of the pages and puts them in the tabs in order (tabs without a text get
    // an empty one). The first page is shown and given nothing else; the others are hidden.
    void CreatePages(const QList<QWidget*>& pages);
    QWidget* GetPage(int index) const;
    int GetPageCount() const { return count(); }

    int GetCurSel() const { return currentIndex(); }
    int SetCurSel(int index);

signals:
    // The shown page changed to index.
    void pageShown(int index);

private:
    void OnCurrentChanged(int index);
};
