// The station window in the main window, headless, against four in-process handsets (three on
// pseudo-terminals, one on the USB socket): every port once with all passing and with failures
// (one fails verify, one is unplugged in the middle), the watch loop with a result on each tile
// and a second handset on a port, Stop in the middle, closing the station and the main window
// during jobs, and the saved choice of ports.
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <filesystem>
#include <memory>

#include "AppUiTestSupport.h"
#include "FaceButton.h"
#include "LogPage.h"
#include "SimHarness.h"
#include "StationDlg.h"
#include "StationTile.h"
#include "VandrelDlg.h"
#include "app/AppSettings.h"
#include "app/StationSetup.h"
#include "resource.h"

using namespace apptest;
using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

const QString kSamples = QStringLiteral(VANDREL_SOURCE_DIR "/samples");
const std::vector<std::string> kFourPorts = {"COM1", "COM2", "COM3", "USB"};

// What one handset of the fixture does.
struct TS_HANDSET {
    bool present = true;           // false: nothing on the port yet
    bool bitFlip = false;          // a bit flips in flash: verify fails
    bool unplugged = false;        // hangs up in the middle of the download
    uint32_t programUsPerKiB = 20; // slow flash keeps a job in its programming phase
};

// Four handsets on COM1..COM3 (pty) and USB (socket), each behind a fixed path, the flash files in
// the main window's list and the flash writer in its settings; the main window with its station
// window open on the four ports.
class CFixture {
public:
    // noEndRecord: the image in the list has no end record ("S7")
    explicit CFixture(const std::vector<TS_HANDSET>& handsets, bool noEndRecord = false) {
        m_writer = m_dir.filePath(QStringLiteral("vwriter.m0"));
        m_main = m_dir.filePath(QStringLiteral("vmain.m0"));
        QFile::copy(kSamples + QStringLiteral("/vwriter.m0"), m_writer);
        QFile::copy(kSamples + QStringLiteral("/vmain.m0"), m_main);
        if (noEndRecord) {
            QFile file(m_main);
            file.open(QIODevice::ReadOnly);
            QByteArray kept;
            for (const QByteArray& line : file.readAll().split('\n')) {
                if (!line.startsWith("S7") && !line.isEmpty()) {
                    kept += line + '\n';
                }
            }
            file.close();
            file.open(QIODevice::WriteOnly | QIODevice::Truncate);
            file.write(kept);
        }
        AppSettings settings;
        settings.FlashWriterPath[PORT_UART] = m_writer.toStdString();
        settings.FlashWriterPath[PORT_USB] = m_writer.toStdString();
        WriteAppSettings(settings, {m_main.toStdString()}, m_config.Std());
        for (std::size_t k = 0; k < handsets.size(); ++k) {
            const std::string fixed = Fixed(static_cast<int>(k));
            m_sims.emplace_back();
            if (handsets[k].present) {
                Plug(static_cast<int>(k), handsets[k]);
            }
            if (k < 3) {
                qputenv(("VANDREL_COM" + std::to_string(k + 1)).c_str(), QByteArray::fromStdString(fixed));
            } else {
                qputenv("VANDREL_USB_DEVICE", QByteArray::fromStdString(fixed));
            }
        }
        CVandrelDlg::TS_OPTIONS options;
        options.modulePath = VANDREL_PROGRAM;
        window = std::make_unique<CVandrelDlg>(options);
        window->show();
        window->Command(ID_FLASH_TOOLS_PRODUCTION_STATION)->trigger();
        station = window->StationWindow();
        station->resize(900, 640);
        station->ChoosePorts(kFourPorts);
    }
    ~CFixture() {
        window.reset();
        ClearPortEnvironment();
    }

    // The port's path: the pty behind a link, the socket where the handset listens.
    std::string Fixed(int k) const {
        return m_dir.filePath(k < 3 ? QStringLiteral("bed%1").arg(k) : QStringLiteral("csr0")).toStdString();
    }
    // A handset is put on port k.
    void Plug(int k, const TS_HANDSET& h) {
        vsim::SSimulatorOptions options;
        options.programUsPerKiB = h.programUsPerKiB;
        const ESimLink link = k < 3 ? ESimLink::Uart : ESimLink::Usb;
        auto sim = std::make_unique<CSimHarness>(link, options);
        if (h.bitFlip) {
            sim->Host().SetFault(vsim::EFault::BitFlip, {.after = 2, .times = 1});
        }
        if (h.unplugged) {
            sim->Host().SetFault(vsim::EFault::HangUp, {.after = 2, .times = 1});
        }
        std::filesystem::create_symlink(sim->Path(), Fixed(k));
        m_sims[static_cast<std::size_t>(k)] = std::move(sim);
    }
    // The handset on port k is taken off.
    void Unplug(int k) {
        std::error_code ignored;
        std::filesystem::remove(Fixed(k), ignored);
        m_sims[static_cast<std::size_t>(k)].reset();
    }
    CStationTile* Tile(int k) const { return station->Tiles()[static_cast<std::size_t>(k)]; }
    QString Log() const { return window->LogPage()->Text(); }

    CConfigDir m_config;
    QTemporaryDir m_dir;
    QString m_writer;
    QString m_main;
    std::vector<std::unique_ptr<CSimHarness>> m_sims;
    std::unique_ptr<CVandrelDlg> window;
    QPointer<CStationDlg> station;
};

} // namespace

class StationTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QApplication::setApplicationName(QStringLiteral("Vandrel"));
        QuietPlatformWarnings();
    }
    void init() { ClearPortEnvironment(); }

    void runsOnceOnEveryPort_data() {
        QTest::addColumn<int>("flipOn");
        QTest::addColumn<int>("unplugOn");
        QTest::addColumn<bool>("noEndRecord");
        QTest::addColumn<QString>("picture");
        QTest::newRow("all pass") << -1 << -1 << false << "station-all-pass";
        QTest::newRow("one fails verify, one unplugged") << 1 << 2 << false << "station-failures";
        QTest::newRow("an image without an end record") << -1 << -1 << true << "station-no-end-record";
    }
    void runsOnceOnEveryPort() {
        QFETCH(int, flipOn);
        QFETCH(int, unplugOn);
        QFETCH(bool, noEndRecord);
        QFETCH(QString, picture);
        std::vector<TS_HANDSET> handsets(4);
        if (flipOn >= 0) {
            handsets[static_cast<std::size_t>(flipOn)].bitFlip = true;
        }
        if (unplugOn >= 0) {
            handsets[static_cast<std::size_t>(unplugOn)].unplugged = true;
        }
        CFixture f(handsets, noEndRecord);
        f.station->WatchBox()->setChecked(false);
        f.station->VerifyBox()->setChecked(true);
        f.station->StartButton()->click();
        QVERIFY2(f.station->IsRunning(), qPrintable(f.station->StatusLabel()->text()));
        // the main window gave up its link and says so
        QVERIFY(f.window->StationRunning());
        QVERIFY(!f.window->ConnectToggle()->isEnabled());
        QVERIFY(f.window->StatusLine()->text().contains(QLatin1String("Production station running")));
        QTRY_VERIFY_WITH_TIMEOUT(!f.station->IsRunning(), 120000);
        QVERIFY(!f.window->StationRunning());
        QVERIFY(f.window->ConnectToggle()->isEnabled());

        int failed = 0;
        for (int k = 0; k < 4; ++k) {
            CStationTile* tile = f.Tile(k);
            const QString block =
                QStringLiteral("Download information for the station port %1").arg(tile->Label());
            QVERIFY2(f.Log().contains(block), qPrintable(block));
            if (k == flipOn || k == unplugOn) {
                ++failed;
                QCOMPARE(tile->StateText(), QStringLiteral("FAIL"));
                QVERIFY(!tile->ReasonText().isEmpty());
                // the reason leads with what happened, the files by their names
                const QString reason = tile->ReasonText();
                QVERIFY2(k == flipOn
                             ? reason.startsWith(QLatin1String("verification failed")) &&
                                   reason.contains(QLatin1String("'vmain.m0'"))
                             : reason.startsWith(QLatin1String("handset removed - download of 'vmain.m0'")),
                         qPrintable(reason));
                // shown whole on its two lines, never cut through a line
                const QLabel* shown = tile->ReasonLabel();
                QVERIFY2(shown->heightForWidth(shown->width()) <= shown->maximumHeight(),
                         qPrintable(shown->text()));
            } else {
                QCOMPARE(tile->StateText(), QStringLiteral("PASS"));
                QCOMPARE(tile->Progress(), 100);
                QVERIFY(tile->ElapsedText().startsWith(QLatin1String("00:")));
                QCOMPARE(tile->ReasonText().startsWith(QLatin1String(STATION_NO_END_RECORD)), noEndRecord);
            }
        }
        QCOMPARE(f.Log().count(QLatin1String("': no end record: the image may be truncated")),
                 noEndRecord ? 4 : 0);
        QCOMPARE(f.station->TallyLabel()->text(),
                 QStringLiteral("passed %1, failed %2").arg(4 - failed).arg(failed));
        QCOMPARE(f.Log().count(QLatin1String(" - Result : FAIL, ")), failed);
        QCOMPARE(f.window->StationChimes(), 4);
        // a tile's context menu shows its handset's log
        QPlainTextEdit* log = f.station->ShowTileLog(0);
        QVERIFY(log && log->toPlainText().contains(QLatin1String("Target is ready")));
        log->close();
        testsupport::SaveScreenshot(f.station, picture);
        f.station->ResetTally();
        QCOMPARE(f.station->TallyLabel()->text(), QStringLiteral("passed 0, failed 0"));
    }

    // The watch loop: one handset passes, one fails, one is slow, one port has none yet; then the
    // first is taken off and the next one flashed on the same port; then Stop in the middle of the
    // slow one.
    void watchTakesOneHandsetAfterAnotherAndStops() {
        std::vector<TS_HANDSET> handsets(4);
        handsets[1].bitFlip = true;
        handsets[2].programUsPerKiB = 300000;
        handsets[3].present = false;
        CFixture f(handsets);
        f.station->WatchBox()->setChecked(true);
        f.station->StartButton()->click();
        QVERIFY(f.station->IsRunning());
        QTRY_VERIFY_WITH_TIMEOUT(f.Tile(0)->StateText() == QLatin1String("PASS") &&
                                     f.Tile(1)->StateText() == QLatin1String("FAIL") &&
                                     f.Tile(2)->StateText() == QLatin1String("programming") &&
                                     f.Tile(2)->Progress() > 0,
                                 120000);
        QCOMPARE(f.Tile(3)->StateText(), QStringLiteral("waiting for a handset"));
        // why the port without a handset cannot reach one, said once
        QTRY_COMPARE_WITH_TIMEOUT(f.Tile(3)->ReasonText(),
                                  QString::fromStdString("no device at " + f.Fixed(3)), 10000);
        QTest::qWait(600); // the elapsed time moves on the busy tile
        testsupport::SaveScreenshot(f.station, QStringLiteral("station-mixed"));
        f.station->resize(1280, 420);
        QTest::qWait(50);
        testsupport::SaveScreenshot(f.station, QStringLiteral("station-mixed-wide"));

        // the handset goes: the tile waits again; the next one starts by itself
        f.Unplug(0);
        QTRY_COMPARE_WITH_TIMEOUT(f.Tile(0)->StateText(), QStringLiteral("waiting for a handset"), 30000);
        f.Plug(0, TS_HANDSET{});
        QTRY_COMPARE_WITH_TIMEOUT(f.Tile(0)->StateText(), QStringLiteral("PASS"), 120000);
        QCOMPARE(f.station->Passed(), 2);
        QVERIFY2(f.Tile(2)->StateText() == QLatin1String("programming"), qPrintable(f.Tile(2)->StateText()));

        // Stop in the middle: the slow one stops at its next block, the waiting ports at once
        f.station->StopButton()->click();
        QVERIFY(!f.station->StopButton()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!f.station->IsRunning(), 60000);
        QCOMPARE(f.Tile(2)->StateText(), QStringLiteral("STOPPED"));
        QCOMPARE(f.Tile(3)->StateText(), QStringLiteral("idle"));
        QCOMPARE(f.Tile(3)->ReasonText(), QString());
        QVERIFY(f.Log().contains(QLatin1String(" - Result : STOPPED")));
        QCOMPARE(f.station->TallyLabel()->text(), QStringLiteral("passed 2, failed 1"));
        QVERIFY(f.station->StartButton()->isEnabled());
        QVERIFY(!f.window->StationRunning());
        testsupport::SaveScreenshot(f.station, QStringLiteral("station-stopped"));
    }

    // Closing during jobs stops them and never hangs: the close returns at once, the window goes
    // when the ports have stopped; the main window closes its station first.
    void closingDuringJobsStopsThemFirst_data() {
        QTest::addColumn<bool>("mainWindow");
        QTest::newRow("station window") << false;
        QTest::newRow("main window") << true;
    }
    void closingDuringJobsStopsThemFirst() {
        QFETCH(bool, mainWindow);
        std::vector<TS_HANDSET> handsets(4, TS_HANDSET{true, false, false, 300000});
        CFixture f(handsets);
        f.station->WatchBox()->setChecked(false);
        f.station->StartButton()->click();
        QTRY_VERIFY_WITH_TIMEOUT(f.Tile(0)->StateText() == QLatin1String("programming") &&
                                     f.Tile(3)->StateText() == QLatin1String("programming"),
                                 120000);
        QElapsedTimer clock;
        clock.start();
        if (mainWindow) {
            f.window->close();
        } else {
            f.station->close();
        }
        QVERIFY2(clock.elapsed() < 2000, "the close waited for the ports");
        QVERIFY(f.station && f.station->IsRunning());
        QTRY_VERIFY_WITH_TIMEOUT(f.station.isNull(), 60000);
        if (mainWindow) {
            QTRY_VERIFY_WITH_TIMEOUT(f.window->ShutdownDone(), 30000);
        } else {
            QVERIFY(!f.window->ShutdownDone());
        }
        QCOMPARE(f.Log().count(QLatin1String(" - Result : STOPPED")), 4);
    }

    // The ports offered: the port map's COM ports and the USB device with their paths; the ticks,
    // "verify" and "watch" come back the next time the window opens.
    void theChoiceOfPortsIsSaved() {
        CFixture f(std::vector<TS_HANDSET>(4, TS_HANDSET{false}));
        QListWidget* list = f.station->PortList();
        const auto item = [list](const std::string& label) -> QListWidgetItem* {
            for (int k = 0; k < list->count(); ++k) {
                if (list->item(k)->data(Qt::UserRole).toString().toStdString() == label) {
                    return list->item(k);
                }
            }
            return nullptr;
        };
        for (int k = 0; k < 4; ++k) {
            QListWidgetItem* port = item(kFourPorts[static_cast<std::size_t>(k)]);
            QVERIFY(port && port->text().contains(QString::fromStdString(f.Fixed(k))));
        }
        QCOMPARE(f.station->Tiles().size(), std::size_t{4});
        item("COM2")->setCheckState(Qt::Unchecked);
        QCOMPARE(f.station->Tiles().size(), std::size_t{3});
        f.station->VerifyBox()->setChecked(false);
        f.station->WatchBox()->setChecked(false);
        testsupport::SaveScreenshot(f.station, QStringLiteral("station-idle"));
        f.station->close();
        QTRY_VERIFY(f.station.isNull());

        f.window->Command(ID_FLASH_TOOLS_PRODUCTION_STATION)->trigger();
        CStationDlg* again = f.window->StationWindow();
        QStringList ticked;
        for (int k = 0; k < again->PortList()->count(); ++k) {
            if (again->PortList()->item(k)->checkState() == Qt::Checked) {
                ticked << again->PortList()->item(k)->data(Qt::UserRole).toString();
            }
        }
        QCOMPARE(ticked,
                 (QStringList{QStringLiteral("COM1"), QStringLiteral("COM3"), QStringLiteral("USB")}));
        QVERIFY(!again->VerifyBox()->isChecked());
        QVERIFY(!again->WatchBox()->isChecked());
        QCOMPARE(again->Tiles().size(), std::size_t{3});
        // nothing to flash: Start says why and runs nothing
        f.window->OnRemoveAll();
        again->StartButton()->click();
        QVERIFY(!again->IsRunning());
        QCOMPARE(again->StatusLabel()->text(), QStringLiteral("No flash files to download!"));
    }
};

QTEST_MAIN(StationTest)
#include "StationTest.moc"
