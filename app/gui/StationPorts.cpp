// The station window's ports and tiles: the list of ports to choose from and the saved choice, one
// tile per chosen port in a grid that fits the window, and a tile's log.
#include "StationDlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QListWidget>
#include <QPlainTextEdit>

#include <algorithm>

#include "StationTile.h"

void CStationDlg::RefreshPorts() {
    if (m_model.Running()) {
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
    if (!m_model.Running()) {
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
    settings.Job = m_model.JobPath();
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
    m_model.SetPorts(chosen);
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
