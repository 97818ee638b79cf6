// The station window with a production line's job, headless, against two in-process handsets
// (one fails its verify): Open Job locks the images, writer and verify and names the job; a bad
// job is refused with its file, line and reason; a run shows each tile's serial (the failed one
// void) and today's counts from the store; the History window lists the records, filters them
// and exports them as CSV; the job is opened again with the window; the operator typed in the window
// is in each record; a store that never answers leaves the window answering and painting, then says
// why. Pictures station-job-*.png, station-store-*.png.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "AppUiTestSupport.h"
#include "LineHistoryDlg.h"
#include "Screenshot.h"
#include "SimHarness.h"
#include "StationDlg.h"
#include "StationTile.h"
#include "VandrelDlg.h"
#include "app/AppSettings.h"
#include "line/RecordStore.h"
#include "resource.h"

using namespace apptest;
using testsupport::CSimHarness;
using testsupport::ESimLink;
using testsupport::SaveScreenshot;

class StationJobTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QuietPlatformWarnings(); }
    void JobRunHistoryAndExport();
    void AStoreThatDoesNotAnswerNeverFreezesTheWindow();
};

void StationJobTest::JobRunHistoryAndExport() {
    CConfigDir config;
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
    const QString samples = QStringLiteral(VANDREL_SOURCE_DIR "/samples");
    for (const char* name : {"vwriter.m0", "vmain.m0", "vdrive.m0", "r3700-line.toml"}) {
        QVERIFY(QFile::copy(samples + "/" + name, dir.filePath(QString::fromLatin1(name))));
    }
    const QString job = dir.filePath(QStringLiteral("r3700-line.toml"));
    const QString bad = dir.filePath(QStringLiteral("bad.toml"));
    std::ofstream(bad.toStdString()) << "name = \"x\"\nverfy = true\n";
    WriteAppSettings(AppSettings{}, {}, config.Std()); // no list, no writer: the job brings them
    CSimHarness good(ESimLink::Uart);
    CSimHarness failing(ESimLink::Uart);
    failing.Host().SetFault(vsim::EFault::BitFlip, {.after = 2, .times = 1});
    qputenv("VANDREL_COM1", QByteArray::fromStdString(good.Path()));
    qputenv("VANDREL_COM2", QByteArray::fromStdString(failing.Path()));

    CVandrelDlg::TS_OPTIONS options;
    options.modulePath = VANDREL_PROGRAM;
    auto window = std::make_unique<CVandrelDlg>(options);
    window->show();
    window->Command(ID_FLASH_TOOLS_PRODUCTION_STATION)->trigger();
    QPointer<CStationDlg> station = window->StationWindow();
    QVERIFY(station);
    station->resize(900, 640);
    station->ChoosePorts({"COM1", "COM2"});

    QVERIFY(!station->OpenJob(bad));
    QVERIFY2(station->StatusLabel()->text().contains(bad + ":2:1: unknown key 'verfy'"),
             qPrintable(station->StatusLabel()->text()));
    QVERIFY(!station->HasJob());
    // a job with serials never makes its store: it says how, and opens once the store is made (the
    // store opened off the UI thread)
    QVERIFY(station->OpenJob(job));
    QTRY_VERIFY2(station->StatusLabel()->text().contains(QStringLiteral("vandrel-cli store init")),
                 qPrintable(station->StatusLabel()->text()));
    QVERIFY(!station->HasJob());
    std::string problem;
    QVERIFY2(OpenRecordStore("", problem, STORE_CREATE), problem.c_str());
    QVERIFY(station->OpenJob(job));
    QTRY_VERIFY(station->HasJob());
    QTRY_VERIFY(station->TallyLabel()->text().contains(QStringLiteral("job today: 0 passed, 0 failed")));
    // the operator each record names: the user running the program, unless another is typed
    QCOMPARE(station->OperatorEdit()->text(), QString::fromStdString(UserName()));
    station->OperatorEdit()->setText(QStringLiteral("alice"));
    QVERIFY(station->JobLabel()->text().contains(QStringLiteral("R3700 sample line")));
    QVERIFY(station->JobLabel()->text().contains(QStringLiteral("vmain.m0, vdrive.m0")));
    QVERIFY(!station->VerifyBox()->isEnabled()); // the job pins verify
    QVERIFY(station->VerifyBox()->isChecked());
    QTest::qWait(100); // the layout settles before the picture
    SaveScreenshot(station, QStringLiteral("station-job-loaded"));

    station->WatchBox()->setChecked(false);
    station->Start();
    QTRY_VERIFY_WITH_TIMEOUT(!station->IsRunning(), 120000);
    CStationTile* pass = station->Tiles()[0];
    CStationTile* fail = station->Tiles()[1];
    QCOMPARE(pass->StateText(), QStringLiteral("PASS"));
    QVERIFY2(pass->ReasonText().contains(QStringLiteral("serial R3700-0000100")),
             qPrintable(pass->ReasonText()));
    QCOMPARE(fail->StateText(), QStringLiteral("FAIL"));
    QVERIFY2(fail->ReasonText().contains(QStringLiteral("(void)")), qPrintable(fail->ReasonText()));
    QTRY_VERIFY2(station->TallyLabel()->text().contains(QStringLiteral("job today: 1 passed, 1 failed")),
                 qPrintable(station->TallyLabel()->text()));
    SaveScreenshot(station, QStringLiteral("station-job-run"));

    {
        // each record names this station and the operator typed in the window
        auto records = OpenRecordStore("", problem, STORE_READ);
        QVERIFY2(records, problem.c_str());
        std::vector<TS_ATTEMPT_RECORD> attempts;
        QVERIFY2(records->Query({}, attempts, problem), problem.c_str());
        QCOMPARE(attempts.size(), std::size_t{2});
        for (const TS_ATTEMPT_RECORD& attempt : attempts) {
            QCOMPARE(attempt.Station, HostName());
            QCOMPARE(attempt.Operator, std::string("alice"));
        }
    }
    CLineHistoryDlg* history = station->ShowHistory();
    QVERIFY(history);
    QCOMPARE(history->Table()->rowCount(), 2);
    history->ResultFilter()->setCurrentText(QStringLiteral("failed"));
    QCOMPARE(history->Table()->rowCount(), 1);
    QVERIFY(history->Table()->item(0, 4)->text().endsWith(QStringLiteral("(void)")));
    history->ResultFilter()->setCurrentIndex(0);
    QCOMPARE(history->Table()->rowCount(), 2);
    SaveScreenshot(history, QStringLiteral("station-job-history"));
    const QString csv = dir.filePath(QStringLiteral("history.csv"));
    QVERIFY(history->ExportCsv(csv));
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[0].startsWith("attempt,started,ended,job,"));

    // the window opens the last job again
    station->close();
    QTRY_VERIFY(station.isNull() || !station->isVisible());
    window.reset();
    window = std::make_unique<CVandrelDlg>(options);
    window->show();
    window->Command(ID_FLASH_TOOLS_PRODUCTION_STATION)->trigger();
    QTRY_VERIFY(window->StationWindow()->HasJob());
    window.reset();
    ClearPortEnvironment();
    qunsetenv("XDG_DATA_HOME");
}

// A job whose PostgreSQL store does not answer (a socket that takes the connection and never
// replies): the window goes on answering and painting while the store is opened off its thread,
// Start waits, and once the connect time-out has passed the status line says why.
void StationJobTest::AStoreThatDoesNotAnswerNeverFreezesTheWindow() {
    CConfigDir config;
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
    const QString samples = QStringLiteral(VANDREL_SOURCE_DIR "/samples");
    for (const char* name : {"vwriter.m0", "vmain.m0", "vdrive.m0", "r3700-line.toml"}) {
        QVERIFY(QFile::copy(samples + "/" + name, dir.filePath(QString::fromLatin1(name))));
    }
    // a listening socket that never accepts: the connection is made, no reply ever comes
    const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QVERIFY(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    QVERIFY(::listen(silent, 8) == 0);
    QVERIFY(::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    const std::string url = "postgresql://vandrel@127.0.0.1:" + std::to_string(ntohs(address.sin_port)) +
                            "/line?connect_timeout=4";
    std::ifstream in(dir.filePath(QStringLiteral("r3700-line.toml")).toStdString());
    std::stringstream text;
    text << in.rdbuf();
    std::string toml = text.str();
    toml.insert(toml.find("\n[writer]"), "\nstore = \"" + url + "\"\n");
    const QString job = dir.filePath(QStringLiteral("silent.toml"));
    std::ofstream(job.toStdString()) << toml;
    WriteAppSettings(AppSettings{}, {}, config.Std());

    CVandrelDlg::TS_OPTIONS options;
    options.modulePath = VANDREL_PROGRAM;
    auto window = std::make_unique<CVandrelDlg>(options);
    window->show();
    window->Command(ID_FLASH_TOOLS_PRODUCTION_STATION)->trigger();
    QPointer<CStationDlg> station = window->StationWindow();
    QVERIFY(station);
    station->resize(900, 640);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(station->OpenJob(job));
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed()))); // not the time-out
    QVERIFY(station->OpeningJob());
    QVERIFY(
        station->StatusLabel()->text().contains(QStringLiteral("Opening the record store of postgresql://")));
    QVERIFY(!station->StartButton()->isEnabled()); // Start waits for the store
    // the UI thread goes on: a timer of 50 ms fires, the window repaints and answers input
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(50);
    QTest::qWait(2000);
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks))); // 40 when nothing is held up
    QVERIFY(station->OpeningJob());
    station->OperatorEdit()->setText(QStringLiteral("bob"));
    QCOMPARE(station->Model().Operator(), std::string("bob"));
    SaveScreenshot(station, QStringLiteral("station-store-opening"));
    // the connect time-out (4 s) passes: the reason, and the window as it was
    QTRY_VERIFY_WITH_TIMEOUT(!station->OpeningJob(), 30000);
    QVERIFY2(station->StatusLabel()->text().contains(QStringLiteral("cannot connect to the record store")),
             qPrintable(station->StatusLabel()->text()));
    QVERIFY(!station->HasJob());
    QVERIFY(station->StartButton()->isEnabled());
    SaveScreenshot(station, QStringLiteral("station-store-unreachable"));
    window.reset();
    ::close(silent);
    qunsetenv("XDG_DATA_HOME");
}

QTEST_MAIN(StationJobTest)
#include "StationJobTest.moc"
