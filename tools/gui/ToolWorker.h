// CToolWorker: the one worker thread of a flash tool window (the erase tool, the Memory Dump page).
// It runs one job at a time on a monitor lent by the window and tells the window, on the window's
// own thread, when the job has ended.
//
//   m_worker.Start(monitor, [this] { m_result = Engine(*monitor, hooks); }, [this] { OnJobEnded(); });
//   ...
//   m_worker.RequestStop();   // closing: the job ends at its next command; OnJobEnded follows
//   m_worker.StopAndWait();   // the monitor is about to go: returns once the job no longer uses it
//
// Stopping sets the stop flag that the job's engine looks at before each command and makes the
// command waiting for its reply give up at once (COstraMonitor::CancelWaits), so a stopped job ends
// within one command's round trip even when the target does not answer. The waits are switched
// back on by the worker as soon as the job has returned.
//
// The worker never waits for the window: it reaches it only through queued calls. StopAndWait is
// the one place where the window's thread waits for the worker, and that wait is short because the
// job's wait was cancelled first.
#pragma once

#include <QObject>

#include <atomic>
#include <functional>
#include <mutex>

#include "download/JobWorker.h"
#include "platform/Events.h"

class COstraMonitor;

class CToolWorker {
public:
    // Ended callbacks are queued to context's thread (Qt drops them when context is gone). The
    // context owns the worker or outlives it: the worker never outlives its job.
    explicit CToolWorker(QObject* context);
    // Stops the job that runs, if any, and ends the thread.
    ~CToolWorker();
    CToolWorker(const CToolWorker&) = delete;
    CToolWorker& operator=(const CToolWorker&) = delete;

    // Runs job on the worker thread; once it has returned, ended runs on the context's thread.
    // monitor is the link the job uses (may be null for a job without one). False when a job runs
    // already or no thread could be made: nothing was started.
    bool Start(COstraMonitor* monitor, std::function<void()> job, std::function<void()> ended);
    // Whether a job runs on the worker now (its ended callback may still be on its way).
    bool IsRunning() const;
    // Asks the running job to end at its next command and cancels the wait for the command in
    // flight. Returns at once; the ended callback follows.
    void RequestStop();
    // RequestStop, then waits until the job has returned: afterwards the worker does not touch
    // the monitor any more. The ended callback still follows (queued).
    void StopAndWait();
    // The flag given to the job's engine (TS_JOB_HOOKS::Stop).
    const std::atomic<bool>* StopFlag() const { return &m_stop; }
    bool StopRequested() const { return m_stop.load(std::memory_order_acquire); }

private:
    void RunOne();

    QObject* m_context;
    CJobWorker m_thread;
    platform::ManualResetEvent m_idle{true};
    std::atomic<bool> m_stop{false};

    mutable std::mutex m_mutex; // guards the members below
    bool m_running = false;
    bool m_waitsCancelled = false;
    COstraMonitor* m_monitor = nullptr;
    std::function<void()> m_job;
    std::function<void()> m_ended;
};
