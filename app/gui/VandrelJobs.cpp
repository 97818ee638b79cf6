// The main window's jobs: Download and Download All on JobThread and the requests JobThread posts
// back (the flash writer, each file's download dialog, the file messages), Get Flash ID on a worker
// of its own, and Erase Flash.
#include "VandrelDlg.h"

#include <QApplication>
#include <QMessageBox>

#include <cstring>

#include "ListMirror.h"
#include "LogPage.h"
#include "ModalScope.h"
#include "Resources.h"
#include "SendSrecordDlg.h"
#include "ToolWindows.h"
#include "WindowLog.h"
#include "download/DownloadSession.h"
#include "tools/FlashIdentification.h"

void CVandrelDlg::SignalJob(bool accepted) {
    if (accepted) {
        ++m_jobsPending;
    }
    UpdateCommands();
}

void CVandrelDlg::OnJobDone() {
    if (m_jobsPending > 0) {
        --m_jobsPending;
    }
    if (m_jobsPending == 0) {
        m_runActive = false;
    }
    ++m_jobsDone;
    UpdateCommands();
    TryFinishClose();
}

void CVandrelDlg::PostFlashWriterDownload() {
    QCoreApplication::postEvent(this, new QEvent(g_sendFlashWriterCodeMsg));
}

void CVandrelDlg::OnFlashWriterEvent() {
    if (m_shutdownDone || m_closeRequested || !Monitor()) {
        return; // the link has closed since the request was posted
    }
    CModalScope scope(this);
    m_runs->FlashWriterDownload(FlashWriterPath(m_settings));
}

void CVandrelDlg::OnAppCodeEvent() {
    if (!m_shutdownDone) {
        CModalScope scope(this);
        m_runs->AppFileDownload(); // does nothing once the run was cancelled
    }
    m_runs->FileDone();
}

TS_SESSION_OUTCOME CVandrelDlg::RunDownloadSession(int32_t mode, const std::string& path,
                                                   COstraMonitor* monitor) {
    if (!monitor) {
        return {false, ErrorCodeText(TM_ERR_PORT_OPEN)};
    }
    CSendSrecordDlg dialog(mode, path, monitor, this);
    m_downloadDlg = &dialog;
    const int result = dialog.DoModal();
    m_downloadDlg = nullptr;
    return {result == IDOK, dialog.GetErrorText()};
}

void CVandrelDlg::ShowFileMessage(const std::string& text, const std::string& path, int errnum) {
    (void)path; // the text names it
    QString message = CLogPage::ShownForm(QString::fromStdString(text));
    if (errnum != 0) {
        message += QStringLiteral("\n\n(%1)").arg(QString::fromLocal8Bit(std::strerror(errnum)));
    }
    CModalScope scope(this);
    QMessageBox box(QMessageBox::Warning, QApplication::applicationName(), message, QMessageBox::Ok, this);
    box.exec();
}

void CVandrelDlg::ShowRefusal(const std::string& text) {
    ShowStopBox(QString::fromStdString(text));
}

void CVandrelDlg::ShowStopBox(const QString& text) {
    CModalScope scope(this);
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), CLogPage::ShownForm(text),
                    QMessageBox::Ok, this);
    box.exec();
}

void CVandrelDlg::OnDownload() {
    if (CommandsBusy() || !m_link.CommandsEnabled() || m_closeRequested || !m_jobThreadStarted) {
        return;
    }
    m_mirror->Sync();
    m_runs->ClearCancel();
    const bool accepted = m_job->DownloadOne(); // shows "No flash file is selected!" itself
    m_runActive = m_runActive || accepted;
    SignalJob(accepted);
}

void CVandrelDlg::OnDownloadAll() {
    if (CommandsBusy() || !m_connected || m_closeRequested || !m_jobThreadStarted) {
        return;
    }
    m_mirror->Sync();
    m_runs->ClearCancel();
    const bool accepted = m_job->DownloadAll(); // shows "No flash files to download!" itself
    m_runActive = m_runActive || accepted;
    SignalJob(accepted);
}

void CVandrelDlg::OnGetFlashId() {
    if (CommandsBusy() || !m_link.CommandsEnabled() || m_flashIdThread.joinable()) {
        return;
    }
    COstraMonitor* monitor = Monitor();
    ILogSink* log = m_log.get();
    m_flashIdRunning = true;
    UpdateCommands();
    m_flashIdThread = std::thread([this, monitor, log] {
        GetFlashId(*monitor, *log);
        QMetaObject::invokeMethod(this, &CVandrelDlg::OnFlashIdDone, Qt::QueuedConnection);
    });
}

void CVandrelDlg::OnFlashIdDone() {
    if (m_flashIdThread.joinable()) {
        m_flashIdThread.join(); // it has just ended
    }
    m_flashIdRunning = false;
    UpdateCommands();
    TryFinishClose();
}

void CVandrelDlg::OnEraseFlash() {
    if (CommandsBusy() || !m_link.CommandsEnabled() || !EraseFlashToolAvailable()) {
        return;
    }
    CModalScope scope(this);
    RunEraseFlashTool(Monitor(), this);
}
