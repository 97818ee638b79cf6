// Where vandrel-cli writes: the log texts of the engines (the same texts the GUI's log shows, with
// "\r\n" turned into "\n"), its own notes, the progress lines, the final result and the errors.
//
//  - Log texts and notes go to stdout (not with --quiet) and to the --log file.
//  - The final result goes to stdout always, and to the --log file.
//  - Errors go to stderr always, and to the --log file.
//  - Progress: on a terminal one self-updating line per job; otherwise a plain line every 10 %.
//    Never with --quiet, never into the --log file.
//  - With --json (the commands that run outside the station: dump, compress, ports, udev-rule)
//    stdout gets the JSON Lines of docs/JSON.md only: log texts and notes become log objects, the
//    result lines go into the job's end object, errors into its error object (and to stderr).
//
// Every call may come from any thread (the job's, the progress ticker, the signal watcher).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/JobObserver.h"

// "\r\n" becomes "\n"; everything else stays as it is (U+25C8 included).
std::string TerminalText(const std::string& logText);

class CCliOutput : public ILogSink {
public:
    // out and err: the streams (stdout and stderr, or test files). interactive: out is a terminal.
    CCliOutput(std::FILE* out, std::FILE* err, bool quiet, bool interactive);
    ~CCliOutput() override;
    CCliOutput(const CCliOutput&) = delete;
    CCliOutput& operator=(const CCliOutput&) = delete;

    // Opens the --log file for appending. False with the reason.
    bool OpenLogFile(const std::string& path, std::string& error);

    // ILogSink: a text of the engines.
    void AppendLog(const std::string& text) override;
    // A terminal is never emptied: the texts of a run follow each other.
    void ClearLog() override {}

    // A line of the program's own (no line feed needed).
    void Note(const std::string& line);
    // The final result: printed with --quiet too.
    void Result(const std::string& line);
    // "vandrel-cli: <line>" on stderr.
    void Error(const std::string& line);

    // The progress line of a job: shown (tty) or printed (not a tty). Empty text ends it.
    void ShowProgress(const std::string& text);
    void EndProgress();

    // ---- --json: one job at a time (JsonBegin ... JsonEnd), then JsonSummary ----
    // port: the label every object carries ("" for a command that opens no port).
    void EnableJson(const std::string& port);
    bool Json() const { return m_json; }
    // A job starts: device is what it opens (or reads), command its name.
    void JsonBegin(const std::string& device, const std::string& command);
    bool JsonBegun() const { return m_jsonBegun; }
    void JsonPhase(const std::string& phase);
    // Bytes of the phase: at most ten a second, and always when done reaches total.
    void JsonProgress(uint64_t done, uint64_t total);
    // The error code and name (docs/JSON.md) the next Error is reported with.
    void JsonErrorKind(int code, const char* name);
    // The job has ended with the exit status: an end object with the result lines (field
    // "lines"), summary (empty: the first result line) and fields (",\"key\":value..." of its own).
    // Nothing when no job began.
    void JsonEnd(int exitStatus, uint64_t bytes, const std::string& summary = {},
                 const std::string& fields = {});
    // The summary object, when a job ended.
    void JsonSummary();

    bool Quiet() const { return m_quiet; }
    bool Interactive() const { return m_interactive; }
    // Columns of the terminal (80 when unknown).
    int Columns() const;

private:
    void WriteOut(const std::string& text); // stdout, keeping track of the line state
    void ClearProgressLocked();
    void RedrawProgressLocked();
    void WriteLogFile(const std::string& text);

    void JsonLineLocked(const char* event, const std::string& fields);
    void JsonLogLocked(const std::string& text);

    std::FILE* m_out;
    std::FILE* m_err;
    std::FILE* m_log = nullptr;
    const bool m_quiet;
    const bool m_interactive;
    std::recursive_mutex m_mutex;
    bool m_atLineStart = true;
    // A line feed was written ahead of a log text so that a progress line or a note started on a
    // line of its own: the next log text's leading line feed is that one.
    bool m_swallowNewline = false;
    bool m_progressShown = false;    // a job's self-updating line is in use
    bool m_progressOnScreen = false; // and is drawn on the current terminal line
    std::string m_progressText;
    bool m_logAtLineStart = true;

    bool m_json = false;
    std::string m_jsonPort;
    bool m_jsonBegun = false;
    std::string m_jsonPhase;
    std::string m_jsonPartial; // a log text's line without its line feed yet
    std::vector<std::string> m_jsonResults;
    std::string m_jsonError;
    int m_jsonErrorCode = 0;
    const char* m_jsonErrorName = nullptr;
    std::chrono::steady_clock::time_point m_jsonBegin;
    std::chrono::steady_clock::time_point m_jsonLastProgress;
    int m_jsonSucceeded = 0;
    int m_jsonFailed = 0;
};

// The view of one job (a download session, an erase, a dump, a verification) as a progress line:
// caption, area, percent, bytes, rate and time left. Implements the engines' observer.
class CProgressLine : public IJobObserver {
public:
    explicit CProgressLine(CCliOutput& out);
    ~CProgressLine() override;
    CProgressLine(const CProgressLine&) = delete;
    CProgressLine& operator=(const CProgressLine&) = delete;

    // A new job: name is what it works on (the file name, the range).
    void Begin(const std::string& name);
    // The job has ended: the last state stays on the terminal.
    void End();
    // Whether an erase command is in progress (its wait may be cancelled at once).
    bool Erasing() const { return m_erasing.load(); }
    uint64_t BytesWritten() const { return m_bytes.load(); }

    // IJobObserver
    void SetCaption(const std::string& text) override;
    void SetStatus(const std::string& text) override;
    void SetProgressText(const std::string& text) override;
    void SetProgressRange(uint32_t low, uint32_t high) override;
    void SetProgressPos(uint32_t pos) override;
    void StepProgress() override {}
    void SetEraseAnimation(bool on, const std::string& message) override;
    void OnBlockWritten(uint32_t address, uint32_t length) override;

    // Counts bytes handled by a job that reports positions only (a dump, a verification).
    void SetBytesFromPosition(bool on) { m_bytesFromPosition = on; }
    // --json: the job's positions stand for this many bytes (JsonProgress scales them).
    void SetJsonTotal(uint64_t bytes) { m_jsonTotal = bytes; }

private:
    using Clock = std::chrono::steady_clock;
    std::string Compose();
    void Update(bool force);
    void Ticker();

    CCliOutput& m_out;
    mutable std::mutex m_mutex;
    bool m_active = false;
    std::string m_name;
    std::string m_caption;
    std::string m_status;
    std::string m_text;
    uint32_t m_low = 0;
    uint32_t m_high = 0;
    uint32_t m_pos = 0;
    std::atomic<bool> m_erasing{false};
    std::string m_eraseMessage;
    Clock::time_point m_eraseStart;
    std::atomic<uint64_t> m_bytes{0};
    bool m_bytesFromPosition = false;
    uint64_t m_jsonTotal = 0;
    Clock::time_point m_jobStart;
    Clock::time_point m_sendStart;
    bool m_sending = false;
    Clock::time_point m_lastDraw;
    int m_lastDecile = -1; // not a terminal: the last 10 % step printed

    std::condition_variable m_tick;
    bool m_quit = false;
    std::thread m_ticker;
};

// "1.5 MiB", "512 B"
std::string FormatBytes(uint64_t bytes);
