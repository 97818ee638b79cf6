#include "app/DownloadRuns.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "download/DownloadSession.h"
#include "download/ElapsedTimer.h"
#include "download/TargetConnection.h"
#include "platform/Files.h"

namespace {
const std::string kMarks8 = [] {
    std::string s;
    for (int i = 0; i < 8; ++i) {
        s += LOG_MARK;
    }
    return s;
}();
} // namespace

// ---- CPathList ----

int CPathList::GetItemCount() {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_paths.size());
}

std::string CPathList::GetItemText(int row) {
    std::lock_guard lock(m_mutex);
    return row >= 0 && row < static_cast<int>(m_paths.size()) ? m_paths[static_cast<std::size_t>(row)]
                                                              : std::string();
}

int CPathList::GetCurSel() {
    std::lock_guard lock(m_mutex);
    return m_selected;
}

void CPathList::SetCurSel(int row) {
    std::lock_guard lock(m_mutex);
    m_selected = row >= 0 && row < static_cast<int>(m_paths.size()) ? row : -1;
}

void CPathList::SetCellBold(int row, bool bold) {
    std::lock_guard lock(m_mutex);
    if (row < 0 || row >= static_cast<int>(m_paths.size())) {
        return;
    }
    m_bold.resize(m_paths.size());
    m_bold[static_cast<std::size_t>(row)] = bold ? 1 : 0;
}

bool CPathList::IsBold(int row) const {
    std::lock_guard lock(m_mutex);
    return row >= 0 && row < static_cast<int>(m_bold.size()) && m_bold[static_cast<std::size_t>(row)] != 0;
}

std::vector<std::string> CPathList::Paths() const {
    std::lock_guard lock(m_mutex);
    return m_paths;
}

void CPathList::SetPaths(std::vector<std::string> paths) {
    std::lock_guard lock(m_mutex);
    m_paths = std::move(paths);
    m_bold.assign(m_paths.size(), 0);
    if (m_selected >= static_cast<int>(m_paths.size())) {
        m_selected = -1;
    }
}

// ---- texts ----

std::string FileLabel(int row) {
    const char* suffix = row == 0 ? "st" : row == 1 ? "nd" : row == 2 ? "rd" : "th";
    return std::to_string(row + 1) + suffix + " file in the above listbox";
}

std::string FormatSpan(int64_t seconds) {
    return CElapsedTimer::Format(seconds);
}

std::string FlashWriterPath(const AppSettings& settings) {
    const int32_t type = settings.PortConfig.PortType;
    return type == PORT_UART || type == PORT_USB ? settings.FlashWriterPath[type] : std::string();
}

// ---- CDownloadRuns ----

CDownloadRuns::CDownloadRuns(IFileList& list, ILogSink& log, IRunHost& host)
    : m_list(list), m_log(log), m_host(host), m_clock([] { return std::time(nullptr); }) {}

void CDownloadRuns::SetClock(Clock clock) {
    m_clock = clock ? std::move(clock) : Clock([] { return std::time(nullptr); });
}

void CDownloadRuns::AppendLogTime(const std::string& label) {
    m_log.AppendLog(label + FormatLogDateTime(m_clock()) + "\r\n");
}

void CDownloadRuns::AppendTotalElapsed(std::time_t start) {
    m_log.AppendLog(std::string("\r\n") + LOG_MARK +
                    " Total elapsed time : " + FormatSpan(static_cast<int64_t>(m_clock() - start)) + "\r\n");
}

void CDownloadRuns::PlaySound() {
    if (m_sound) {
        m_sound();
    }
}

void CDownloadRuns::CancelRun() {
    m_cancel.Set();
}

void CDownloadRuns::ClearCancel() {
    m_cancel.Reset();
}

std::string CDownloadRuns::CurrentFilePath() const {
    std::lock_guard lock(m_mutex);
    return m_currentPath;
}

std::string CDownloadRuns::CurrentFileLabel() const {
    std::lock_guard lock(m_mutex);
    return m_currentLabel;
}

void CDownloadRuns::SetCurrentFile(const std::string& path, const std::string& label) {
    std::lock_guard lock(m_mutex);
    m_currentPath = path;
    m_currentLabel = label;
}

bool CDownloadRuns::CanOpenFile(int kind, const std::string& path) {
    int errnum = 0;
    if (!path.empty()) {
        const int fd = platform::OpenFile(path, platform::EFileOpen::Read);
        if (fd >= 0) {
            struct stat st {};
            // a folder opens for reading too, but is no file to send
            errnum = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
            ::close(fd);
            if (errnum == 0) {
                return true;
            }
        } else {
            errnum = errno;
        }
    }
    const std::string text =
        kind == 1 ? std::string(runtext::WRITER_FILE_MESSAGE) : path + runtext::APP_FILE_MESSAGE;
    m_host.ShowFileMessage(text, path, errnum);
    return false;
}

TS_RUN_SUMMARY CDownloadRuns::SingleRun() {
    m_sent = m_failed = m_skipped = 0;
    const std::time_t start = m_clock();
    m_runOn = 1;
    const int row = m_list.GetCurSel();
    if (row >= 0) {
        SetCurrentFile(m_list.GetItemText(row), FileLabel(row));
        if (!m_cancel.IsSet()) {
            PerFileStep(row, false);
        }
    }
    AppendTotalElapsed(start);
    PlaySound();
    return TS_RUN_SUMMARY{m_sent.load(), m_failed.load(), m_skipped.load(), m_cancel.IsSet()};
}

TS_RUN_SUMMARY CDownloadRuns::AllRun() {
    m_sent = m_failed = m_skipped = 0;
    const std::time_t start = m_clock();
    m_runOn = 1;
    if (m_list.GetItemCount() > 0) {
        for (int i = 0;; ++i) {
            SetCurrentFile(CurrentFilePath(), FileLabel(i));
            if (m_runOn.load() == 0 || m_cancel.IsSet()) {
                break;
            }
            PerFileStep(i, true);
            if (i + 1 >= m_list.GetItemCount()) {
                break;
            }
        }
    }
    m_list.SetCurSel(-1); // no row stays selected after the run
    AppendTotalElapsed(start);
    PlaySound();
    return TS_RUN_SUMMARY{m_sent.load(), m_failed.load(), m_skipped.load(), m_cancel.IsSet()};
}

void CDownloadRuns::PerFileStep(int row, bool allRun) {
    SetCurrentFile(m_list.GetItemText(row), CurrentFileLabel());
    if (allRun) {
        m_list.SetCurSel(row);
    }
    m_list.SetCellBold(row, true);
    // reset before the request goes out, so that a handler that ends early is not missed
    m_fileDone.Reset();
    if (m_post) {
        m_post();
    } else {
        AppFileDownload();
        FileDone();
    }
    platform::WaitForAny({&m_fileDone, &m_cancel});
    m_fileDone.Reset();
    m_list.SetCellBold(row, false);
}

bool CDownloadRuns::AppFileDownload() {
    if (m_cancel.IsSet()) {
        return false; // the run has ended: a request that arrives late does nothing
    }
    const std::string path = CurrentFilePath();
    const std::string label = CurrentFileLabel();
    if (!CanOpenFile(0, path)) {
        ++m_skipped; // the run-on flag stays as it is: a Download All goes on
        return false;
    }
    m_log.AppendLog("\r\n" + kMarks8 + "  Download information for the " + label + "  " + kMarks8);
    m_log.AppendLog("\r\n - File path : '" + path + "'");
    AppendLogTime("\r\n - Start time : ");
    const std::time_t start = m_clock();
    const TS_SESSION_OUTCOME outcome = m_host.RunDownloadSession(MODE_APP_CODE, path, Monitor());
    if (outcome.sent) {
        AppendLogTime(" - End time : ");
        m_log.AppendLog(" - Elapsed time : " + FormatSpan(static_cast<int64_t>(m_clock() - start)) + "\r\n");
        m_runOn = 1;
        ++m_sent;
    } else {
        m_log.AppendLog(outcome.errorText);
        m_runOn = 0;
        ++m_failed;
    }
    return outcome.sent;
}

bool CDownloadRuns::FlashWriterDownload(const std::string& writerPath, TS_WRITER_STARTED* after) {
    if (!CanOpenFile(1, writerPath)) {
        return false;
    }
    m_log.AppendLog("\r\n" + kMarks8 + "  Download information for the Flash Writer Code " + kMarks8);
    m_log.AppendLog("\r\n - File path : '" + writerPath + "'");
    AppendLogTime("\r\n - Start time : ");
    const std::time_t start = m_clock();
    COstraMonitor* monitor = Monitor();
    const TS_SESSION_OUTCOME outcome = m_host.RunDownloadSession(MODE_WRITER_CODE, writerPath, monitor);
    if (!outcome.sent) {
        m_log.AppendLog(outcome.errorText);
        return false;
    }
    PlaySound();
    AppendLogTime(" - End time : ");
    if (monitor) {
        int runner = -1;
        std::string version;
        const signed char status = ReportTargetStatus(*monitor, m_log, runner, &version);
        if (after) { // the desktop program does not examine it
            *after = {true, status, runner, version};
        }
    }
    m_log.AppendLog(std::string("\r\n") + LOG_MARK +
                    " Elapsed time : " + FormatSpan(static_cast<int64_t>(m_clock() - start)) + "\r\n");
    return true;
}
