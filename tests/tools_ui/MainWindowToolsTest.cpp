// The flash tools inside the program's main window, against the virtual handset: the erase tool
// opened from the "Flash Tools" menu with the window's link, and the Memory Dump tab, whose running
// dump neither keeps the window from closing nor outlives the link.
#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "AppUiTestSupport.h"
#include "CaptionProgressCtrl.h"
#include "ControlId.h"
#include "EraseFlashDlg.h"
#include "FaceButton.h"
#include "MemoryDumpPage.h"
#include "PageTabCtrl.h"
#include "Screenshot.h"
#include "ToolsUiTestSupport.h"
#include "VandrelDlg.h"
#include "resource.h"

using namespace apptest;

namespace {

constexpr int kTimeoutMs = 30000;

// Clicks the connect toggle; the connect dialog runs modally inside the click.
bool ClickConnect(CVandrelDlg& window) {
    bool ended = false;
    QTimer::singleShot(0, &window, [&] {
        window.ConnectToggle()->click();
        ended = true;
    });
    return QTest::qWaitFor([&] { return ended; }, kTimeoutMs);
}

bool Connect(CVandrelDlg& window) {
    return ClickConnect(window) && window.Monitor() != nullptr &&
           QTest::qWaitFor([&] { return window.JobsDone() >= 1; }, kTimeoutMs); // the target status
}

} // namespace

class MainWindowToolsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QApplication::setApplicationName(QStringLiteral("Vandrel"));
        QuietPlatformWarnings();
        ClearPortEnvironment();
    }

    void eraseToolFromTheMenu() {
        testsupport::CSimHarness sim(testsupport::ESimLink::Uart, toolsui::FlashWriterOptions());
        sim.ExportEnvironment(1);
        CConfigDir config;
        CVandrelDlg window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QAction* erase = window.Command(ID_FLASH_TOOLS_ERASE_FLASH);
        QVERIFY(!erase->isEnabled()); // no link yet

        CModalDriver driver(QStringLiteral("tools_ui_main_window"));
        QVERIFY(Connect(window));
        QVERIFY(erase->isEnabled());
        sim.Host().ClearRecord();

        bool erased = false;
        driver.SetHandler([&](QWidget* w) {
            auto* tool = qobject_cast<CEraseFlashDlg*>(w);
            if (tool == nullptr) {
                return false;
            }
            connect(tool, &CEraseFlashDlg::QueryFinished, tool, [tool] {
                tool->Box(ERASE_CS2)->click();
                tool->OnStart();
            });
            connect(tool, &CEraseFlashDlg::EraseFinished, tool, [&driver, &erased, tool] {
                erased = true;
                driver.Shoot(tool, QStringLiteral("erase-tool"));
                tool->close();
            });
            return true;
        });
        QTimer::singleShot(0, &window, [erase] { erase->trigger(); });
        QVERIFY(QTest::qWaitFor([&] { return erased && QApplication::activeModalWidget() == nullptr; },
                                kTimeoutMs));
        QVERIFY(!driver.Failed());
        const vsim::SHandsetSnapshot record = sim.Host().Snapshot();
        QCOMPARE(record.erases.size(), size_t(1));
        QVERIFY(record.erases[0].wholeChip);
        QCOMPARE(record.erases[0].start, 0x08000000u);
        QVERIFY(window.close());
    }

    // The handset answers the first chunk and no more; the window is closed while the dump waits.
    void closingTheWindowDuringADumpDoesNotWait() {
        testsupport::CSimHarness sim(testsupport::ESimLink::Uart, toolsui::FlashWriterOptions());
        sim.ExportEnvironment(1);
        CConfigDir config;
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("window.bin"));
        auto* window = new CVandrelDlg;
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        CModalDriver driver(QStringLiteral("tools_ui_main_window"));
        QVERIFY(Connect(*window));

        auto* page = qobject_cast<CMemoryDumpPage*>(window->MemoryDumpPage());
        QVERIFY(page != nullptr);
        window->PageTab()->SetCurSel(1);
        page->SetFileMode(true);
        FindControl<QLineEdit>(page, IDC_BIN_FILE_PATH)->setText(path);
        FindControl<QLineEdit>(page, IDC_FILE_START)->setText(QStringLiteral("0"));
        FindControl<QLineEdit>(page, IDC_FILE_END)->setText(QStringLiteral("fa0"));
        sim.Host().SetFault(vsim::EFault::DropReply, {.after = 1, .times = 1, .cid = vsim::cmd::MemoryDump});
        QTest::mouseClick(FindControl<CFaceButton>(page, IDC_DUMP_FILE), Qt::LeftButton);
        QVERIFY(sim.Host().WaitForCommands(2, std::chrono::milliseconds(kTimeoutMs)));
        QTRY_VERIFY_WITH_TIMEOUT(page->Progress()->GetPos() > 0, 5000);
        // the window's own commands on the link wait for the dump
        QTRY_VERIFY_WITH_TIMEOUT(!window->Command(ID_FLASH_TOOLS_ERASE_FLASH)->isEnabled(), 5000);
        QVERIFY(!window->Command(ID_FLASH_TOOLS_GET_FLASH_ID)->isEnabled());
        QTest::qWait(1100); // one tick of the elapsed time
        testsupport::SaveScreenshot(window, QStringLiteral("tools_ui_main_window-dump-running"));

        QElapsedTimer clock;
        clock.start();
        window->close();
        QVERIFY(QTest::qWaitFor([&] { return window->ShutdownDone(); }, kTimeoutMs));
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(window->Monitor() == nullptr);
        delete window;
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QFile file(path);
        QCOMPARE(file.size(), 1000);
        QVERIFY(!driver.Failed());
    }
};

QTEST_MAIN(MainWindowToolsTest)
#include "MainWindowToolsTest.moc"
