// The History window on a store larger than a page, headless: it opens on the first page only,
// each scroll to the end of the list reads the next page until the records end, the list reads no
// log (a record's log is read when its row is opened), and the CSV export writes every record.
// Picture history-window-paged.png.
#include <QScrollBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include "AppUiTestSupport.h"
#include "LineHistoryDlg.h"
#include "Screenshot.h"
#include "line/RecordStore.h"

using namespace apptest;
using testsupport::SaveScreenshot;

class HistoryWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QuietPlatformWarnings(); }
    void PagesAsItScrolls();
};

void HistoryWindowTest::PagesAsItScrolls() {
    QTemporaryDir dir;
    const std::string where = "sqlite:" + dir.filePath(QStringLiteral("records.db")).toStdString();
    constexpr int kRecords = CLineHistoryDlg::kPage * 2 + 50;
    {
        std::string error;
        auto store = OpenRecordStore(where, error, STORE_CREATE);
        QVERIFY2(store, error.c_str());
        for (int k = 0; k < kRecords; ++k) {
            TS_ATTEMPT_RECORD r;
            r.Job = "paged";
            r.Port = "p" + std::to_string(k % 4);
            r.Started = "2026-12-09T10:00:00.000Z"; // one instant: the pages go on by id
            r.Log = "log of " + std::to_string(k);
            int64_t id = 0;
            QVERIFY2(store->BeginAttempt(r, id, error), error.c_str());
            r.Id = id;
            r.Result = k % 10 ? RESULT_PASSED : RESULT_FAILED;
            r.Reason = k % 10 ? "" : "erase failed, \"block 3\"";
            QVERIFY2(store->EndAttempt(r, error), error.c_str());
        }
    }
    CLineHistoryDlg history(where, QString());
    history.show();
    QTableWidget* table = history.Table();
    QCOMPARE(table->rowCount(), CLineHistoryDlg::kPage);
    QVERIFY2(history.StatusLabel()->text().contains(QStringLiteral("more as the list scrolls")),
             qPrintable(history.StatusLabel()->text()));
    QVERIFY(history.LogView()->toPlainText().isEmpty());
    for (const int rows : {CLineHistoryDlg::kPage * 2, kRecords, kRecords}) {
        table->verticalScrollBar()->setValue(table->verticalScrollBar()->maximum());
        QApplication::processEvents();
        QCOMPARE(table->rowCount(), rows);
    }
    QVERIFY2(history.StatusLabel()->text().startsWith(QStringLiteral("%1 records in").arg(kRecords)),
             qPrintable(history.StatusLabel()->text()));
    // newest first, every record once
    for (int row = 0; row < kRecords; ++row) {
        QCOMPARE(table->item(row, 0)->text().toInt(), kRecords - row);
    }
    history.OpenRow(kRecords - 1);
    QVERIFY2(history.LogView()->toPlainText().contains(QStringLiteral("attempt 1: failed")) &&
                 history.LogView()->toPlainText().contains(QStringLiteral("log of 0")),
             qPrintable(history.LogView()->toPlainText()));
    SaveScreenshot(&history, QStringLiteral("history-window-paged"));

    const QString csv = dir.filePath(QStringLiteral("all.csv"));
    QVERIFY(history.ExportCsv(csv));
    QFile file(csv);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(!text.contains("log of")); // no log in the export
    QCOMPARE(text.count("erase failed, \"\"block 3\"\""), kRecords / 10);
    QCOMPARE(text.count('\n'), kRecords + 1);
}

QTEST_MAIN(HistoryWindowTest)
#include "HistoryWindowTest.moc"
