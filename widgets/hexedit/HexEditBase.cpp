#include "HexEditBase.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

using hexedit::TS_HEX_CARET;
using hexedit::TS_HEX_LAYOUT;

const QString CHexEditBase::kBinaryDataMimeType = QStringLiteral("application/x-vandrel-binarydata");

namespace {

const QColor kDefAddressBack(90, 0, 0);
const QColor kDefAddressText(0, 255, 0);
const QColor kDefAsciiBack(0, 20, 0);
const QColor kDefAsciiText(255, 255, 128);
const QColor kDefHighlightBack(0, 90, 210);
const QColor kDefHighlightText(0, 200, 0);
const QColor kDefHighlightFrame(0, 255, 255);
const QColor kDefHexText(0, 0, 255);
const QColor kDefHexBack(180, 210, 190);
const QColor kDefBackground(210, 210, 210);

// Space left of a column's text that its strip covers; the rest of the gap lies right of it.
constexpr int kStripLead = 2;

QColor Or(const QColor& colour, const QColor& fallback) {
    return colour.isValid() ? colour : fallback;
}

int HexValue(QChar c) {
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

} // namespace

CHexEditBase::CHexEditBase(QWidget* parent) : QAbstractScrollArea(parent) {
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    // The control paints every pixel of the viewport itself.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setAttribute(Qt::WA_NoSystemBackground);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    UseFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    m_AutoScrollTimer.setInterval(kAutoScrollIntervalMs);
    connect(&m_AutoScrollTimer, &QTimer::timeout, this, &CHexEditBase::AutoScrollTick);

    const int flash = QApplication::cursorFlashTime();
    m_CaretBlinkTimer.setInterval(flash > 0 ? flash / 2 : 500);
    connect(&m_CaretBlinkTimer, &QTimer::timeout, this, [this] {
        m_CaretBlinkOn = !m_CaretBlinkOn;
        viewport()->update(m_CaretRect);
    });
}

CHexEditBase::~CHexEditBase() = default;

// ---------------------------------------------------------------------------------------------
// Data and settings

void CHexEditBase::ReleaseData() {
    m_Data = nullptr;
    m_Length = 0;
    std::vector<std::uint8_t>().swap(m_Owned);
}

void CHexEditBase::ResetRanges() {
    m_SelFirst = m_SelLast = -1;
    m_HighFirst = m_HighLast = -1;
    m_Anchor = m_MovingEnd = -1;
    m_Caret = TS_HEX_CARET{};
    m_DragRect = QRect();
    StopAutoScroll();
    // New data is shown from its start.
    m_FirstRow = 0;
    m_HOffset = 0;
}

void CHexEditBase::SetData(const std::uint8_t* bytes, qint64 length, bool repaint) {
    // Copied before the old buffer goes, so the bytes may come from the control itself.
    std::vector<std::uint8_t> copy;
    if (bytes && length > 0)
        copy.assign(bytes, bytes + length);
    ReleaseData();
    if (!copy.empty()) {
        m_Owned.swap(copy);
        m_Data = m_Owned.data();
        m_Length = length;
    }
    ResetRanges();
    LayoutChanged(repaint);
}

void CHexEditBase::SetData(const QByteArray& bytes, bool repaint) {
    SetData(reinterpret_cast<const std::uint8_t*>(bytes.constData()), bytes.size(), repaint);
}

void CHexEditBase::SetDataPointer(std::uint8_t* bytes, qint64 length, bool repaint) {
    ReleaseData();
    if (bytes && length > 0) {
        m_Data = bytes;
        m_Length = length;
    }
    ResetRanges();
    LayoutChanged(repaint);
}

qint64 CHexEditBase::GetData(std::uint8_t* destination, qint64 capacity) const {
    if (!m_Data)
        return 0;
    if (destination && capacity > 0)
        std::memcpy(destination, m_Data, static_cast<size_t>(std::min(capacity, m_Length)));
    return m_Length;
}

void CHexEditBase::SetBaseAddress(std::uint32_t address, bool repaint) {
    m_BaseAddress = address;
    Repaint(repaint);
}

QString CHexEditBase::RowAddressText(qint64 row) {
    EnsureLayout();
    const std::uint64_t offset =
        static_cast<std::uint64_t>(row) * static_cast<std::uint64_t>(m_Layout.bytesPerRow);
    return hexedit::FormatAddress(static_cast<std::uint32_t>(m_BaseAddress + offset), m_AddressDigits);
}

void CHexEditBase::SetBytesPerRow(int count, bool fitToWidth, bool repaint) {
    m_BytesPerRow = std::max(1, count);
    m_FitToWidth = fitToWidth;
    LayoutChanged(repaint);
}

void CHexEditBase::SetAddressDigits(int digits, bool repaint) {
    m_AddressDigits = static_cast<std::uint8_t>(digits);
    LayoutChanged(repaint);
}

void CHexEditBase::SetShowAddress(bool on, bool repaint) {
    m_ShowAddress = on;
    LayoutChanged(repaint);
}

void CHexEditBase::SetShowAscii(bool on, bool repaint) {
    m_ShowAscii = on;
    LayoutChanged(repaint);
}

void CHexEditBase::SetReadOnly(bool on, bool repaint) {
    m_ReadOnly = on;
    LayoutChanged(repaint);
}

void CHexEditBase::SetMultiLine(bool on, bool repaint) {
    m_MultiLine = on;
    const auto policy = on ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff;
    setVerticalScrollBarPolicy(policy);
    setHorizontalScrollBarPolicy(policy);
    LayoutChanged(repaint);
}

void CHexEditBase::LayoutChanged(bool repaint) {
    MarkLayoutDirty();
    PlaceCaret();
    Repaint(repaint);
}

// ---------------------------------------------------------------------------------------------
// Ranges

bool CHexEditBase::StoreRange(qint64 first, qint64 last, qint64& storedFirst, qint64& storedLast) const {
    if (first < 0 || last < 0 || m_Length == 0) {
        storedFirst = storedLast = -1;
        return false;
    }
    first = std::min(first, m_Length - 1);
    last = std::min(last, m_Length - 1);
    storedFirst = std::min(first, last);
    storedLast = std::max(first, last);
    return true;
}

void CHexEditBase::Repaint(bool now) {
    if (now)
        viewport()->update();
}

void CHexEditBase::SetSelection(qint64 first, qint64 last, bool makeVisible, bool repaint) {
    if (StoreRange(first, last, m_SelFirst, m_SelLast) && makeVisible)
        MakeVisible(m_SelFirst, m_SelLast);
    Repaint(repaint);
}

bool CHexEditBase::GetSelection(qint64& first, qint64& last) const {
    first = m_SelFirst;
    last = m_SelLast;
    return m_SelFirst >= 0;
}

void CHexEditBase::SetHighlight(qint64 first, qint64 last, bool makeVisible, bool repaint) {
    if (StoreRange(first, last, m_HighFirst, m_HighLast) && makeVisible)
        MakeVisible(m_HighFirst, m_HighLast);
    Repaint(repaint);
}

bool CHexEditBase::GetHighlight(qint64& first, qint64& last) const {
    first = m_HighFirst;
    last = m_HighLast;
    return m_HighFirst >= 0;
}

// ---------------------------------------------------------------------------------------------
// Colours and font

void CHexEditBase::SetAddressColors(const QColor& background, const QColor& text, bool repaint) {
    m_AddressBack = background;
    m_AddressText = text;
    Repaint(repaint);
}

void CHexEditBase::SetAsciiColors(const QColor& background, const QColor& text, bool repaint) {
    m_AsciiBack = background;
    m_AsciiText = text;
    Repaint(repaint);
}

void CHexEditBase::SetHighlightColors(const QColor& frame, const QColor& background, const QColor& text,
                                      bool repaint) {
    m_HighlightFrame = frame;
    m_HighlightBack = background;
    m_HighlightText = text;
    Repaint(repaint);
}

void CHexEditBase::SetHexColors(const QColor& background, const QColor& text, bool repaint) {
    m_HexBack = background;
    m_HexText = text;
    Repaint(repaint);
}

void CHexEditBase::SetInactiveSelectionColors(const QColor& background, const QColor& text, bool repaint) {
    m_InactiveSelBack = background;
    m_InactiveSelText = text;
    Repaint(repaint);
}

void CHexEditBase::SetSelectionColors(const QColor& text, const QColor& background, bool repaint) {
    m_SelText = text;
    m_SelBack = background;
    Repaint(repaint);
}

void CHexEditBase::SetBackgroundColor(const QColor& colour, bool repaint) {
    m_Background = colour;
    Repaint(repaint);
}

QColor CHexEditBase::SelectionText() const {
    return Or(m_SelText, palette().color(QPalette::Active, QPalette::HighlightedText));
}

QColor CHexEditBase::SelectionBackground() const {
    return Or(m_SelBack, palette().color(QPalette::Active, QPalette::Highlight));
}

QColor CHexEditBase::InactiveSelectionText() const {
    return Or(m_InactiveSelText, palette().color(QPalette::Active, QPalette::WindowText));
}

QColor CHexEditBase::InactiveSelectionBackground() const {
    return Or(m_InactiveSelBack, palette().color(QPalette::Active, QPalette::Button));
}

bool CHexEditBase::IsEvenPitch(const QFont& font) {
    QFont f = font;
    f.setHintingPreference(QFont::PreferFullHinting); // measured as UseFont draws it
    const QFontMetricsF metrics(f);
    const qreal advance = metrics.horizontalAdvance(QLatin1Char('0'));
    if (advance <= 0)
        return false;
    for (char c = 0x20; c < 0x7F; ++c) {
        if (std::abs(metrics.horizontalAdvance(QLatin1Char(c)) - advance) > advance * 1e-3)
            return false;
    }
    return true;
}

bool CHexEditBase::SetHexFont(const QFont& font, bool repaint) {
    if (!IsEvenPitch(font))
        return false;
    UseFont(font);
    LayoutChanged(repaint);
    return true;
}

void CHexEditBase::UseFont(const QFont& font) {
    QFont f = font;
    // Whole-pixel advances, so that a row drawn as one string puts character k at k widths.
    f.setHintingPreference(QFont::PreferFullHinting);
    const qreal advance = QFontMetricsF(f).horizontalAdvance(QLatin1Char('0'));
    const int charWidth = std::max(1, static_cast<int>(std::lround(advance)));
    if (std::abs(advance - charWidth) > 1e-3)
        f.setLetterSpacing(QFont::AbsoluteSpacing, charWidth - advance);
    const QFontMetrics metrics(f);
    m_Font = f;
    m_CharWidth = charWidth;
    m_LineHeight = std::max(1, metrics.height());
    m_Ascent = metrics.ascent();
}

// ---------------------------------------------------------------------------------------------
// Layout and scrolling

void CHexEditBase::MarkLayoutDirty() {
    m_LayoutDirty = true;
}

void CHexEditBase::EnsureLayout() {
    if (!m_LayoutDirty)
        return;
    hexedit::TS_HEX_METRICS m;
    m.client = viewport()->rect();
    m.charWidth = m_CharWidth;
    m.lineHeight = m_LineHeight;
    m.multiLine = m_MultiLine;
    m.fitToWidth = m_FitToWidth;
    m.bytesPerRow = m_BytesPerRow;
    m.addressDigits = m_AddressDigits;
    m.showAddress = m_ShowAddress;
    m.showAscii = m_ShowAscii;
    m.length = m_Length;
    m_Layout = hexedit::ComputeHexLayout(m);
    m_LayoutDirty = false;
    ClampView();
    ScheduleScrollBarUpdate();
}

const TS_HEX_LAYOUT& CHexEditBase::Layout() {
    EnsureLayout();
    return m_Layout;
}

void CHexEditBase::ClampView() {
    m_FirstRow = std::clamp<qint64>(m_FirstRow, 0, m_Layout.vScrollLimit);
    m_HOffset = std::clamp(m_HOffset, 0, m_Layout.hScrollLimit);
}

void CHexEditBase::ScheduleScrollBarUpdate() {
    // Deferred: showing or hiding a scroll bar resizes the viewport, which lays out again.
    if (m_ScrollBarUpdatePending)
        return;
    m_ScrollBarUpdatePending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_ScrollBarUpdatePending = false;
            UpdateScrollBars();
        },
        Qt::QueuedConnection);
}

void CHexEditBase::UpdateScrollBars() {
    EnsureLayout();
    m_UpdatingScrollBars = true;
    QScrollBar* v = verticalScrollBar();
    QScrollBar* h = horizontalScrollBar();
    if (m_MultiLine) {
        v->setRange(0, static_cast<int>(std::min<qint64>(m_Layout.vScrollLimit, INT_MAX)));
        v->setSingleStep(1);
        v->setPageStep(std::max(1, m_Layout.fullLines));
        h->setRange(0, m_Layout.hScrollLimit);
        h->setSingleStep(m_Layout.charWidth);
        h->setPageStep(std::max(1, m_Layout.data.width()));
    } else {
        v->setRange(0, 0);
        h->setRange(0, 0);
    }
    m_UpdatingScrollBars = false;
    // The viewport may have changed size meanwhile; the view is clamped to the new layout.
    EnsureLayout();
    SyncScrollBarValues();
}

void CHexEditBase::SyncScrollBarValues() {
    m_UpdatingScrollBars = true;
    verticalScrollBar()->setValue(static_cast<int>(std::min<qint64>(m_FirstRow, INT_MAX)));
    horizontalScrollBar()->setValue(m_HOffset);
    m_UpdatingScrollBars = false;
}

void CHexEditBase::scrollContentsBy(int dx, int dy) {
    if (m_UpdatingScrollBars)
        return;
    EnsureLayout();
    // Only the bar that moved is read: the other may still wait for its deferred update.
    if (dy != 0)
        m_FirstRow = verticalScrollBar()->value();
    if (dx != 0)
        m_HOffset = horizontalScrollBar()->value();
    ClampView();
    PlaceCaret();
    viewport()->update();
}

void CHexEditBase::ScrollTo(qint64 firstRow, int hOffset) {
    EnsureLayout();
    const qint64 oldRow = m_FirstRow;
    const int oldOffset = m_HOffset;
    m_FirstRow = firstRow;
    m_HOffset = hOffset;
    ClampView();
    if (m_FirstRow == oldRow && m_HOffset == oldOffset)
        return;
    if (!m_ScrollBarUpdatePending)
        SyncScrollBarValues();
    PlaceCaret();
    viewport()->update();
}

void CHexEditBase::MakeVisible(qint64 first, qint64 last) {
    EnsureLayout();
    if (m_Length == 0 || first < 0 || last < first)
        return;
    const TS_HEX_LAYOUT& l = m_Layout;
    const int bpr = l.bytesPerRow;
    const qint64 startRow = first / bpr;
    const qint64 endRow = last / bpr;
    const qint64 page = std::max(1, l.fullLines);
    qint64 row = m_FirstRow;
    if (startRow < row || endRow >= row + page) {
        if (startRow < row)
            row = startRow; // start above: start to the top
        else
            row = endRow - page + 1; // end below: end to the bottom
    }

    int offset = m_HOffset;
    const int cw = l.charWidth;
    const int startX = l.hexStart + 3 * cw * static_cast<int>(first % bpr);
    const int endX = l.hexStart + (3 * static_cast<int>(last % bpr) + 2) * cw;
    const int width = l.data.width();
    if (endX > offset + width)
        offset = endX - width;
    if (startX < offset)
        offset = startX;
    ScrollTo(row, offset);
}

void CHexEditBase::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    MarkLayoutDirty();
    PlaceCaret();
}

// ---------------------------------------------------------------------------------------------
// Caret

void CHexEditBase::SetCaret(qint64 byte, bool secondDigit, bool makeVisible) {
    if (m_Length == 0)
        return;
    m_Caret.byte = std::clamp<qint64>(byte, 0, m_Length - 1);
    m_Caret.second = secondDigit;
    if (makeVisible)
        MakeVisible(m_Caret.byte, m_Caret.byte);
    PlaceCaret();
}

QRect CHexEditBase::CaretRect() const {
    return m_CaretShown ? m_CaretRect : QRect();
}

void CHexEditBase::PlaceCaret() {
    EnsureLayout();
    const QRect oldRect = m_CaretShown ? m_CaretRect : QRect();
    const bool wasOn = m_CaretBlinkOn;
    m_CaretShown = false;
    m_CaretRect = QRect();
    const TS_HEX_LAYOUT& l = m_Layout;
    if (hasFocus() && m_Length > 0) {
        const qint64 row = m_Caret.byte / l.bytesPerRow - m_FirstRow;
        if (row >= 0 && row < l.visibleLines) {
            const int column = static_cast<int>(m_Caret.byte % l.bytesPerRow);
            const int x = l.data.left() + l.hexStart - m_HOffset +
                          l.charWidth * (3 * column + (m_Caret.second ? 1 : 0));
            const int y = l.data.top() + static_cast<int>(row) * l.lineHeight + 1;
            const int height = (row == l.visibleLines - 1 ? l.lastLineHeight : l.lineHeight) - 1;
            const int left = std::max(x, l.data.left() - 2);
            const int right = std::min(x + l.charWidth, l.data.left() + l.data.width() + 2);
            if (right > left && height > 0) {
                m_CaretRect = QRect(left, y, right - left, height);
                m_CaretShown = true;
            }
        }
    }
    if (m_CaretShown) {
        m_CaretBlinkOn = true;
        m_CaretBlinkTimer.start();
    } else {
        m_CaretBlinkTimer.stop();
    }
    if (oldRect != m_CaretRect || !wasOn) {
        viewport()->update(oldRect);
        viewport()->update(m_CaretRect);
    }
}

// ---------------------------------------------------------------------------------------------
// Painting

void CHexEditBase::paintEvent(QPaintEvent* event) {
    const qreal ratio = viewport()->devicePixelRatioF();
    const QSize size = viewport()->size() * ratio;
    if (m_BackBuffer.size() != size) {
        m_BackBuffer = QImage(size, QImage::Format_RGB32);
    }
    m_BackBuffer.setDevicePixelRatio(ratio);
    {
        QPainter buffer(&m_BackBuffer);
        buffer.setClipRegion(event->region());
        Render(buffer);
    }
    QPainter screen(viewport());
    screen.drawImage(QPoint(0, 0), m_BackBuffer);
}

void CHexEditBase::Render(QPainter& p) {
    EnsureLayout();
    p.fillRect(viewport()->rect(), Or(m_Background, kDefBackground));
    if (m_Length == 0)
        return;
    p.save();
    p.setClipRect(m_Layout.data.adjusted(-2, 0, 2, 0), Qt::IntersectClip);
    p.setFont(m_Font);
    if (m_ShowAddress)
        PaintAddressColumn(p);
    PaintHexColumn(p);
    if (m_ShowAscii)
        PaintAsciiColumn(p);
    p.restore();
    if (m_CaretShown && m_CaretBlinkOn) {
        // An inverting block, like a system caret.
        p.save();
        p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        p.fillRect(m_CaretRect, Qt::white);
        p.restore();
    }
}

void CHexEditBase::PaintAddressColumn(QPainter& p) {
    const TS_HEX_LAYOUT& l = m_Layout;
    const int x = l.data.left() - m_HOffset;
    const QColor back = Or(m_AddressBack, kDefAddressBack);
    p.fillRect(QRect(x - kStripLead, l.data.top(), l.addressWidth, l.data.height()), back);
    p.setPen(Or(m_AddressText, kDefAddressText));
    for (int line = 0; line < l.visibleLines; ++line) {
        const qint64 row = m_FirstRow + line;
        if (row >= l.rows)
            break; // stop after the row that holds the last byte
        p.drawText(QPoint(x, l.data.top() + line * l.lineHeight + m_Ascent), RowAddressText(row));
    }
}

void CHexEditBase::PaintHexColumn(QPainter& p) {
    const TS_HEX_LAYOUT& l = m_Layout;
    const int cw = l.charWidth;
    const int h = l.lineHeight;
    const int left = l.data.left() - m_HOffset + l.hexStart;
    p.fillRect(QRect(left - kStripLead, l.data.top(), l.hexTextWidth + hexedit::kMargin, l.data.height()),
               Or(m_HexBack, kDefHexBack));

    const QColor frame = Or(m_HighlightFrame, kDefHighlightFrame);
    QPolygon polygon;
    if (m_HighFirst >= 0) {
        polygon = hexedit::HighlightPolygon(l, m_FirstRow, m_HOffset, m_HighFirst, m_HighLast);
        if (!polygon.isEmpty()) {
            p.setPen(frame);
            p.setBrush(Or(m_HighlightBack, kDefHighlightBack));
            p.drawPolygon(polygon);
            p.setBrush(Qt::NoBrush);
        }
    }

    const bool showSelection = m_SelFirst >= 0 && (hasFocus() || m_MultiLine);
    const QColor selBack = hasFocus() ? SelectionBackground() : InactiveSelectionBackground();
    const QColor selText = hasFocus() ? SelectionText() : InactiveSelectionText();
    const QColor hexText = Or(m_HexText, kDefHexText);
    const QColor highText = Or(m_HighlightText, kDefHighlightText);

    for (int line = 0; line < l.visibleLines; ++line) {
        const qint64 row = m_FirstRow + line;
        if (row >= l.rows)
            break;
        const qint64 start = row * l.bytesPerRow;
        const int count = static_cast<int>(std::min<qint64>(l.bytesPerRow, m_Length - start));
        const QString text = hexedit::FormatHexRow(m_Data + start, count);
        const int top = l.data.top() + line * h;
        const int baseline = top + m_Ascent;
        const qint64 end = start + count - 1;

        // Draws bytes [a, b] of the row (indices into the data) in one colour.
        auto drawBytes = [&](qint64 a, qint64 b, const QColor& colour) {
            if (a > b)
                return;
            p.setPen(colour);
            const int column = static_cast<int>(a - start);
            p.drawText(QPoint(left + 3 * cw * column, baseline),
                       text.mid(3 * column, 3 * static_cast<int>(b - a) + 2));
        };

        const qint64 ha = std::max(start, m_HighFirst);
        const qint64 hb = m_HighFirst >= 0 ? std::min(end, m_HighLast) : -1;
        if (ha <= hb) {
            drawBytes(start, ha - 1, hexText);
            drawBytes(ha, hb, highText);
            drawBytes(hb + 1, end, hexText);
        } else {
            drawBytes(start, end, hexText);
        }

        if (showSelection) {
            const qint64 sa = std::max(start, m_SelFirst);
            const qint64 sb = std::min(end, m_SelLast);
            if (sa <= sb) {
                const int x1 = left + 3 * cw * static_cast<int>(sa - start);
                const int x2 = left + (3 * static_cast<int>(sb - start) + 2) * cw;
                p.fillRect(QRect(x1, top + 1, x2 - x1 + 1, h - 1), selBack);
                drawBytes(sa, sb, selText);
            }
        }
    }

    if (!polygon.isEmpty()) {
        p.setPen(QPen(frame, 1));
        p.drawPolygon(polygon);
    }
}

void CHexEditBase::PaintAsciiColumn(QPainter& p) {
    const TS_HEX_LAYOUT& l = m_Layout;
    const int x = l.data.left() - m_HOffset + l.asciiStart;
    p.fillRect(QRect(x - kStripLead, l.data.top(), l.asciiWidth + hexedit::kMargin, l.data.height()),
               Or(m_AsciiBack, kDefAsciiBack));
    p.setPen(Or(m_AsciiText, kDefAsciiText));
    for (int line = 0; line < l.visibleLines; ++line) {
        const qint64 row = m_FirstRow + line;
        if (row >= l.rows)
            break;
        const qint64 start = row * l.bytesPerRow;
        const int count = static_cast<int>(std::min<qint64>(l.bytesPerRow, m_Length - start));
        p.drawText(QPoint(x, l.data.top() + line * l.lineHeight + m_Ascent),
                   hexedit::FormatAsciiRow(m_Data + start, count));
    }
}

// ---------------------------------------------------------------------------------------------
// Mouse

TS_HEX_CARET CHexEditBase::HitTest(QPoint viewportPoint) {
    EnsureLayout();
    return hexedit::HexHitTest(m_Layout, m_FirstRow, m_HOffset, viewportPoint, m_Length);
}

void CHexEditBase::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    setFocus(Qt::MouseFocusReason);
    if (m_Length == 0)
        return;
    const QPoint point = event->position().toPoint();
    m_Caret = HitTest(point);
    m_SelFirst = m_SelLast = -1;
    m_Anchor = m_Caret.byte;
    m_MovingEnd = -1;
    const int drag = std::max(1, QApplication::startDragDistance());
    m_DragRect = QRect(point - QPoint(drag / 2, drag / 2), QSize(drag, drag));
    PlaceCaret();
    viewport()->update();
}

void CHexEditBase::SelectFromAnchorTo(qint64 byte) {
    m_MovingEnd = byte;
    SetSelection(std::min(m_Anchor, byte), std::max(m_Anchor, byte), false, true);
}

void CHexEditBase::UpdateDragFromPoint(QPoint point) {
    if (m_Length == 0 || m_Anchor < 0)
        return;
    m_Caret = HitTest(point);
    SelectFromAnchorTo(m_Caret.byte);
    PlaceCaret();
}

void CHexEditBase::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton) || m_Anchor < 0 || m_Length == 0)
        return;
    const QPoint point = event->position().toPoint();
    if (!m_DragRect.isNull()) {
        if (m_DragRect.contains(point))
            return;
        m_DragRect = QRect();
    }
    EnsureLayout();
    if (m_MultiLine) {
        const QRect& data = m_Layout.data;
        if (point.y() < data.top())
            StartOrUpdateAutoScroll(-1, data.top() - point.y());
        else if (point.y() > data.bottom())
            StartOrUpdateAutoScroll(+1, point.y() - data.bottom());
        else
            StopAutoScroll();
    }
    m_AutoScroll.lastPoint = point;
    UpdateDragFromPoint(point);
}

void CHexEditBase::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    StopAutoScroll();
    m_DragRect = QRect();
    viewport()->update();
}

void CHexEditBase::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    setFocus(Qt::MouseFocusReason);
    if (m_Length == 0)
        return;
    m_Caret = HitTest(event->position().toPoint());
    if (m_HighFirst >= 0 && m_Caret.byte >= m_HighFirst && m_Caret.byte <= m_HighLast)
        SetSelection(m_HighFirst, m_HighLast, false, false);
    else
        SetSelection(m_Caret.byte, m_Caret.byte, false, false);
    PlaceCaret();
    viewport()->update();
}

void CHexEditBase::StartOrUpdateAutoScroll(int direction, int distance) {
    const int ticks = hexedit::AutoScrollTicksPerStep(distance);
    m_AutoScroll.direction = direction;
    m_AutoScroll.ticksPerStep = ticks; // a running countdown keeps going; only the reload changes
    if (!m_AutoScroll.active) {
        m_AutoScroll.active = true;
        m_AutoScroll.countdown = ticks;
        if (!m_ExternalTicks)
            m_AutoScrollTimer.start();
    }
}

void CHexEditBase::StopAutoScroll() {
    m_AutoScroll.active = false;
    m_AutoScrollTimer.stop();
}

void CHexEditBase::SetExternalAutoScrollTicks(bool on) {
    m_ExternalTicks = on;
    if (on)
        m_AutoScrollTimer.stop();
    else if (m_AutoScroll.active)
        m_AutoScrollTimer.start();
}

void CHexEditBase::AutoScrollTick() {
    if (!m_AutoScroll.active)
        return;
    if (m_AutoScroll.countdown > 0) {
        --m_AutoScroll.countdown;
        return;
    }
    m_AutoScroll.countdown = m_AutoScroll.ticksPerStep;
    ScrollTo(m_FirstRow + m_AutoScroll.direction, m_HOffset);
    UpdateDragFromPoint(m_AutoScroll.lastPoint);
}

void CHexEditBase::wheelEvent(QWheelEvent* event) {
    if (m_Length == 0)
        return;
    EnsureLayout();
    // One row per notch of 120; finer wheels add up until a notch is complete.
    m_WheelRemainderY += event->angleDelta().y();
    m_WheelRemainderX += event->angleDelta().x();
    const int rows = m_WheelRemainderY / -120;
    const int columns = m_WheelRemainderX / -120;
    m_WheelRemainderY %= 120;
    m_WheelRemainderX %= 120;
    ScrollTo(m_FirstRow + rows, m_HOffset + columns * m_Layout.charWidth);
    event->accept();
}

// ---------------------------------------------------------------------------------------------
// Keyboard

bool CHexEditBase::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride) {
        // Copy, paste and select-all belong to the control while it has the focus, whatever
        // shortcuts the window around it defines.
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->matches(QKeySequence::Copy) || key->matches(QKeySequence::Paste) ||
            key->matches(QKeySequence::SelectAll)) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void CHexEditBase::MoveCaretTo(qint64 digitPosition, bool extend) {
    if (m_Length == 0)
        return;
    digitPosition = std::clamp<qint64>(digitPosition, 0, 2 * m_Length - 1);
    if (extend) {
        if (m_Anchor < 0)
            m_Anchor = m_Caret.byte;
    } else {
        m_SelFirst = m_SelLast = -1;
        m_Anchor = m_MovingEnd = -1;
    }
    m_Caret.byte = digitPosition / 2;
    m_Caret.second = digitPosition % 2 != 0;
    if (extend)
        SelectFromAnchorTo(m_Caret.byte);
    MakeVisible(m_Caret.byte, m_Caret.byte);
    PlaceCaret();
    viewport()->update();
}

void CHexEditBase::keyPressEvent(QKeyEvent* event) {
    // The control takes every key that reaches it (Tab is handled before, as focus movement).
    event->accept();
    if (event->matches(QKeySequence::Copy)) {
        Copy();
        return;
    }
    if (event->matches(QKeySequence::Paste)) {
        Paste();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        SelectAll();
        return;
    }
    if (m_Length == 0)
        return;
    EnsureLayout();
    const bool extend = event->modifiers() & Qt::ShiftModifier;
    const qint64 position = 2 * m_Caret.byte + (m_Caret.second ? 1 : 0);
    const qint64 row = 2LL * m_Layout.bytesPerRow;
    const qint64 page = row * std::max(1, m_Layout.visibleLines - 1);
    switch (event->key()) {
    case Qt::Key_PageUp:
        MoveCaretTo(position - page, extend);
        return;
    case Qt::Key_PageDown:
        MoveCaretTo(position + page, extend);
        return;
    case Qt::Key_Home:
        MoveCaretTo(0, extend);
        return;
    case Qt::Key_End:
        MoveCaretTo(2 * m_Length - 1, extend);
        return;
    case Qt::Key_Left:
        MoveCaretTo(position - 1, extend);
        return;
    case Qt::Key_Right:
        MoveCaretTo(position + 1, extend);
        return;
    case Qt::Key_Up:
        MoveCaretTo(position - row, extend);
        return;
    case Qt::Key_Down:
        MoveCaretTo(position + row, extend);
        return;
    default:
        break;
    }
    const Qt::KeyboardModifiers mods = event->modifiers();
    if ((mods & Qt::ControlModifier) && !(mods & Qt::AltModifier))
        return;
    const QString text = event->text();
    if (text.size() == 1) {
        const int value = HexValue(text.at(0));
        if (value >= 0)
            TypeDigit(value);
    }
}

void CHexEditBase::TypeDigit(int value) {
    if (m_ReadOnly || m_Length == 0)
        return;
    std::uint8_t& byte = m_Data[m_Caret.byte];
    if (m_Caret.second)
        byte = static_cast<std::uint8_t>((byte & 0xF0) | value);
    else
        byte = static_cast<std::uint8_t>((byte & 0x0F) | (value << 4));
    const qint64 position = std::min(2 * m_Caret.byte + (m_Caret.second ? 1 : 0) + 1, 2 * m_Length - 1);
    m_Caret.byte = position / 2;
    m_Caret.second = position % 2 != 0;
    MakeVisible(m_Caret.byte, m_Caret.byte);
    PlaceCaret();
    viewport()->update();
    Notify();
}

void CHexEditBase::Notify() {
    emit EditChanged();
}

// ---------------------------------------------------------------------------------------------
// Clipboard and commands

void CHexEditBase::Copy() {
    if (m_SelFirst < 0 || m_Length == 0)
        return;
    auto* mime = new QMimeData;
    mime->setData(kBinaryDataMimeType,
                  hexedit::MakeBinaryRecord(m_Data + m_SelFirst, m_SelLast - m_SelFirst + 1));
    EnsureLayout();
    mime->setText(hexedit::FormatCopyText(m_Data, m_SelFirst, m_SelLast, m_Layout.bytesPerRow));
    QGuiApplication::clipboard()->setMimeData(mime);
}

bool CHexEditBase::ClipboardHasBinaryData() const {
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    return mime && mime->hasFormat(kBinaryDataMimeType);
}

void CHexEditBase::Paste() {
    if (m_ReadOnly || m_Length == 0)
        return;
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    if (!mime || !mime->hasFormat(kBinaryDataMimeType))
        return;
    const QByteArray bytes = hexedit::ParseBinaryRecord(mime->data(kBinaryDataMimeType));
    const qint64 start = m_SelFirst >= 0 ? m_SelFirst : m_Caret.byte;
    // The data never grows: what does not fit is dropped.
    const qint64 count = std::min<qint64>(bytes.size(), m_Length - start);
    if (count <= 0)
        return;
    std::memcpy(m_Data + start, bytes.constData(), static_cast<size_t>(count));
    SetSelection(start, start + count - 1, true, false);
    m_Caret = TS_HEX_CARET{start + count - 1, true};
    PlaceCaret();
    viewport()->update();
    Notify();
}

void CHexEditBase::SelectAll() {
    if (m_Length == 0)
        return;
    SetSelection(0, m_Length - 1, false, true);
}

QMenu* CHexEditBase::CreateContextMenu() {
    auto* menu = new QMenu(this);
    QAction* copy = menu->addAction(QStringLiteral("Copy"));
    copy->setEnabled(m_SelFirst >= 0);
    connect(copy, &QAction::triggered, this, &CHexEditBase::Copy);
    QAction* paste = menu->addAction(QStringLiteral("Paste"));
    paste->setEnabled(!m_ReadOnly && ClipboardHasBinaryData());
    connect(paste, &QAction::triggered, this, &CHexEditBase::Paste);
    OnPrepareContextMenu(menu);
    return menu;
}

void CHexEditBase::OnPrepareContextMenu(QMenu*) {}

void CHexEditBase::contextMenuEvent(QContextMenuEvent* event) {
    QPoint point(hexedit::kMargin, hexedit::kMargin);
    if (event->reason() != QContextMenuEvent::Keyboard) {
        point = event->pos();
        if (m_Length > 0) {
            m_Caret = HitTest(point);
            if (m_SelFirst >= 0 && (m_Caret.byte < m_SelFirst || m_Caret.byte > m_SelLast))
                m_SelFirst = m_SelLast = -1;
            PlaceCaret();
            viewport()->update();
        }
    }
    QMenu* menu = CreateContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(viewport()->mapToGlobal(point));
    event->accept();
}

// ---------------------------------------------------------------------------------------------
// Focus and state changes

void CHexEditBase::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    PlaceCaret();
    viewport()->update();
}

void CHexEditBase::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    // A popup (the context menu) takes the focus only for a moment: a drag stops all the same.
    StopAutoScroll();
    PlaceCaret();
    viewport()->update();
}

void CHexEditBase::hideEvent(QHideEvent* event) {
    StopAutoScroll();
    QAbstractScrollArea::hideEvent(event);
}

void CHexEditBase::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    switch (event->type()) {
    case QEvent::FontChange:
        // A font set on the control itself (not one inherited from its parent) is taken when it
        // is fixed-pitch.
        if (testAttribute(Qt::WA_SetFont))
            SetHexFont(font());
        break;
    case QEvent::PaletteChange:
    case QEvent::StyleChange:
        viewport()->update();
        break;
    default:
        break;
    }
}
