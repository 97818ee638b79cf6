// The caption progress bar: range arithmetic, the two-colour text, captions and repaints.
#include "CaptionProgressCtrl.h"
#include "Screenshot.h"

#include <QTest>

namespace {

// Columns of the bar's client area that hold text pixels of a colour other than the two fills.
struct TextScan {
    bool barColouredText = false;  // text pixels in the bar colour over the rest
    bool restColouredText = false; // text pixels in the rest colour over the bar
};

TextScan Scan(CCaptionProgressCtrl& bar, const QColor& barColor, const QColor& restColor) {
    const QImage image = bar.grab().toImage();
    const QRect client = bar.contentsRect();
    const int edge = client.left() + bar.GetPos() * client.width() / 100;
    TextScan scan;
    // Text colours are the fills swapped; anti-aliasing blends them, so look for exact pixels.
    for (int y = client.top(); y <= client.bottom(); ++y) {
        for (int x = client.left(); x <= client.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (x < edge - 1 && c == restColor)
                scan.restColouredText = true;
            if (x > edge + 1 && c == barColor)
                scan.barColouredText = true;
        }
    }
    return scan;
}

} // namespace

class CaptionProgressCtrlTest : public QObject {
    Q_OBJECT
private slots:
    void percentage_data();
    void percentage();
    void rangeAndSteps();
    void textChangesColourAtTheBarEdge();
    void captionReplacesThePercentage();
    void repaintsOnlyWhenTheLengthChanges();
    void verticalBarHasNoText();
    void colours();
};

void CaptionProgressCtrlTest::percentage_data() {
    QTest::addColumn<int>("lower");
    QTest::addColumn<int>("upper");
    QTest::addColumn<int>("pos");
    QTest::addColumn<QString>("text");
    QTest::newRow("default, 0") << 0 << 100 << 0 << "0%";
    QTest::newRow("33 of 0..200") << 0 << 200 << 33 << "16%";
    QTest::newRow("199 of 0..200") << 0 << 200 << 199 << "99%";
    QTest::newRow("full") << 0 << 200 << 200 << "100%";
    QTest::newRow("offset range") << 1000 << 2000 << 1500 << "50%";
    QTest::newRow("32-bit addresses") << 0x08000000 << 0x08800000 << 0x08400000 << "50%";
}

void CaptionProgressCtrlTest::percentage() {
    QFETCH(int, lower);
    QFETCH(int, upper);
    QFETCH(int, pos);
    QFETCH(QString, text);
    CCaptionProgressCtrl bar;
    bar.SetRange32(lower, upper);
    bar.SetPos(pos);
    QCOMPARE(bar.ShownText(), text);
}

void CaptionProgressCtrlTest::rangeAndSteps() {
    CCaptionProgressCtrl bar;
    int lower = -1;
    int upper = -1;
    bar.GetRange(lower, upper);
    QCOMPARE(lower, 0);
    QCOMPARE(upper, 100);
    bar.SetRange(10, 20);
    QCOMPARE(bar.GetRangeLimit(true), 10);
    QCOMPARE(bar.GetRangeLimit(false), 20);
    QCOMPARE(bar.SetPos(12), 0);
    QCOMPARE(bar.OffsetPos(3), 12);
    QCOMPARE(bar.GetPos(), 15);
    QCOMPARE(bar.SetStep(4), 1);
    QCOMPARE(bar.StepIt(), 15);
    QCOMPARE(bar.GetPos(), 19);
    QCOMPARE(bar.StepIt(), 19);
    QCOMPARE(bar.GetPos(), 23); // not clamped: the caller keeps it in range
}

void CaptionProgressCtrlTest::textChangesColourAtTheBarEdge() {
    CCaptionProgressCtrl bar;
    bar.resize(300, 28);
    QFont font = bar.font();
    font.setPixelSize(20);
    font.setBold(true);
    bar.setFont(font);
    bar.SetBarColor(QColor(0, 90, 200));
    bar.SetBkColor(QColor(250, 250, 250));
    bar.SetPos(50);
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    const TextScan half = Scan(bar, QColor(0, 90, 200), QColor(250, 250, 250));
    QVERIFY2(half.restColouredText, "the text over the bar is not in the rest's colour");
    QVERIFY2(half.barColouredText, "the text over the rest is not in the bar's colour");
    testsupport::SaveScreenshot(&bar, QStringLiteral("caption-progress-50"));

    // A text colour of its own is used on both parts.
    bar.SetTextColor(QColor(200, 0, 0));
    const QImage image = bar.grab().toImage();
    bool red = false;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            red = red || image.pixelColor(x, y) == QColor(200, 0, 0);
    QVERIFY(red);
}

void CaptionProgressCtrlTest::captionReplacesThePercentage() {
    CCaptionProgressCtrl bar;
    bar.SetPos(40);
    QCOMPARE(bar.ShownText(), QStringLiteral("40%"));
    bar.SetWindowText(QStringLiteral("Erasing ostra boot area in CS#0 flash memory.."));
    QCOMPARE(bar.ShownText(), QStringLiteral("Erasing ostra boot area in CS#0 flash memory.."));
    QCOMPARE(bar.GetWindowText(), QStringLiteral("Erasing ostra boot area in CS#0 flash memory.."));
    bar.SetWindowText(QString());
    QCOMPARE(bar.ShownText(), QStringLiteral("40%"));
    bar.ShowText(false);
    QCOMPARE(bar.ShownText(), QString());
}

void CaptionProgressCtrlTest::repaintsOnlyWhenTheLengthChanges() {
    CCaptionProgressCtrl bar;
    bar.resize(100 + 2 * bar.frameWidth(), 20);
    bar.SetRange32(0, 1000);
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    bar.SetPos(0); // the first position after a resize always paints
    QApplication::processEvents();
    const int before = bar.PaintCount();
    bar.SetPos(5); // 0.5 pixel: the same length as 0
    QCOMPARE(bar.PaintCount(), before);
    bar.SetPos(10); // one pixel: painted at once
    QCOMPARE(bar.PaintCount(), before + 1);
    bar.SetPos(19);
    QCOMPARE(bar.PaintCount(), before + 1);
    bar.SetPos(500);
    QCOMPARE(bar.PaintCount(), before + 2);
    // After a resize the next position paints whatever the length.
    bar.resize(200 + 2 * bar.frameWidth(), 20);
    QApplication::processEvents();
    const int resized = bar.PaintCount();
    bar.SetPos(500);
    QCOMPARE(bar.PaintCount(), resized + 1);
}

void CaptionProgressCtrlTest::verticalBarHasNoText() {
    CCaptionProgressCtrl bar;
    bar.SetVertical(true);
    bar.resize(24, 120);
    bar.SetPos(25);
    QCOMPARE(bar.ShownText(), QString());
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    const QImage image = bar.grab().toImage();
    const QRect client = bar.contentsRect();
    const QColor highlight = bar.palette().color(QPalette::Active, QPalette::Highlight);
    // The bar fills the lowest quarter, from the bottom up.
    QCOMPARE(image.pixelColor(client.center().x(), client.bottom() - 2), highlight);
    QVERIFY(image.pixelColor(client.center().x(), client.top() + 2) != highlight);
    testsupport::SaveScreenshot(&bar, QStringLiteral("caption-progress-vertical"));
}

void CaptionProgressCtrlTest::colours() {
    CCaptionProgressCtrl bar;
    QVERIFY(!bar.GetBarColor().isValid());
    QCOMPARE(bar.SetBarColor(Qt::green), QColor());
    QCOMPARE(bar.SetBarColor(QColor()), QColor(Qt::green));
    QCOMPARE(bar.SetBkColor(Qt::white), QColor());
    QCOMPARE(bar.SetTextColor(Qt::red), QColor());
    QCOMPARE(bar.GetTextColor(), QColor(Qt::red));
}

QTEST_MAIN(CaptionProgressCtrlTest)
#include "CaptionProgressCtrlTest.moc"
