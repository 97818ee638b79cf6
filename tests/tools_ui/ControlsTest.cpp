// The Memory Dump page's own controls: the number spin control (text forms, the integer side, the
// arrow rule) and the file information label (where a long text is shortened).
#include <QFontMetrics>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include "FileInfoLabel.h"
#include "NumberSpinCtrl.h"
#include "Screenshot.h"

class ControlsTest : public QObject {
    Q_OBJECT
private slots:
    void spinTextForms_data();
    void spinTextForms();
    void spinIntegerSide_data();
    void spinIntegerSide();
    void spinArrows_data();
    void spinArrows();
    void spinKeysInTheBuddy();
    void pathEllipsis_data();
    void pathEllipsis();
    void labelPaintsAtOnce();
};

void ControlsTest::spinTextForms_data() {
    QTest::addColumn<int>("places");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("shortest whole") << -1 << 250.0 << "250";
    QTest::newRow("shortest fraction") << -1 << 2.5 << "2.5";
    QTest::newRow("shortest large") << -1 << 12345678.0 << "1.23457e+07";
    QTest::newRow("fixed two") << 2 << 3.14159 << "3.14";
    QTest::newRow("fixed none rounds") << 0 << 2.6 << "3";
    QTest::newRow("fixed keeps exponent form") << 2 << 12345678.0 << "1.23e+07";
    QTest::newRow("fixed small exponent") << 3 << 0.00001 << "1.000e-05";
}

void ControlsTest::spinTextForms() {
    QFETCH(int, places);
    QFETCH(double, value);
    QFETCH(QString, text);
    CNumberSpinCtrl spin;
    QLineEdit buddy;
    spin.SetBuddy(&buddy);
    spin.SetDecimalPlaces(places);
    spin.SetRangeAndDelta(-1e9, 1e9, 1.0);
    spin.SetPos(value);
    QCOMPARE(buddy.text(), text);
    QCOMPARE(spin.FormatValue(value), text);
}

void ControlsTest::spinIntegerSide_data() {
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");
    QTest::addColumn<double>("delta");
    QTest::addColumn<int>("range");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("position");
    QTest::newRow("page bytes, low end") << 1.0 << 1000.0 << 1.0 << 999 << 1.0 << 0;
    QTest::newRow("page bytes, below") << 1.0 << 1000.0 << 1.0 << 999 << -5.0 << 0;
    QTest::newRow("page bytes, above") << 1.0 << 1000.0 << 1.0 << 999 << 2000.0 << 999;
    QTest::newRow("half steps") << 0.0 << 10.0 << 0.5 << 20 << 2.5 << 5;
    QTest::newRow("rounds half up") << 0.0 << 10.0 << 1.0 << 10 << 2.5 << 3;
    QTest::newRow("rounds down") << 0.0 << 10.0 << 1.0 << 10 << 2.4 << 2;
    QTest::newRow("reversed range counts its size") << 10.0 << 0.0 << 1.0 << 10 << 20.0 << 10;
    QTest::newRow("capped") << 0.0 << 100000.0 << 1.0 << 32767 << 50000.0 << 16384;
}

void ControlsTest::spinIntegerSide() {
    QFETCH(double, minimum);
    QFETCH(double, maximum);
    QFETCH(double, delta);
    QFETCH(int, range);
    QFETCH(double, value);
    QFETCH(int, position);
    CNumberSpinCtrl spin;
    spin.SetRangeAndDelta(minimum, maximum, delta);
    QCOMPARE(spin.GetIntRange(), range);
    spin.SetPos(value);
    QCOMPARE(spin.GetIntPos(), position);
}

void ControlsTest::spinArrows_data() {
    QTest::addColumn<QString>("before");
    QTest::addColumn<int>("steps");
    QTest::addColumn<QString>("after");
    QTest::newRow("up") << "5" << 1 << "6";
    QTest::newRow("several up") << "5" << 3 << "8";
    QTest::newRow("down") << "5" << -1 << "4";
    QTest::newRow("up stops at the maximum") << "250" << 1 << "250";
    QTest::newRow("up from above is cut") << "900" << 1 << "250";
    QTest::newRow("down stops at the minimum") << "1" << -1 << "1";
    QTest::newRow("down from nothing is raised") << "" << -1 << "1";
    QTest::newRow("up from nothing") << "" << 1 << "1";
}

void ControlsTest::spinArrows() {
    QFETCH(QString, before);
    QFETCH(int, steps);
    QFETCH(QString, after);
    CNumberSpinCtrl spin;
    QLineEdit buddy;
    spin.SetBuddy(&buddy);
    spin.SetDecimalPlaces(-1);
    spin.SetRangeAndDelta(1.0, 250.0, 1.0);
    buddy.setText(before);
    QSignalSpy stepped(&spin, &CNumberSpinCtrl::ValueStepped);
    spin.Step(steps);
    QCOMPARE(buddy.text(), after);
    QCOMPARE(stepped.count(), 1);
}

void ControlsTest::spinKeysInTheBuddy() {
    QWidget window;
    auto* buddy = new QLineEdit(&window);
    auto* spin = new CNumberSpinCtrl(&window);
    spin->SetBuddy(buddy);
    spin->SetRangeAndDelta(1.0, 1000.0, 1.0);
    buddy->setText(QStringLiteral("10"));
    QTest::keyClick(buddy, Qt::Key_Up);
    QTest::keyClick(buddy, Qt::Key_Up);
    QCOMPARE(buddy->text(), QStringLiteral("12"));
    QTest::keyClick(buddy, Qt::Key_Down);
    QCOMPARE(buddy->text(), QStringLiteral("11"));
    // Other keys still reach the edit.
    buddy->selectAll();
    QTest::keyClicks(buddy, QStringLiteral("42"));
    QCOMPARE(buddy->text(), QStringLiteral("42"));
}

void ControlsTest::pathEllipsis_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("widthInChars");
    QTest::addColumn<bool>("pathMode");
    QTest::addColumn<QString>("mustStart");
    QTest::addColumn<QString>("mustEnd");
    const QString path = QStringLiteral("/home/engineer/dumps/handset-1234/bootloader/area.bin[1030 bytes]");
    QTest::newRow("fits") << path << 200 << true << path << path;
    QTest::newRow("path mode keeps the file name") << path << 40 << true << "/home"
                                                   << "/area.bin[1030 bytes]";
    QTest::newRow("end mode keeps the start")
        << path << 40 << false << "/home/engineer" << QString(QChar(0x2026));
    QTest::newRow("file name alone too long") << path << 12 << true << QString(QChar(0x2026)) << "bytes]";
    QTest::newRow("file name fits only alone") << path << -1 << true << QString(QChar(0x2026)) << "bytes]";
    QTest::newRow("no folder") << QStringLiteral("a-very-long-name-without-any-folder.bin[12 bytes]") << 20
                               << true << "a-very"
                               << "bytes]";
}

void ControlsTest::pathEllipsis() {
    QFETCH(QString, text);
    QFETCH(int, widthInChars);
    QFETCH(bool, pathMode);
    QFETCH(QString, mustStart);
    QFETCH(QString, mustEnd);
    CFileInfoLabel label;
    const QFontMetrics fm = label.fontMetrics();
    // -1: exactly the width of what follows the last '/', which leaves no room for the ellipsis
    const int width = widthInChars < 0 ? fm.horizontalAdvance(text.mid(text.lastIndexOf(QLatin1Char('/'))))
                                       : fm.averageCharWidth() * widthInChars;
    const QString shown = CFileInfoLabel::Shorten(text, fm, width, pathMode);
    QVERIFY2(fm.horizontalAdvance(shown) <= width, qPrintable(shown));
    QVERIFY2(shown.startsWith(mustStart), qPrintable(shown));
    QVERIFY2(shown.endsWith(mustEnd), qPrintable(shown));
    if (shown != text) {
        QVERIFY(shown.contains(QChar(0x2026)));
    }
}

void ControlsTest::labelPaintsAtOnce() {
    QWidget window;
    window.resize(360, 40);
    auto* label = new CFileInfoLabel(&window);
    label->setGeometry(10, 10, 280, 20);
    label->SetPathEllipsis(true);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    label->SetText(QStringLiteral("/tmp/a/long/folder/name/for/the/dump/target-memory.bin[4096 bytes]"));
    const QString shown = label->ShownText();
    QVERIFY2(shown.endsWith(QStringLiteral("/target-memory.bin[4096 bytes]")), qPrintable(shown));
    QVERIFY2(shown.contains(QChar(0x2026)), qPrintable(shown)); // shortened, and it says so
    QVERIFY(label->fontMetrics().horizontalAdvance(shown) <= label->contentsRect().width());
    QCOMPARE(label->toolTip(), label->GetText());
    testsupport::SaveScreenshot(&window, QStringLiteral("tools_ui_file_info_label"));
}

QTEST_MAIN(ControlsTest)
#include "ControlsTest.moc"
