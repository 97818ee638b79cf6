#include "StationDlg.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <atomic>
#include <cmath>

#include "StationTile.h"
#include "app/DownloadRuns.h"

namespace {

QString Words(TE_STATION_PHASE phase) {
    switch (phase) {
    case STATION_PHASE_CONNECT:
        return QStringLiteral("connecting");
    case STATION_PHASE_WRITER:
        return QStringLiteral("flash writer");
    case STATION_PHASE_COMPRESS:
        return QStringLiteral("preparing");
    case STATION_PHASE_ERASE:
    case STATION_PHASE_ERASE_CHIP:
        return QStringLiteral("erasing");
    case STATION_PHASE_PROGRAM:
        return QStringLiteral("programming");
    case STATION_PHASE_VERIFY:
        return QStringLiteral("verifying");
    case STATION_PHASE_DUMP:
        return QStringLiteral("reading");
    case STATION_PHASE_FLASH_ID:
        return QStringLiteral("flash id");
    }
    return {};
}

const QString kWaitingWords = QStringLiteral("waiting for a handset");

QString LogText(const std::string& text) {
    QString q = QString::fromStdString(text);
    q.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return q;
}

} // namespace

// The engine's reports, posted to the window's thread; those of an earlier run are dropped there.
class CStationDlg::CRelay final : public IStationObserver {
public:
    explicit CRelay(CStationDlg* window) : m_window(window) {}
    void SetGeneration(int generation) { m_generation.store(generation); }

    void OnBegin(int port, const std::string&) override {
        Post([port](CStationDlg* w) { w->OnBegin(port); });
    }
    void OnPhase(int port, TE_STATION_PHASE phase) override {
        Post([port, phase](CStationDlg* w) { w->OnPhase(port, phase); });
    }
    void OnProgress(int port, uint64_t done, uint64_t total) override {
        Post([port, done, total](CStationDlg* w) { w->OnProgress(port, done, total); });
    }
    void OnLog(int port, const std::string& text) override {
        Post([port, q = LogText(text)](CStationDlg* w) { w->OnLog(port, q); });
    }
    void OnEnd(int port, const TS_STATION_RESULT& result) override {
        Post([port, result](CStationDlg* w) { w->OnEnd(port, result); });
    }
    void OnWaiting(int port, bool away) override {
        Post([port, away](CStationDlg* w) { w->OnWaiting(port, away); });
    }
    void OnRefused(int port, const std::string& reason) override {
        Post([port, q = QString::fromStdString(reason)](CStationDlg* w) { w->OnRefused(port, q); });
    }
    void OnPortState(int port, TE_STATION_PORT_STATE state) override {
        Post([port, state](CStationDlg* w) { w->OnPortState(port, state); });
    }

private:
    template <typename F>
    void Post(F f) {
        const int generation = m_generation.load();
        QPointer<CStationDlg> window(m_window);
        QMetaObject::invokeMethod(
            m_window,
            [window, generation, f] {
                if (window && window->m_generation == generation) {
                    f(window.data());
                }
            },
            Qt::QueuedConnection);
    }

    CStationDlg* m_window;
    std::atomic<int> m_generation{0};
};

CStationDlg::CStationDlg(IStationHost& host, std::string configDirectory, QWidget* parent)
    : QWidget(parent, Qt::Window), m_host(host), m_configDirectory(std::move(configDirectory)),
      m_portList(new QListWidget(this)),
      m_verify(new QCheckBox(QStringLiteral("&Verify after writing"), this)),
      m_watch(new QCheckBox(QStringLiteral("&Watch: start each handset as it answers"), this)),
      m_start(new QPushButton(QStringLiteral("&Start"), this)),
      m_stop(new QPushButton(QStringLiteral("S&top"), this)),
      m_reset(new QPushButton(QStringLiteral("&Reset"), this)), m_tally(new QLabel(this)),
      m_status(new QLabel(this)), m_tileArea(new QWidget(this)), m_grid(new QGridLayout(m_tileArea)),
      m_relay(std::make_unique<CRelay>(this)) {
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
    connect(m_portList, &QListWidget::itemChanged, this, [this] {
        if (!m_engine) {
            RebuildTiles();
            SaveChoice();
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
    RefreshPorts();
    if (!saved.Saved) {
        ChoosePorts(DefaultStationPorts(m_host.StationAppSettings()));
    } else {
        ChoosePorts(saved.Ports);
    }
    UpdateTally();
    UpdateControls();
    resize(820, 620);
}

CStationDlg::~CStationDlg() {
    // a window destroyed without its close (the program ends) still ends its ports first
    m_engine.reset();
}

// ---- the ports ----

void CStationDlg::RefreshPorts() {
    if (m_engine) {
        return;
    }
    std::vector<std::string> ticked;
    const TS_STATION_SETTINGS saved = ReadStationSettings(m_configDirectory);
    if (m_portList->count() > 0) {
        for (const TS_STATION_CHOICE& c : ChosenPorts()) {
            ticked.push_back(c.Label);
        }
    } else {
        ticked = saved.Ports;
    }
    m_choices = StationPortChoices();
    {
        const QSignalBlocker block(m_portList);
        m_portList->clear();
        for (const TS_STATION_CHOICE& c : m_choices) {
            const QString text = c.Label == c.DevicePath ? QString::fromStdString(c.Label)
                                                         : QStringLiteral("%1    %2")
                                                               .arg(QString::fromStdString(c.Label),
                                                                    QString::fromStdString(c.DevicePath));
            auto* item = new QListWidgetItem(text, m_portList);
            item->setData(Qt::UserRole, QString::fromStdString(c.Label));
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
            const bool on = std::find(ticked.begin(), ticked.end(), c.Label) != ticked.end();
            item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
        }
    }
    RebuildTiles();
}

void CStationDlg::ChoosePorts(const std::vector<std::string>& labels) {
    {
        const QSignalBlocker block(m_portList);
        for (int k = 0; k < m_portList->count(); ++k) {
            QListWidgetItem* item = m_portList->item(k);
            const std::string label = item->data(Qt::UserRole).toString().toStdString();
            const bool on = std::find(labels.begin(), labels.end(), label) != labels.end();
            item->setCheckState(on ? Qt::Checked : Qt::Unchecked);
        }
    }
    if (!m_engine) {
        RebuildTiles();
        SaveChoice();
    }
}

std::vector<TS_STATION_CHOICE> CStationDlg::ChosenPorts() const {
    std::vector<TS_STATION_CHOICE> chosen;
    for (int k = 0; k < m_portList->count() && k < static_cast<int>(m_choices.size()); ++k) {
        if (m_portList->item(k)->checkState() == Qt::Checked) {
            chosen.push_back(m_choices[static_cast<std::size_t>(k)]);
        }
    }
    return chosen;
}

void CStationDlg::SaveChoice() {
    TS_STATION_SETTINGS settings;
    for (const TS_STATION_CHOICE& c : ChosenPorts()) {
        settings.Ports.push_back(c.Label);
    }
    settings.Verify = m_verify->isChecked();
    settings.Watch = m_watch->isChecked();
    WriteStationSettings(settings, m_configDirectory);
}

// ---- the tiles ----

void CStationDlg::RebuildTiles() {
    for (CStationTile* tile : m_tiles) {
        delete tile;
    }
    m_tiles.clear();
    m_runs.clear();
    const std::vector<TS_STATION_CHOICE> chosen = ChosenPorts();
    m_runs.resize(chosen.size());
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        auto* tile = new CStationTile(QString::fromStdString(chosen[k].Label), m_tileArea);
        connect(tile, &CStationTile::ShowLogRequested, this, [this, k] { ShowTileLog(static_cast<int>(k)); });
        m_tiles.push_back(tile);
    }
    m_columns = 0;
    LayoutTiles();
}

void CStationDlg::LayoutTiles() {
    const int n = static_cast<int>(m_tiles.size());
    if (n == 0) {
        return;
    }
    // the number of columns that gives the largest tiles of about 4:3
    const double w = std::max(1, m_tileArea->width());
    const double h = std::max(1, m_tileArea->height());
    int best = 1;
    double bestScore = -1;
    for (int columns = 1; columns <= n; ++columns) {
        const int rows = (n + columns - 1) / columns;
        const double score = std::min(w / columns / 4.0, h / rows / 3.0);
        if (score > bestScore + 1e-9) {
            bestScore = score;
            best = columns;
        }
    }
    if (best == m_columns) {
        return;
    }
    m_columns = best;
    for (CStationTile* tile : m_tiles) {
        m_grid->removeWidget(tile);
    }
    for (int k = 0; k < n; ++k) {
        m_grid->addWidget(m_tiles[static_cast<std::size_t>(k)], k / best, k % best);
    }
    const int rows = (n + best - 1) / best;
    for (int r = 0; r < 8; ++r) {
        m_grid->setRowStretch(r, r < rows ? 1 : 0);
    }
    for (int c = 0; c < 8; ++c) {
        m_grid->setColumnStretch(c, c < best ? 1 : 0);
    }
}

void CStationDlg::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayoutTiles();
}

QPlainTextEdit* CStationDlg::ShowTileLog(int tile) {
    if (tile < 0 || tile >= static_cast<int>(m_tiles.size())) {
        return nullptr;
    }
    TS_TILE_RUN& run = m_runs[static_cast<std::size_t>(tile)];
    if (!run.logView) {
        run.logView = new QPlainTextEdit(this);
        run.logView->setWindowFlag(Qt::Window);
        run.logView->setAttribute(Qt::WA_DeleteOnClose);
        run.logView->setReadOnly(true);
        run.logView->setObjectName(QStringLiteral("stationLog"));
        run.logView->resize(560, 420);
    }
    run.logView->setWindowTitle(m_tiles[static_cast<std::size_t>(tile)]->Label() + QStringLiteral(" - log"));
    run.logView->setPlainText(run.log);
    run.logView->show();
    run.logView->raise();
    return run.logView;
}

// ---- start and stop ----

void CStationDlg::Start() {
    if (m_engine || m_closeRequested) {
        return;
    }
    const std::vector<TS_STATION_CHOICE> chosen = ChosenPorts();
    if (chosen.empty()) {
        m_status->setText(QStringLiteral("Tick the ports of the fixture first."));
        return;
    }
    const std::vector<std::string> files = m_host.StationFiles();
    if (files.empty()) {
        m_status->setText(QString::fromLatin1(runtext::NO_FILES));
        return;
    }
    const AppSettings& settings = m_host.StationAppSettings();
    std::vector<TS_STATION_PORT> ports;
    for (const TS_STATION_CHOICE& c : chosen) {
        ports.push_back(MakeStationPort(c, settings));
    }
    if (const std::string repeated = CStationEngine::RepeatedPort(ports); !repeated.empty()) {
        m_status->setText(QStringLiteral("%1 is the same port as another one ticked.")
                              .arg(QString::fromStdString(repeated)));
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
    for (std::size_t k = 0; k < m_tiles.size(); ++k) {
        m_tiles[k]->SetState(TILE_WAITING, kWaitingWords);
        m_tiles[k]->SetProgress(-1);
        m_tiles[k]->SetElapsed(-1);
        m_tiles[k]->SetReason({});
        m_runs[k].busy = false;
    }
    m_files = files;
    m_paths = files;
    m_paths.push_back(FlashWriterPath(settings));
    for (const TS_STATION_PORT& port : ports) {
        m_paths.push_back(port.WriterPath);
    }
    m_relay->SetGeneration(++m_generation);
    m_engine = std::make_unique<CStationEngine>(MakeStationJob(files, settings, m_verify->isChecked()), ports,
                                                *m_relay);
    m_engine->Start(m_watch->isChecked());
    m_stopping = false;
    m_poll.start();
    m_status->setText(m_watch->isChecked() ? QStringLiteral("Running: put a handset on any port.")
                                           : QStringLiteral("Running once on every port."));
    UpdateControls();
}

void CStationDlg::Stop() {
    if (!m_engine || m_stopping) {
        return;
    }
    m_stopping = true;
    m_engine->StopAll();
    m_status->setText(QStringLiteral("Stopping: each handset stops after the block it is sending."));
    UpdateControls();
}

void CStationDlg::PollEngine() {
    if (!m_engine || m_engine->Running()) {
        return;
    }
    m_poll.stop();
    // the ports' last reports were posted before their threads ended: they are handled first
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_engine.reset(); // every thread has ended: nothing to wait for
            m_status->setText(m_stopping ? QStringLiteral("Stopped.")
                                         : QStringLiteral("Done: every port has ended."));
            m_stopping = false;
            for (std::size_t k = 0; k < m_tiles.size(); ++k) {
                if (m_tiles[k]->Look() == TILE_WAITING || m_runs[k].busy) {
                    m_tiles[k]->SetState(TILE_IDLE, QStringLiteral("idle"));
                    m_runs[k].busy = false;
                }
                if (m_runs[k].refused) {
                    m_tiles[k]->SetReason({}); // the port no longer looks for a handset
                    m_runs[k].refused = false;
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
    const bool running = m_engine != nullptr;
    m_start->setEnabled(!running && !m_closeRequested);
    m_stop->setEnabled(running && !m_stopping);
    m_portList->setEnabled(!running);
    m_verify->setEnabled(!running);
    m_watch->setEnabled(!running);
}

void CStationDlg::ResetTally() {
    m_passed = 0;
    m_failed = 0;
    UpdateTally();
}

void CStationDlg::UpdateTally() {
    m_tally->setText(QStringLiteral("passed %1, failed %2").arg(m_passed).arg(m_failed));
}

void CStationDlg::Tick() {
    for (std::size_t k = 0; k < m_tiles.size(); ++k) {
        if (m_runs[k].busy) {
            m_tiles[k]->SetElapsed(m_runs[k].clock.elapsed() / 1000);
        }
    }
}

// ---- the engine's reports ----

void CStationDlg::OnBegin(int port) {
    if (port < 0 || port >= static_cast<int>(m_tiles.size())) {
        return;
    }
    TS_TILE_RUN& run = m_runs[static_cast<std::size_t>(port)];
    run.busy = true;
    run.clock.start();
    run.start = std::time(nullptr);
    run.log.clear();
    if (run.logView) {
        run.logView->clear();
    }
    CStationTile* tile = m_tiles[static_cast<std::size_t>(port)];
    tile->SetState(TILE_BUSY, Words(STATION_PHASE_CONNECT));
    tile->SetProgress(0);
    tile->SetElapsed(0);
    tile->SetReason({});
}

void CStationDlg::OnPhase(int port, TE_STATION_PHASE phase) {
    if (port >= 0 && port < static_cast<int>(m_tiles.size())) {
        m_tiles[static_cast<std::size_t>(port)]->SetState(TILE_BUSY, Words(phase));
        m_tiles[static_cast<std::size_t>(port)]->SetProgress(0);
    }
}

void CStationDlg::OnProgress(int port, uint64_t done, uint64_t total) {
    if (port >= 0 && port < static_cast<int>(m_tiles.size())) {
        m_tiles[static_cast<std::size_t>(port)]->SetProgress(
            total == 0 ? -1 : static_cast<int>(std::min<uint64_t>(done, total) * 100 / total));
    }
}

void CStationDlg::OnLog(int port, const QString& text) {
    if (port < 0 || port >= static_cast<int>(m_tiles.size())) {
        return;
    }
    TS_TILE_RUN& run = m_runs[static_cast<std::size_t>(port)];
    run.log += text;
    if (run.logView) {
        run.logView->moveCursor(QTextCursor::End);
        run.logView->insertPlainText(text);
    }
}

void CStationDlg::OnEnd(int port, const TS_STATION_RESULT& result) {
    if (port < 0 || port >= static_cast<int>(m_tiles.size())) {
        return;
    }
    TS_TILE_RUN& run = m_runs[static_cast<std::size_t>(port)];
    run.busy = false;
    CStationTile* tile = m_tiles[static_cast<std::size_t>(port)];
    const bool stopped = !result.Ok && result.Error == STATION_ERR_STOPPED;
    run.refused = false;
    if (result.Ok) {
        tile->SetState(TILE_PASS, QStringLiteral("PASS"));
        tile->SetProgress(100);
        if (result.NoEndRecord.empty()) {
            tile->SetReason(QString::fromStdString(result.Summary));
        } else {
            // a success all the same, but the operator has to know
            tile->SetReason(QString::fromLatin1(STATION_NO_END_RECORD) + QStringLiteral(" (") +
                            QFileInfo(QString::fromStdString(result.NoEndRecord.front())).fileName() +
                            QStringLiteral(")"));
        }
        ++m_passed;
    } else if (stopped) {
        tile->SetState(TILE_STOPPED, QStringLiteral("STOPPED"));
        tile->SetReason(QStringLiteral("stopped by the operator"));
    } else {
        tile->SetState(TILE_FAIL, QStringLiteral("FAIL"));
        tile->SetReason(QString::fromStdString(StationTileReason(result, m_paths)));
        ++m_failed;
    }
    tile->SetElapsed(static_cast<qint64>(std::lround(result.Seconds)));
    UpdateTally();
    const std::string block =
        StationResultBlock(tile->Label().toStdString(), m_files, run.start, std::time(nullptr), result);
    m_host.StationResult(QString::fromStdString(block), result.Ok, !stopped);
}

void CStationDlg::OnWaiting(int port, bool away) {
    if (port < 0 || port >= static_cast<int>(m_tiles.size())) {
        return;
    }
    CStationTile* tile = m_tiles[static_cast<std::size_t>(port)];
    if (away) {
        // the result stays until the handset is taken off
        if (tile->Look() == TILE_PASS) {
            tile->SetReason(QStringLiteral("take the handset off"));
        }
        return;
    }
    tile->SetState(TILE_WAITING, kWaitingWords);
    tile->SetProgress(-1);
    tile->SetElapsed(-1);
    tile->SetReason({});
    m_runs[static_cast<std::size_t>(port)].refused = false;
}

void CStationDlg::OnRefused(int port, const QString& reason) {
    if (port < 0 || port >= static_cast<int>(m_tiles.size()) || m_runs[static_cast<std::size_t>(port)].busy) {
        return;
    }
    CStationTile* tile = m_tiles[static_cast<std::size_t>(port)];
    if (tile->Look() != TILE_WAITING) {
        return; // the last handset's result stays until it is taken off
    }
    tile->SetReason(reason);
    m_runs[static_cast<std::size_t>(port)].refused = true;
}

void CStationDlg::OnPortState(int port, TE_STATION_PORT_STATE state) {
    if (port < 0 || port >= static_cast<int>(m_tiles.size())) {
        return;
    }
    TS_TILE_RUN& run = m_runs[static_cast<std::size_t>(port)];
    if (state == STATION_PORT_ANSWER && run.refused) {
        // the port opened: the refusal is over
        m_tiles[static_cast<std::size_t>(port)]->SetReason({});
        run.refused = false;
    }
}

// ---- closing ----

void CStationDlg::closeEvent(QCloseEvent* event) {
    if (m_engine) {
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
