// Download runs against the virtual handset: Download All over three files where the handset
// fails the second, a listed file deleted from disk, the download command and its refusals, the
// download dialog while erasing and sending, and closing the window while connected and during a
// run: it never hangs and the settings are kept.
#include <QAction>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "AppUiTestSupport.h"
#include "CaptionProgressCtrl.h"
#include "ControlId.h"
#include "FaceButton.h"
#include "LogPage.h"
#include "SendSrecordDlg.h"
#include "SimHarness.h"
#include "VandrelDlg.h"
#include "XListCtrl.h"
#include "app/AppSettings.h"
#include "platform/RegistryStore.h"
#include "resource.h"

using namespace apptest;
using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

const QString kMark = QString::fromUtf8("\xE2\x97\x88");
constexpr uint8_t kAppData = 0x31;

QString Header(const QString& label) {
    return QStringLiteral("\r\n") + kMark.repeated(8) + QStringLiteral("  Download information for the ") +
           label + QStringLiteral("  ") + kMark.repeated(8);
}

QString PathLine(const QString& path) {
    return QStringLiteral("\r\n - File path : '%1'").arg(path);
}

// The application blocks the handset stored at an address range.
int BlocksAt(const vsim::SHandsetSnapshot& s, uint32_t from, uint32_t to) {
    int n = 0;
    for (const auto& c : s.commands) {
        if (c.cid == kAppData && c.address >= from && c.address < to && c.status == 0) {
            ++n;
        }
    }
    return n;
}

vsim::SSimulatorOptions WriterRunning() {
    vsim::SSimulatorOptions options;
    options.startRunner = vsim::ERunner::FlashWriter;
    return options;
}

bool ClickConnect(CVandrelDlg& window) {
    bool ended = false;
    QTimer::singleShot(0, &window, [&] {
        window.ConnectToggle()->click();
        ended = true;
    });
    return QTest::qWaitFor([&] { return ended; }, 60000) && window.ConnectToggle()->GetCheck();
}

// Starts a job from the event loop (the download dialogs run modally inside it) and waits until
// JobThread has reported it done.
bool RunJob(CVandrelDlg& window, const std::function<void()>& start, int timeoutMs = 120000) {
    const int before = window.JobsDone();
    QTimer::singleShot(0, &window, start);
    return QTest::qWaitFor([&] { return window.JobsDone() > before && !window.IsBusy(); }, timeoutMs);
}

struct TS_FILES {
    QTemporaryDir dir;
    QStringList paths;
    // three images in the main code area, far enough apart to tell them apart in the handset
    TS_FILES() {
        for (int n = 0; n < 3; ++n) {
            paths << WriteM0(dir.filePath(QStringLiteral("vfile%1.m0").arg(n + 1)), Base(n), 256, n + 1);
        }
    }
    static uint32_t Base(int n) { return 0x00010000u + 0x10000u * static_cast<uint32_t>(n); }
};

CVandrelDlg::TS_OPTIONS ProgramOptions() {
    CVandrelDlg::TS_OPTIONS options;
    options.modulePath = VANDREL_PROGRAM;
    return options;
}

int StoredInt(const CConfigDir& config, const char* key, const char* name) {
    CRegistryStore store(config.Std());
    store.SelectRoot(HKEY_LOCAL_MACHINE);
    return store.OpenPath(key) == 1 ? store.GetInt(name, -12345) : -12345;
}

} // namespace

class RunTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QApplication::setApplicationName(QStringLiteral("Vandrel"));
        QuietPlatformWarnings();
    }
    void init() { ClearPortEnvironment(); }
    void cleanup() { ClearPortEnvironment(); }

    void downloadAllStopsAtTheFailedFile() {
        CSimHarness sim(ESimLink::Uart, WriterRunning());
        sim.ExportEnvironment(1);
        CConfigDir config;
        TS_FILES files;
        CVandrelDlg window(ProgramOptions());
        window.show();
        for (const QString& path : files.paths) {
            window.AddChosenFile(path);
        }
        CModalDriver driver(QStringLiteral("run-fails"));
        QVERIFY(ClickConnect(window));
        QTRY_VERIFY_WITH_TIMEOUT(window.JobsDone() >= 1 && !window.IsBusy(), 30000);
        window.LogPage()->ClearLog();

        // the handset refuses the second file's block (each small image is one block)
        vsim::SFaultSpec second;
        second.after = 1;
        sim.Host().SetFault(vsim::EFault::ResendBlock, second);
        int dialogs = 0;
        driver.SetHandler([&](QWidget* w) {
            if (qobject_cast<CSendSrecordDlg*>(w)) {
                ++dialogs;
                // every dialog shown while the run goes on disables the window's commands
                if (window.DownloadAllButton()->isEnabled() || window.ConnectToggle()->isEnabled()) {
                    QWARN("commands stay enabled during a run");
                    dialogs += 100;
                }
                return true;
            }
            return false;
        });
        QVERIFY(RunJob(window, [&] { window.DownloadAllButton()->click(); }));
        const QString log = window.LogPage()->Text();
        VERIFY_IN_ORDER(log, {Header(QStringLiteral("1st file in the above listbox")),
                              PathLine(files.paths[0]), QStringLiteral("\r\n - Start time : "),
                              QStringLiteral(" - End time : "), QStringLiteral(" - Elapsed time : "),
                              Header(QStringLiteral("2nd file in the above listbox")),
                              PathLine(files.paths[1]), QStringLiteral("\r\n - Start time : "),
                              QStringLiteral(" *** Error occurred => code[-4]\r\n"),
                              QStringLiteral("\r\n") + kMark + QStringLiteral(" Total elapsed time : ")});
        QVERIFY(!log.contains(QStringLiteral("3rd file")));
        QCOMPARE(log.count(QStringLiteral(" - End time : ")), 1);
        QCOMPARE(dialogs, 2);
        const vsim::SHandsetSnapshot snap = sim.Host().Snapshot();
        QCOMPARE(BlocksAt(snap, TS_FILES::Base(0), TS_FILES::Base(1)), 1);
        QCOMPARE(BlocksAt(snap, TS_FILES::Base(1), TS_FILES::Base(2)), 0);
        QCOMPARE(BlocksAt(snap, TS_FILES::Base(2), TS_FILES::Base(3)), 0);
        // no row stays selected or bold, and the commands are back
        QTRY_COMPARE_WITH_TIMEOUT(window.FileList()->GetCurSel(), -1, 5000);
        for (int row = 0; row < 3; ++row) {
            QCOMPARE(window.FileList()->GetCellBold(row, 0), 0);
        }
        QVERIFY(window.DownloadAllButton()->isEnabled());
        QVERIFY(FindControl<QPushButton>(&window, IDC_ADD)->isEnabled());
        testsupport::SaveScreenshot(&window, QStringLiteral("main-window-after-run"));
        QVERIFY(window.close());
        QVERIFY(!driver.Failed());
    }

    void aDeletedFileIsSkipped() {
        CSimHarness sim(ESimLink::Uart, WriterRunning());
        sim.ExportEnvironment(1);
        CConfigDir config;
        TS_FILES files;
        CVandrelDlg window(ProgramOptions());
        for (const QString& path : files.paths) {
            window.AddChosenFile(path);
        }
        QVERIFY(QFile::remove(files.paths[1]));
        CModalDriver driver(QStringLiteral("run-deleted"));
        QVERIFY(ClickConnect(window));
        QTRY_VERIFY_WITH_TIMEOUT(window.JobsDone() >= 1 && !window.IsBusy(), 30000);
        QVERIFY(RunJob(window, [&] { window.DownloadAllButton()->click(); }));
        QCOMPARE(driver.Boxes().size(), std::size_t(1));
        const TS_BOX box = driver.Boxes().front();
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.title, QStringLiteral("Vandrel"));
        QVERIFY2(box.text.startsWith(files.paths[1] +
                                     QStringLiteral("\nCannot open above file.\n\nPlease check again.")),
                 qPrintable(box.text));
        const QString log = window.LogPage()->Text();
        VERIFY_IN_ORDER(
            log, {Header(QStringLiteral("1st file in the above listbox")), QStringLiteral(" - End time : "),
                  Header(QStringLiteral("3rd file in the above listbox")), PathLine(files.paths[2]),
                  QStringLiteral(" - End time : "), QStringLiteral(" Total elapsed time : ")});
        QVERIFY(!log.contains(QStringLiteral("2nd file")));
        const vsim::SHandsetSnapshot snap = sim.Host().Snapshot();
        QCOMPARE(BlocksAt(snap, TS_FILES::Base(0), TS_FILES::Base(1)), 1);
        QCOMPARE(BlocksAt(snap, TS_FILES::Base(2), TS_FILES::Base(3)), 1);
        QVERIFY(window.close());
    }

    void downloadSendsTheSelectedFile() {
        CSimHarness sim(ESimLink::Usb, WriterRunning());
        sim.ExportEnvironment(1);
        CConfigDir config;
        TS_FILES files;
        CVandrelDlg window(ProgramOptions());
        for (const QString& path : files.paths) {
            window.AddChosenFile(path);
        }
        FindControl<QAbstractButton>(&window, IDC_RADIO_USB)->click();
        CModalDriver driver(QStringLiteral("run-one"));
        QVERIFY(ClickConnect(window));
        QTRY_VERIFY_WITH_TIMEOUT(window.JobsDone() >= 1 && !window.IsBusy(), 30000);

        // without a selection the command is refused
        window.FileList()->SetCurSel(-1);
        QTimer::singleShot(0, &window, [&] { window.Command(ID_FILE_LIST_DOWNLOAD)->trigger(); });
        QTRY_COMPARE_WITH_TIMEOUT(driver.Boxes().size(), std::size_t(1), 20000);
        QCOMPARE(driver.Boxes().front().text, QStringLiteral("No flash file is selected!"));
        QCOMPARE(driver.Boxes().front().icon, QMessageBox::Critical);
        QTRY_VERIFY_WITH_TIMEOUT(!QApplication::activeModalWidget(), 10000);
        QVERIFY(!window.IsBusy());

        window.FileList()->SetCurSel(1);
        window.LogPage()->ClearLog();
        QVERIFY(RunJob(window, [&] { window.Command(ID_FILE_LIST_DOWNLOAD)->trigger(); }));
        const QString log = window.LogPage()->Text();
        VERIFY_IN_ORDER(log,
                        {Header(QStringLiteral("2nd file in the above listbox")), PathLine(files.paths[1]),
                         QStringLiteral(" - End time : "), QStringLiteral(" Total elapsed time : ")});
        QCOMPARE(log.count(QStringLiteral("Download information")), 1);
        const vsim::SHandsetSnapshot snap = sim.Host().Snapshot();
        QCOMPARE(BlocksAt(snap, TS_FILES::Base(1), TS_FILES::Base(2)), 1);
        QCOMPARE(BlocksAt(snap, TS_FILES::Base(0), TS_FILES::Base(1)), 0);
        QCOMPARE(sim.Host().ReadMemory(TS_FILES::Base(1), 4).size(), std::size_t(4));

        // with no files at all, Download All is refused
        window.OnRemoveAll();
        driver.ClearBoxes();
        QTimer::singleShot(0, &window, [&] { window.DownloadAllButton()->click(); });
        QTRY_COMPARE_WITH_TIMEOUT(driver.Boxes().size(), std::size_t(1), 20000);
        QCOMPARE(driver.Boxes().front().text, QStringLiteral("No flash files to download!"));
        QTRY_VERIFY_WITH_TIMEOUT(!QApplication::activeModalWidget(), 10000);
        QVERIFY(window.close());
    }

    void downloadDialogWhileErasingAndSending() {
        // a slow handset, and an image of many blocks, so that both stages can be watched
        vsim::SSimulatorOptions options = WriterRunning();
        options.eraseUsPer64K = 40000;
        options.programUsPerKiB = 40000;
        CSimHarness sim(ESimLink::Uart, options);
        sim.ExportEnvironment(1);
        CConfigDir config;
        QTemporaryDir dir;
        std::string text = "S00600004844521B\n";
        for (uint32_t block = 0; block < 24; ++block) {
            const std::vector<uint8_t> data = Pattern(512, block + 1);
            for (std::size_t at = 0; at < data.size(); at += 32) {
                text += S3Line(0x00010000u + block * 0x1000u + static_cast<uint32_t>(at),
                               std::vector<uint8_t>(data.begin() + static_cast<long>(at),
                                                    data.begin() + static_cast<long>(at + 32)));
            }
        }
        text += "S70500000000FA\n";
        const QString path = dir.filePath(QStringLiteral("vslow.m0"));
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(text.data(), static_cast<qint64>(text.size()));
        }
        CVandrelDlg window(ProgramOptions());
        window.show();
        window.AddChosenFile(path);
        CModalDriver driver(QStringLiteral("download"));
        QVERIFY(ClickConnect(window));
        QTRY_VERIFY_WITH_TIMEOUT(window.JobsDone() >= 1 && !window.IsBusy(), 30000);

        bool erasing = false, sending = false, ignoredKeys = true;
        QString erasingText, sendingStatus;
        QTimer watch;
        watch.setInterval(20);
        driver.SetHandler([&](QWidget* w) {
            auto* dialog = qobject_cast<CSendSrecordDlg*>(w);
            if (!dialog) {
                return false;
            }
            QObject::connect(&watch, &QTimer::timeout, dialog, [&, dialog] {
                if (!erasing && dialog->Caption() == QLatin1String("Erasing flash memory") &&
                    dialog->EraseTimerActive() && dialog->Progress()->GetPos() > 0) {
                    erasing = true;
                    erasingText = dialog->Progress()->GetWindowText();
                    // Enter and Esc do not end a running session
                    QTest::keyClick(dialog, Qt::Key_Escape);
                    QTest::keyClick(dialog, Qt::Key_Return);
                    dialog->close();
                    ignoredKeys = dialog->isVisible();
                    driver.Shoot(dialog, QStringLiteral("erasing"));
                }
                const int pos = dialog->Progress()->GetPos();
                int low = 0, high = 0;
                dialog->Progress()->GetRange(low, high);
                if (!sending && dialog->Caption() == QLatin1String("Send Motorola S-format") && high > 0 &&
                    pos > high / 3) {
                    sending = true;
                    sendingStatus = dialog->StatusText();
                    driver.Shoot(dialog, QStringLiteral("sending"));
                }
            });
            watch.start();
            return true;
        });
        QVERIFY(RunJob(window, [&] { window.DownloadAllButton()->click(); }));
        QVERIFY(erasing);
        QVERIFY(ignoredKeys);
        QCOMPARE(erasingText, QStringLiteral("Erasing ostra main code area in CS#0 flash memory.."));
        QVERIFY(sending);
        QVERIFY2(sendingStatus.startsWith(QStringLiteral("Ostra Main Code[0x000")),
                 qPrintable(sendingStatus));
        VERIFY_IN_ORDER(window.LogPage()->Text(),
                        {QStringLiteral(" - End time : "), QStringLiteral(" - Elapsed time : ")});
        QVERIFY(window.close());
    }

    void theSamplesFromConnectToDownloadAll() {
        // what a person does with the samples: connect (the boot loader gets the flash writer),
        // then Download All
        QTemporaryDir dir;
        QStringList images;
        for (const char* name : {"vwriter.m0", "vmain.m0", "vdrive.m0"}) {
            const QString copy = dir.filePath(QString::fromLatin1(name));
            QVERIFY(QFile::copy(QStringLiteral(VANDREL_SOURCE_DIR "/samples/") + QString::fromLatin1(name),
                                copy));
            images << copy;
        }
        CSimHarness sim(ESimLink::Uart);
        sim.ExportEnvironment(1);
        CConfigDir config;
        AppSettings settings;
        settings.FlashWriterPath[PORT_UART] = images[0].toStdString();
        WriteAppSettings(settings, {images[1].toStdString(), images[2].toStdString()}, config.Std());
        CVandrelDlg window(ProgramOptions());
        window.show();
        QCOMPARE(window.FileList()->GetItemCount(), 2);
        CModalDriver driver(QStringLiteral("samples"));
        QVERIFY(ClickConnect(window));
        QTRY_VERIFY_WITH_TIMEOUT(
            window.JobsDone() >= 1 && !window.IsBusy() && !QApplication::activeModalWidget(), 60000);
        QCOMPARE(sim.Host().Runner(), vsim::ERunner::FlashWriter);
        QVERIFY(RunJob(window, [&] { window.DownloadAllButton()->click(); }));
        const QString log = window.LogPage()->Text();
        VERIFY_IN_ORDER(log, {QStringLiteral("Flash Writer Code"), QStringLiteral(" - End time : "),
                              Header(QStringLiteral("1st file in the above listbox")), PathLine(images[1]),
                              QStringLiteral(" - End time : "),
                              Header(QStringLiteral("2nd file in the above listbox")), PathLine(images[2]),
                              QStringLiteral(" - End time : "), QStringLiteral(" Total elapsed time : ")});
        QVERIFY(!log.contains(QStringLiteral("Error occurred")));
        QVERIFY(driver.Boxes().empty());
        QVERIFY(sim.Host().Snapshot().refusedWrites.empty());
        testsupport::SaveScreenshot(&window, QStringLiteral("main-window-samples"));
        QVERIFY(window.close());
    }

    void closingWhileConnectedKeepsTheSettings() {
        CSimHarness sim(ESimLink::Uart, WriterRunning());
        sim.ExportEnvironment(1);
        CConfigDir config;
        TS_FILES files;
        CVandrelDlg window(ProgramOptions());
        window.show();
        window.AddChosenFile(files.paths[0]);
        CModalDriver driver(QStringLiteral("close-connected"));
        QVERIFY(ClickConnect(window));
        QTRY_VERIFY_WITH_TIMEOUT(window.JobsDone() >= 1 && !window.IsBusy(), 30000);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(window.close());
        QVERIFY(clock.elapsed() < 10000);
        QVERIFY(window.ShutdownDone());
        QVERIFY(!window.Monitor());
        QVERIFY(!window.JobThread().IsRunning());
        QCOMPARE(StoredInt(config, KEY_FLASH_DOWNLOAD_OPTIONS, "Number of flash files in list"), 1);
        QTRY_VERIFY_WITH_TIMEOUT(sim.Host().Snapshot().links.hostCloses >= 1, 10000);
    }

    void closingDuringARunEndsItAfterTheFileBeingSent_data() {
        QTest::addColumn<bool>("betweenFiles");
        QTest::newRow("while the first file is sent") << false;
        QTest::newRow("between two files") << true;
    }
    void closingDuringARunEndsItAfterTheFileBeingSent() {
        QFETCH(bool, betweenFiles);
        vsim::SSimulatorOptions options = WriterRunning();
        options.programUsPerKiB = 300000; // each small image takes a moment
        CSimHarness sim(ESimLink::Uart, options);
        sim.ExportEnvironment(1);
        CConfigDir config;
        TS_FILES files;
        CVandrelDlg window(ProgramOptions());
        window.show();
        for (const QString& path : files.paths) {
            window.AddChosenFile(path);
        }
        CModalDriver driver(QStringLiteral("close-run"));
        QVERIFY(ClickConnect(window));
        QTRY_VERIFY_WITH_TIMEOUT(window.JobsDone() >= 1 && !window.IsBusy(), 30000);

        bool closeAsked = false;
        bool stillOpenAfterAsking = false;
        driver.SetHandler([&](QWidget* w) {
            auto* dialog = qobject_cast<CSendSrecordDlg*>(w);
            if (!dialog || closeAsked) {
                return dialog != nullptr;
            }
            closeAsked = true;
            if (betweenFiles) {
                // the moment after the first file's dialog has ended, before the next request
                QObject::connect(dialog, &QDialog::finished, &window, [&] {
                    window.close();
                    stillOpenAfterAsking = window.isVisible();
                });
            } else {
                QTimer::singleShot(0, &window, [&] {
                    window.close();
                    stillOpenAfterAsking = window.isVisible() && !window.ShutdownDone();
                });
            }
            return true;
        });
        QTimer::singleShot(0, &window, [&] { window.DownloadAllButton()->click(); });
        QTRY_VERIFY_WITH_TIMEOUT(window.ShutdownDone(), 120000);
        QVERIFY(closeAsked);
        QVERIFY(stillOpenAfterAsking);
        QVERIFY(!window.isVisible());
        QVERIFY(!window.Monitor());
        QVERIFY(!window.JobThread().IsRunning());
        // the first file was sent to its end, the others were not started
        const vsim::SHandsetSnapshot snap = sim.Host().Snapshot();
        QCOMPARE(BlocksAt(snap, TS_FILES::Base(0), TS_FILES::Base(1)), 1);
        QCOMPARE(BlocksAt(snap, TS_FILES::Base(1), TS_FILES::Base(3)), 0);
        QVERIFY(window.LogPage()->Text().contains(QStringLiteral(" - End time : ")));
        QVERIFY(!window.LogPage()->Text().contains(QStringLiteral("2nd file")));
        QCOMPARE(StoredInt(config, KEY_FLASH_DOWNLOAD_OPTIONS, "Number of flash files in list"), 3);
        QCOMPARE(StoredInt(config, KEY_WINDOWS, "Status"), 1);
        QVERIFY(!driver.Failed());
    }
};

QTEST_MAIN(RunTest)
#include "RunTest.moc"
