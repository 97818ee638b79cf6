#include "LineHistoryDlg.h"

#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QScrollBar>
#include <QSplitter>
#include <QVBoxLayout>

#include "line/RecordStore.h"

namespace {
const char* const kColumns[] = {"ID", "Started", "Job", "Port", "Serial", "Result", "Reason"};
} // namespace

CLineHistoryDlg::CLineHistoryDlg(const std::string& where, const QString& job, QWidget* parent)
    : QWidget(parent, Qt::Window), m_job(new QLineEdit(job, this)), m_serial(new QLineEdit(this)),
      m_port(new QLineEdit(this)), m_result(new QComboBox(this)), m_since(new QLineEdit(this)),
      m_until(new QLineEdit(this)), m_table(new QTableWidget(this)), m_log(new QPlainTextEdit(this)),
      m_status(new QLabel(this)) {
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

    m_log->setReadOnly(true);
    m_log->setPlaceholderText(QStringLiteral("Open a record (double-click or Enter) to read its log"));
    m_log->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(m_table);
    split->addWidget(m_log);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(split, 1);
    layout->addWidget(m_status);
    resize(900, 480);

    connect(refresh, &QPushButton::clicked, this, &CLineHistoryDlg::Refresh);
    connect(exportCsv, &QPushButton::clicked, this, &CLineHistoryDlg::AskExport);
    for (QLineEdit* edit : {m_job, m_serial, m_port, m_since, m_until}) {
        connect(edit, &QLineEdit::returnPressed, this, &CLineHistoryDlg::Refresh);
    }
    connect(m_result, &QComboBox::currentIndexChanged, this, &CLineHistoryDlg::Refresh);
    // the next page when the list is scrolled near its end
    connect(m_table->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (m_more && value >= m_table->verticalScrollBar()->maximum() - 5) {
            LoadMore();
        }
    });
    connect(m_table, &QTableWidget::cellActivated, this, [this](int row, int) { OpenRow(row); });

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

namespace {
// The filters of the window as they stand; false with the problem.
bool WindowFilter(const CLineHistoryDlg& dlg, QLineEdit* job, QLineEdit* serial, QLineEdit* port,
                  QComboBox* result, QLineEdit* since, QLineEdit* until, TS_HISTORY_FILTER& filter,
                  QString& problem) {
    filter.Job = job->text().trimmed().toStdString();
    filter.Serial = serial->text().trimmed().toStdString();
    filter.Port = port->text().trimmed().toStdString();
    filter.Result = result->currentText().toStdString();
    return Filter(dlg, since, until, filter, problem);
}
} // namespace

void CLineHistoryDlg::Refresh() {
    if (!m_store) {
        return;
    }
    TS_HISTORY_FILTER filter;
    QString problem;
    if (!WindowFilter(*this, m_job, m_serial, m_port, m_result, m_since, m_until, filter, problem)) {
        m_status->setText(problem);
        return;
    }
    filter.WithLog = false; // a list: the log is read when a record is opened
    m_cursor = std::make_unique<CRecordCursor>(*m_store, filter, kPage);
    m_table->setRowCount(0);
    m_log->clear();
    m_more = true;
    LoadMore();
    m_table->resizeColumnsToContents();
}

bool CLineHistoryDlg::LoadMore() {
    if (!m_cursor || !m_more) {
        return false;
    }
    const QSignalBlocker still(m_table->verticalScrollBar()); // rows added move the bar
    TS_ATTEMPT_RECORD r;
    int read = 0;
    while (read < kPage && (m_more = m_cursor->Next(r))) {
        const int row = m_table->rowCount();
        m_table->insertRow(row);
        const std::string cells[] = {std::to_string(r.Id),
                                     r.Started,
                                     r.Job,
                                     r.Port,
                                     r.Serial.empty() ? "-" : r.Serial + SerialNote(r),
                                     r.Result,
                                     r.Reason};
        for (int column = 0; column < static_cast<int>(std::size(cells)); ++column) {
            auto* item = new QTableWidgetItem(QString::fromStdString(cells[column]));
            if (column == 0) {
                item->setData(Qt::UserRole, QVariant::fromValue<qlonglong>(r.Id));
            }
            m_table->setItem(row, column, item);
        }
        ++read;
    }
    if (!m_cursor->Error().empty()) {
        m_status->setText(QString::fromStdString(m_cursor->Error()));
        return false;
    }
    ShowCount();
    return read > 0;
}

void CLineHistoryDlg::ShowCount() {
    m_status->setText((m_more ? QStringLiteral("%1 records shown (more as the list scrolls) in %2")
                              : QStringLiteral("%1 records in %2"))
                          .arg(m_table->rowCount())
                          .arg(QString::fromStdString(m_store->Describe())));
}

void CLineHistoryDlg::OpenRow(int row) {
    const QTableWidgetItem* item = m_table->item(row, 0);
    if (!m_store || !item) {
        return;
    }
    TS_HISTORY_FILTER filter;
    filter.Id = item->data(Qt::UserRole).toLongLong();
    std::vector<TS_ATTEMPT_RECORD> records;
    std::string error;
    if (!m_store->Query(filter, records, error) || records.empty()) {
        m_status->setText(
            QString::fromStdString(error.empty() ? "the record is no longer in the store" : error));
        return;
    }
    const TS_ATTEMPT_RECORD& r = records.front();
    std::string log = r.Log;
    for (std::size_t k = log.find("\r\n"); k != std::string::npos; k = log.find("\r\n", k)) {
        log.erase(k, 1);
    }
    m_log->setPlainText(QString::fromStdString("attempt " + std::to_string(r.Id) + ": " + r.Result +
                                               (r.Reason.empty() ? "" : ": " + r.Reason) + "\n" + log));
}

bool CLineHistoryDlg::ExportCsv(const QString& path) {
    if (!m_store) {
        return false;
    }
    TS_HISTORY_FILTER filter;
    QString problem;
    if (!WindowFilter(*this, m_job, m_serial, m_port, m_result, m_since, m_until, filter, problem)) {
        m_status->setText(problem);
        return false;
    }
    filter.WithLog = false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_status->setText(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    // written as read: the memory of one batch however many records
    const auto write = [&file](const std::string& text) {
        return file.write(text.data(), static_cast<qint64>(text.size())) == static_cast<qint64>(text.size());
    };
    bool written = write(AttemptsCsvHeader());
    int64_t count = 0;
    std::string error;
    const bool read = EachRecord(
        *m_store, filter,
        [&](const TS_ATTEMPT_RECORD& r) {
            ++count;
            return written = write(AttemptCsvLine(r));
        },
        error);
    if (!read) {
        m_status->setText(QString::fromStdString(error));
        return false;
    }
    if (!written || !file.flush()) {
        m_status->setText(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    m_status->setText(QStringLiteral("%1 records written to %2").arg(count).arg(path));
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
