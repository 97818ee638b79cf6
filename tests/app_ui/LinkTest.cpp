// The connection against the virtual handset, over a pseudo-terminal (COM1 through VANDREL_COM1)
// and over the USB socket (VANDREL_USB_DEVICE): the banner and the target's answer in the log,
// the status line, the flash writer sent when a boot loader answers, a USB device that appears
// while the dialog waits, Cancel, a port that does not open, Get Flash ID and disconnecting.
#include <QAction>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "AppUiTestSupport.h"
#include "ConnectAnimation.h"
#include "ConnectDlg.h"
#include "ControlId.h"
#include "FaceButton.h"
#include "LogPage.h"
#include "SendSrecordDlg.h"
#include "SimHarness.h"
#include "ToolWindows.h"
#include "VandrelDlg.h"
#include "app/AppSettings.h"
#include "platform/RegistryStore.h"
#include "resource.h"

using namespace apptest;
using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

const QString kMark = QString::fromUtf8("\xE2\x97\x88");

// Clicks the connect toggle and returns when the connect dialog has ended.
bool ClickConnect(CVandrelDlg& window, int timeoutMs = 60000) {
    bool ended = false;
    QTimer::singleShot(0, &window, [&] {
        window.ConnectToggle()->click();
        ended = true;
    });
    return QTest::qWaitFor([&] { return ended; }, timeoutMs);
}

QStringList Banner() {
    return {
        QStringLiteral("\r\n**************************************\r\n"),
        QStringLiteral("*                    Vandrel for R3700      \t\t *\r\n"),
        QStringLiteral("*                        Version 3.0.0            \t\t *\r\n"),
        QStringLiteral("**************************************\r\n\r\nWaiting response from the target.")};
}

void SetWriters(const CConfigDir& config, const QString& uart, const QString& usb) {
    AppSettings settings;
    settings.FlashWriterPath[PORT_UART] = uart.toStdString();
    settings.FlashWriterPath[PORT_USB] = usb.toStdString();
    WriteAppSettings(settings, {}, config.Std());
}

CVandrelDlg::TS_OPTIONS ProgramOptions() {
    CVandrelDlg::TS_OPTIONS options;
    options.modulePath = VANDREL_PROGRAM; // the banner's version comes from the program's block
    return options;
}

} // namespace

class LinkTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QApplication::setApplicationName(QStringLiteral("Vandrel"));
        QuietPlatformWarnings();
    }
    void init() { ClearPortEnvironment(); }
    void cleanup() { ClearPortEnvironment(); }

    void connectSendsTheFlashWriterToABootLoader_data() {
        QTest::addColumn<bool>("usb");
        QTest::addColumn<bool>("bootLoader");
        QTest::newRow("pty, boot loader") << false << true;
        QTest::newRow("pty, flash writer running") << false << false;
        QTest::newRow("USB, boot loader") << true << true;
        QTest::newRow("USB, flash writer running") << true << false;
    }
    void connectSendsTheFlashWriterToABootLoader() {
        QFETCH(bool, usb);
        QFETCH(bool, bootLoader);
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        vsim::SSimulatorOptions options;
        options.startRunner = bootLoader ? vsim::ERunner::BootLoader : vsim::ERunner::FlashWriter;
        if (tag == QLatin1String("pty, boot loader")) {
            options.lineRate = 19200; // the writer's dialog stays long enough to be photographed
        }
        CSimHarness sim(usb ? ESimLink::Usb : ESimLink::Uart, options);
        sim.ExportEnvironment(1);
        CConfigDir config;
        QTemporaryDir dir;
        const QString uartWriter = WriteFlashWriter(dir.filePath(QStringLiteral("uart-writer.m0")));
        const QString usbWriter = WriteFlashWriter(dir.filePath(QStringLiteral("usb-writer.m0")));
        SetWriters(config, uartWriter, usbWriter);

        CVandrelDlg window(ProgramOptions());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        if (usb) {
            FindControl<QRadioButton>(&window, IDC_RADIO_USB)->click();
            QCOMPARE(window.Settings().PortConfig.PortType, int(PORT_USB));
        }
        CModalDriver driver(QStringLiteral("connect"));
        int writerDialogs = 0;
        driver.SetHandler([&](QWidget* w) {
            if (qobject_cast<CConnectDlg*>(w)) {
                return true;
            }
            if (auto* download = qobject_cast<CSendSrecordDlg*>(w)) {
                ++writerDialogs;
                if (tag == QLatin1String("pty, boot loader")) {
                    // half-way through the writer image (the line is slow in this case)
                    QTimer::singleShot(300, download, [&driver, download] {
                        driver.Shoot(download, QStringLiteral("flash-writer-download"));
                    });
                }
                return true;
            }
            return false;
        });
        QVERIFY(ClickConnect(window));
        QVERIFY(window.ConnectToggle()->GetCheck());
        QVERIFY(window.Monitor());
        QVERIFY(!FindControl<QRadioButton>(&window, IDC_RADIO_RS232)->isEnabled());
        QVERIFY(!FindControl<QRadioButton>(&window, IDC_RADIO_USB)->isEnabled());
        QVERIFY(window.StatusLine()->text().startsWith(usb ? QStringLiteral("USB") : QStringLiteral("COM1")));
        if (auto* placeholder = dynamic_cast<CMemoryDumpPlaceholder*>(window.MemoryDumpPage())) {
            QCOMPARE(placeholder->Monitor(), window.Monitor());
        }

        // JobThread asks which program runs; a boot loader gets the flash writer at once
        const QString link = usb ? QStringLiteral("USB") : QStringLiteral("UART");
        const QString bootLine = QStringLiteral("Boot loader is running[%1 - 1.0.0]\r\n").arg(link);
        const QString writerLine = QStringLiteral("Flash writer is running[%1 - 2.1.0]\r\n").arg(link);
        if (bootLoader) {
            QTRY_VERIFY_WITH_TIMEOUT(window.LogPage()->Text().contains(QStringLiteral(" Elapsed time : ")),
                                     60000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(window.JobsDone() >= 1 && !window.IsBusy(), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!QApplication::activeModalWidget(), 60000);
        // the status query and the flash writer are done: the run commands are free
        QVERIFY(window.DownloadAllButton()->isEnabled());
        QVERIFY(window.ConnectToggle()->isEnabled());
        const QString log = window.LogPage()->Text();
        QStringList expected = Banner();
        expected << QStringLiteral("\r\n\r\n>>>>> Target is ready => Download is possible <<<<<\r\n");
        expected << QStringLiteral("\r\n") + kMark + QStringLiteral(" Target status : ");
        if (bootLoader) {
            const QString writer = usb ? usbWriter : uartWriter;
            expected << bootLine;
            expected << QStringLiteral("\r\n") + kMark.repeated(8) +
                            QStringLiteral("  Download information for the Flash Writer Code ") +
                            kMark.repeated(8);
            expected << QStringLiteral("\r\n - File path : '%1'").arg(writer);
            expected << QStringLiteral("\r\n - Start time : ");
            expected << QStringLiteral(" - End time : ");
            expected << QStringLiteral("\r\n") + kMark + QStringLiteral(" Target status : ") + writerLine;
            expected << QStringLiteral("\r\n") + kMark + QStringLiteral(" Elapsed time : ");
            VERIFY_IN_ORDER(log, expected);
            QCOMPARE(writerDialogs, 1);
            QCOMPARE(sim.Host().Runner(), vsim::ERunner::FlashWriter);
        } else {
            expected << writerLine;
            VERIFY_IN_ORDER(log, expected);
            QVERIFY(!log.contains(QStringLiteral("Flash Writer Code")));
            QCOMPARE(writerDialogs, 0);
        }
        QVERIFY(driver.Boxes().empty());

        // Get Flash ID: the part on each chip select, by name
        QVERIFY(window.Command(ID_FLASH_TOOLS_GET_FLASH_ID)->isEnabled());
        window.Command(ID_FLASH_TOOLS_GET_FLASH_ID)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!window.IsBusy(), 30000);
        VERIFY_IN_ORDER(
            window.LogPage()->Text(),
            {QStringLiteral("\r\nChip Select #0 flash memory : FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM"),
             QStringLiteral("\r\nChip Select #1 flash memory : FLASH_NOT_FOUND"),
             QStringLiteral("\r\nChip Select #2 flash memory : FLASH_TOSHIBA_50VPF5683DASB_8MB_BOTTOM"),
             QStringLiteral("\r\nChip Select #3 flash memory : FLASH_NOT_FOUND\r\n")});
        if (tag == QLatin1String("pty, boot loader")) {
            testsupport::SaveScreenshot(&window, QStringLiteral("main-window-connected"));
        }

        // switching the toggle off closes the link
        window.ConnectToggle()->click();
        QVERIFY(!window.ConnectToggle()->GetCheck());
        QVERIFY(!window.Monitor());
        QCOMPARE(window.StatusLine()->text(), QStringLiteral("Port is not opened"));
        QVERIFY(!window.DownloadAllButton()->isEnabled());
        QVERIFY(FindControl<QRadioButton>(&window, IDC_RADIO_RS232)->isEnabled());
        QVERIFY(!window.Command(ID_FLASH_TOOLS_GET_FLASH_ID)->isEnabled());
        if (auto* placeholder = dynamic_cast<CMemoryDumpPlaceholder*>(window.MemoryDumpPage())) {
            QCOMPARE(placeholder->Monitor(), static_cast<COstraMonitor*>(nullptr));
        }
        QVERIFY(window.close());
        QVERIFY(!driver.Failed());
    }

    void reconnectingClosesTheOldLinkFirst() {
        vsim::SSimulatorOptions options;
        options.startRunner = vsim::ERunner::FlashWriter;
        CSimHarness sim(ESimLink::Uart, options);
        sim.ExportEnvironment(1);
        CConfigDir config;
        CVandrelDlg window(ProgramOptions());
        CModalDriver driver(QStringLiteral("reconnect"));
        QVERIFY(ClickConnect(window));
        QVERIFY(window.ConnectToggle()->GetCheck());
        QTRY_VERIFY_WITH_TIMEOUT(window.JobsDone() >= 1, 30000);
        // a connection while connected (the toggle set again by code) starts over on a fresh log
        window.ConnectToggle()->SetCheck(false);
        QVERIFY(ClickConnect(window));
        QVERIFY(window.ConnectToggle()->GetCheck());
        QTRY_VERIFY_WITH_TIMEOUT(window.JobsDone() >= 2, 30000);
        QCOMPARE(window.LogPage()->Text().count(QStringLiteral("Waiting response from the target.")), 1);
        QVERIFY(window.close());
    }

    void usbConnectWaitsForTheDevice() {
        CConfigDir config;
        QTemporaryDir dir;
        const QString socket = dir.filePath(QStringLiteral("csr0"));
        qputenv("VANDREL_USB_DEVICE", socket.toLocal8Bit());
        vsim::SSimulatorOptions options;
        options.startRunner = vsim::ERunner::FlashWriter;
        vsim::CSimulatorHost host(options);

        CVandrelDlg window(ProgramOptions());
        window.show();
        FindControl<QRadioButton>(&window, IDC_RADIO_USB)->click();
        CModalDriver driver(QStringLiteral("usb-wait"));
        bool waited = false;
        driver.SetHandler([&](QWidget* w) {
            auto* dialog = qobject_cast<CConnectDlg*>(w);
            if (!dialog) {
                return false;
            }
            // after a while the dialog still waits for the device; then the device appears
            QTimer::singleShot(600, dialog, [&, dialog] {
                waited = dialog->isVisible() && dialog->WaitingForUsbDevice() && !window.Monitor() &&
                         dialog->Animation()->IsPlaying();
                driver.Shoot(dialog, QStringLiteral("dialog"));
                std::string error;
                QVERIFY2(host.StartUsb(socket.toStdString(), &error), error.c_str());
            });
            return true;
        });
        QVERIFY(ClickConnect(window));
        QVERIFY(waited);
        QVERIFY(window.ConnectToggle()->GetCheck());
        QVERIFY(window.StatusLine()->text().startsWith(QStringLiteral("USB")));
        QTRY_VERIFY_WITH_TIMEOUT(
            window.LogPage()->Text().contains(QStringLiteral("Flash writer is running[USB - 2.1.0]")), 30000);
        QVERIFY(window.close());
        host.Stop();
    }

    void cancelEndsTheWait_data() {
        QTest::addColumn<bool>("usb");
        QTest::newRow("no USB device") << true;
        QTest::newRow("target never answers") << false;
    }
    void cancelEndsTheWait() {
        QFETCH(bool, usb);
        CConfigDir config;
        QTemporaryDir dir;
        std::unique_ptr<CSimHarness> sim;
        if (usb) {
            qputenv("VANDREL_USB_DEVICE", dir.filePath(QStringLiteral("absent")).toLocal8Bit());
        } else {
            sim = std::make_unique<CSimHarness>(ESimLink::Uart);
            sim->ExportEnvironment(1);
            vsim::SFaultSpec never;
            never.cid = 0x41; // the request for a download goes unanswered
            never.times = 1000000;
            sim->Host().SetFault(vsim::EFault::DropReply, never);
        }
        CVandrelDlg window(ProgramOptions());
        window.show();
        if (usb) {
            FindControl<QRadioButton>(&window, IDC_RADIO_USB)->click();
        }
        CModalDriver driver(usb ? QStringLiteral("cancel-usb") : QStringLiteral("connect"));
        int pollsBeforeCancel = -1;
        driver.SetHandler([&](QWidget* w) {
            auto* dialog = qobject_cast<CConnectDlg*>(w);
            if (!dialog) {
                return false;
            }
            QTimer::singleShot(700, dialog, [&, dialog] {
                if (!usb) {
                    driver.Shoot(dialog, QStringLiteral("dialog"));
                }
                pollsBeforeCancel = dialog->Polls();
                dialog->CancelButton()->click();
            });
            return true;
        });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(ClickConnect(window));
        QVERIFY(clock.elapsed() < 30000);
        QVERIFY(!window.ConnectToggle()->GetCheck());
        QVERIFY(!window.Monitor());
        QVERIFY(FindControl<QRadioButton>(&window, IDC_RADIO_RS232)->isEnabled());
        QCOMPARE(window.StatusLine()->text(), QString());
        QVERIFY(!window.DownloadAllButton()->isEnabled());
        if (usb) {
            QCOMPARE(pollsBeforeCancel, 0);
            QCOMPARE(window.LogPage()->Text(), QString());
        } else {
            // the target was asked again and again while it stayed silent
            QVERIFY(pollsBeforeCancel >= 2);
            VERIFY_IN_ORDER(window.LogPage()->Text(), Banner());
            QVERIFY(!window.LogPage()->Text().contains(QStringLiteral("Target is ready")));
        }
        QVERIFY(window.close());
    }

    void aPortThatDoesNotOpenSaysWhy() {
        CConfigDir config;
        qputenv("VANDREL_COM1", "/nonexistent/ttyR3700");
        CVandrelDlg window(ProgramOptions());
        window.show();
        CModalDriver driver(QStringLiteral("fail-to-open"));
        QVERIFY(ClickConnect(window));
        QVERIFY(!window.ConnectToggle()->GetCheck());
        QVERIFY(!window.Monitor());
        const QString status = window.StatusLine()->text();
        QVERIFY2(status.startsWith(QStringLiteral("Fail to open COM1 port")), qPrintable(status));
        QVERIFY2(status.contains(QStringLiteral("/nonexistent/ttyR3700")), qPrintable(status));
        QCOMPARE(window.LogPage()->Text(), QString());
        QVERIFY(FindControl<QRadioButton>(&window, IDC_RADIO_RS232)->isEnabled());
        testsupport::SaveScreenshot(&window, QStringLiteral("main-window-fail-to-open"));
        QVERIFY(window.close());
    }

    void aMissingFlashWriterFileIsReported() {
        CSimHarness sim(ESimLink::Uart); // boot loader
        sim.ExportEnvironment(1);
        CConfigDir config;
        SetWriters(config, QStringLiteral("/nowhere/uart-writer.m0"), QString());
        CVandrelDlg window(ProgramOptions());
        window.show();
        CModalDriver driver(QStringLiteral("missing-writer"));
        QVERIFY(ClickConnect(window));
        QTRY_COMPARE_WITH_TIMEOUT(driver.Boxes().size(), std::size_t(1), 30000);
        QCOMPARE(driver.Boxes().front().icon, QMessageBox::Warning);
        QCOMPARE(driver.Boxes().front().title, QStringLiteral("Vandrel"));
        QVERIFY(driver.Boxes().front().text.startsWith(QStringLiteral(
            "Cannot open flash writer file.\n\nPlease select an appropriate flash writer file\n\nin "
            "global settings dialog.")));
        QTRY_VERIFY_WITH_TIMEOUT(!QApplication::activeModalWidget(), 10000);
        QVERIFY(!window.LogPage()->Text().contains(QStringLiteral("Flash Writer Code")));
        QCOMPARE(sim.Host().Runner(), vsim::ERunner::BootLoader);
        QVERIFY(window.close());
    }

    void connectAnimationHasFramesOfItsOwn() {
        CConnectAnimation animation;
        QVERIFY(!animation.Open(999));
        QVERIFY(!animation.Play(0, -1, -1));
        QVERIFY(animation.Open(IDR_CONNECT_ANIMATION));
        QVERIFY(animation.Play(0, -1, -1));
        QVERIFY(animation.IsPlaying());
        // the frames differ: the pulses move along the cable
        QVERIFY(animation.Frame(0) != animation.Frame(5));
        QVERIFY(animation.Frame(3) != animation.Frame(11));
        QImage strip(animation.width() * 4, animation.height(), QImage::Format_ARGB32_Premultiplied);
        strip.fill(QColor(0xF0, 0xF0, 0xF0));
        {
            QPainter painter(&strip);
            for (int i = 0; i < 4; ++i) {
                painter.drawImage(i * animation.width(), 0, animation.Frame(i * 4));
            }
        }
        QDir().mkpath(QStringLiteral(VANDREL_SCREENSHOT_DIR));
        strip.save(QStringLiteral(VANDREL_SCREENSHOT_DIR "/connect-animation-frames.png"));
        QTRY_VERIFY_WITH_TIMEOUT(animation.CurrentFrame() > 0, 5000);
        animation.Close();
        QVERIFY(!animation.IsPlaying());
    }
};

QTEST_MAIN(LinkTest)
#include "LinkTest.moc"
