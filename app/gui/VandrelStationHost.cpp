// The main window as the production station's host: it opens the station window, lends it the
// file list and the settings, closes its own link while the station runs, and logs and chimes the
// station's results.
#include "VandrelDlg.h"

#include <QLabel>
#include <QTimer>

#include "FaceButton.h"

namespace {

constexpr const char* kStationRunningText = "Production station running: this window's link is closed";
constexpr const char* kStationStoppedText = "Production station stopped";
constexpr const char* kStationBusyText = "The main window is busy: start again when its job has ended.";

} // namespace

void CVandrelDlg::OnProductionStation() {
    if (m_closeRequested) {
        return;
    }
    if (!m_stationDlg) {
        m_stationDlg = new CStationDlg(*this, m_options.configDirectory, this);
        m_stationDlg->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_stationDlg->show();
    m_stationDlg->raise();
    m_stationDlg->activateWindow();
}

bool CVandrelDlg::StationStarting(QString* refusal) {
    if (CommandsBusy() || m_modalDepth > 0 || m_closeRequested) {
        *refusal = QString::fromLatin1(kStationBusyText);
        return false;
    }
    CloseTargetLink();
    m_connect->SetCheck(false);
    m_stationRunning = true;
    SetRadiosEnabled(false);
    m_status->setText(QString::fromLatin1(kStationRunningText));
    AppendLog(QStringLiteral("\r\n") + QString::fromUtf8(LOG_MARK) + QLatin1Char(' ') +
              QString::fromLatin1(kStationRunningText) + QStringLiteral("\r\n"));
    UpdateCommands();
    return true;
}

void CVandrelDlg::StationStopped() {
    m_stationRunning = false;
    SetRadiosEnabled(true);
    m_status->setText(QString::fromLatin1(linktext::PORT_NOT_OPENED));
    AppendLog(QStringLiteral("\r\n") + QString::fromUtf8(LOG_MARK) + QLatin1Char(' ') +
              QString::fromLatin1(kStationStoppedText) + QStringLiteral("\r\n"));
    UpdateCommands();
    TryFinishClose();
}

void CVandrelDlg::StationResult(const QString& logBlock, bool ok, bool chime) {
    AppendLog(logBlock);
    if (!chime) {
        return;
    }
    ++m_stationChimes;
    m_wave.Play(0, false);
    if (!ok) {
        // a failure chimes twice
        QTimer::singleShot(700, this, [this] { m_wave.Play(0, false); });
    }
}
