#include "app/JobThread.h"

#include <system_error>

#include "download/ConnectSequence.h"
#include "download/TargetConnection.h"

CJobThread::CJobThread(CDownloadRuns& runs, ILogSink& log, IJobThreadHost& host)
    : m_runs(runs), m_log(log), m_host(host) {}

CJobThread::~CJobThread() {
    Quit();
}

bool CJobThread::Start() {
    if (m_thread.joinable()) {
        return false;
    }
    m_quit.Reset();
    try {
        m_thread = std::thread([this] { Body(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CJobThread::Quit() {
    if (!m_thread.joinable()) {
        return;
    }
    m_runs.CancelRun();
    m_quit.Set();
    m_thread.join();
}

void CJobThread::Connected() {
    m_connected.Set();
}

bool CJobThread::DownloadOne() {
    if (m_runs.List().GetCurSel() == -1) {
        m_host.ShowRefusal(runtext::NO_FILE_SELECTED);
        return false;
    }
    m_downloadOne.Set();
    return true;
}

bool CJobThread::DownloadAll() {
    if (m_runs.List().GetItemCount() < 1) {
        m_host.ShowRefusal(runtext::NO_FILES);
        return false;
    }
    m_downloadAll.Set();
    return true;
}

void CJobThread::StatusQuery() {
    COstraMonitor* monitor = m_runs.Monitor();
    if (!monitor) {
        return;
    }
    // the connect sequence's status step; the flash writer goes from the UI thread
    TS_CONNECT_PLAN plan;
    plan.First = CONNECT_STATUS;
    plan.Last = CONNECT_STATUS;
    CConnectSequence status(*monitor, m_log, nullptr, plan);
    if (status.Run().Ok() && NeedsFlashWriter(0, status.Runner())) {
        m_host.PostFlashWriterDownload();
    }
}

void CJobThread::Body() {
    for (;;) {
        // served in this order when several are signalled
        const int which = platform::WaitForAny({&m_quit, &m_connected, &m_downloadOne, &m_downloadAll});
        switch (which) {
        case 1:
            m_connected.Reset();
            StatusQuery();
            break;
        case 2:
            m_downloadOne.Reset();
            m_runs.SingleRun();
            break;
        case 3:
            m_downloadAll.Reset();
            m_runs.AllRun();
            break;
        default:
            return; // quit, or a failed wait
        }
        if (m_jobDone) {
            m_jobDone();
        }
    }
}
