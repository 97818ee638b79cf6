// The download runs: the flash-writer download, one application file download with its block of
// download information in the log, and the Download / Download All runs over the file list.
//
// Two ways to drive it:
//
// - The GUI: JobThread (CJobThread) runs SingleRun / AllRun. For each file the per-file step asks
//   the UI thread to run AppFileDownload (SetAppDownloadPoster: a posted event whose handler calls
//   AppFileDownload() and then FileDone()) and waits for FileDone. AppFileDownload calls
//   IRunHost::RunDownloadSession, which shows the modal download dialog; its worker runs the
//   session. The flash-writer download runs on the UI thread too (FlashWriterDownload).
// - The CLI: everything inline on one thread. Without a poster, the per-file step calls
//   AppFileDownload() and FileDone() itself, and RunDownloadSession runs the session at once.
//
// CancelRun (any thread) ends a run after the file in progress, or at once between files.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/AppSettings.h"
#include "download/JobObserver.h"
#include "platform/Events.h"
#include "quillet/OstraMonitor.h"

namespace runtext {
inline constexpr const char* WRITER_FILE_MESSAGE =
    "Cannot open flash writer file.\n\nPlease select an appropriate "
    "flash writer file\n\nin global settings dialog.";
inline constexpr const char* APP_FILE_MESSAGE = "\r\nCannot open above file.\n\nPlease check again.";
inline constexpr const char* NO_FILE_SELECTED = "No flash file is selected!";
inline constexpr const char* NO_FILES = "No flash files to download!";
} // namespace runtext

// The rows of the flash file list, as the runs see them. In the GUI these calls come from
// JobThread: answer them without waiting for the UI thread (the UI thread may be waiting for
// JobThread at shutdown), for example from a copy of the rows kept under a lock.
class IFileList {
public:
    virtual ~IFileList() = default;
    virtual int GetItemCount() = 0;
    // The path in column 0 of a row.
    virtual std::string GetItemText(int row) = 0;
    // The selected row, -1 for none.
    virtual int GetCurSel() = 0;
    // Selects a row; -1 leaves no row selected.
    virtual void SetCurSel(int row) = 0;
    virtual void SetCellBold(int row, bool bold) = 0;
};

// A list held in memory: the CLI's file arguments, the tests.
class CPathList : public IFileList {
public:
    CPathList() = default;
    explicit CPathList(std::vector<std::string> paths) : m_paths(std::move(paths)) {}
    int GetItemCount() override;
    std::string GetItemText(int row) override;
    int GetCurSel() override;
    void SetCurSel(int row) override;
    void SetCellBold(int row, bool bold) override;
    bool IsBold(int row) const;
    std::vector<std::string> Paths() const;
    void SetPaths(std::vector<std::string> paths);

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_paths;
    std::vector<int> m_bold;
    int m_selected = -1;
};

struct TS_SESSION_OUTCOME {
    bool sent = false;     // the file was sent to its end (the dialog's IDOK)
    std::string errorText; // the session's GetErrorText otherwise
};

// What only the front end can do.
class IRunHost {
public:
    virtual ~IRunHost() = default;
    // Runs one download session (CDownloadSession with this mode, path and monitor) to its end.
    // GUI: the modal download dialog, whose worker runs the session. CLI: the session inline, with
    // a terminal progress line. The engine writes the log block around it.
    virtual TS_SESSION_OUTCOME RunDownloadSession(int32_t mode, const std::string& path,
                                                  COstraMonitor* monitor) = 0;
    // A file that does not open (CanOpenFile): text is the message, errnum why it failed (0 for
    // an empty path). GUI: a message box with the exclamation icon and the program's name as
    // caption. CLI: a line on the error output.
    virtual void ShowFileMessage(const std::string& text, const std::string& path, int errnum) = 0;
};

// What a run did, for the CLI's exit status.
struct TS_RUN_SUMMARY {
    int sent = 0;    // files sent to their end
    int failed = 0;  // files whose download failed (a failure ends an all run)
    int skipped = 0; // files that did not open
    bool cancelled = false;
};

// "1st file in the above listbox", "2nd ...", "3rd ...", "4th ...": the label of a 0-based row.
std::string FileLabel(int row);
// An elapsed span as the log writes it: "hh:mm:ss".
std::string FormatSpan(int64_t seconds);
// The flash writer file of the configured port type; empty for any other port type.
std::string FlashWriterPath(const AppSettings& settings);

class CDownloadRuns {
public:
    using Clock = std::function<std::time_t()>;

    CDownloadRuns(IFileList& list, ILogSink& log, IRunHost& host);
    CDownloadRuns(const CDownloadRuns&) = delete;
    CDownloadRuns& operator=(const CDownloadRuns&) = delete;

    // The link the downloads use; set it when a link opens, null when it closes.
    void SetMonitor(COstraMonitor* monitor) { m_monitor.store(monitor); }
    COstraMonitor* Monitor() const { return m_monitor.load(); }
    IFileList& List() { return m_list; }
    // Played at the end of a run and after a flash-writer download.
    void SetSound(std::function<void()> play) { m_sound = std::move(play); }
    // The wall clock of the log's times (tests set their own).
    void SetClock(Clock clock);
    // How the per-file step has AppFileDownload run on the UI thread (see the top of this file).
    // Empty: inline.
    void SetAppDownloadPoster(std::function<void()> post) { m_post = std::move(post); }

    // ---- runs (JobThread or the CLI's thread) ----
    // Download: the selected row.
    TS_RUN_SUMMARY SingleRun();
    // Download All: the rows from the top while the run-on flag stays set.
    TS_RUN_SUMMARY AllRun();
    // One row: current path, selection (all runs), bold, the application download, bold off.
    void PerFileStep(int row, bool allRun);

    // ---- handlers (UI thread or the CLI's thread) ----
    // One application file: the current path with the current label. Never throws; returns
    // whether the file was sent.
    bool AppFileDownload();
    // Ends the per-file step's wait; call it after AppFileDownload.
    void FileDone() { m_fileDone.Set(); }
    // The flash writer: its log block, then on success the sound, the end time, the target
    // status and the elapsed time. after, when given, receives what the target status query
    // answered (the program that runs once the writer's end command was sent).
    struct TS_WRITER_STARTED {
        bool asked = false; // the query was made (the writer was sent)
        signed char status = 0;
        int runner = -1; // TE_TARGET_RUNNER_TYPES, when status is not negative
        std::string version;
    };
    bool FlashWriterDownload(const std::string& writerPath, TS_WRITER_STARTED* after = nullptr);
    // Whether a file opens for reading (kind 1: the flash writer, 0: an application file); shows
    // the kind's message through the host when it does not.
    bool CanOpenFile(int kind, const std::string& path);

    // ---- state ----
    // Thread-safe. Ends the run after the file in progress; a per-file step that waits returns at
    // once, and a later AppFileDownload does nothing. Stays until ClearCancel.
    void CancelRun();
    void ClearCancel();
    bool RunCancelled() const { return m_cancel.IsSet(); }
    int RunOn() const { return m_runOn.load(); }
    std::string CurrentFilePath() const;
    std::string CurrentFileLabel() const;
    void SetCurrentFile(const std::string& path, const std::string& label);

private:
    void AppendTotalElapsed(std::time_t start);
    void AppendLogTime(const std::string& label);
    void PlaySound();

    IFileList& m_list;
    ILogSink& m_log;
    IRunHost& m_host;
    std::atomic<COstraMonitor*> m_monitor{nullptr};
    std::function<void()> m_sound;
    std::function<void()> m_post;
    Clock m_clock;

    std::atomic<int> m_runOn{1};
    platform::ManualResetEvent m_fileDone;
    platform::ManualResetEvent m_cancel;
    mutable std::mutex m_mutex; // the current file, shared by JobThread and the UI thread
    std::string m_currentPath;
    std::string m_currentLabel;
    // what the handlers did during the run
    std::atomic<int> m_sent{0};
    std::atomic<int> m_failed{0};
    std::atomic<int> m_skipped{0};
};
