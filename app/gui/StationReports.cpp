// The station window's reports of the engine, on the UI thread: the model takes each, and the
// port's tile shows what it holds.
#include "StationDlg.h"

#include <QLabel>
#include <QPlainTextEdit>

#include <algorithm>
#include <cmath>

#include "StationTile.h"

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

} // namespace

QString CStationDlg::WaitingWords() {
    return kWaitingWords;
}

void CStationDlg::Tick() {
    for (std::size_t k = 0; k < m_tiles.size() && k < m_model.Ports().size(); ++k) {
        if (m_model.Ports()[k].Busy) {
            m_tiles[k]->SetElapsed(m_runs[k].clock.elapsed() / 1000);
        }
    }
}

// ---- the engine's reports ----

void CStationDlg::ShowState(int port, const QString& words) {
    m_tiles[static_cast<std::size_t>(port)]->SetState(m_model.Ports()[static_cast<std::size_t>(port)].Look,
                                                      words);
}

void CStationDlg::ShowReason(int port) {
    m_tiles[static_cast<std::size_t>(port)]->SetReason(
        QString::fromStdString(m_model.Ports()[static_cast<std::size_t>(port)].Reason));
}

void CStationDlg::OnBegin(int port) {
    if (port < 0 || port >= static_cast<int>(m_tiles.size()) || !m_model.Begin(port)) {
        return;
    }
    TS_TILE_RUN& run = m_runs[static_cast<std::size_t>(port)];
    run.clock.start();
    run.log.clear();
    if (run.logView) {
        run.logView->clear();
    }
    ShowState(port, Words(STATION_PHASE_CONNECT));
    CStationTile* tile = m_tiles[static_cast<std::size_t>(port)];
    tile->SetProgress(0);
    tile->SetElapsed(0);
    ShowReason(port);
}

void CStationDlg::OnPhase(int port, TE_STATION_PHASE phase) {
    if (port >= 0 && port < static_cast<int>(m_tiles.size()) && m_model.Phase(port)) {
        ShowState(port, Words(phase));
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

void CStationDlg::OnEnd(int port, const TS_STATION_RESULT& result, int64_t attempt) {
    if (port < 0 || port >= static_cast<int>(m_tiles.size())) {
        return;
    }
    const std::optional<TS_STATION_END> end = m_model.End(port, result, attempt);
    if (!end) {
        return;
    }
    CStationTile* tile = m_tiles[static_cast<std::size_t>(port)];
    const TE_TILE_LOOK look = m_model.Ports()[static_cast<std::size_t>(port)].Look;
    ShowState(port, look == TILE_PASS      ? QStringLiteral("PASS")
                    : look == TILE_STOPPED ? QStringLiteral("STOPPED")
                                           : QStringLiteral("FAIL"));
    if (look == TILE_PASS) {
        tile->SetProgress(100);
    }
    ShowReason(port);
    tile->SetElapsed(static_cast<qint64>(std::lround(result.Seconds)));
    UpdateTally();
    CountToday();
    m_host.StationResult(QString::fromStdString(end->LogBlock), end->Ok, end->Chime);
}

void CStationDlg::OnWaiting(int port, bool away) {
    if (port < 0 || port >= static_cast<int>(m_tiles.size()) || !m_model.Waiting(port, away)) {
        return;
    }
    if (!away) {
        ShowState(port, kWaitingWords);
        m_tiles[static_cast<std::size_t>(port)]->SetProgress(-1);
        m_tiles[static_cast<std::size_t>(port)]->SetElapsed(-1);
    }
    ShowReason(port);
}

void CStationDlg::OnRefused(int port, const QString& reason) {
    if (port >= 0 && port < static_cast<int>(m_tiles.size()) && m_model.Refused(port, reason.toStdString())) {
        ShowReason(port);
    }
}

void CStationDlg::OnPortState(int port, TE_STATION_PORT_STATE state) {
    if (port >= 0 && port < static_cast<int>(m_tiles.size()) && m_model.PortState(port, state)) {
        ShowReason(port); // the port opened: the refusal is over
    }
}

void CStationDlg::OnStoreState(TE_STATION_STORE state, const QString& reason) {
    if (!m_model.StoreState(state, reason.toStdString())) {
        return;
    }
    m_status->setText(state == STATION_STORE_OK
                          ? QStringLiteral("The record store is written again: the station goes on.")
                          : QStringLiteral("Waiting for the record store (%1): no new handset is taken "
                                           "until it is back.")
                                .arg(reason));
}
