// The one way a job reaches the target: open the port, wait (up to the wait time) for the
// target's answer, ask which program runs, send the flash writer when the boot loader runs and
// check that it then runs, and ask the flash parts when the job wants them. The command-line
// tool, the station and the connect dialog all go through it.
//
// Whole, blocking, with a cancel flag (the command-line tool, a station port):
//
//   TS_CONNECT_PLAN plan;
//   plan.Config = config;  plan.Wait = 30s;  plan.SendWriter = true;  plan.WriterPath = writer;
//   plan.Writer = [&](COstraMonitor& m) { ... send it, return a TS_WRITER_SENT ... };
//   CConnectSequence connect(link, log, &observer, plan);
//   const TS_JOB_OUTCOME& outcome = connect.Run(&stop);
//
// Step by step (a window's timer): call Step() every 50 ms until it returns false; Current() says
// which step is next, Outcome() how it ended. The answer step makes one poll per call.
//
// No texts of its own beyond the log's: the outcome says what happened as values, and each front
// end words it.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "download/JobObserver.h"
#include "download/JobOutcome.h"
#include "download/TargetConnection.h"

// What sending the flash writer gave (the plan's Writer hook).
struct TS_WRITER_SENT {
    TS_JOB_OUTCOME Outcome; // of the writer's session: OUTCOME_OK when it was sent to its end
    bool Asked = false;     // the sender already asked which program runs (and logged it)
    signed char Status = 0; // of that question
    int Runner = -1;
    std::string Version;
};

enum TE_CONNECT_STEP : int {
    CONNECT_DEVICE,   // the device (a USB packet device or socket) is waited for
    CONNECT_OPEN,     // the port is opened; the log starts
    CONNECT_ANSWER,   // the target's answer is waited for
    CONNECT_STATUS,   // which program runs
    CONNECT_WRITER,   // the flash writer is sent, and its start checked
    CONNECT_FLASH_ID, // the flash parts are asked
    CONNECT_DONE,     // ended: Outcome() says how
};

struct TS_CONNECT_PLAN {
    TS_PORT_CONFIG Config{PORT_UART, 0, 12, 3, 0, 0, 0};
    std::string DevicePath; // opened instead of what the port name resolves to; empty: the port map
    std::string WaitPath;   // a path to wait for before the open (a USB packet device); empty: none
    std::chrono::milliseconds Wait{30000};   // for the device and the answer together; 0: no limit
    TE_CONNECT_STEP First = CONNECT_DEVICE;  // CONNECT_STATUS: the link is open and has answered
    TE_CONNECT_STEP Last = CONNECT_FLASH_ID; // the sequence ends OK after this step
    bool Banner = true;                      // the log starts with the banner once the port is open
    std::string Version;                     // of the program, for the banner
    bool SendWriter = false;                 // the flash writer when the boot loader runs
    std::string WriterPath;                  // empty: OUTCOME_FILE_ERROR, FILE_PROBLEM_NOT_SET
    std::function<TS_WRITER_SENT(COstraMonitor&)> Writer;
    std::function<TS_JOB_OUTCOME(COstraMonitor&)> FlashId; // null: no flash identification
    std::mutex* LinkMutex = nullptr;     // held while the link is opened or closed (against a canceller)
    std::function<void()> DeviceMissing; // once, when the device is not there yet
    std::function<void()> Opened;        // the port opened
};

// The runner a flash writer reports on a port type: 1 (UART) or 3 (USB).
int ExpectedWriterRunner(int portType);

class CConnectSequence {
public:
    CConnectSequence(CTargetConnection& link, ILogSink& log, IJobObserver* observer, TS_CONNECT_PLAN plan);
    // On a link that was opened elsewhere (the main window's): plan.First is CONNECT_ANSWER or later.
    CConnectSequence(COstraMonitor& monitor, ILogSink& log, IJobObserver* observer, TS_CONNECT_PLAN plan);

    // One step (the answer: one poll of at most 50 ms). False once the sequence has ended.
    bool Step(const std::atomic<bool>* cancel = nullptr);
    // Every step to the end; polls every 50 ms and looks at the cancel flag every 10 ms.
    const TS_JOB_OUTCOME& Run(const std::atomic<bool>* cancel = nullptr);

    TE_CONNECT_STEP Current() const { return m_step; }
    const TS_JOB_OUTCOME& Outcome() const { return m_outcome; }
    // What the target said it runs, last (-1 before it was asked), and its version.
    int Runner() const { return m_runner; }
    const std::string& RunnerVersion() const { return m_version; }
    bool WriterSent() const { return m_writerSent; }
    // The last answer poll, and how many polls were made.
    const TS_TARGET_POLL& LastPoll() const { return m_poll; }
    // Time since the sequence was made.
    std::chrono::steady_clock::duration Elapsed() const { return std::chrono::steady_clock::now() - m_start; }

private:
    void End(TS_JOB_OUTCOME outcome);
    void Next(TE_CONNECT_STEP after);
    // A failed command at a step: the link lost (the port's typed error), or the target's status.
    TS_JOB_OUTCOME CommandFailed(TE_JOB_STEP step, int status) const;
    bool TimeLeft() const;
    bool Cancelled(const std::atomic<bool>* cancel) const {
        return cancel && cancel->load(std::memory_order_relaxed);
    }
    void CloseLink();
    void DeviceStep(const std::atomic<bool>* cancel);
    void OpenStep(const std::atomic<bool>* cancel);
    void AnswerStep(const std::atomic<bool>* cancel);
    void StatusStep(const std::atomic<bool>* cancel);
    void WriterStep(const std::atomic<bool>* cancel);
    void FlashIdStep(const std::atomic<bool>* cancel);
    void Runner(signed char status, int runner, const std::string& version);

    COstraMonitor& Monitor() const { return m_link ? *m_link->Monitor() : *m_monitor; }
    bool LinkLost() const;

    CTargetConnection* m_link = nullptr;
    COstraMonitor* m_monitor = nullptr;
    ILogSink& m_log;
    IJobObserver* m_observer;
    const TS_CONNECT_PLAN m_plan;
    const std::chrono::steady_clock::time_point m_start;
    TE_CONNECT_STEP m_step;
    TS_JOB_OUTCOME m_outcome;
    TS_TARGET_POLL m_poll;
    bool m_begun = false; // JOB_PHASE_CONNECT was said
    bool m_deviceSaid = false;
    int m_runner = -1;
    std::string m_version;
    bool m_writerSent = false;
};
