// How a long job shows itself while it runs, and where log texts go.
//
// Every job (download session, erase, dump, connection, runs) reports through these small
// interfaces: the dialogs implement them as thin views, the command-line tool as a terminal
// progress line, the tests as recorders. Calls come from the job's own thread; a view that must
// touch widgets hands each call to its UI thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "download/CompressFlashFile.h"
#include "download/JobOutcome.h"

// The job's window: caption and status line (from ICompressObserver), and a progress bar with a
// text drawn over it.
class IJobObserver : public ICompressObserver {
public:
    // The text drawn over the progress bar ("Downloading[42%]", an erase message, ...).
    virtual void SetProgressText(const std::string& text) = 0;
    virtual void SetProgressRange(uint32_t low, uint32_t high) = 0;
    virtual void SetProgressPos(uint32_t pos) = 0;
    // One step of the bar (an erase in progress shows its animation by stepping).
    virtual void StepProgress() = 0;
    // An erase command starts (on, with its message) or has ended (off). While it is on, the view
    // repeats the message on the progress text and steps the bar on its own timer.
    virtual void SetEraseAnimation(bool on, const std::string& message) {
        (void)on;
        (void)message;
    }
    // A block of target memory was written (address of its first byte, data bytes), after the
    // target acknowledged it. For verification and for telling how far an interrupted job got.
    virtual void OnBlockWritten(uint32_t address, uint32_t length) {
        (void)address;
        (void)length;
    }
    // The job enters a phase. Front ends decide from this, never from the caption's text.
    virtual void OnJobPhase(TE_JOB_PHASE phase) { (void)phase; }
    // The target said which program runs (status 0 or more: runner and version; negative: the
    // query failed with that status), each time it was asked with the answer logged.
    virtual void OnTargetRunner(int status, int runner, const std::string& version) {
        (void)status;
        (void)runner;
        (void)version;
    }
    // The job has ended, and how (see TS_JOB_OUTCOME).
    virtual void OnJobEnd(const TS_JOB_OUTCOME& outcome) { (void)outcome; }
};

// A view that shows nothing: a job run without a window, or a view that wants only some reports
// (it overrides those).
class CQuietJobObserver : public IJobObserver {
public:
    void SetCaption(const std::string&) override {}
    void SetStatus(const std::string&) override {}
    void SetProgressText(const std::string&) override {}
    void SetProgressRange(uint32_t, uint32_t) override {}
    void SetProgressPos(uint32_t) override {}
    void StepProgress() override {}
};

// The log: plain text, lines end with "\r\n" inside the texts, appended unchanged.
class ILogSink {
public:
    virtual ~ILogSink() = default;
    virtual void AppendLog(const std::string& text) = 0;
    // Empties the log (done when a link opens).
    virtual void ClearLog() {}
};

// The log's date and time form: the long local date and time, as "Tuesday, December 08, 2026,
// 09:25:23".
std::string FormatLogDateTime(std::time_t when);
// label followed by the current local date and time and "\r\n", in one AppendLog call.
void AppendLogTime(ILogSink& log, const std::string& label);
// The section marker of the log texts, U+25C8.
inline constexpr const char* LOG_MARK = "\xE2\x97\x88";
