#include "HexLayout.h"

#include <algorithm>
#include <climits>

namespace hexedit {

namespace {

const char kDigits[] = "0123456789ABCDEF";

// Keeps every pixel position of a row inside int: a row is at most 4 characters per byte wide.
int MaxBytesPerRow(int charWidth) {
    return std::max(1, (INT_MAX / 4) / (4 * charWidth));
}

} // namespace

int FitBytesPerRow(int width, int charWidth, bool showAscii) {
    charWidth = std::max(1, charWidth);
    int bytes = 1;
    if (showAscii) {
        const int w = width - kMargin; // the gap between the hex text and the characters
        if (w < 0)
            return 1;
        const int unit = 4 * charWidth; // "XX " plus one character
        bytes = w / unit;
        if (w % unit >= 3 * charWidth)
            ++bytes; // the last byte needs no trailing space
    } else {
        if (width < 0)
            return 1;
        const int unit = 3 * charWidth;
        bytes = width / unit;
        if (width % unit >= 2 * charWidth)
            ++bytes;
    }
    return std::max(1, bytes);
}

TS_HEX_LAYOUT ComputeHexLayout(const TS_HEX_METRICS& m) {
    TS_HEX_LAYOUT l;
    l.charWidth = std::max(1, m.charWidth);
    l.lineHeight = std::max(1, m.lineHeight);
    const int cw = l.charWidth;

    l.data = m.client;
    if (m.multiLine)
        l.data.adjust(kMargin, kMargin, -kMargin, -kMargin);
    if (l.data.width() < 0)
        l.data.setWidth(0);
    if (l.data.height() < 0)
        l.data.setHeight(0);

    const int height = l.data.height();
    l.fullLines = height / l.lineHeight;
    const int rest = height % l.lineHeight;
    l.visibleLines = l.fullLines + (rest ? 1 : 0);
    l.lastLineHeight = rest ? rest : l.lineHeight;

    const int digits = std::clamp(m.addressDigits, 0, 255);
    l.addressWidth = m.showAddress ? digits * cw + kMargin : 0;

    qint64 bytes = m.bytesPerRow;
    if (!m.multiLine)
        bytes = m.length;
    else if (m.fitToWidth)
        bytes = FitBytesPerRow(l.data.width() - l.addressWidth, cw, m.showAscii);
    l.bytesPerRow = static_cast<int>(std::clamp<qint64>(bytes, 1, MaxBytesPerRow(cw)));

    l.hexStart = l.addressWidth;
    l.hexTextWidth = cw * (3 * l.bytesPerRow - 1);
    l.asciiStart = l.hexStart + l.hexTextWidth + kMargin;
    l.asciiWidth = m.showAscii ? cw * l.bytesPerRow : 0;
    // The gap after the last column lies in the data rectangle's margin, so it does not count
    // here: a row that fits gains no horizontal scroll bar for a few pixels of padding.
    l.contentWidth = m.showAscii ? l.asciiStart + l.asciiWidth : l.HexRight();

    const qint64 length = std::max<qint64>(0, m.length);
    l.rows = (length + l.bytesPerRow - 1) / l.bytesPerRow;
    l.vScrollLimit = m.multiLine ? std::max<qint64>(0, l.rows - l.fullLines) : 0;
    l.hScrollLimit = std::max(0, l.contentWidth - l.data.width());
    return l;
}

TS_HEX_CARET HexHitTest(const TS_HEX_LAYOUT& l, qint64 firstRow, int hOffset, QPoint point, qint64 length) {
    const int cw = l.charWidth;
    int x = point.x() - l.data.left() + hOffset + cw / 2;
    x = std::clamp(x, l.hexStart, std::max(l.hexStart, l.HexRight() - 1));
    int y = point.y() - l.data.top();
    y = std::clamp(y, 0, std::max(0, l.visibleLines * l.lineHeight - 1));

    const int row = y / l.lineHeight;
    const int column = (x - l.hexStart) / cw;
    TS_HEX_CARET caret;
    caret.byte = (row + firstRow) * l.bytesPerRow + column / 3;
    caret.second = column % 3 != 0;
    if (caret.byte >= length) {
        caret.byte = std::max<qint64>(0, length - 1);
        caret.second = true;
    }
    return caret;
}

int AutoScrollTicksPerStep(int distance) {
    distance = std::max(0, distance);
    return 7 - std::min((distance + 1) / 5, 6);
}

QString FormatAddress(std::uint32_t address, int digits) {
    return QString::number(address, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

QString FormatHexRow(const std::uint8_t* bytes, int count) {
    if (count <= 0)
        return {};
    QString text(3 * count - 1, QLatin1Char(' '));
    QChar* out = text.data();
    for (int i = 0; i < count; ++i) {
        out[3 * i] = QLatin1Char(kDigits[bytes[i] >> 4]);
        out[3 * i + 1] = QLatin1Char(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

QString FormatAsciiRow(const std::uint8_t* bytes, int count) {
    QString text(std::max(0, count), QLatin1Char('.'));
    QChar* out = text.data();
    for (int i = 0; i < count; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F)
            out[i] = QLatin1Char(static_cast<char>(bytes[i]));
    }
    return text;
}

QString FormatCopyText(const std::uint8_t* data, qint64 first, qint64 last, int bytesPerRow) {
    QString text;
    if (!data || first < 0 || last < first || bytesPerRow < 1)
        return text;
    int column = last - first > bytesPerRow ? static_cast<int>(first % bytesPerRow) : 0;
    const qint64 count = last - first + 1;
    text.reserve(count * 3 + count / bytesPerRow + 3 * column + 2);
    text.fill(QLatin1Char(' '), 3 * column);
    bool rowStarted = false;
    for (qint64 i = first; i <= last; ++i) {
        if (rowStarted)
            text += QLatin1Char(' ');
        text += QLatin1Char(kDigits[data[i] >> 4]);
        text += QLatin1Char(kDigits[data[i] & 0x0F]);
        rowStarted = true;
        if (++column == bytesPerRow) {
            text += QLatin1Char('\n');
            column = 0;
            rowStarted = false;
        }
    }
    if (rowStarted)
        text += QLatin1Char('\n');
    return text;
}

QByteArray MakeBinaryRecord(const std::uint8_t* bytes, qint64 count) {
    count = std::clamp<qint64>(count, 0, UINT32_MAX);
    if (!bytes)
        count = 0;
    QByteArray record;
    record.reserve(4 + count);
    const auto n = static_cast<std::uint32_t>(count);
    for (int shift = 0; shift < 32; shift += 8)
        record += static_cast<char>((n >> shift) & 0xFF);
    record.append(reinterpret_cast<const char*>(bytes), count);
    return record;
}

QByteArray ParseBinaryRecord(const QByteArray& record) {
    if (record.size() < 4)
        return {};
    std::uint32_t n = 0;
    for (int i = 0; i < 4; ++i)
        n |= std::uint32_t(std::uint8_t(record[i])) << (8 * i);
    const qint64 count = std::min<qint64>(n, record.size() - 4);
    return record.mid(4, count);
}

QPolygon HighlightPolygon(const TS_HEX_LAYOUT& l, qint64 firstRow, int hOffset, qint64 first, qint64 last) {
    QPolygon polygon;
    if (first < 0 || last < first)
        return polygon;
    const int bpr = l.bytesPerRow;
    const int w = l.charWidth;
    const int h = l.lineHeight;
    const int top = l.data.top();
    const int left = l.data.left() - hOffset + l.hexStart;
    const int right = left + l.hexTextWidth;

    const qint64 startRow = first / bpr - firstRow;
    const qint64 endRow = last / bpr - firstRow;
    if (startRow >= l.visibleLines || endRow < 0)
        return polygon;
    const int startColumn = static_cast<int>(first % bpr);
    const int endColumn = static_cast<int>(last % bpr);

    const int xs = left + 3 * w * startColumn - 2;
    const int xe = left + (3 * endColumn + 2) * w + 2;
    const int ys = top + static_cast<int>(std::max<qint64>(startRow, -2)) * h;

    if (startRow == endRow) {
        polygon << QPoint(xs, ys) << QPoint(xe, ys) << QPoint(xe, ys + h) << QPoint(xs, ys + h);
        return polygon;
    }

    // Rows below the view are folded just past its bottom.
    const bool endsAtRowEnd = endColumn == bpr - 1;
    const qint64 lastRow = std::min<qint64>(endRow, l.visibleLines + 1);
    if (startRow <= -2) {
        // The start lies well above the view: the outline leaves through the top edge.
        polygon << QPoint(left - 2, top - 1) << QPoint(right + 1, top - 1);
    } else {
        polygon << QPoint(xs, ys + h) << QPoint(xs, ys) << QPoint(right + 1, ys);
    }
    if (endsAtRowEnd) {
        const int ye = top + static_cast<int>(lastRow + 1) * h; // bottom of the last row
        polygon << QPoint(right + 1, ye) << QPoint(left - 2, ye);
    } else {
        const int ye = top + static_cast<int>(lastRow) * h; // top of the last row
        polygon << QPoint(right + 1, ye) << QPoint(xe, ye) << QPoint(xe, ye + h) << QPoint(left - 2, ye + h);
    }
    if (startRow > -2)
        polygon << QPoint(left - 2, ys + h);
    return polygon;
}

} // namespace hexedit
