// The connect dialog against a slow handset whose answers come after the poll gave up: the connect
// answer (0x41, polled every 50 ms) 40 to 150 ms late, the runner answer (0x42) up to 1.8 s late.
// The connection, the status query, the flash writer and Get Flash ID go as with a prompt handset,
// over the pseudo-terminal and the USB socket.
#include <QRadioButton>
#include <QtTest>

#include "AppUiTestSupport.h"
#include "ConnectDlg.h"
#include "ControlId.h"
#include "FaceButton.h"
#include "LogPage.h"
#include "SendSrecordDlg.h"
#include "SimHarness.h"
#include "VandrelDlg.h"
#include "app/AppSettings.h"
#include "resource.h"

using namespace apptest;
using testsupport::CSimHarness;
using testsupport::ESimLink;

class LateReplyTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QApplication::setApplicationName(QStringLiteral("Vandrel"));
        QuietPlatformWarnings();
    }
    void init() { ClearPortEnvironment(); }
    void cleanup() { ClearPortEnvironment(); }

    void connectsToASlowHandset_data() {
        QTest::addColumn<bool>("usb");
        QTest::addColumn<QString>("late");
        QTest::newRow("pty-all") << false << QStringLiteral("*=40-150");
        QTest::newRow("pty-41-42") << false << QStringLiteral("0x41=120,0x42=1800");
        QTest::newRow("usb-all") << true << QStringLiteral("*=40-150");
        QTest::newRow("usb-41-42") << true << QStringLiteral("0x41=120,0x42=1800");
    }
    void connectsToASlowHandset() {
        QFETCH(bool, usb);
        QFETCH(QString, late);
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        vsim::SSimulatorOptions options;
        std::string error;
        QVERIFY2(vsim::ParseLateRules(late.toStdString(), options.lateReplies, &error), error.c_str());
        CSimHarness sim(usb ? ESimLink::Usb : ESimLink::Uart, options);
        sim.ExportEnvironment(1);
        CConfigDir config;
        QTemporaryDir dir;
        AppSettings settings;
        settings.FlashWriterPath[usb ? PORT_USB : PORT_UART] =
            WriteFlashWriter(dir.filePath(QStringLiteral("writer.m0"))).toStdString();
        WriteAppSettings(settings, {}, config.Std());

        CVandrelDlg::TS_OPTIONS programOptions;
        programOptions.modulePath = VANDREL_PROGRAM;
        CVandrelDlg window(programOptions);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        if (usb) {
            FindControl<QRadioButton>(&window, IDC_RADIO_USB)->click();
        }
        CModalDriver driver(QStringLiteral("late-") + tag);
        driver.SetHandler([&](QWidget* w) {
            if (auto* dialog = qobject_cast<CConnectDlg*>(w)) {
                QTimer::singleShot(30, dialog,
                                   [&driver, dialog] { driver.Shoot(dialog, QStringLiteral("connect")); });
                return true;
            }
            return qobject_cast<CSendSrecordDlg*>(w) != nullptr; // the flash writer goes by itself
        });
        bool ended = false;
        QTimer::singleShot(0, &window, [&] {
            window.ConnectToggle()->click();
            ended = true;
        });
        QVERIFY(QTest::qWaitFor([&] { return ended; }, 60000));
        QVERIFY(window.ConnectToggle()->GetCheck());
        // the status query, the flash writer and the status query after it
        const QString link = usb ? QStringLiteral("USB") : QStringLiteral("UART");
        const QString writerLine = QStringLiteral("Flash writer is running[%1 - 2.1.0]").arg(link);
        const QString failed = QStringLiteral("Error occurred");
        QTRY_VERIFY_WITH_TIMEOUT(window.LogPage()->Text().contains(writerLine) ||
                                     window.LogPage()->Text().contains(failed),
                                 60000);
        QVERIFY2(!window.LogPage()->Text().contains(failed), qPrintable(window.LogPage()->Text()));
        QTRY_VERIFY_WITH_TIMEOUT(
            window.JobsDone() >= 1 && !window.IsBusy() && !QApplication::activeModalWidget(), 60000);
        window.Command(ID_FLASH_TOOLS_GET_FLASH_ID)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!window.IsBusy(), 30000);
        const QString log = window.LogPage()->Text();
        QVERIFY2(!log.contains(failed), qPrintable(log)); // Get Flash ID too
        VERIFY_IN_ORDER(
            log, {QStringLiteral(">>>>> Target is ready => Download is possible <<<<<"),
                  QStringLiteral("Boot loader is running[%1 - 1.0.0]").arg(link),
                  QStringLiteral("Flash writer is running[%1 - 2.1.0]").arg(link),
                  QStringLiteral("Chip Select #0 flash memory : FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM")});
        QCOMPARE(sim.Host().Runner(), vsim::ERunner::FlashWriter);
        QVERIFY(driver.Boxes().empty());
        testsupport::SaveScreenshot(&window, QStringLiteral("main-window-late-") + tag);
        QVERIFY(window.close());
        QVERIFY(!driver.Failed());
    }
};

QTEST_MAIN(LateReplyTest)
#include "LateReplyTest.moc"
