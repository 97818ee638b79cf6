// The History window of the production line: the records of a store, newest first, with the
// filters of `vandrel-cli history` (job, serial, port, result, since, until) and a CSV export.
// A thin view: the store (line/) does the work; the window opens its own connection to it.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QWidget>
#include <memory>
#include <string>

class IRecordStore;

class CLineHistoryDlg : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kTitle = "Production History";

    // where: the store as OpenRecordStore takes it; job: the job name the filter starts with.
    CLineHistoryDlg(const std::string& where, const QString& job, QWidget* parent = nullptr);
    ~CLineHistoryDlg() override;

    // Reads the records again with the filters as they stand.
    void Refresh();
    // Writes what the filters find as CSV; false with the reason on the status line.
    bool ExportCsv(const QString& path);

    // ---- for the tests
    QTableWidget* Table() const { return m_table; }
    QLineEdit* JobFilter() const { return m_job; }
    QLineEdit* SerialFilter() const { return m_serial; }
    QComboBox* ResultFilter() const { return m_result; }
    QLabel* StatusLabel() const { return m_status; }

private:
    void AskExport();

    std::unique_ptr<IRecordStore> m_store;
    QLineEdit* m_job;
    QLineEdit* m_serial;
    QLineEdit* m_port;
    QComboBox* m_result;
    QLineEdit* m_since;
    QLineEdit* m_until;
    QTableWidget* m_table;
    QLabel* m_status;
};
