#include "SendSrecordDlg.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>

#include <climits>

#include "CaptionProgressCtrl.h"
#include "ControlId.h"
#include "RegisteredEvent.h"
#include "resource.h"

namespace {

constexpr const char* kElapsedLabel = "Elapsed time : ";
constexpr const char* kStartFailure = "\r\nThe download could not be started: no worker thread.\r\n";

// A session text on one line: the line breaks of the log texts become spaces.
QString OneLine(const std::string& text) {
    QString line = QString::fromStdString(text);
    line.replace(QLatin1String("\r\n"), QLatin1String(" "));
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    line.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return line.trimmed();
}

int ToInt(uint32_t value) {
    return value > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

} // namespace

CSendSrecordDlg::CSendSrecordDlg(int32_t mode, const std::string& path, COstraMonitor* monitor,
                                 QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_observer(this, [this](const TS_JOB_REPORT& report) { ApplyReport(report); }),
      m_session(mode, path, monitor, &m_observer), m_monitor(monitor) {
    setObjectName(QStringLiteral("CSendSrecordDlg"));
    setProperty("templateId", IDD_SEND_SRECORD);
    setWindowTitle(QString::fromLatin1(sessiontext::CAPTION_SEND));
    setModal(true);

    m_progress = new CCaptionProgressCtrl(this);
    SetControlId(m_progress, IDC_SEND_PROGRESS);
    m_progress->setMinimumHeight(24);
    m_status = new QLabel(this);
    SetControlId(m_status, IDC_SEND_STATUS);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setMinimumWidth(420);
    m_elapsed = new QLabel(QString::fromLatin1(kElapsedLabel), this);
    SetControlId(m_elapsed, IDC_SEND_ELAPSED);
    m_elapsed->setTextFormat(Qt::PlainText);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 12);
    layout->setSpacing(8);
    layout->addWidget(m_progress);
    layout->addWidget(m_status);
    layout->addWidget(m_elapsed);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    m_eraseTimer.setObjectName(QStringLiteral("ERASE_TIMER"));
    m_eraseTimer.setInterval(kEraseTimerMs);
    connect(&m_eraseTimer, &QTimer::timeout, this, &CSendSrecordDlg::OnEraseTick);
    m_elapsedTimer.setObjectName(QStringLiteral("ELAPSED_TIMER"));
    m_elapsedTimer.setInterval(kElapsedTimerMs);
    connect(&m_elapsedTimer, &QTimer::timeout, this, &CSendSrecordDlg::OnElapsedTick);
}

CSendSrecordDlg::~CSendSrecordDlg() {
    m_eraseTimer.stop();
    m_elapsedTimer.stop();
    if (m_worker.IsCreated()) {
        // torn down before its session ended: stop it at the next block and let a pending reply go
        m_session.RequestStop();
        if (m_running && m_monitor) {
            m_monitor->CancelWaits(true);
        }
        m_worker.Quit();
        if (m_monitor) {
            m_monitor->CancelWaits(false);
        }
    }
}

int CSendSrecordDlg::DoModal() {
    return exec();
}

std::string CSendSrecordDlg::GetErrorText() const {
    return m_startFailed ? std::string(kStartFailure) : m_session.GetErrorText();
}

QString CSendSrecordDlg::StatusText() const {
    return m_status->text();
}

QString CSendSrecordDlg::ElapsedText() const {
    return m_elapsed->text();
}

void CSendSrecordDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_started) {
        m_started = true;
        StartSession();
    }
}

void CSendSrecordDlg::StartSession() {
    m_status->clear();
    m_running = true;
    const bool created = m_worker.Create([this] {
        m_session.RunSession();
        // the worker's only signal to the dialog; the dialog ends itself
        QCoreApplication::postEvent(this, new QEvent(g_sendEndDialogMsg));
    });
    m_stopwatch.Start();
    m_elapsedTimer.start();
    OnElapsedTick(); // 00:00:00 from the start
    if (created) {
        m_worker.Signal();
    } else {
        m_startFailed = true;
        m_status->setText(OneLine(kStartFailure));
        QCoreApplication::postEvent(this, new QEvent(g_sendEndDialogMsg));
    }
}

bool CSendSrecordDlg::event(QEvent* event) {
    if (event->type() == g_sendEndDialogMsg) {
        EndSession();
        return true;
    }
    return QDialog::event(event);
}

void CSendSrecordDlg::EndSession() {
    if (!m_running) {
        return;
    }
    m_observer.Flush(); // what the session showed last
    m_worker.Quit();    // its job has ended: it posted this as its last step
    m_running = false;
    m_eraseTimer.stop();
    m_stopwatch.Stop();
    m_elapsedTimer.stop();
    OnElapsedTick();
    done(m_session.GetResult() != 0 ? IDOK : IDCANCEL);
}

void CSendSrecordDlg::closeEvent(QCloseEvent* event) {
    if (m_running) {
        event->ignore(); // no way to cancel a download half-way
        return;
    }
    QDialog::closeEvent(event);
}

void CSendSrecordDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept(); // the dialog ends only when its session has
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void CSendSrecordDlg::reject() {
    if (m_running) {
        return;
    }
    QDialog::reject();
}

// ---- the session's reports ----

void CSendSrecordDlg::ApplyReport(const TS_JOB_REPORT& p) {
    if (p.Caption) {
        setWindowTitle(QString::fromStdString(p.CaptionText));
    }
    if (p.Status) {
        m_status->setText(OneLine(p.StatusText));
    }
    if (p.Range) {
        m_progress->SetRange32(ToInt(p.Low), ToInt(p.High));
    }
    if (p.Pos) {
        m_progress->SetPos(ToInt(p.Position));
    }
    for (int i = 0; i < p.Steps; ++i) {
        m_progress->StepIt();
    }
    if (p.Text) {
        m_progress->SetWindowText(QString::fromStdString(p.ProgressText));
    }
    if (p.Animation) {
        m_eraseMessage = p.AnimationMessage;
        if (p.AnimationOn) {
            m_eraseTimer.start();
        } else {
            m_eraseTimer.stop();
        }
    }
}

void CSendSrecordDlg::OnEraseTick() {
    m_progress->SetWindowText(QString::fromStdString(m_eraseMessage));
    m_progress->StepIt();
}

void CSendSrecordDlg::OnElapsedTick() {
    m_elapsed->setText(QString::fromLatin1(kElapsedLabel) + QString::fromStdString(m_stopwatch.Text()));
}
