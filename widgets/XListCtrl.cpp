#include "XListCtrl.h"

#include "EdgePainter.h"

#include "XHeaderCtrl.h"

#include <QApplication>
#include <QBitmap>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QHelpEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QThread>
#include <QToolTip>
#include <QUrl>

const char* const CXListCtrl::kEmptyText = "There are no flash files to download into the R3700.";

// ---------------------------------------------------------------------------------------------
// The rows: texts per column and one attribute record per cell.

class CXListModel : public QAbstractTableModel {
public:
    struct Row {
        QStringList texts;
        std::vector<XListCell> cells;
    };
    struct Column {
        QString heading;
        int format = LVCFMT_LEFT;
    };

    explicit CXListModel(QObject* parent) : QAbstractTableModel(parent) {}

    int rowCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
    }
    int columnCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || role != Qt::DisplayRole)
            return {};
        return m_rows[static_cast<std::size_t>(index.row())].texts.value(index.column());
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
            section >= static_cast<int>(m_columns.size()))
            return {};
        return m_columns[static_cast<std::size_t>(section)].heading;
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }

    int InsertColumn(int column, const QString& heading, int format) {
        column = std::clamp(column, 0, static_cast<int>(m_columns.size()));
        beginInsertColumns(QModelIndex(), column, column);
        m_columns.insert(m_columns.begin() + column, Column{heading, format});
        for (Row& row : m_rows) {
            row.texts.insert(column, QString());
            row.cells.insert(row.cells.begin() + column, XListCell{});
        }
        endInsertColumns();
        return column;
    }
    int InsertRow(int row, const QString& text) {
        row = std::min(row, static_cast<int>(m_rows.size()));
        beginInsertRows(QModelIndex(), row, row);
        Row r;
        for (std::size_t c = 0; c < m_columns.size(); ++c)
            r.texts.append(QString());
        if (!r.texts.isEmpty())
            r.texts[0] = text;
        r.cells.resize(m_columns.size());
        m_rows.insert(m_rows.begin() + row, std::move(r));
        endInsertRows();
        return row;
    }
    void RemoveRow(int row) {
        beginRemoveRows(QModelIndex(), row, row);
        m_rows.erase(m_rows.begin() + row);
        endRemoveRows();
    }
    void Clear() {
        beginResetModel();
        m_rows.clear();
        endResetModel();
    }
    void SetText(int row, int column, const QString& text) {
        m_rows[static_cast<std::size_t>(row)].texts[column] = text;
        const QModelIndex i = index(row, column);
        emit dataChanged(i, i, {Qt::DisplayRole});
    }
    Row& RowAt(int row) { return m_rows[static_cast<std::size_t>(row)]; }
    const Row& RowAt(int row) const { return m_rows[static_cast<std::size_t>(row)]; }
    const Column& ColumnAt(int column) const { return m_columns[static_cast<std::size_t>(column)]; }
    const std::vector<Row>& Rows() const { return m_rows; }

private:
    std::vector<Row> m_rows;
    std::vector<Column> m_columns;
};

// ---------------------------------------------------------------------------------------------
// Every cell is drawn by the list itself.

class CXListDelegate : public QStyledItemDelegate {
public:
    explicit CXListDelegate(CXListCtrl* list) : QStyledItemDelegate(list), m_list(list) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        m_list->DrawCell(*painter, option, index);
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(std::max({size.height(), m_list->m_imageSize + 4, option.fontMetrics.height() + 6}));
        return size;
    }

private:
    CXListCtrl* m_list;
};

// ---------------------------------------------------------------------------------------------

CXListCtrl::CXListCtrl(QWidget* parent)
    : QTreeView(parent), m_model(new CXListModel(this)), m_header(new CXHeaderCtrl(this)) {
    setHeader(m_header);
    setModel(m_model);
    setItemDelegate(new CXListDelegate(this));
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setIndentation(0);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(false);
    setDragDropMode(QAbstractItemView::DropOnly);
    m_header->setSectionsClickable(true);
    m_header->setStretchLastSection(false);
    m_header->setSectionsMovable(false);
    connect(m_header, &QHeaderView::sectionClicked, this, &CXListCtrl::OnColumnClick);
}

CXListCtrl::~CXListCtrl() = default;

bool CXListCtrl::OnGuiThread() const {
    return QThread::currentThread() == thread();
}

// --- columns ---------------------------------------------------------------------------------

int CXListCtrl::InsertColumn(int column, const QString& heading, int format, int width) {
    if (column < 0)
        return -1;
    const int at = m_model->InsertColumn(column, heading, format);
    if (width >= 0)
        m_header->resizeSection(at, width);
    return at;
}

int CXListCtrl::GetColumnCount() const {
    return m_model->columnCount();
}

void CXListCtrl::SetColumnWidth(int column, int width) {
    if (column >= 0 && column < GetColumnCount())
        m_header->resizeSection(column, width);
}

int CXListCtrl::GetColumnWidth(int column) const {
    return column >= 0 && column < GetColumnCount() ? m_header->sectionSize(column) : 0;
}

Qt::Alignment CXListCtrl::ColumnAlignment(int column) const {
    switch (m_model->ColumnAt(column).format) {
    case LVCFMT_CENTER:
        return Qt::AlignHCenter;
    case LVCFMT_RIGHT:
        return Qt::AlignRight;
    default:
        return Qt::AlignLeft;
    }
}

// --- images and styles -----------------------------------------------------------------------

void CXListCtrl::SetImageList(const QPixmap& strip, int imageSize) {
    m_images.clear();
    m_imageSize = imageSize;
    const qreal ratio = strip.devicePixelRatio();
    const int step = qRound(imageSize * ratio);
    for (int x = 0; step > 0 && x + step <= strip.width(); x += step) {
        QPixmap image = strip.copy(x, 0, step, qMin(step, strip.height()));
        image.setDevicePixelRatio(ratio);
        m_images.push_back(image);
    }
    doItemsLayout();
    viewport()->update();
}

void CXListCtrl::SetImageList(const QImage& strip, int imageSize, QColor transparentColor) {
    QImage image = strip;
    if (!image.hasAlphaChannel() && transparentColor.isValid()) {
        const QImage mask = image.createMaskFromColor(transparentColor.rgb(), Qt::MaskOutColor);
        QPixmap pixmap = QPixmap::fromImage(image);
        pixmap.setMask(QBitmap::fromImage(mask));
        SetImageList(pixmap, imageSize);
        return;
    }
    SetImageList(QPixmap::fromImage(image), imageSize);
}

void CXListCtrl::SetFullRowSelect(bool on) {
    m_fullRowSelect = on;
    viewport()->update();
}

void CXListCtrl::SetShowSelectionAlways(bool on) {
    m_showSelectionAlways = on;
    viewport()->update();
}

// --- rows ------------------------------------------------------------------------------------

int CXListCtrl::GetItemCount() const {
    return m_model->rowCount();
}

bool CXListCtrl::ValidCell(int row, int column) const {
    return row >= 0 && row < GetItemCount() && column >= 0 && column < GetColumnCount();
}

XListCell* CXListCtrl::Cell(int row, int column) {
    if (!ValidCell(row, column))
        return nullptr;
    return &m_model->RowAt(row).cells[static_cast<std::size_t>(column)];
}

const XListCell* CXListCtrl::Cell(int row, int column) const {
    if (!ValidCell(row, column))
        return nullptr;
    return &m_model->RowAt(row).cells[static_cast<std::size_t>(column)];
}

XListCell CXListCtrl::GetCell(int row, int column) const {
    const XListCell* cell = Cell(row, column);
    return cell ? *cell : XListCell{};
}

void CXListCtrl::RepaintCell(int row, int column) {
    const QRect rect = visualRect(m_model->index(row, column));
    if (rect.isValid())
        viewport()->repaint(rect);
}

void CXListCtrl::RepaintRow(int row) {
    QRect rect = visualRect(m_model->index(row, 0));
    if (!rect.isValid())
        return;
    rect.setLeft(0);
    rect.setRight(viewport()->width());
    viewport()->repaint(rect);
}

int CXListCtrl::InsertItem(int row, const QString& text) {
    if (row < 0 || GetColumnCount() == 0)
        return -1;
    const int at = m_model->InsertRow(row, text);
    viewport()->update();
    return at;
}

int CXListCtrl::InsertItem(int row, const QString& text, int image) {
    const int at = InsertItem(row, text);
    if (at >= 0)
        m_model->RowAt(at).cells[0].image = image;
    return at;
}

int CXListCtrl::InsertItem(int row, const QString& text, const QColor& textColor,
                           const QColor& backgroundColor) {
    const int at = InsertItem(row, text);
    if (at >= 0) {
        XListCell& cell = m_model->RowAt(at).cells[0];
        cell.textColor = textColor;
        cell.backgroundColor = backgroundColor;
    }
    return at;
}

int CXListCtrl::InsertItem(const TS_LIST_ITEM& item) {
    return InsertItem(item.row, item.text, item.image);
}

int CXListCtrl::DeleteItem(int row) {
    if (row < 0 || row >= GetItemCount())
        return 0;
    m_model->RemoveRow(row);
    viewport()->update();
    return 1;
}

int CXListCtrl::DeleteAllItems() {
    m_model->Clear();
    viewport()->update();
    return 1;
}

int CXListCtrl::SetItemText(int row, int column, const QString& text) {
    if (!ValidCell(row, column))
        return 0;
    m_model->SetText(row, column, text);
    RepaintCell(row, column);
    return 1;
}

QString CXListCtrl::GetItemText(int row, int column) const {
    if (!ValidCell(row, column))
        return {};
    return m_model->RowAt(row).texts.value(column);
}

int CXListCtrl::SetCellColors(int row, int column, const QColor& textColor, const QColor& backgroundColor) {
    XListCell* cell = Cell(row, column);
    if (!cell)
        return 0;
    cell->textColor = textColor;
    cell->backgroundColor = backgroundColor;
    RepaintCell(row, column);
    return 1;
}

int CXListCtrl::SetCellColors(int row, int column, const QString& text, const QColor& textColor,
                              const QColor& backgroundColor) {
    if (!ValidCell(row, column))
        return 0;
    m_model->SetText(row, column, text);
    return SetCellColors(row, column, textColor, backgroundColor);
}

int CXListCtrl::SetCellImage(int row, int column, int image) {
    XListCell* cell = Cell(row, column);
    if (!cell)
        return 0;
    cell->image = image;
    RepaintCell(row, column);
    return 1;
}

int CXListCtrl::SetCellBold(int row, int column, bool bold) {
    if (!OnGuiThread()) {
        QMetaObject::invokeMethod(
            this, [this, row, column, bold] { SetCellBold(row, column, bold); }, Qt::QueuedConnection);
        return 1;
    }
    XListCell* cell = Cell(row, column);
    if (!cell)
        return 0;
    cell->bold = bold ? 1 : 0;
    RepaintCell(row, column);
    return 1;
}

int CXListCtrl::GetCellBold(int row, int column) const {
    const XListCell* cell = Cell(row, column);
    return cell ? cell->bold : 0;
}

int CXListCtrl::SetRowEnabled(int row, bool enabled) {
    XListCell* cell = Cell(row, 0);
    if (!cell)
        return 0;
    cell->enabled = enabled ? 1 : 0;
    RepaintRow(row);
    return 1;
}

int CXListCtrl::IsRowEnabled(int row) const {
    const XListCell* cell = Cell(row, 0);
    return cell ? cell->enabled : 0;
}

// --- check boxes -----------------------------------------------------------------------------

int CXListCtrl::SetCellCheck(int row, int column, int state) {
    XListCell* cell = Cell(row, column);
    if (!cell || state < -1 || state > 1)
        return 0;
    cell->check = state;
    UpdateHeaderCheck(column);
    RepaintCell(row, column);
    return 1;
}

int CXListCtrl::GetCellCheck(int row, int column) const {
    const XListCell* cell = Cell(row, column);
    return cell ? cell->check : -1;
}

int CXListCtrl::CountCheckedCells(int column) const {
    if (column < 0 || column >= GetColumnCount())
        return 0;
    int checked = 0;
    for (const auto& row : m_model->Rows()) {
        if (row.cells[static_cast<std::size_t>(column)].check == 1)
            ++checked;
    }
    return checked;
}

int CXListCtrl::SetHeaderCheck(int column, int state) {
    if (column < 0 || column >= GetColumnCount() || state < 0 || state > 2)
        return 0;
    m_header->SetCheckState(column, state);
    return 1;
}

int CXListCtrl::GetHeaderCheck(int column) const {
    return m_header->GetCheckState(column);
}

void CXListCtrl::UpdateHeaderCheck(int column) {
    if (GetHeaderCheck(column) > 0)
        m_header->SetCheckState(column, CountCheckedCells(column) == GetItemCount() ? 2 : 1);
}

void CXListCtrl::OnColumnClick(int column) {
    const int state = GetHeaderCheck(column);
    if (state > 0) {
        m_header->SetCheckState(column, state == 1 ? 2 : 1);
        m_header->viewport()->repaint();
        const int value = state == 1 ? 1 : 0;
        for (int row = 0; row < GetItemCount(); ++row) {
            XListCell* cell = Cell(row, column);
            if (cell->check >= 0) {
                cell->check = value;
                RepaintCell(row, column);
            }
        }
    }
    emit columnClicked(column);
}

// --- progress, combo, tips, row data ---------------------------------------------------------

int CXListCtrl::SetCellProgress(int row, int column, bool showText, const QString& format) {
    XListCell* cell = Cell(row, column);
    if (!cell)
        return 0;
    cell->progress = 1;
    cell->progressPercent = 0;
    cell->progressText = showText ? 1 : 0;
    cell->progressFormat = format;
    RepaintCell(row, column);
    return 1;
}

int CXListCtrl::SetCellProgressPos(int row, int column, int percent) {
    XListCell* cell = Cell(row, column);
    if (!cell)
        return 0;
    cell->progressPercent = std::clamp(percent, 0, 100);
    RepaintCell(row, column);
    return 1;
}

int CXListCtrl::ClearCellProgress(int row, int column) {
    XListCell* cell = Cell(row, column);
    if (!cell)
        return 0;
    cell->progress = 0;
    cell->progressPercent = 0;
    RepaintCell(row, column);
    return 1;
}

int CXListCtrl::SetCellCombo(int row, int column, bool enable, const QStringList* strings, int height,
                             int selection) {
    XListCell* cell = Cell(row, column);
    if (!cell || !strings)
        return 0;
    cell->combo = enable ? 1 : 0;
    if (enable) {
        cell->comboList = *strings;
        cell->comboHeight = height;
        cell->comboSelection = selection >= 0 && selection < strings->size() ? selection : 0;
        m_model->SetText(row, column, strings->value(cell->comboSelection));
    }
    RepaintCell(row, column);
    return 1;
}

int CXListCtrl::SetCellTip(int row, int column, const QString& tip) {
    XListCell* cell = Cell(row, column);
    if (!cell)
        return 0;
    cell->tip = tip;
    return 1;
}

QString CXListCtrl::GetCellTip(int row, int column) const {
    const XListCell* cell = Cell(row, column);
    return cell ? cell->tip : QString();
}

void CXListCtrl::ClearAllTips() {
    for (int row = 0; row < GetItemCount(); ++row) {
        for (XListCell& cell : m_model->RowAt(row).cells)
            cell.tip.clear();
    }
}

int CXListCtrl::SetRowData(int row, quint32 value) {
    XListCell* cell = Cell(row, 0);
    if (!cell)
        return 0;
    cell->rowData = value;
    return 1;
}

quint32 CXListCtrl::GetRowData(int row) const {
    const XListCell* cell = Cell(row, 0);
    return cell ? cell->rowData : 0;
}

// --- selection and moving --------------------------------------------------------------------

int CXListCtrl::GetCurSel() const {
    const QModelIndexList rows = selectionModel()->selectedRows();
    int first = -1;
    for (const QModelIndex& index : rows) {
        if (first < 0 || index.row() < first)
            first = index.row();
    }
    return first;
}

int CXListCtrl::SetCurSel(int row) {
    if (!OnGuiThread()) {
        QMetaObject::invokeMethod(
            this, [this, row] { SetCurSel(row); }, Qt::QueuedConnection);
        return 1;
    }
    if (row == -1) {
        selectionModel()->clearSelection();
        return 1;
    }
    if (row < 0 || row >= GetItemCount())
        return 0;
    const QModelIndex index = m_model->index(row, 0);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    viewport()->repaint();
    return 1;
}

int CXListCtrl::MoveItem(int from, int to) {
    if (from == to || from < 0 || to < 0 || from >= GetItemCount())
        return 0;
    const int source = to < from ? from + 1 : from;
    const int at = InsertItem(to, GetItemText(from, 0), 0);
    if (at < 0)
        return 0;
    for (int column = 1; column < GetColumnCount(); ++column)
        m_model->SetText(at, column, GetItemText(source, column));
    m_model->RemoveRow(source);
    selectionModel()->clearSelection();
    viewport()->update();
    return 1;
}

// --- files -----------------------------------------------------------------------------------

int CXListCtrl::SetDropRules(const TS_DROP_RULES& rules) {
    if ((rules.flags & DROP_CALLBACK) && !rules.callback)
        return 0;
    m_dropRules = rules;
    return 1;
}

int CXListCtrl::AddFile(const QString& path) {
    if (!(m_dropRules.flags & DROP_DUPLICATES)) {
        for (int row = 0; row < GetItemCount(); ++row) {
            if (GetItemText(row, 0) == path)
                return -1;
        }
    }
    if (GetItemCount() >= kMaxFiles || GetColumnCount() == 0)
        return -1;
    QFile file(path);
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly))
        return -1;
    const qint64 kilobytes = file.size() / 1000;
    const int row = InsertItem(GetItemCount(), path, 0);
    if (row < 0)
        return -1;
    SetItemText(row, 1, QStringLiteral("%1 KB").arg(kilobytes));
    SetCellTip(GetItemCount() - 1, 0, path);
    return 0;
}

namespace {

// The extension of a file name: its last dot and what follows; empty when there is no dot.
QString Extension(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot);
}

} // namespace

QString CXListCtrl::FormatPercent(const QString& format, int percent) {
    const QString pattern = format.isEmpty() ? QStringLiteral("%d%%") : format;
    QString out;
    for (int i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern[i];
        if (c == QLatin1Char('%') && i + 1 < pattern.size()) {
            const QChar next = pattern[i + 1];
            if (next == QLatin1Char('%')) {
                out += QLatin1Char('%');
                ++i;
                continue;
            }
            if (next == QLatin1Char('d') || next == QLatin1Char('i')) {
                out += QString::number(percent);
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

int CXListCtrl::DropPaths(const QStringList& paths) {
    int accepted = 0;
    for (QString path : paths) {
        const QFileInfo link(path);
        if (link.isSymLink()) {
            const QString target = link.canonicalFilePath();
            if (!target.isEmpty())
                path = target;
        }
        const QFileInfo info(path);
        if (!info.exists())
            continue;
        int kind = 0;
        if (info.isDir()) {
            if (!(m_dropRules.flags & DROP_FOLDERS))
                continue;
            kind = DROPPED_FOLDER;
        } else if (info.isFile()) {
            if (!(m_dropRules.flags & DROP_FILES))
                continue;
            if ((m_dropRules.flags & DROP_FILTER_EXT) &&
                Extension(path).compare(m_dropRules.filter, Qt::CaseInsensitive) != 0)
                continue;
            kind = DROPPED_FILE;
        } else {
            continue;
        }
        ++accepted;
        if ((m_dropRules.flags & DROP_CALLBACK) && m_dropRules.callback)
            m_dropRules.callback(path, kind);
        else
            AddFile(path);
    }
    return accepted;
}

void CXListCtrl::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
    else
        event->ignore();
}

void CXListCtrl::dragMoveEvent(QDragMoveEvent* event) {
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
    else
        event->ignore();
}

void CXListCtrl::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    }
    if (paths.isEmpty()) {
        event->ignore();
        return;
    }
    DropPaths(paths);
    event->acceptProposedAction();
}

// --- mouse and tooltips ----------------------------------------------------------------------

void CXListCtrl::mousePressEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (!index.isValid()) {
        QTreeView::mousePressEvent(event);
        return;
    }
    const int row = index.row();
    if (!IsRowEnabled(row)) {
        event->accept(); // a disabled row is neither selected nor toggled
        return;
    }
    const int column = index.column();
    XListCell* cell = Cell(row, column);
    if (event->button() == Qt::LeftButton && cell && cell->check >= 0) {
        cell->check = cell->check ? 0 : 1;
        RepaintCell(row, column);
        emit checkBoxClicked(row, column);
        UpdateHeaderCheck(column);
    }
    QTreeView::mousePressEvent(event);
}

void CXListCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (index.isValid() && !IsRowEnabled(index.row())) {
        event->accept();
        return;
    }
    QTreeView::mouseDoubleClickEvent(event);
}

bool CXListCtrl::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QModelIndex index = indexAt(help->pos());
        const QString tip =
            index.isValid() ? GetCellTip(index.row(), index.column()).left(kMaxTipLength) : QString();
        if (tip.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(help->globalPos(), tip, viewport(), visualRect(index));
        }
        return true;
    }
    return QTreeView::viewportEvent(event);
}

// --- painting --------------------------------------------------------------------------------

void CXListCtrl::paintEvent(QPaintEvent* event) {
    QTreeView::paintEvent(event);
    if (GetItemCount() != 0)
        return;
    QPainter painter(viewport());
    const QPalette& pal = palette();
    QRect rect = viewport()->rect();
    rect.setTop(rect.top() + 10);
    painter.fillRect(rect, pal.color(QPalette::Base));
    painter.setPen(pal.color(QPalette::Text));
    painter.drawText(rect.adjusted(8, 0, -8, 0), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
                     QString::fromLatin1(kEmptyText));
}

void CXListCtrl::DrawCell(QPainter& painter, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const {
    const int row = index.row();
    const int column = index.column();
    const XListCell* cellPtr = Cell(row, column);
    if (!cellPtr)
        return;
    const XListCell& cell = *cellPtr;
    const QPalette& pal = palette();
    const bool rowEnabled = IsRowEnabled(row) != 0;

    QColor text = cell.textColor.isValid() ? cell.textColor : pal.color(QPalette::Active, QPalette::Text);
    QColor background =
        cell.backgroundColor.isValid() ? cell.backgroundColor : pal.color(QPalette::Active, QPalette::Base);
    if (!rowEnabled)
        text = pal.color(QPalette::Disabled, QPalette::Text);
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    if (selected && (m_fullRowSelect || column == 0)) {
        if (hasFocus()) {
            text = pal.color(QPalette::Active, QPalette::HighlightedText);
            background = pal.color(QPalette::Active, QPalette::Highlight);
        } else if (m_showSelectionAlways) {
            text = pal.color(QPalette::Active, QPalette::WindowText);
            background = pal.color(QPalette::Active, QPalette::Button);
        }
    }

    const QRect rect = option.rect;
    painter.save();
    painter.setClipRect(rect);
    if (cell.progress) {
        DrawProgressCell(painter, rect, cell, text, background);
    } else if (cell.check == 0 || cell.check == 1) {
        DrawCheckCell(painter, rect, cell, rowEnabled, text, background, index.data().toString());
    } else {
        painter.fillRect(rect, background);
        QRect textRect = rect;
        const QString label = index.data().toString();
        if (cell.image >= 0 && cell.image < GetImageCount()) {
            const QPixmap& image = m_images[static_cast<std::size_t>(cell.image)];
            const int margin = m_header->GetItemMargin();
            const int top = (rect.top() + rect.bottom()) / 2 - m_imageSize / 2;
            const int width = qMin(m_imageSize, rect.width() - margin);
            if (width > 0)
                painter.drawPixmap(QRect(rect.left() + margin, top, width, m_imageSize), image,
                                   QRectF(0, 0, width * image.devicePixelRatio(), image.height()).toRect());
            textRect.setLeft(rect.left() + m_imageSize + margin + 4);
        } else if (ColumnAlignment(column) == Qt::AlignLeft) {
            textRect.setLeft(rect.left() + 4);
        }
        if (!label.isEmpty()) {
            QFont font = painter.font();
            if (cell.bold)
                font.setWeight(QFont::Bold);
            painter.setFont(font);
            painter.setPen(text);
            painter.drawText(textRect.adjusted(0, 0, -2, 0),
                             ColumnAlignment(column) | Qt::AlignVCenter | Qt::TextSingleLine, label);
        }
    }
    painter.restore();
}

void CXListCtrl::DrawCheckCell(QPainter& painter, const QRect& rect, const XListCell& cell, bool rowEnabled,
                               const QColor& text, const QColor& background, const QString& label) const {
    painter.fillRect(rect, background);
    const int side = rect.height() - 1;
    int left = rect.left() + 9;
    if (label.isEmpty())
        left = rect.left() + rect.width() / 2 - side / 2 - 1;
    const QRect box(left, rect.top(), side, side);
    painter.fillRect(box, palette().color(QPalette::Base));
    const QRect edge = box.adjusted(1, 0, 0, 0);
    // A sunken edge: shadow and dark shadow at the top left, highlight and light at the bottom right.
    const QRect r = edge.adjusted(0, 0, -1, -1);
    const QPalette& pal = palette();
    edgepaint::DrawSunken(painter, r, pal);
    if (cell.check == 1) {
        edgepaint::DrawTick(painter, edge.left(), box.top(),
                            rowEnabled ? QColor(Qt::black) : pal.color(QPalette::Disabled, QPalette::Text));
    }
    if (!label.isEmpty()) {
        QFont font = painter.font();
        if (cell.bold)
            font.setWeight(QFont::Bold);
        painter.setFont(font);
        painter.setPen(text);
        painter.drawText(
            QRect(box.right() + 1 + 4, rect.top(), rect.right() - box.right() - 4, rect.height()),
            Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, label);
    }
}

void CXListCtrl::DrawProgressCell(QPainter& painter, const QRect& cellRect, const XListCell& cell,
                                  const QColor& text, const QColor& background) const {
    const QPalette& pal = palette();
    // Edges in the platform's inclusive-exclusive arithmetic: l, t, r, b.
    const int l = cellRect.left() + 1;
    const int t = cellRect.top();
    const int r = cellRect.left() + cellRect.width() - 2;
    const int b = cellRect.top() + cellRect.height() - 1;
    painter.fillRect(cellRect, background);
    painter.setPen(pal.color(QPalette::Dark));
    painter.drawLine(l, b, r, b);
    painter.drawLine(l, t, r - 1, t);
    painter.drawLine(l, t, l, b - 1);
    painter.drawLine(r, t, r, b - 1);
    painter.fillRect(QRect(QPoint(l + 1, t + 1), QPoint(r - 1, b - 1)), QColor(224, 224, 224));
    painter.setPen(Qt::black);
    painter.drawLine(l + 1, t + 1, r - 1, t + 1);
    painter.drawLine(l + 1, t + 1, l + 1, b - 1);
    if (cell.progressPercent <= 0)
        return;
    const int x = l + 2 + (r - (l + 2)) * cell.progressPercent / 100;
    const QRect bar(QPoint(l + 2, t + 2), QPoint(x - 1, b - 1));
    painter.fillRect(bar, pal.color(QPalette::Active, QPalette::Highlight));
    if (!cell.progressText)
        return;
    const QString label = FormatPercent(cell.progressFormat, cell.progressPercent);
    const QRect textRect(QPoint(l + 1, t + 2), QPoint(r - 2, b - 2));
    painter.save();
    painter.setClipRect(bar);
    painter.setPen(background);
    painter.drawText(textRect, Qt::AlignCenter | Qt::TextSingleLine, label);
    painter.setClipRect(QRect(QPoint(x + 1, t + 2), QPoint(r - 1, b - 1)));
    painter.setPen(text);
    painter.drawText(textRect, Qt::AlignCenter | Qt::TextSingleLine, label);
    painter.restore();
}
