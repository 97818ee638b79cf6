// The hex view control: geometry, caret, keyboard, typing, clipboard, auto-scroll, menu.
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include "HexEditBase.h"
#include "HexEditBaseView.h"
#include "Screenshot.h"

namespace {

QByteArray Sequence(int count) {
    QByteArray bytes(count, 0);
    for (int i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(i);
    return bytes;
}

QByteArray Contents(const CHexEditBase& edit) {
    QByteArray bytes(static_cast<int>(edit.GetDataLength()), 0);
    edit.GetData(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size());
    return bytes;
}

void Key(CHexEditBase& edit, int key, Qt::KeyboardModifiers mods = Qt::NoModifier, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, mods, text);
    QApplication::sendEvent(&edit, &press);
}

void Mouse(CHexEditBase& edit, QEvent::Type type, QPoint point, Qt::MouseButton button = Qt::LeftButton,
           Qt::MouseButtons buttons = Qt::LeftButton) {
    QMouseEvent event(type, point, edit.viewport()->mapToGlobal(point), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(edit.viewport(), &event);
}

// Point on digit `digit` (0 or 1) of byte `column` in visible line `line`.
QPoint DigitPoint(CHexEditBase& edit, int line, int column, int digit) {
    const auto& l = edit.Layout();
    const int x =
        l.data.left() - edit.GetHorizontalOffset() + l.hexStart + l.charWidth * (3 * column + digit);
    return {x + 1, l.data.top() + line * l.lineHeight + l.lineHeight / 2};
}

} // namespace

// Saves a picture of the control as the test leaves it, then deletes it.
struct ScreenshotDeleter {
    void operator()(CHexEditBase* edit) const {
        QString name =
            QStringLiteral("hexedit_test_%1").arg(QString::fromLatin1(QTest::currentTestFunction()));
        if (QTest::currentDataTag())
            name += QLatin1Char('_') + QString::fromLatin1(QTest::currentDataTag());
        name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_]+")), QStringLiteral("_"));
        QCoreApplication::processEvents(); // scroll bars show and hide through queued calls
        testsupport::SaveScreenshot(edit, name);
        delete edit;
    }
};
using EditPtr = std::unique_ptr<CHexEditBase, ScreenshotDeleter>;

class HexEditBaseTest : public QObject {
    Q_OBJECT

    // A shown control with `length` bytes 0, 1, 2 ... whose viewport is `width` x `height`.
    EditPtr Make(int length, int bytesPerRow = 4, int width = 400, int height = 200) {
        EditPtr edit(new CHexEditBase);
        edit->SetBytesPerRow(bytesPerRow, false);
        edit->SetData(Sequence(length));
        edit->resize(width, height);
        edit->show();
        if (!QTest::qWaitForWindowExposed(edit.get()))
            return nullptr;
        QCoreApplication::processEvents();
        // Widen the widget by its frame and scroll bars, so that the viewport has the asked size.
        edit->resize(width + edit->width() - edit->viewport()->width(),
                     height + edit->height() - edit->viewport()->height());
        QCoreApplication::processEvents();
        return edit;
    }

private slots:
    void initTestCase() { QApplication::setStyle(QStringLiteral("Fusion")); }

    void fitToWidthFollowsTheViewport_data() {
        QTest::addColumn<bool>("ascii");
        QTest::addColumn<int>("extra"); // remainder in character widths
        QTest::addColumn<int>("bytes");
        QTest::newRow("chars, remainder 2") << true << 2 << 5;
        QTest::newRow("chars, remainder 3") << true << 3 << 6;
        QTest::newRow("hex, remainder 1") << false << 1 << 5;
        QTest::newRow("hex, remainder 2") << false << 2 << 6;
    }
    void fitToWidthFollowsTheViewport() {
        QFETCH(bool, ascii);
        QFETCH(int, extra);
        QFETCH(int, bytes);
        auto edit = Make(20);
        QVERIFY(edit);
        edit->SetShowAddress(true);
        edit->SetShowAscii(ascii);
        edit->SetBytesPerRow(8, true);
        const int cw = edit->Layout().charWidth;
        const int address = 8 * cw + 5;
        const int units = ascii ? 5 + 5 * 4 * cw : 5 * 3 * cw;
        const int width = 10 + address + units + extra * cw;
        edit->resize(width + edit->width() - edit->viewport()->width(), edit->height());
        QCoreApplication::processEvents();
        QCOMPARE(edit->viewport()->width(), width);
        QCOMPARE(edit->Layout().bytesPerRow, bytes);
        QCOMPARE(edit->Layout().hScrollLimit, 0);
    }

    void linesFollowTheHeight() {
        auto edit = Make(4000, 16, 500, 100);
        QVERIFY(edit);
        const int h = edit->Layout().lineHeight;
        edit->resize(edit->width(), 10 + 3 * h + 2 + edit->height() - edit->viewport()->height());
        QCoreApplication::processEvents();
        QCOMPARE(edit->Layout().fullLines, 3);
        QCOMPARE(edit->Layout().visibleLines, 4);
        QCOMPARE(edit->Layout().lastLineHeight, 2);
        // Scroll bar: one position per row beyond the page, a page of full lines.
        QScrollBar* bar = edit->verticalScrollBar();
        QVERIFY(bar->isVisible());
        QCOMPARE(bar->maximum(), 250 - 3);
        QCOMPARE(bar->pageStep(), 3);
        bar->setValue(100);
        QCOMPARE(edit->GetFirstVisibleRow(), 100);
        bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
        QCOMPARE(edit->GetFirstVisibleRow(), 103);
    }

    void addressLabels() {
        auto edit = Make(64, 16);
        QVERIFY(edit);
        edit->SetAddressDigits(8);
        edit->SetShowAddress(true);
        edit->SetBaseAddress(0x0800ABC0);
        QCOMPARE(edit->RowAddressText(0), QStringLiteral("0800ABC0"));
        QCOMPARE(edit->RowAddressText(1), QStringLiteral("0800ABD0"));
        QCOMPARE(edit->RowAddressText(3), QStringLiteral("0800ABF0"));
        edit->SetBaseAddress(0xFFFFFFF0);
        QCOMPARE(edit->RowAddressText(1), QStringLiteral("00000000")); // 32-bit addresses wrap
    }

    void setDataCopiesAndResets() {
        auto edit = Make(32);
        QVERIFY(edit);
        edit->SetSelection(2, 5);
        edit->SetHighlight(4, 9);
        QByteArray source = QByteArray::fromHex("DEADBEEF");
        edit->SetData(reinterpret_cast<const std::uint8_t*>(source.constData()), source.size());
        source.fill('\0'); // the caller may reuse its buffer at once
        QCOMPARE(Contents(*edit), QByteArray::fromHex("DEADBEEF"));
        qint64 first, last;
        QVERIFY(!edit->GetSelection(first, last));
        QCOMPARE(first, -1);
        QVERIFY(!edit->GetHighlight(first, last));
        QCOMPARE(edit->GetCaret(), (hexedit::TS_HEX_CARET{0, false}));
        std::uint8_t small[2] = {};
        QCOMPARE(edit->GetData(small, 2), 4);
        QCOMPARE(small[1], 0xAD);
        edit->SetData(nullptr, 5);
        QCOMPARE(edit->GetDataLength(), 0);
    }

    void dataPointerIsEditedInPlace() {
        auto edit = Make(4);
        QVERIFY(edit);
        std::uint8_t buffer[3] = {0x11, 0x22, 0x33};
        edit->SetDataPointer(buffer, 3);
        edit->SetCaret(1, true);
        Key(*edit, Qt::Key_F, Qt::NoModifier, QStringLiteral("f"));
        QCOMPARE(buffer[1], 0x2F);
    }

    // Taken or not by what the view draws, whatever the system calls the font and whichever
    // fonts are installed (fontconfig marks Noto Sans Mono "dual", so Qt calls it not fixed-pitch).
    void onlyFixedPitchFontsAreTaken_data() {
        QTest::addColumn<QFont>("font");
        QTest::addColumn<bool>("taken");
        QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        fixed.setPixelSize(24);
        QTest::newRow(qPrintable(QStringLiteral("system fixed: ") + QFontInfo(fixed).family()))
            << fixed << true;
        for (const QString& family : {QStringLiteral("Noto Sans Mono"), QStringLiteral("DejaVu Sans Mono")}) {
            if (QFontDatabase::hasFamily(family))
                QTest::newRow(qPrintable(family)) << QFont(family, 11) << true;
        }
        const std::pair<const char*, QFont> proportional[] = {
            {"proportional: named", QFont(QStringLiteral("DejaVu Sans"), 11)},
            {"proportional: system", QFontDatabase::systemFont(QFontDatabase::GeneralFont)}};
        for (const auto& [name, font] : proportional) {
            const QFontMetricsF metrics(font);
            if (metrics.horizontalAdvance(QLatin1Char('i')) != metrics.horizontalAdvance(QLatin1Char('W')))
                QTest::newRow(name) << font << false;
        }
    }
    void onlyFixedPitchFontsAreTaken() {
        QFETCH(QFont, font);
        QFETCH(bool, taken);
        auto edit = Make(4);
        QVERIFY(edit);
        const QFont before = edit->GetHexFont();
        QCOMPARE(edit->SetHexFont(font), taken);
        if (!taken) {
            QCOMPARE(edit->GetHexFont(), before);
            return;
        }
        QVERIFY(edit->Layout().lineHeight >= QFontMetrics(font).height() - 1);
        // Characters sit at whole multiples of the width, so columns line up with the arithmetic.
        const QFontMetricsF metrics(edit->GetHexFont());
        const QString drawn = QStringLiteral("0123456789ABCDEF .~Wi");
        QCOMPARE(metrics.horizontalAdvance(drawn), qreal(drawn.size()) * edit->Layout().charWidth);
    }

    void rangesAreClamped() {
        auto edit = Make(10);
        QVERIFY(edit);
        qint64 first, last;
        edit->SetSelection(7, 50);
        QVERIFY(edit->GetSelection(first, last));
        QCOMPARE(last, 9);
        edit->SetHighlight(12, 3);
        QVERIFY(edit->GetHighlight(first, last));
        QCOMPARE(first, 3);
        QCOMPARE(last, 9);
        edit->SetSelection(-1, 4);
        QVERIFY(!edit->GetSelection(first, last));
    }

    void clickPlacesTheCaret_data() {
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("digit");
        QTest::addColumn<qint64>("byte");
        QTest::addColumn<bool>("second");
        QTest::newRow("first digit") << 0 << 1 << 0 << qint64(1) << false;
        QTest::newRow("second digit") << 1 << 3 << 1 << qint64(7) << true;
        QTest::newRow("after the last byte") << 2 << 4 << 0 << qint64(9) << true;
    }
    void clickPlacesTheCaret() {
        QFETCH(int, line);
        QFETCH(int, column);
        QFETCH(int, digit);
        QFETCH(qint64, byte);
        QFETCH(bool, second);
        auto edit = Make(10, 4);
        QVERIFY(edit);
        edit->SetSelection(0, 3);
        Mouse(*edit, QEvent::MouseButtonPress, DigitPoint(*edit, line, column, digit));
        Mouse(*edit, QEvent::MouseButtonRelease, DigitPoint(*edit, line, column, digit), Qt::LeftButton,
              Qt::NoButton);
        QCOMPARE(edit->GetCaret(), (hexedit::TS_HEX_CARET{byte, second}));
        qint64 first, last;
        QVERIFY(!edit->GetSelection(first, last));
        QVERIFY(edit->hasFocus());
        QVERIFY(!edit->CaretRect().isEmpty());
    }

    void keyboardMoves_data() {
        QTest::addColumn<int>("length");
        QTest::addColumn<qint64>("startByte");
        QTest::addColumn<bool>("startSecond");
        QTest::addColumn<int>("key");
        QTest::addColumn<qint64>("byte");
        QTest::addColumn<bool>("second");
        // 4 bytes per row; the view shows 5 lines, so a page is 4 rows (16 bytes).
        QTest::newRow("one byte: End") << 1 << qint64(0) << false << int(Qt::Key_End) << qint64(0) << true;
        QTest::newRow("one byte: Home") << 1 << qint64(0) << true << int(Qt::Key_Home) << qint64(0) << false;
        QTest::newRow("one byte: Right at end")
            << 1 << qint64(0) << true << int(Qt::Key_Right) << qint64(0) << true;
        QTest::newRow("Left to previous byte")
            << 40 << qint64(5) << false << int(Qt::Key_Left) << qint64(4) << true;
        QTest::newRow("Left within byte")
            << 40 << qint64(5) << true << int(Qt::Key_Left) << qint64(5) << false;
        QTest::newRow("Left at start") << 40 << qint64(0) << false << int(Qt::Key_Left) << qint64(0) << false;
        QTest::newRow("Right within byte")
            << 40 << qint64(5) << false << int(Qt::Key_Right) << qint64(5) << true;
        QTest::newRow("Right to next byte")
            << 40 << qint64(5) << true << int(Qt::Key_Right) << qint64(6) << false;
        QTest::newRow("Up") << 40 << qint64(9) << true << int(Qt::Key_Up) << qint64(5) << true;
        QTest::newRow("Up at top") << 40 << qint64(2) << true << int(Qt::Key_Up) << qint64(0) << false;
        QTest::newRow("Down") << 40 << qint64(9) << false << int(Qt::Key_Down) << qint64(13) << false;
        QTest::newRow("Down at bottom")
            << 40 << qint64(37) << false << int(Qt::Key_Down) << qint64(39) << true;
        QTest::newRow("End") << 40 << qint64(3) << false << int(Qt::Key_End) << qint64(39) << true;
        QTest::newRow("PageDown") << 40 << qint64(3) << true << int(Qt::Key_PageDown) << qint64(19) << true;
        QTest::newRow("PageDown at end")
            << 40 << qint64(30) << false << int(Qt::Key_PageDown) << qint64(39) << true;
        QTest::newRow("PageUp") << 40 << qint64(21) << false << int(Qt::Key_PageUp) << qint64(5) << false;
        QTest::newRow("PageUp at start")
            << 40 << qint64(10) << true << int(Qt::Key_PageUp) << qint64(0) << false;
    }
    void keyboardMoves() {
        QFETCH(int, length);
        QFETCH(qint64, startByte);
        QFETCH(bool, startSecond);
        QFETCH(int, key);
        QFETCH(qint64, byte);
        QFETCH(bool, second);
        auto edit = Make(length, 4, 300, 10);
        QVERIFY(edit);
        const int h = edit->Layout().lineHeight;
        edit->resize(edit->width(), 10 + 5 * h + edit->height() - edit->viewport()->height());
        QCoreApplication::processEvents();
        QCOMPARE(edit->Layout().visibleLines, 5);
        edit->SetCaret(startByte, startSecond);
        edit->SetSelection(0, 0);
        Key(*edit, key);
        QCOMPARE(edit->GetCaret(), (hexedit::TS_HEX_CARET{byte, second}));
        qint64 first, last;
        QVERIFY(!edit->GetSelection(first, last)); // a move without Shift clears the selection
        // The caret row is in view.
        const qint64 row = byte / 4;
        QVERIFY(row >= edit->GetFirstVisibleRow());
        QVERIFY(row < edit->GetFirstVisibleRow() + edit->Layout().fullLines);
    }

    void shiftExtendsTheSelection() {
        auto edit = Make(40, 4);
        QVERIFY(edit);
        edit->SetCaret(6, false);
        Key(*edit, Qt::Key_Right, Qt::ShiftModifier);
        Key(*edit, Qt::Key_Down, Qt::ShiftModifier);
        qint64 first, last;
        QVERIFY(edit->GetSelection(first, last));
        QCOMPARE(first, 6);
        QCOMPARE(last, 10);
        Key(*edit, Qt::Key_Home, Qt::ShiftModifier); // the anchor stays where the selection began
        QVERIFY(edit->GetSelection(first, last));
        QCOMPARE(first, 0);
        QCOMPARE(last, 6);
        Key(*edit, Qt::Key_Right);
        QVERIFY(!edit->GetSelection(first, last));
    }

    void typingHexDigits() {
        for (const bool readOnly : {false, true}) {
            auto edit = Make(8);
            QVERIFY(edit);
            edit->SetReadOnly(readOnly);
            QSignalSpy changed(edit.get(), &CHexEditBase::EditChanged);
            edit->SetCaret(2, false);
            Key(*edit, Qt::Key_A, Qt::NoModifier, QStringLiteral("A"));
            Key(*edit, Qt::Key_5, Qt::NoModifier, QStringLiteral("5"));
            Key(*edit, Qt::Key_G, Qt::NoModifier, QStringLiteral("g")); // not a digit
            if (readOnly) {
                QCOMPARE(Contents(*edit), Sequence(8));
                QCOMPARE(edit->GetCaret(), (hexedit::TS_HEX_CARET{2, false}));
                QCOMPARE(changed.count(), 0);
            } else {
                QCOMPARE(quint8(Contents(*edit)[2]), 0xA5);
                QCOMPARE(edit->GetCaret(), (hexedit::TS_HEX_CARET{3, false}));
                QCOMPARE(changed.count(), 2);
            }
        }
        // At the last byte the caret stays on its second digit; lowercase counts.
        auto edit = Make(2);
        QVERIFY(edit);
        edit->SetCaret(1, true);
        Key(*edit, Qt::Key_C, Qt::NoModifier, QStringLiteral("c"));
        Key(*edit, Qt::Key_D, Qt::NoModifier, QStringLiteral("d"));
        QCOMPARE(Contents(*edit), QByteArray::fromHex("000D"));
        QCOMPARE(edit->GetCaret(), (hexedit::TS_HEX_CARET{1, true}));
    }

    void copyExamples_data() {
        QTest::addColumn<qint64>("first");
        QTest::addColumn<qint64>("last");
        QTest::addColumn<QString>("text");
        QTest::newRow("2..9") << qint64(2) << qint64(9)
                              << QStringLiteral("      02 03\n04 05 06 07\n08 09\n");
        QTest::newRow("3..6") << qint64(3) << qint64(6) << QStringLiteral("03 04 05 06\n");
    }
    void copyExamples() {
        QFETCH(qint64, first);
        QFETCH(qint64, last);
        QFETCH(QString, text);
        auto edit = Make(16, 4);
        QVERIFY(edit);
        edit->SetSelection(first, last);
        Key(*edit, Qt::Key_C, Qt::ControlModifier);
        const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
        QVERIFY(mime);
        QCOMPARE(mime->text(), text);
        QByteArray record(4, '\0');
        record[0] = static_cast<char>(last - first + 1);
        record += Sequence(16).mid(first, last - first + 1);
        QCOMPARE(mime->data(CHexEditBase::kBinaryDataMimeType), record);
    }

    void pasteTruncatesAtTheEnd() {
        auto source = Make(16);
        QVERIFY(source);
        source->SetData(QByteArray(10, '\x77'));
        source->SelectAll();
        source->Copy();

        auto edit = Make(20, 4);
        QVERIFY(edit);
        QSignalSpy changed(edit.get(), &CHexEditBase::EditChanged);
        edit->SetCaret(17, false);
        Key(*edit, Qt::Key_V, Qt::ControlModifier);
        QByteArray expected = Sequence(20);
        expected.replace(17, 3, QByteArray(3, '\x77'));
        QCOMPARE(Contents(*edit), expected);
        qint64 first, last;
        QVERIFY(edit->GetSelection(first, last));
        QCOMPARE(first, 17);
        QCOMPARE(last, 19);
        QCOMPARE(edit->GetCaret(), (hexedit::TS_HEX_CARET{19, true}));
        QCOMPARE(changed.count(), 1);

        // From the selection start; read-only or text-only clipboards change nothing.
        edit->SetSelection(1, 2);
        edit->Paste();
        QCOMPARE(Contents(*edit).mid(1, 10), QByteArray(10, '\x77'));
        edit->SetData(Sequence(20));
        edit->SetReadOnly(true);
        edit->Paste();
        QCOMPARE(Contents(*edit), Sequence(20));
        edit->SetReadOnly(false);
        QGuiApplication::clipboard()->setText(QStringLiteral("77 77"));
        edit->Paste();
        QCOMPARE(Contents(*edit), Sequence(20));
        QCOMPARE(changed.count(), 2);
    }

    void autoScroll_data() {
        QTest::addColumn<int>("below");
        QTest::addColumn<int>("ticksPerRow");
        QTest::newRow("12 pixels") << 12 << 6;
        QTest::newRow("40 pixels") << 40 << 2;
    }
    void autoScroll() {
        QFETCH(int, below);
        QFETCH(int, ticksPerRow);
        auto edit = Make(400, 4, 300, 120);
        QVERIFY(edit);
        edit->SetExternalAutoScrollTicks(true);
        const QRect data = edit->Layout().data;
        const QPoint start = DigitPoint(*edit, 1, 1, 0);
        Mouse(*edit, QEvent::MouseButtonPress, start);
        Mouse(*edit, QEvent::MouseMove, QPoint(start.x(), data.bottom() + below), Qt::NoButton);
        QVERIFY(edit->IsAutoScrolling());
        QCOMPARE(edit->GetFirstVisibleRow(), 0);
        for (int row = 1; row <= 3; ++row) {
            for (int tick = 1; tick < ticksPerRow; ++tick)
                edit->AutoScrollTick();
            QCOMPARE(edit->GetFirstVisibleRow(), row - 1);
            edit->AutoScrollTick();
            QCOMPARE(edit->GetFirstVisibleRow(), row);
        }
        // The selection follows: from the anchor to the last visible row.
        qint64 first, last;
        QVERIFY(edit->GetSelection(first, last));
        QCOMPARE(first, 5);
        QCOMPARE(last / 4, 3 + edit->Layout().visibleLines - 1);
        // Back inside the data rectangle the scrolling stops; so does releasing the button.
        Mouse(*edit, QEvent::MouseMove, QPoint(start.x(), data.center().y()), Qt::NoButton);
        QVERIFY(!edit->IsAutoScrolling());
        Mouse(*edit, QEvent::MouseMove, QPoint(start.x(), data.top() - 50), Qt::NoButton);
        QVERIFY(edit->IsAutoScrolling());
        QCOMPARE(edit->AutoScrollTicksPerStep(), 1);
        edit->AutoScrollTick();
        edit->AutoScrollTick();
        QCOMPARE(edit->GetFirstVisibleRow(), 2);
        Mouse(*edit, QEvent::MouseButtonRelease, QPoint(start.x(), data.top() - 50), Qt::LeftButton,
              Qt::NoButton);
        QVERIFY(!edit->IsAutoScrolling());
    }

    void dragInsideTheDragRectangleSelectsNothing() {
        auto edit = Make(40, 4);
        QVERIFY(edit);
        const QPoint start = DigitPoint(*edit, 0, 0, 0);
        Mouse(*edit, QEvent::MouseButtonPress, start);
        Mouse(*edit, QEvent::MouseMove, start + QPoint(1, 0), Qt::NoButton);
        qint64 first, last;
        QVERIFY(!edit->GetSelection(first, last));
        Mouse(*edit, QEvent::MouseMove, DigitPoint(*edit, 1, 2, 1), Qt::NoButton);
        QVERIFY(edit->GetSelection(first, last));
        QCOMPARE(first, 0);
        QCOMPARE(last, 6);
    }

    void doubleClickSelects() {
        auto edit = Make(40, 4);
        QVERIFY(edit);
        edit->SetHighlight(5, 9);
        Mouse(*edit, QEvent::MouseButtonDblClick, DigitPoint(*edit, 1, 3, 0));
        qint64 first, last;
        QVERIFY(edit->GetSelection(first, last));
        QCOMPARE(first, 5);
        QCOMPARE(last, 9);
        Mouse(*edit, QEvent::MouseButtonDblClick, DigitPoint(*edit, 3, 1, 1));
        QVERIFY(edit->GetSelection(first, last));
        QCOMPARE(first, 13);
        QCOMPARE(last, 13);
    }

    void wheelScrollsRows() {
        auto edit = Make(400, 4, 300, 120);
        QVERIFY(edit);
        auto wheel = [&](int delta) {
            QWheelEvent event(QPointF(20, 20), edit->viewport()->mapToGlobal(QPointF(20, 20)), QPoint(),
                              QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QApplication::sendEvent(edit->viewport(), &event);
        };
        wheel(-240);
        QCOMPARE(edit->GetFirstVisibleRow(), 2);
        wheel(60);
        QCOMPARE(edit->GetFirstVisibleRow(), 2);
        wheel(60);
        QCOMPARE(edit->GetFirstVisibleRow(), 1);
        wheel(600);
        QCOMPARE(edit->GetFirstVisibleRow(), 0);
    }

    void contextMenu() {
        struct CExtended : CHexEditBase {
            void OnPrepareContextMenu(QMenu* menu) override { menu->addAction(QStringLiteral("Find")); }
        };
        CExtended edit;
        edit.SetData(Sequence(16));
        QGuiApplication::clipboard()->setText(QStringLiteral("text"));
        std::unique_ptr<QMenu> menu(edit.CreateContextMenu());
        QCOMPARE(menu->actions().size(), 3);
        QCOMPARE(menu->actions()[0]->text(), QStringLiteral("Copy"));
        QCOMPARE(menu->actions()[1]->text(), QStringLiteral("Paste"));
        QCOMPARE(menu->actions()[2]->text(), QStringLiteral("Find"));
        QVERIFY(!menu->actions()[0]->isEnabled()); // no selection
        QVERIFY(!menu->actions()[1]->isEnabled()); // no "BinaryData"

        edit.SetSelection(2, 3);
        menu.reset(edit.CreateContextMenu());
        QVERIFY(menu->actions()[0]->isEnabled());
        menu->actions()[0]->trigger(); // copies
        menu.reset(edit.CreateContextMenu());
        QVERIFY(menu->actions()[1]->isEnabled());
        edit.SetReadOnly(true);
        menu.reset(edit.CreateContextMenu());
        QVERIFY(!menu->actions()[1]->isEnabled());
    }

    void largeDataPaintsOnlyVisibleRows() {
        auto edit = Make(16, 16, 600, 300);
        QVERIFY(edit);
        QByteArray big(16 * 1024 * 1024, '\x5A');
        edit->SetData(big);
        edit->SetShowAddress(true);
        edit->SetShowAscii(true);
        QCoreApplication::processEvents();
        QCOMPARE(edit->verticalScrollBar()->maximum(), 1024 * 1024 - edit->Layout().fullLines);
        Key(*edit, Qt::Key_End);
        QCOMPARE(edit->GetFirstVisibleRow(), 1024 * 1024 - edit->Layout().fullLines);
        QVERIFY(!edit->grab().isNull());
    }

    void viewHoldsOneControl() {
        CHexEditBaseView view;
        view.resize(500, 200);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        CHexEditBase* edit = view.GetHexEditBase();
        QVERIFY(edit);
        QCOMPARE(edit->property("controlId").toInt(), 256);
        QCOMPARE(edit->geometry(), view.rect());
        view.resize(300, 150);
        QCoreApplication::processEvents();
        QCOMPARE(edit->geometry(), view.rect());
    }

    void screenshots() {
        // As the memory dump page sets it up: 8 digits, addresses, fitted rows, read-only.
        for (const bool ascii : {false, true}) {
            for (const bool focused : {true, false}) {
                QWidget window;
                auto* layout = new QVBoxLayout(&window);
                auto* edit = new CHexEditBase;
                auto* other = new QWidget;
                other->setFocusPolicy(Qt::StrongFocus);
                other->setFixedHeight(1);
                layout->addWidget(edit);
                layout->addWidget(other);
                edit->SetAddressDigits(8);
                edit->SetShowAddress(true);
                edit->SetBytesPerRow(8, true);
                edit->SetReadOnly(true);
                edit->SetShowAscii(ascii);
                edit->SetBaseAddress(0x08000000);
                QByteArray bytes = Sequence(256);
                bytes.replace(0x40, 26, "Vandrel dump of flash CS#2");
                edit->SetData(bytes);
                window.resize(560, 300);
                window.show();
                QVERIFY(QTest::qWaitForWindowExposed(&window));
                window.activateWindow();
                QVERIFY(QTest::qWaitForWindowActive(&window));
                edit->SetHighlight(0x0D, 0x31);
                edit->SetSelection(0x44, 0x4B);
                if (focused)
                    edit->setFocus();
                else
                    other->setFocus();
                QCoreApplication::processEvents();
                QCOMPARE(edit->hasFocus(), focused);
                // The selection's fill: the palette's highlight with the focus, button face without.
                const auto& l = edit->Layout();
                const qint64 line = 0x44 / l.bytesPerRow - edit->GetFirstVisibleRow();
                const int column = static_cast<int>(0x44 % l.bytesPerRow);
                const QPoint fill(l.data.left() + l.hexStart + 3 * l.charWidth * column + 2 * l.charWidth,
                                  l.data.top() + static_cast<int>(line) * l.lineHeight + 1);
                const QColor expected =
                    edit->palette().color(QPalette::Active, focused ? QPalette::Highlight : QPalette::Button);
                QCOMPARE(edit->viewport()->grab().toImage().pixelColor(fill), expected);
                testsupport::SaveScreenshot(
                    &window, QStringLiteral("hexedit_%1_%2")
                                 .arg(ascii ? QStringLiteral("ascii") : QStringLiteral("hex"),
                                      focused ? QStringLiteral("focused") : QStringLiteral("unfocused")));
            }
        }
    }
};

QTEST_MAIN(HexEditBaseTest)
#include "HexEditBaseTest.moc"
