#include "LineHistoryDlg.h"

#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include "line/RecordStore.h"

namespace {
const char* const kColumns[] = {"ID", "Started", "Job", "Port", "Serial", "Result", "Reason"};
} // namespace

CLineHistoryDlg::CLineHistoryDlg(const std::string& where, const QString& job, QWidget* parent)
    : QWidget(parent, Qt::Window), m_job(new QLineEdit(job, this)), m_serial(new QLineEdit(this)),
      m_port(new QLineEdit(this)), m_result(new QComboBox(this)), m_since(new QLineEdit(this)),
      m_until(new QLineEdit(this)), m_table(new QTableWidget(this)), m_status(new QLabel(this)) {
    setObjectName(QStringLiteral("CLineHistoryDlg"));
    setWindowTitle(QString::fromLatin1(kTitle));
    m_result->addItems({QString(), QString::fromLatin1(RESULT_PASSED), QString::fromLatin1(RESULT_FAILED),
                        QString::fromLatin1(RESULT_INTERRUPTED), QString::fromLatin1(RESULT_OPEN)});
    m_since->setPlaceholderText(QStringLiteral("2026-12-09 or 2026-12-09T17:05"));
    m_until->setPlaceholderText(QStringLiteral("before this (UTC)"));

    auto* filters = new QFormLayout;
    filters->addRow(QStringLiteral("&Job"), m_job);
    filters->addRow(QStringLiteral("&Serial"), m_serial);
    filters->addRow(QStringLiteral("&Port"), m_port);
    filters->addRow(QStringLiteral("&Result"), m_result);
    filters->addRow(QStringLiteral("S&ince"), m_since);
    filters->addRow(QStringLiteral("&Until"), m_until);
    auto* refresh = new QPushButton(QStringLiteral("Re&fresh"), this);
    auto* exportCsv = new QPushButton(QStringLiteral("&Export CSV..."), this);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(refresh);
    buttons->addWidget(exportCsv);
    buttons->addStretch(1);
    auto* top = new QHBoxLayout;
    top->addLayout(filters, 1);
    top->addLayout(buttons);

    m_table->setColumnCount(static_cast<int>(std::size(kColumns)));
    QStringList headers;
    for (const char* name : kColumns) {
        headers << QString::fromLatin1(name);
    }
    m_table->setHorizontalHeaderLabels(headers);
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->horizontalHeader()->setStretchLastSection(true);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_table, 1);
    layout->addWidget(m_status);
    resize(900, 480);

    connect(refresh, &QPushButton::clicked, this, &CLineHistoryDlg::Refresh);
    connect(exportCsv, &QPushButton::clicked, this, &CLineHistoryDlg::AskExport);
    for (QLineEdit* edit : {m_job, m_serial, m_port, m_since, m_until}) {
        connect(edit, &QLineEdit::returnPressed, this, &CLineHistoryDlg::Refresh);
    }
    connect(m_result, &QComboBox::currentIndexChanged, this, &CLineHistoryDlg::Refresh);

    std::string error;
    m_store = OpenRecordStore(where, error, STORE_READ);
    if (!m_store) {
        m_status->setText(QString::fromStdString(error));
        return;
    }
    Refresh();
}

CLineHistoryDlg::~CLineHistoryDlg() = default;

namespace {
bool Filter(const CLineHistoryDlg&, QLineEdit* since, QLineEdit* until, TS_HISTORY_FILTER& f,
            QString& problem) {
    for (auto [edit, out] : {std::pair{since, &f.Since}, std::pair{until, &f.Until}}) {
        const std::string text = edit->text().trimmed().toStdString();
        if (!text.empty() && !NormaliseTimeText(text, *out)) {
            problem = QStringLiteral("'%1' is no date: 2026-12-09 or 2026-12-09T17:05").arg(edit->text());
            return false;
        }
    }
    return true;
}
} // namespace

void CLineHistoryDlg::Refresh() {
    if (!m_store) {
        return;
    }
    TS_HISTORY_FILTER filter;
    filter.Job = m_job->text().trimmed().toStdString();
    filter.Serial = m_serial->text().trimmed().toStdString();
    filter.Port = m_port->text().trimmed().toStdString();
    filter.Result = m_result->currentText().toStdString();
    QString problem;
    if (!Filter(*this, m_since, m_until, filter, problem)) {
        m_status->setText(problem);
        return;
    }
    std::vector<TS_ATTEMPT_RECORD> records;
    std::string error;
    if (!m_store->Query(filter, records, error)) {
        m_status->setText(QString::fromStdString(error));
        return;
    }
    m_table->setRowCount(static_cast<int>(records.size()));
    for (int row = 0; row < static_cast<int>(records.size()); ++row) {
        const TS_ATTEMPT_RECORD& r = records[static_cast<std::size_t>(row)];
        const std::string cells[] = {std::to_string(r.Id),
                                     r.Started,
                                     r.Job,
                                     r.Port,
                                     r.Serial.empty() ? "-" : r.Serial + SerialNote(r),
                                     r.Result,
                                     r.Reason};
        for (int column = 0; column < static_cast<int>(std::size(cells)); ++column) {
            m_table->setItem(row, column, new QTableWidgetItem(QString::fromStdString(cells[column])));
        }
    }
    m_table->resizeColumnsToContents();
    m_status->setText(QStringLiteral("%1 records in %2")
                          .arg(records.size())
                          .arg(QString::fromStdString(m_store->Describe())));
}

bool CLineHistoryDlg::ExportCsv(const QString& path) {
    if (!m_store) {
        return false;
    }
    TS_HISTORY_FILTER filter;
    filter.Job = m_job->text().trimmed().toStdString();
    filter.Serial = m_serial->text().trimmed().toStdString();
    filter.Port = m_port->text().trimmed().toStdString();
    filter.Result = m_result->currentText().toStdString();
    QString problem;
    std::vector<TS_ATTEMPT_RECORD> records;
    std::string error;
    if (!Filter(*this, m_since, m_until, filter, problem) || !m_store->Query(filter, records, error)) {
        m_status->setText(problem.isEmpty() ? QString::fromStdString(error) : problem);
        return false;
    }
    QFile file(path);
    const std::string csv = AttemptsCsv(records);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(csv.data(), static_cast<qint64>(csv.size())) != static_cast<qint64>(csv.size())) {
        m_status->setText(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    m_status->setText(QStringLiteral("%1 records written to %2").arg(records.size()).arg(path));
    return true;
}

void CLineHistoryDlg::AskExport() {
    const QString path =
        QFileDialog::getSaveFileName(this, QStringLiteral("Export CSV"), QStringLiteral("history.csv"),
                                     QStringLiteral("CSV files (*.csv)"));
    if (!path.isEmpty()) {
        ExportCsv(path);
    }
}
