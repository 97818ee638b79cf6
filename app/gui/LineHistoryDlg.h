// The History window of the production line: the records of a store, newest first, with the
// filters of `vandrel-cli history` (job, serial, port, result, since, until) and a CSV export.
// A thin view: the store (line/) does the work; the window opens its own connection to it. The
// list reads pages of records without their logs as it is scrolled (a store of millions opens at
// once); the log of one attempt is read when its row is opened.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QWidget>
#include <memory>
#include <string>

class IRecordStore;
class CRecordCursor;

class CLineHistoryDlg : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kTitle = "Production History";

    // where: the store as OpenRecordStore takes it; job: the job name the filter starts with.
    CLineHistoryDlg(const std::string& where, const QString& job, QWidget* parent = nullptr);
    ~CLineHistoryDlg() override;

    static constexpr int kPage = 200; // records read at a time as the list is scrolled

    // Reads the records again with the filters as they stand: the first page.
    void Refresh();
    // The next page of the list, when there is one; false at the end.
    bool LoadMore();
    // Shows one attempt's record with its log, read from the store.
    void OpenRow(int row);
    // Writes what the filters find as CSV; false with the reason on the status line.
    bool ExportCsv(const QString& path);

    // ---- for the tests
    QTableWidget* Table() const { return m_table; }
    QLineEdit* JobFilter() const { return m_job; }
    QLineEdit* SerialFilter() const { return m_serial; }
    QComboBox* ResultFilter() const { return m_result; }
    QLabel* StatusLabel() const { return m_status; }
    QPlainTextEdit* LogView() const { return m_log; }

private:
    void AskExport();
    void ShowCount();

    std::unique_ptr<IRecordStore> m_store;
    QLineEdit* m_job;
    QLineEdit* m_serial;
    QLineEdit* m_port;
    QComboBox* m_result;
    QLineEdit* m_since;
    QLineEdit* m_until;
    QTableWidget* m_table;
    QPlainTextEdit* m_log;
    QLabel* m_status;
    std::unique_ptr<CRecordCursor> m_cursor; // the list's reading, from the last page on
    bool m_more = false;
};
