// The connect dialog on the emulated USB bus: with a libusb device text it waits for the handset
// through the device watcher's hot-plug events, connects when the handset is plugged in, and the
// handset's greeting at plug-in is not taken for its answer.
#include <QRadioButton>
#include <QtTest>

#include "AppUiTestSupport.h"
#include "ConnectDlg.h"
#include "ControlId.h"
#include "FaceButton.h"
#include "LogPage.h"
#include "UsbMockBus.h"
#include "VandrelDlg.h"
#include "resource.h"
#include "vsim/SimulatorHost.h"

using namespace apptest;
using testsupport::CUsbMockBus;

class UsbConnectDlgTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QApplication::setApplicationName(QStringLiteral("Vandrel"));
        QuietPlatformWarnings();
        if (!CUsbMockBus::Available()) {
            QSKIP("not under umockdev-wrapper");
        }
    }

    void connectWaitsForTheHandsetToBePluggedIn() {
        ClearPortEnvironment();
        CConfigDir config;
        CUsbMockBus bus;
        qputenv("VANDREL_USB_DEVICE", "usb:1234:5678");
        vsim::SSimulatorOptions options;
        options.startRunner = vsim::ERunner::FlashWriter;
        vsim::CSimulatorHost host(options);

        CVandrelDlg::TS_OPTIONS programOptions;
        programOptions.modulePath = VANDREL_PROGRAM;
        CVandrelDlg window(programOptions);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        FindControl<QRadioButton>(&window, IDC_RADIO_USB)->click();
        CModalDriver driver(QStringLiteral("usb-hotplug"));
        bool waited = false;
        driver.SetHandler([&](QWidget* w) {
            auto* dialog = qobject_cast<CConnectDlg*>(w);
            if (!dialog) {
                return false;
            }
            // after a while the dialog still waits, on hot-plug events; then the handset arrives
            QTimer::singleShot(600, dialog, [&, dialog] {
                waited = dialog->isVisible() && dialog->WaitingForUsbDevice() &&
                         dialog->WaitingForHotplug() && !window.Monitor();
                driver.Shoot(dialog, QStringLiteral("dialog"));
                bus.AddHandset(host.Handset(), options);
            });
            return true;
        });
        bool ended = false;
        QTimer::singleShot(0, &window, [&] {
            window.ConnectToggle()->click();
            ended = true;
        });
        QVERIFY(QTest::qWaitFor([&] { return ended; }, 60000));
        QVERIFY(waited);
        QVERIFY(window.ConnectToggle()->GetCheck());
        QTRY_VERIFY_WITH_TIMEOUT(
            window.LogPage()->Text().contains(QStringLiteral("Flash writer is running[USB - 2.1.0]")), 30000);
        testsupport::SaveScreenshot(&window, QStringLiteral("usb-hotplug-connected"));
        QVERIFY(window.close());
        ClearPortEnvironment();
    }
};

QTEST_MAIN(UsbConnectDlgTest)
#include "UsbConnectDlgTest.moc"
