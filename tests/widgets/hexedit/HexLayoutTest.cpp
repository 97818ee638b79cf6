// Layout, hit-test and text arithmetic of the hex view, without a window.
#include <QTest>

#include "HexLayout.h"

using namespace hexedit;

namespace {

// A 7-pixel font with 14-pixel lines; the client is (0, 0) to (width, height).
TS_HEX_METRICS Metrics(int width, int height, qint64 length) {
    TS_HEX_METRICS m;
    m.client = QRect(0, 0, width, height);
    m.charWidth = 7;
    m.lineHeight = 14;
    m.length = length;
    return m;
}

QByteArray Sequence(int count) {
    QByteArray bytes(count, 0);
    for (int i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(i);
    return bytes;
}

const std::uint8_t* U8(const QByteArray& bytes) {
    return reinterpret_cast<const std::uint8_t*>(bytes.constData());
}

} // namespace

class HexLayoutTest : public QObject {
    Q_OBJECT

private slots:
    void fitBytesPerRow_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<bool>("ascii");
        QTest::addColumn<int>("bytes");
        // With characters a byte takes 4 widths (28 px) after a 5-pixel gap; a remainder of 3
        // widths (21 px) still holds one more byte, whose trailing space is not needed.
        QTest::newRow("ascii whole units") << 5 + 4 * 28 << true << 4;
        QTest::newRow("ascii remainder 20") << 5 + 4 * 28 + 20 << true << 4;
        QTest::newRow("ascii remainder 21") << 5 + 4 * 28 + 21 << true << 5;
        QTest::newRow("ascii remainder 27") << 5 + 4 * 28 + 27 << true << 5;
        QTest::newRow("ascii below the gap") << 4 << true << 1;
        QTest::newRow("ascii nothing fits") << 5 + 20 << true << 1;
        // Without characters a byte takes 3 widths (21 px); a remainder of 2 widths gains one.
        QTest::newRow("hex whole units") << 4 * 21 << false << 4;
        QTest::newRow("hex remainder 13") << 4 * 21 + 13 << false << 4;
        QTest::newRow("hex remainder 14") << 4 * 21 + 14 << false << 5;
        QTest::newRow("hex negative") << -3 << false << 1;
        QTest::newRow("hex nothing fits") << 10 << false << 1;
    }
    void fitBytesPerRow() {
        QFETCH(int, width);
        QFETCH(bool, ascii);
        QFETCH(int, bytes);
        QCOMPARE(FitBytesPerRow(width, 7, ascii), bytes);
    }

    void layoutColumnsAndLines() {
        TS_HEX_METRICS m = Metrics(400, 10 + 14 * 5 + 6, 100); // five full lines and a part
        m.showAddress = true;
        m.showAscii = true;
        m.bytesPerRow = 8;
        const TS_HEX_LAYOUT l = ComputeHexLayout(m);
        QCOMPARE(l.data, QRect(5, 5, 390, 14 * 5 + 6));
        QCOMPARE(l.fullLines, 5);
        QCOMPARE(l.visibleLines, 6);
        QCOMPARE(l.lastLineHeight, 6);
        QCOMPARE(l.addressWidth, 8 * 7 + 5);
        QCOMPARE(l.hexStart, 61);
        QCOMPARE(l.hexTextWidth, 7 * 23);
        QCOMPARE(l.asciiStart, 61 + 161 + 5);
        QCOMPARE(l.asciiWidth, 56);
        QCOMPARE(l.rows, 13);
        QCOMPARE(l.vScrollLimit, 13 - 5);
        QCOMPARE(l.hScrollLimit, 0);

        m.client = QRect(0, 0, 100, 10 + 14 * 4); // exact lines, narrow
        const TS_HEX_LAYOUT n = ComputeHexLayout(m);
        QCOMPARE(n.visibleLines, 4);
        QCOMPARE(n.lastLineHeight, 14);
        QCOMPARE(n.hScrollLimit, n.asciiStart + n.asciiWidth - 90);

        m.client = QRect(0, 0, 6, 3); // never inverted
        const TS_HEX_LAYOUT tiny = ComputeHexLayout(m);
        QCOMPARE(tiny.data.width(), 0);
        QCOMPARE(tiny.data.height(), 0);
        QCOMPARE(tiny.visibleLines, 0);
    }

    void layoutFitWithAddress() {
        // Data width 10 px less than the client; the address column takes 4 digits + 5 px.
        TS_HEX_METRICS m = Metrics(10 + 33 + 5 + 2 * 28 + 21, 100, 64);
        m.showAddress = true;
        m.addressDigits = 4;
        m.showAscii = true;
        m.fitToWidth = true;
        QCOMPARE(ComputeHexLayout(m).bytesPerRow, 3);
        m.client.setWidth(m.client.width() - 1);
        QCOMPARE(ComputeHexLayout(m).bytesPerRow, 2);
        // A fitted row never needs a horizontal scroll bar.
        for (int width = 40; width < 400; ++width) {
            m.client.setWidth(width);
            const TS_HEX_LAYOUT l = ComputeHexLayout(m);
            if (l.bytesPerRow > 1)
                QCOMPARE(l.hScrollLimit, 0);
        }
        // Without the multi-line style every byte is in one row and there are no margins.
        m.multiLine = false;
        const TS_HEX_LAYOUT single = ComputeHexLayout(m);
        QCOMPARE(single.bytesPerRow, 64);
        QCOMPARE(single.rows, 1);
        QCOMPARE(single.data, m.client);
        QCOMPARE(single.vScrollLimit, 0);
    }

    void hitTest_data() {
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<qint64>("firstRow");
        QTest::addColumn<int>("offset");
        QTest::addColumn<qint64>("byte");
        QTest::addColumn<bool>("second");
        // No address column: the hex text starts at x = 5; byte k of a row at 5 + 21 k.
        QTest::newRow("first digit left half") << QPoint(5, 5) << qint64(0) << 0 << qint64(0) << false;
        QTest::newRow("first digit right half") << QPoint(9, 5) << qint64(0) << 0 << qint64(0) << true;
        QTest::newRow("second digit") << QPoint(14, 10) << qint64(0) << 0 << qint64(0) << true;
        QTest::newRow("right half of space")
            << QPoint(5 + 14 + 4, 10) << qint64(0) << 0 << qint64(1) << false;
        QTest::newRow("second row") << QPoint(5 + 21 * 2, 5 + 14) << qint64(0) << 0 << qint64(6) << false;
        QTest::newRow("scrolled") << QPoint(5 + 21 * 2, 5 + 14) << qint64(2) << 0 << qint64(14) << false;
        QTest::newRow("offset") << QPoint(5, 5) << qint64(0) << 21 << qint64(1) << false;
        QTest::newRow("left of text") << QPoint(-50, 5) << qint64(0) << 0 << qint64(0) << false;
        QTest::newRow("right of text") << QPoint(900, 5) << qint64(0) << 0 << qint64(3) << true;
        QTest::newRow("above") << QPoint(5, -40) << qint64(1) << 0 << qint64(4) << false;
        QTest::newRow("below the view") << QPoint(5, 900) << qint64(0) << 0 << qint64(12) << false;
        QTest::newRow("past the end")
            << QPoint(5 + 21 * 3, 5 + 14 * 3) << qint64(1) << 0 << qint64(17) << true;
    }
    void hitTest() {
        QFETCH(QPoint, point);
        QFETCH(qint64, firstRow);
        QFETCH(int, offset);
        QFETCH(qint64, byte);
        QFETCH(bool, second);
        TS_HEX_METRICS m = Metrics(10 + 200, 10 + 14 * 4, 18); // 4 lines, 4 bytes per row
        m.bytesPerRow = 4;
        const TS_HEX_CARET caret = HexHitTest(ComputeHexLayout(m), firstRow, offset, point, 18);
        QCOMPARE(caret.byte, byte);
        QCOMPARE(caret.second, second);
    }

    void autoScrollTicks_data() {
        QTest::addColumn<int>("distance");
        QTest::addColumn<int>("ticks");
        QTest::newRow("at the edge") << 0 << 7;
        QTest::newRow("3") << 3 << 7;
        QTest::newRow("4") << 4 << 6;
        QTest::newRow("12: a row every 6 ticks") << 12 << 5;
        QTest::newRow("28") << 28 << 2;
        QTest::newRow("29") << 29 << 1;
        QTest::newRow("40: a row every 2 ticks") << 40 << 1;
        QTest::newRow("far") << 5000 << 1;
    }
    void autoScrollTicks() {
        QFETCH(int, distance);
        QFETCH(int, ticks);
        QCOMPARE(AutoScrollTicksPerStep(distance), ticks);
    }

    void addresses() {
        QCOMPARE(FormatAddress(0, 8), QStringLiteral("00000000"));
        QCOMPARE(FormatAddress(0x8000ABCDu, 8), QStringLiteral("8000ABCD"));
        QCOMPARE(FormatAddress(0x1F, 4), QStringLiteral("001F"));
        QCOMPARE(FormatAddress(0x12345, 4), QStringLiteral("12345")); // never cut
    }

    void rowTexts() {
        const std::uint8_t bytes[] = {0x00, 0x7F, 0xA5, 0x41, 0x20, 0x7E, 0xFF};
        QCOMPARE(FormatHexRow(bytes, 3), QStringLiteral("00 7F A5"));
        QCOMPARE(FormatHexRow(bytes, 0), QString());
        QCOMPARE(FormatAsciiRow(bytes, 7), QStringLiteral("...A ~."));
    }

    void copyText_data() {
        QTest::addColumn<qint64>("first");
        QTest::addColumn<qint64>("last");
        QTest::addColumn<QString>("text");
        QTest::newRow("2..9 indented")
            << qint64(2) << qint64(9) << QStringLiteral("      02 03\n04 05 06 07\n08 09\n");
        QTest::newRow("3..6 no indent") << qint64(3) << qint64(6) << QStringLiteral("03 04 05 06\n");
        QTest::newRow("3..7 no indent") << qint64(3) << qint64(7) << QStringLiteral("03 04 05 06\n07\n");
        QTest::newRow("one byte") << qint64(5) << qint64(5) << QStringLiteral("05\n");
        QTest::newRow("whole rows") << qint64(0) << qint64(7) << QStringLiteral("00 01 02 03\n04 05 06 07\n");
    }
    void copyText() {
        QFETCH(qint64, first);
        QFETCH(qint64, last);
        QFETCH(QString, text);
        const QByteArray data = Sequence(16);
        QCOMPARE(FormatCopyText(U8(data), first, last, 4), text);
    }

    void binaryRecord() {
        const QByteArray bytes = QByteArray::fromHex("0102FF");
        const QByteArray record = MakeBinaryRecord(U8(bytes), 3);
        QCOMPARE(record, QByteArray::fromHex("030000000102FF"));
        QCOMPARE(ParseBinaryRecord(record), bytes);
        QCOMPARE(ParseBinaryRecord(QByteArray::fromHex("0A0000000102")),
                 QByteArray::fromHex("0102")); // short
        QCOMPARE(ParseBinaryRecord(QByteArray::fromHex("0100")), QByteArray());
        QCOMPARE(ParseBinaryRecord(QByteArray::fromHex("FFFFFFFF")), QByteArray());
        QCOMPARE(ParseBinaryRecord(MakeBinaryRecord(nullptr, 0)), QByteArray());
    }

    void highlightPolygon_data() {
        QTest::addColumn<qint64>("firstRow");
        QTest::addColumn<qint64>("first");
        QTest::addColumn<qint64>("last");
        QTest::addColumn<QPolygon>("polygon");
        // 4 bytes per row, w = 7, h = 14, hex text from L = 5 to R = 5 + 77 = 82, rows from y = 5.
        QTest::newRow("one row")
            << qint64(0) << qint64(1) << qint64(2)
            << QPolygon({{5 + 21 - 2, 5}, {5 + 56 + 2, 5}, {5 + 56 + 2, 19}, {5 + 21 - 2, 19}});
        QTest::newRow("ends inside a row")
            << qint64(0) << qint64(2) << qint64(5)
            << QPolygon({{45, 19}, {45, 5}, {83, 5}, {83, 19}, {42, 19}, {42, 33}, {3, 33}, {3, 19}});
        QTest::newRow("ends at a row end")
            << qint64(0) << qint64(2) << qint64(7)
            << QPolygon({{45, 19}, {45, 5}, {83, 5}, {83, 33}, {3, 33}, {3, 19}});
        QTest::newRow("start scrolled far above")
            << qint64(5) << qint64(2) << qint64(25)
            << QPolygon({{3, 4}, {83, 4}, {83, 19}, {42, 19}, {42, 33}, {3, 33}});
        QTest::newRow("start below the view") << qint64(0) << qint64(40) << qint64(42) << QPolygon();
        QTest::newRow("end above the view") << qint64(5) << qint64(0) << qint64(3) << QPolygon();
    }
    void highlightPolygon() {
        QFETCH(qint64, firstRow);
        QFETCH(qint64, first);
        QFETCH(qint64, last);
        QFETCH(QPolygon, polygon);
        TS_HEX_METRICS m = Metrics(10 + 200, 10 + 14 * 4, 200);
        m.bytesPerRow = 4;
        QCOMPARE(HighlightPolygon(ComputeHexLayout(m), firstRow, 0, first, last), polygon);
    }
};

QTEST_GUILESS_MAIN(HexLayoutTest)
#include "HexLayoutTest.moc"
