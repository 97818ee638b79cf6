#include "EraseFlashDlg.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

#include <climits>

#include "CaptionProgressCtrl.h"
#include "ControlId.h"
#include "FaceButton.h"
#include "resource.h"
#include "tools/MemoryDump.h"

namespace {

constexpr const char* kCaption = "Flash Erase Tool";
constexpr const char* kStartTooltip = "Erase Flash Memory";
constexpr const char* kNoLinkText = "No link to the target is open: nothing can be erased.";
constexpr const char* kQueryingText = "Asking the chip selects for their flash parts..";

constexpr int kControlIds[ERASE_ITEM_COUNT] = {
    IDC_ERASE_CS0,  IDC_ERASE_CS1,    IDC_ERASE_CS2,    IDC_ERASE_CS3, IDC_ERASE_BOOT,
    IDC_ERASE_MAIN, IDC_ERASE_CDRIVE, IDC_ERASE_DDRIVE, IDC_ERASE_DB,  IDC_ERASE_MEDIA,
};

int ToInt(uint32_t value) {
    return value > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

// An engine text on one line.
QString OneLine(const std::string& text) {
    QString line = QString::fromStdString(text);
    line.replace(QLatin1String("\r\n"), QLatin1String(" "));
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return line.trimmed();
}

} // namespace

CEraseFlashDlg::CEraseFlashDlg(COstraMonitor* monitor, QWidget* parent, ILogSink* log)
    : QDialog(parent), m_monitor(monitor), m_log(log),
      m_observer(this, [this](const TS_JOB_REPORT& report) { ApplyReport(report); }), m_worker(this) {
    setObjectName(QStringLiteral("CEraseFlashDlg"));
    setProperty("templateId", IDD_ERASE_FLASH);
    setWindowTitle(QString::fromLatin1(kCaption));
    setModal(true);
    BuildControls();

    m_eraseTimer.setObjectName(QStringLiteral("ERASE_TIMER"));
    m_eraseTimer.setInterval(ERASE_TIMER_MS);
    connect(&m_eraseTimer, &QTimer::timeout, this, &CEraseFlashDlg::OnEraseTick);

    if (m_monitor != nullptr) {
        TS_JOB_HOOKS hooks;
        hooks.Observer = &m_observer;
        hooks.Log = m_log;
        hooks.Stop = m_worker.StopFlag();
        m_engine = std::make_unique<CEraseJob>(*m_monitor, hooks);
    }
    ShowSelection();
    m_start->setEnabled(false); // until the chip selects have been asked
}

CEraseFlashDlg::~CEraseFlashDlg() {
    m_eraseTimer.stop();
    m_worker.StopAndWait(); // short: the wait for a reply in flight is cancelled
}

void CEraseFlashDlg::BuildControls() {
    auto* eraseAll = new QGroupBox(QStringLiteral("Erase All"), this);
    auto* eraseBlock = new QGroupBox(QStringLiteral("Erase Block"), this);
    for (TE_ERASE_ITEM item : ERASE_ITEMS) {
        auto* box = new QCheckBox(QString::fromLatin1(CEraseSelection::Text(item)),
                                  CEraseSelection::IsArea(item) ? eraseBlock : eraseAll);
        SetControlId(box, kControlIds[item]);
        connect(box, &QCheckBox::clicked, this, [this, item](bool checked) { OnBoxClicked(item, checked); });
        m_boxes[static_cast<std::size_t>(item)] = box;
    }

    auto* allLayout = new QVBoxLayout(eraseAll);
    allLayout->setSpacing(6);
    for (TE_ERASE_ITEM item : {ERASE_CS0, ERASE_CS1, ERASE_CS2, ERASE_CS3}) {
        allLayout->addWidget(Box(item));
    }
    allLayout->addStretch(1);

    // The areas of CS#0 in the first column, those of CS#2 in the second.
    auto* blockLayout = new QGridLayout(eraseBlock);
    blockLayout->setHorizontalSpacing(18);
    blockLayout->setVerticalSpacing(6);
    const TE_ERASE_ITEM areas[2][3] = {{ERASE_BOOT, ERASE_MAIN, ERASE_CDRIVE},
                                       {ERASE_DDRIVE, ERASE_DB, ERASE_MEDIA}};
    for (int column = 0; column < 2; ++column) {
        for (int row = 0; row < 3; ++row) {
            blockLayout->addWidget(Box(areas[column][row]), row, column);
        }
    }
    blockLayout->setRowStretch(3, 1);

    m_start = new CFaceButton(QStringLiteral("&Start"), this);
    SetControlId(m_start, IDC_ERASE_START);
    m_start->SetTooltipText(QString::fromLatin1(kStartTooltip));
    m_start->setMinimumSize(88, 30);
    connect(m_start, &QPushButton::clicked, this, &CEraseFlashDlg::OnStart);

    m_progress = new CCaptionProgressCtrl(this);
    SetControlId(m_progress, IDC_ERASE_PROGRESS);
    m_progress->setMinimumHeight(26);
    m_progress->SetRange32(0, static_cast<int>(ERASE_PROGRESS_RANGE));
    m_progress->SetPos(0);

    // Not in the old template: where a failed erase command is named with its code.
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("EraseStatus"));
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    m_status->setMinimumHeight(m_status->fontMetrics().height() * 2 + 4);
    m_status->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* groups = new QHBoxLayout;
    groups->setSpacing(10);
    groups->addWidget(eraseAll);
    groups->addWidget(eraseBlock, 1);

    auto* bar = new QHBoxLayout;
    bar->setSpacing(10);
    bar->addWidget(m_progress, 1);
    bar->addWidget(m_start);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 10);
    layout->setSpacing(10);
    layout->addLayout(groups);
    layout->addLayout(bar);
    layout->addWidget(m_status);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

int CEraseFlashDlg::DoModal() {
    return exec();
}

QString CEraseFlashDlg::StatusText() const {
    return m_status->text();
}

void CEraseFlashDlg::SetStatusText(const QString& text) {
    m_status->setText(text);
}

void CEraseFlashDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_started) {
        m_started = true;
        StartQuery();
    }
}

// ---- the jobs ----

void CEraseFlashDlg::StartQuery() {
    if (!m_engine || !CanReachTarget(m_monitor)) {
        for (int cs = 0; cs < ERASE_CHIP_SELECTS; ++cs) {
            m_selection.SetFitted(cs, false);
        }
        ShowSelection();
        SetStatusText(QString::fromLatin1(kNoLinkText));
        emit QueryFinished();
        return;
    }
    m_start->setEnabled(false);
    SetStatusText(QString::fromLatin1(kQueryingText));
    m_job = JOB_QUERY;
    const bool started = m_worker.Start(
        m_monitor, [this] { m_query = m_engine->RunQuery(); }, [this] { OnJobEnded(); });
    if (!started) {
        m_job = JOB_NONE;
        SetStatusText(QStringLiteral("The erase tool could not start its worker thread."));
        emit QueryFinished();
    }
}

void CEraseFlashDlg::OnStart() {
    if (m_job != JOB_NONE || !m_engine) {
        return;
    }
    if (!m_selection.Any()) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Vandrel"),
                        QString::fromLatin1(ERASE_NOTHING_SELECTED_TEXT), QMessageBox::Ok, this);
        box.exec();
        return;
    }
    m_start->setEnabled(false);
    SetStatusText(QString());
    m_running = m_selection;
    m_eraseMessage.clear();
    m_eraseTimer.start();
    m_job = JOB_ERASE;
    const bool started = m_worker.Start(
        m_monitor, [this] { m_eraseResult = m_engine->RunErase(m_running); }, [this] { OnJobEnded(); });
    if (!started) {
        m_job = JOB_NONE;
        m_eraseTimer.stop();
        m_start->setEnabled(true);
        SetStatusText(QStringLiteral("The erase tool could not start its worker thread."));
    }
}

void CEraseFlashDlg::OnJobEnded() {
    m_observer.Flush(); // what the job showed last
    const TE_TOOL_JOB job = m_job;
    m_job = JOB_NONE;
    if (job == JOB_QUERY) {
        m_query.ApplyTo(m_selection);
        ShowSelection();
        if (m_status->text() == QString::fromLatin1(kQueryingText)) {
            SetStatusText(QString());
        }
    } else if (job == JOB_ERASE) {
        m_eraseTimer.stop();
        m_eraseMessage.clear();
        m_progress->SetPos(0);
        m_progress->SetWindowText(QString::fromLatin1(ERASE_IDLE_PROGRESS_TEXT));
        if (!m_eraseResult.Message.empty()) {
            SetStatusText(OneLine(m_eraseResult.Message));
        }
    }
    m_start->setEnabled(m_engine != nullptr);
    if (m_closePending) {
        QDialog::reject();
        return;
    }
    if (job == JOB_QUERY) {
        emit QueryFinished();
    } else if (job == JOB_ERASE) {
        emit EraseFinished();
    }
}

// ---- what the jobs report ----

void CEraseFlashDlg::ApplyReport(const TS_JOB_REPORT& report) {
    if (report.Range) {
        m_progress->SetRange32(ToInt(report.Low), ToInt(report.High));
    }
    if (report.Pos) {
        m_progress->SetPos(ToInt(report.Position));
    }
    for (int i = 0; i < report.Steps; ++i) {
        m_progress->StepIt();
    }
    if (report.Text) {
        m_progress->SetWindowText(QString::fromStdString(report.ProgressText));
    }
    if (report.Animation) {
        // The timer runs for the whole erase job; the message is what each tick repeats.
        m_eraseMessage = report.AnimationOn ? report.AnimationMessage : std::string();
    }
    if (report.Status) {
        SetStatusText(OneLine(report.StatusText));
    }
}

void CEraseFlashDlg::OnEraseTick() {
    if (!m_eraseMessage.empty()) {
        m_progress->SetWindowText(QString::fromStdString(m_eraseMessage));
    }
    // The bar starts over when an erase outlasts its range.
    int lower = 0;
    int upper = 0;
    m_progress->GetRange(lower, upper);
    if (m_progress->GetPos() + m_progress->GetStep() > upper) {
        m_progress->SetPos(lower);
    }
    m_progress->StepIt();
}

// ---- the boxes ----

void CEraseFlashDlg::OnBoxClicked(TE_ERASE_ITEM item, bool checked) {
    m_selection.SetTicked(item, checked);
    ShowSelection();
}

void CEraseFlashDlg::ShowSelection() {
    for (TE_ERASE_ITEM item : ERASE_ITEMS) {
        QCheckBox* box = Box(item);
        box->setChecked(m_selection.IsTicked(item));
        box->setEnabled(m_selection.IsEnabled(item));
    }
}

// ---- closing ----

void CEraseFlashDlg::reject() {
    if (m_job != JOB_NONE) {
        // Finish closing once the job has stopped (OnJobEnded).
        m_closePending = true;
        m_worker.RequestStop();
        setEnabled(false);
        return;
    }
    QDialog::reject();
}

void CEraseFlashDlg::closeEvent(QCloseEvent* event) {
    if (m_job != JOB_NONE) {
        event->ignore();
        reject();
        return;
    }
    QDialog::closeEvent(event);
}
