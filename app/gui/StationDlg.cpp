#include "StationDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QThreadPool>
#include <QVBoxLayout>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <utility>

#include "LineHistoryDlg.h"
#include "StationRelay.h"
#include "StationTile.h"
#include "app/DownloadRuns.h"
#include "line/JobFile.h"
#include "line/RecordStore.h"

CStationDlg::CStationDlg(IStationHost& host, std::string configDirectory, QWidget* parent)
    : QWidget(parent, Qt::Window), m_host(host), m_configDirectory(std::move(configDirectory)),
      m_portList(new QListWidget(this)),
      m_verify(new QCheckBox(QStringLiteral("&Verify after writing"), this)),
      m_watch(new QCheckBox(QStringLiteral("&Watch: start each handset as it answers"), this)),
      m_start(new QPushButton(QStringLiteral("&Start"), this)),
      m_stop(new QPushButton(QStringLiteral("S&top"), this)),
      m_reset(new QPushButton(QStringLiteral("&Reset"), this)), m_tally(new QLabel(this)),
      m_status(new QLabel(this)), m_tileArea(new QWidget(this)), m_grid(new QGridLayout(m_tileArea)),
      m_relay(std::make_unique<CRelay>(this)),
      m_openJob(new QPushButton(QStringLiteral("Open &Job..."), this)),
      m_closeJob(new QPushButton(QStringLiteral("&Close Job"), this)),
      m_history(new QPushButton(QStringLiteral("&History..."), this)), m_jobLabel(new QLabel(this)),
      m_operator(new QLineEdit(this)) {
    setObjectName(QStringLiteral("CStationDlg"));
    setWindowTitle(QString::fromLatin1(kTitle));

    auto* portsBox = new QGroupBox(QStringLiteral("Ports"), this);
    auto* portsLayout = new QVBoxLayout(portsBox);
    portsLayout->setContentsMargins(6, 4, 6, 6);
    m_portList->setMaximumHeight(110);
    portsLayout->addWidget(m_portList);
    auto* refresh = new QPushButton(QStringLiteral("Re&fresh"), portsBox);
    portsLayout->addWidget(refresh, 0, Qt::AlignLeft);

    QFont big = font();
    big.setPixelSize(22);
    big.setBold(true);
    m_tally->setFont(big);
    for (QPushButton* b : {m_start, m_stop}) {
        QFont f = b->font();
        f.setPixelSize(16);
        f.setBold(true);
        b->setFont(f);
        b->setMinimumSize(110, 36);
    }
    auto* options = new QVBoxLayout;
    options->addWidget(m_verify);
    options->addWidget(m_watch);
    auto* jobButtons = new QHBoxLayout;
    jobButtons->addWidget(m_openJob);
    jobButtons->addWidget(m_closeJob);
    jobButtons->addWidget(m_history);
    jobButtons->addStretch(1);
    options->addLayout(jobButtons);
    m_jobLabel->setWordWrap(true);
    m_status->setWordWrap(true); // a store's long reason never widens the window
    m_jobLabel->setText(QStringLiteral("No job: the main window's files and settings."));
    options->addWidget(m_jobLabel);
    // the operator each record names: the user running the program unless another is typed
    auto* operatorRow = new QHBoxLayout;
    auto* operatorLabel = new QLabel(QStringLiteral("O&perator:"), this);
    operatorLabel->setBuddy(m_operator);
    m_operator->setText(QString::fromStdString(m_model.Operator()));
    m_operator->setPlaceholderText(QString::fromStdString(UserName()));
    operatorRow->addWidget(operatorLabel);
    operatorRow->addWidget(m_operator, 1);
    options->addLayout(operatorRow);
    options->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_start);
    buttons->addWidget(m_stop);
    auto* tallyRow = new QHBoxLayout;
    tallyRow->addWidget(m_tally, 1);
    tallyRow->addWidget(m_reset);
    auto* actions = new QVBoxLayout;
    actions->addLayout(buttons);
    actions->addLayout(tallyRow);
    actions->addStretch(1);

    auto* top = new QHBoxLayout;
    top->addWidget(portsBox, 3);
    top->addLayout(options, 2);
    top->addLayout(actions, 2);

    m_grid->setContentsMargins(0, 0, 0, 0);
    m_grid->setSpacing(8);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_status);
    layout->addWidget(m_tileArea, 1);

    connect(refresh, &QPushButton::clicked, this, &CStationDlg::RefreshPorts);
    connect(m_start, &QPushButton::clicked, this, &CStationDlg::Start);
    connect(m_stop, &QPushButton::clicked, this, &CStationDlg::Stop);
    connect(m_reset, &QPushButton::clicked, this, &CStationDlg::ResetTally);
    connect(m_openJob, &QPushButton::clicked, this, &CStationDlg::AskJob);
    connect(m_closeJob, &QPushButton::clicked, this, &CStationDlg::CloseJob);
    connect(m_history, &QPushButton::clicked, this, &CStationDlg::ShowHistory);
    connect(m_portList, &QListWidget::itemChanged, this, [this] {
        if (!m_model.Running()) {
            RebuildTiles();
            SaveChoice();
        }
    });
    connect(m_operator, &QLineEdit::textChanged, this, [this](const QString& name) {
        if (!m_model.Running()) {
            m_model.SetOperator(name.trimmed().toStdString());
        }
    });
    connect(m_verify, &QCheckBox::toggled, this, &CStationDlg::SaveChoice);
    connect(m_watch, &QCheckBox::toggled, this, &CStationDlg::SaveChoice);
    m_poll.setInterval(100);
    connect(&m_poll, &QTimer::timeout, this, &CStationDlg::PollEngine);
    m_clock.setInterval(500);
    connect(&m_clock, &QTimer::timeout, this, &CStationDlg::Tick);
    m_clock.start();

    const TS_STATION_SETTINGS saved = ReadStationSettings(m_configDirectory);
    {
        const QSignalBlocker blockVerify(m_verify);
        const QSignalBlocker blockWatch(m_watch);
        m_verify->setChecked(saved.Verify);
        m_watch->setChecked(saved.Watch);
    }
    m_model.SetJobPath(saved.Job); // kept by the saves below until the job is opened again
    RefreshPorts();
    if (!saved.Saved) {
        ChoosePorts(DefaultStationPorts(m_host.StationAppSettings()));
    } else {
        ChoosePorts(saved.Ports);
    }
    if (!saved.Job.empty()) {
        OpenJob(QString::fromStdString(saved.Job)); // the last one used
    }
    UpdateTally();
    UpdateControls();
    resize(820, 620);
}

CStationDlg::~CStationDlg() {
    // a window destroyed without its close (the program ends) still ends its ports first
    m_model.Ended();
}

// ---- start and stop ----

void CStationDlg::Start() {
    if (m_model.Running() || m_closeRequested) {
        return;
    }
    const std::vector<TS_STATION_CHOICE> chosen = ChosenPorts();
    const TS_STATION_START start =
        m_model.PrepareStart(chosen, m_model.HasJob() ? std::vector<std::string>() : m_host.StationFiles(),
                             m_host.StationAppSettings(), m_verify->isChecked());
    switch (start.Refusal) {
    case START_OK:
        break;
    case START_NO_PORTS:
        m_status->setText(QStringLiteral("Tick the ports of the fixture first."));
        return;
    case START_NO_FILES:
        m_status->setText(QString::fromLatin1(runtext::NO_FILES));
        return;
    case START_SAME_PORT:
        m_status->setText(QStringLiteral("%1 is the same port as another one ticked.")
                              .arg(QString::fromStdString(start.RepeatedPort)));
        return;
    }
    QString refusal;
    if (!m_host.StationStarting(&refusal)) {
        m_status->setText(refusal);
        return;
    }
    SaveChoice();
    if (m_tiles.size() != chosen.size()) {
        RebuildTiles();
    }
    m_relay->SetGeneration(++m_generation);
    m_model.Start(start, *m_relay, m_watch->isChecked());
    for (std::size_t k = 0; k < m_tiles.size(); ++k) {
        m_tiles[k]->SetState(TILE_WAITING, WaitingWords());
        m_tiles[k]->SetProgress(-1);
        m_tiles[k]->SetElapsed(-1);
        m_tiles[k]->SetReason({});
    }
    m_stopping = false;
    m_poll.start();
    m_status->setText(m_watch->isChecked() ? QStringLiteral("Running: put a handset on any port.")
                                           : QStringLiteral("Running once on every port."));
    UpdateControls();
}

void CStationDlg::Stop() {
    if (!m_model.Running() || m_stopping) {
        return;
    }
    m_stopping = true;
    m_model.StopAll();
    m_status->setText(QStringLiteral("Stopping: each handset stops after the block it is sending."));
    UpdateControls();
}

void CStationDlg::PollEngine() {
    if (!m_model.PortsEnded()) {
        return;
    }
    m_poll.stop();
    // the ports' last reports were posted before their threads ended: they are handled first
    QMetaObject::invokeMethod(
        this,
        [this] {
            const std::vector<TS_PORT_TILE> before = m_model.Ports();
            m_model.Ended(); // every thread has ended: nothing to wait for
            m_status->setText(m_stopping ? QStringLiteral("Stopped.")
                                         : QStringLiteral("Done: every port has ended."));
            m_stopping = false;
            const std::vector<TS_PORT_TILE>& after = m_model.Ports();
            for (std::size_t k = 0; k < m_tiles.size() && k < after.size() && k < before.size(); ++k) {
                if (before[k].Look != after[k].Look) {
                    m_tiles[k]->SetState(TILE_IDLE, QStringLiteral("idle"));
                }
                if (before[k].Refused) {
                    m_tiles[k]->SetReason({}); // the port no longer looks for a handset
                }
            }
            UpdateControls();
            m_host.StationStopped();
            if (m_closeRequested) {
                close();
            }
        },
        Qt::QueuedConnection);
}

void CStationDlg::UpdateControls() {
    const bool running = m_model.Running();
    m_start->setEnabled(!running && !m_closeRequested && !OpeningJob());
    m_operator->setEnabled(!running);
    m_stop->setEnabled(running && !m_stopping);
    m_portList->setEnabled(!running);
    m_verify->setEnabled(!running && !m_model.HasJob()); // a job pins verify
    m_watch->setEnabled(!running);
    m_openJob->setEnabled(!running && !OpeningJob());
    m_closeJob->setEnabled(!running && m_model.HasJob());
}

void CStationDlg::ResetTally() {
    m_model.ResetTally();
    UpdateTally();
}

void CStationDlg::UpdateTally() {
    QString text = QStringLiteral("passed %1, failed %2").arg(m_model.Passed()).arg(m_model.Failed());
    if (const TS_TODAY_TALLY& today = m_model.Today(); today.Known) {
        text += QStringLiteral("\njob today: %1 passed, %2 failed").arg(today.Passed).arg(today.Failed);
    }
    m_tally->setText(text);
}

// ---- the production line ----

void CStationDlg::AskJob() {
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open Job"),
                                                      QString::fromStdString(m_model.JobPath()),
                                                      QStringLiteral("Job files (*.toml)"));
    if (!path.isEmpty()) {
        OpenJob(path);
    }
}

template <typename Work, typename Done>
void CStationDlg::OffThread(Work work, Done done) {
    QThreadPool::globalInstance()->start([window = QPointer<CStationDlg>(this), work, done]() mutable {
        auto result = work();
        // the answer goes through the application object, which outlives the window
        QMetaObject::invokeMethod(
            qApp,
            [window, done, result]() mutable {
                if (window) {
                    done(window.data(), result);
                }
            },
            Qt::QueuedConnection);
    });
}

bool CStationDlg::OpenJob(const QString& path) {
    std::string problem;
    TS_JOB_OPENING opening;
    if (m_model.Running() || OpeningJob()) {
        return false;
    }
    if (!CStationModel::ReadJob(path.toStdString(), opening, problem)) {
        m_status->setText(QString::fromStdString(problem));
        return false;
    }
    const int generation = m_opening = ++m_openCount;
    m_status->setText(QStringLiteral("Opening the record store of %1...")
                          .arg(QString::fromStdString(RedactStoreText(
                              opening.Job->Store.empty() ? DefaultStorePath() : opening.Job->Store))));
    UpdateControls();
    OffThread(
        [opening]() mutable {
            const bool opened = CStationModel::OpenJobStore(opening);
            return std::make_pair(opening, opened);
        },
        [generation](CStationDlg* w, const std::pair<TS_JOB_OPENING, bool>& result) {
            w->JobStoreOpened(generation, result.first, result.second);
        });
    return true;
}

void CStationDlg::JobStoreOpened(int generation, const TS_JOB_OPENING& opening, bool opened) {
    if (generation != m_opening) {
        return;
    }
    m_opening = 0;
    if (!opened || !m_model.UseJob(opening)) {
        m_status->setText(
            QString::fromStdString(opened ? "The station runs: the job was not changed." : opening.Problem));
        UpdateControls();
        return;
    }
    const TS_LINE_JOB& job = *m_model.Job();
    m_verify->setChecked(job.Verify);
    QStringList images;
    for (const TS_JOB_FILE& image : job.Images) {
        images << QFileInfo(QString::fromStdString(image.Path)).fileName();
    }
    QString text = QStringLiteral("Job: %1\nImages (locked): %2; verify %3")
                       .arg(QString::fromStdString(job.Name), images.join(QStringLiteral(", ")),
                            job.Verify ? QStringLiteral("on") : QStringLiteral("off"));
    if (job.HasSerial) {
        text += QStringLiteral("\nSerials %1").arg(QString::fromStdString(job.Serial.RangeText()));
    }
    m_jobLabel->setText(text);
    m_status->setText(
        QStringLiteral("Job loaded; records in %1.").arg(QString::fromStdString(m_model.StoreDescription())));
    SaveChoice();
    UpdateTally();
    UpdateControls();
    CountToday();
}

void CStationDlg::CountToday() {
    const std::function<TS_TODAY_TALLY()> query = m_model.TodayQuery();
    if (!query) {
        return;
    }
    if (m_counting) {
        m_countAgain = true; // an end came while the store was asked: asked again after
        return;
    }
    m_counting = true;
    const auto jobKey = [this] { return m_model.StoreDescription() + "\n" + m_model.JobPath(); };
    OffThread([query] { return query(); },
              [jobKey, key = jobKey()](CStationDlg* w, const TS_TODAY_TALLY& today) {
                  w->m_counting = false;
                  if (jobKey() == key) { // still the job it was asked for
                      w->m_model.SetToday(today);
                      w->UpdateTally();
                  }
                  if (std::exchange(w->m_countAgain, false)) {
                      w->CountToday();
                  }
              });
}

void CStationDlg::CloseJob() {
    if (m_model.Running()) {
        return;
    }
    m_opening = 0; // a store still being opened is not used
    m_model.CloseJob();
    m_jobLabel->setText(QStringLiteral("No job: the main window's files and settings."));
    SaveChoice();
    UpdateTally();
    UpdateControls();
}

CLineHistoryDlg* CStationDlg::ShowHistory() {
    if (!m_historyDlg) {
        m_historyDlg = new CLineHistoryDlg(
            m_model.Job() ? m_model.Job()->Store : std::string(),
            m_model.Job() ? QString::fromStdString(m_model.Job()->Name) : QString(), this);
        m_historyDlg->setAttribute(Qt::WA_DeleteOnClose);
    } else {
        m_historyDlg->Refresh();
    }
    m_historyDlg->show();
    m_historyDlg->raise();
    return m_historyDlg;
}

// ---- closing ----

void CStationDlg::closeEvent(QCloseEvent* event) {
    if (m_model.Running()) {
        // the ports stop at their next block boundary; the window closes when they have
        m_closeRequested = true;
        Stop();
        m_status->setText(QStringLiteral("Closing: each handset stops after the block it is sending."));
        UpdateControls();
        event->ignore();
        return;
    }
    SaveChoice();
    event->accept();
}
