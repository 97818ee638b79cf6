// Layout, hit-test and text arithmetic of the hex view. Pure functions of their inputs, so the
// control's geometry can be checked without a window, a font or a clipboard.
#pragma once

#include <QByteArray>
#include <QPoint>
#include <QPolygon>
#include <QRect>
#include <QString>

#include <cstdint>

namespace hexedit {

// Gap in pixels around the data rectangle and after each column's text.
inline constexpr int kMargin = 5;

// Settings and font metrics that the layout depends on.
struct TS_HEX_METRICS {
    QRect client;             // client (viewport) rectangle
    int charWidth = 1;        // width of "0"
    int lineHeight = 1;       // height of "0"
    bool multiLine = true;    // rows and scroll bars; off puts every byte into one row
    bool fitToWidth = false;  // bytes per row follow the width
    int bytesPerRow = 16;     // used when not fitting
    int addressDigits = 8;    // digits printed in the address column
    bool showAddress = false; // address column
    bool showAscii = false;   // character column
    qint64 length = 0;        // bytes of data
};

// The results. Column positions are in content pixels: 0 is the left edge of the data rectangle
// before the horizontal offset is applied.
struct TS_HEX_LAYOUT {
    QRect data;              // where the rows are drawn
    int charWidth = 1;       //
    int lineHeight = 1;      //
    int visibleLines = 0;    // rows touched by the data rectangle (rounded up)
    int fullLines = 0;       // rows wholly inside it (rounded down)
    int lastLineHeight = 0;  // visible height of the bottom row
    int bytesPerRow = 1;     // in effect
    int addressWidth = 0;    // 0 without the address column
    int hexStart = 0;        // left edge of the hex text
    int hexTextWidth = 0;    // width of the hex text, without its trailing gap
    int asciiStart = 0;      // left edge of the character column text (when shown)
    int asciiWidth = 0;      // 0 without the character column
    int contentWidth = 0;    // right edge of the last column's text
    qint64 rows = 0;         // rows needed for the data
    qint64 vScrollLimit = 0; // largest first visible row
    int hScrollLimit = 0;    // largest horizontal offset in pixels

    int HexRight() const { return hexStart + hexTextWidth; }
};

// Bytes per row that fit `width` pixels (the data width less the address column).
int FitBytesPerRow(int width, int charWidth, bool showAscii);

TS_HEX_LAYOUT ComputeHexLayout(const TS_HEX_METRICS& m);

// Caret position: a byte index and whether the caret is on its second (low-nibble) digit.
struct TS_HEX_CARET {
    qint64 byte = 0;
    bool second = false;

    friend bool operator==(const TS_HEX_CARET&, const TS_HEX_CARET&) = default;
};

// Maps a client point to the caret position it designates. The point's x is taken half a
// character to the right, so a click on the right half of a digit lands after it. Needs data.
TS_HEX_CARET HexHitTest(const TS_HEX_LAYOUT& layout, qint64 firstRow, int hOffset, QPoint point,
                        qint64 length);

// Ticks of the 5 ms auto-scroll timer to skip between two scrolled rows, for a mouse `distance`
// pixels beyond the data rectangle: 7 next to it, one less every 5 pixels, 1 from 29 pixels on.
// A row scrolls every ticks-per-step + 1 ticks.
int AutoScrollTicksPerStep(int distance);

// Address label: uppercase hex, at least `digits` digits with leading zeros.
QString FormatAddress(std::uint32_t address, int digits);

// Row text of the hex column: two uppercase digits per byte, separated by single spaces.
QString FormatHexRow(const std::uint8_t* bytes, int count);

// Row text of the character column: printable ASCII as itself, anything else as ".".
QString FormatAsciiRow(const std::uint8_t* bytes, int count);

// Text form of a copied range [first, last] of `data`: hex rows of `bytesPerRow` values, each
// ending with "\n". When the range spans more than a row's worth of indices, the first row starts
// at the range's column and is indented by three spaces per skipped column.
QString FormatCopyText(const std::uint8_t* data, qint64 first, qint64 last, int bytesPerRow);

// The binary clipboard record: a 4-byte little-endian count, then the bytes.
QByteArray MakeBinaryRecord(const std::uint8_t* bytes, qint64 count);
// The bytes of a binary record; a count larger than the bytes present is cut to them, a record
// shorter than its count field gives none.
QByteArray ParseBinaryRecord(const QByteArray& record);

// Outline of the highlighted range [first, last] in client coordinates, or an empty polygon when
// no part of it can be seen. Rows far outside the view are folded onto the data rectangle's edge.
QPolygon HighlightPolygon(const TS_HEX_LAYOUT& layout, qint64 firstRow, int hOffset, qint64 first,
                          qint64 last);

} // namespace hexedit
