// The list of flash files: a report view whose cells are drawn from per-cell attributes
// (XListCell), with its own header (CXHeaderCtrl), check box and progress cells, per-cell
// tooltips, a message when empty, and files dropped from the desktop.
//
// Rows and columns are 0-based. Operations on a row or cell out of range do nothing and return
// 0 (-1 where the result is an index or a check state, an empty string for texts).
// All operations belong to the GUI thread, except SetCellBold() and SetCurSel(), which a worker
// thread may call: they are then handed to the GUI thread and return 1 at once.
#pragma once

#include "XListCell.h"

#include <QAbstractTableModel>
#include <QImage>
#include <QPixmap>
#include <QTreeView>
#include <QVector>

#include <functional>
#include <vector>

class CXHeaderCtrl;
class CXListModel;

// Drop rule flags.
enum : quint32 {
    DROP_FILES = 0x01,      // accept regular files
    DROP_FOLDERS = 0x02,    // accept folders
    DROP_DUPLICATES = 0x04, // AddFile() takes a path already listed
    DROP_FILTER_EXT = 0x10, // files only with the filter's extension (letter case ignored)
    DROP_CALLBACK = 0x20,   // accepted paths go to the callback instead of AddFile()
};

// Kinds handed to the drop callback.
enum { DROPPED_FOLDER = 64, DROPPED_FILE = 128 };

struct TS_DROP_RULES {
    quint32 flags = DROP_FILES;
    QString filter; // extension with its dot, such as ".m0"
    std::function<void(const QString& path, int kind)> callback;
};

// Column formats.
enum { LVCFMT_LEFT = 0, LVCFMT_RIGHT = 1, LVCFMT_CENTER = 2 };

// A row described as one record, for InsertItem().
struct TS_LIST_ITEM {
    int row = 0;
    QString text;
    int image = -1;
};

class CXListCtrl : public QTreeView {
    Q_OBJECT
public:
    // Rows the list holds at most through AddFile().
    static constexpr int kMaxFiles = 5;
    // Longest tooltip shown, in characters.
    static constexpr int kMaxTipLength = 79;
    // The text shown while the list is empty.
    static const char* const kEmptyText;

    explicit CXListCtrl(QWidget* parent = nullptr);
    ~CXListCtrl() override;

    CXHeaderCtrl* Header() const { return m_header; }

    // Columns. Returns the new column's index, or -1.
    int InsertColumn(int column, const QString& heading, int format = LVCFMT_LEFT, int width = 100);
    int GetColumnCount() const;
    void SetColumnWidth(int column, int width);
    int GetColumnWidth(int column) const;

    // The small image list: a strip of square images (16 x 16 in the main window). An image
    // without an alpha channel gets transparentColor (white by default) made transparent.
    void SetImageList(const QPixmap& strip, int imageSize = 16);
    void SetImageList(const QImage& strip, int imageSize = 16, QColor transparentColor = Qt::white);
    int GetImageCount() const { return static_cast<int>(m_images.size()); }

    // Full-row selection and showing the selection while the list has no focus.
    void SetFullRowSelect(bool on);
    bool IsFullRowSelect() const { return m_fullRowSelect; }
    void SetShowSelectionAlways(bool on);
    bool IsShowSelectionAlways() const { return m_showSelectionAlways; }

    int GetItemCount() const;
    int InsertItem(int row, const QString& text);
    int InsertItem(int row, const QString& text, int image);
    int InsertItem(int row, const QString& text, const QColor& textColor, const QColor& backgroundColor);
    int InsertItem(const TS_LIST_ITEM& item);
    int DeleteItem(int row);
    int DeleteAllItems();

    int SetItemText(int row, int column, const QString& text);
    QString GetItemText(int row, int column) const;
    // Colours of a cell (an invalid colour: the default window text / window colour), with or
    // without new text.
    int SetCellColors(int row, int column, const QColor& textColor, const QColor& backgroundColor);
    int SetCellColors(int row, int column, const QString& text, const QColor& textColor,
                      const QColor& backgroundColor);
    int SetCellImage(int row, int column, int image);
    int SetCellBold(int row, int column, bool bold);
    int GetCellBold(int row, int column) const;
    int SetRowEnabled(int row, bool enabled);
    int IsRowEnabled(int row) const;

    int SetCellCheck(int row, int column, int state);
    int GetCellCheck(int row, int column) const;
    int CountCheckedCells(int column) const;
    int SetHeaderCheck(int column, int state);
    int GetHeaderCheck(int column) const;

    int SetCellProgress(int row, int column, bool showText = true, const QString& format = QString());
    int SetCellProgressPos(int row, int column, int percent);
    int ClearCellProgress(int row, int column);

    // A combo cell shows the selected string of a list (display only; a caller that edits it
    // brings its own editor). The list is copied. Returns 0 when no list is given.
    int SetCellCombo(int row, int column, bool enable, const QStringList* strings, int height = 10,
                     int selection = 0);

    int SetCellTip(int row, int column, const QString& tip);
    QString GetCellTip(int row, int column) const;
    void ClearAllTips();

    int SetRowData(int row, quint32 value);
    quint32 GetRowData(int row) const;

    // A copy of a cell's attributes (defaults for a cell out of range).
    XListCell GetCell(int row, int column) const;

    int GetCurSel() const;
    // Selects and focuses a row; -1 clears the selection.
    int SetCurSel(int row);

    // Inserts a copy of row from before row to and deletes the original: (r, r - 1) moves a row
    // up, (r, r + 2) down. Only the texts move. 1 when done, 0 when from == to or either is
    // negative or from is past the end.
    int MoveItem(int from, int to);

    // 0 (rules unchanged) when DROP_CALLBACK is set without a callback, else 1.
    int SetDropRules(const TS_DROP_RULES& rules);
    const TS_DROP_RULES& GetDropRules() const { return m_dropRules; }

    // Adds a flash file as a row: its path and its size in KB (bytes / 1000). -1 when the path is
    // listed already (exact, letter case counts), the list is full or the file does not open.
    virtual int AddFile(const QString& path);

    // What a drop of these local paths does: each path is resolved (a symbolic link to its
    // target) and accepted or skipped by the drop rules. Returns the number accepted.
    int DropPaths(const QStringList& paths);

    // The text of a progress cell: "%d" (or "%i") becomes the percentage and "%%" a percent
    // sign; nothing else of the format is interpreted. An empty format means "%d%%".
    static QString FormatPercent(const QString& format, int percent);

signals:
    // A cell check box was toggled by a click.
    void checkBoxClicked(int row, int column);
    // A header item was clicked.
    void columnClicked(int column);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    friend class CXListDelegate;
    bool ValidCell(int row, int column) const;
    XListCell* Cell(int row, int column);
    const XListCell* Cell(int row, int column) const;
    void RepaintCell(int row, int column);
    void RepaintRow(int row);
    void UpdateHeaderCheck(int column);
    void OnColumnClick(int column);
    void DrawCell(QPainter& painter, const QStyleOptionViewItem& option, const QModelIndex& index) const;
    void DrawCheckCell(QPainter& painter, const QRect& rect, const XListCell& cell, bool rowEnabled,
                       const QColor& text, const QColor& background, const QString& label) const;
    void DrawProgressCell(QPainter& painter, const QRect& rect, const XListCell& cell, const QColor& text,
                          const QColor& background) const;
    Qt::Alignment ColumnAlignment(int column) const;
    bool OnGuiThread() const;

    CXListModel* m_model;
    CXHeaderCtrl* m_header;
    TS_DROP_RULES m_dropRules;
    std::vector<QPixmap> m_images;
    int m_imageSize = 16;
    bool m_fullRowSelect = false;
    bool m_showSelectionAlways = false;
};
