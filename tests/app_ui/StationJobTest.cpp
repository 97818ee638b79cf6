// The station window with a production line's job, headless, against two in-process handsets
// (one fails its verify): Open Job locks the images, writer and verify and names the job; a bad
// job is refused with its file, line and reason; a run shows each tile's serial (the failed one
// void) and today's counts from the store; the History window lists the records, filters them
// and exports them as CSV; the job is opened again with the window. Pictures station-job-*.png.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <memory>

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
    // a job with serials never makes its store: it says how, and opens once the store is made
    QVERIFY(!station->OpenJob(job));
    QVERIFY2(station->StatusLabel()->text().contains(QStringLiteral("vandrel-cli store init")),
             qPrintable(station->StatusLabel()->text()));
    std::string problem;
    QVERIFY2(OpenRecordStore("", problem, STORE_CREATE), problem.c_str());
    QVERIFY(station->OpenJob(job));
    QVERIFY(station->HasJob());
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
    QVERIFY2(station->TallyLabel()->text().contains(QStringLiteral("job today: 1 passed, 1 failed")),
             qPrintable(station->TallyLabel()->text()));
    SaveScreenshot(station, QStringLiteral("station-job-run"));

    {
        // each record names this station and the user who ran it (the window has no other)
        auto records = OpenRecordStore("", problem, STORE_READ);
        QVERIFY2(records, problem.c_str());
        std::vector<TS_ATTEMPT_RECORD> attempts;
        QVERIFY2(records->Query({}, attempts, problem), problem.c_str());
        QCOMPARE(attempts.size(), std::size_t{2});
        for (const TS_ATTEMPT_RECORD& attempt : attempts) {
            QCOMPARE(attempt.Station, HostName());
            QCOMPARE(attempt.Operator, UserName());
            QVERIFY(!attempt.Operator.empty());
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
    QVERIFY(window->StationWindow()->HasJob());
    window.reset();
    ClearPortEnvironment();
    qunsetenv("XDG_DATA_HOME");
}

QTEST_MAIN(StationJobTest)
#include "StationJobTest.moc"
