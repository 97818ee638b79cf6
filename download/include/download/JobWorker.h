// The worker thread of a job dialog: it waits for its start or its quit event, runs the job once
// for every start, and ends on quit. A dialog creates it when it is shown, signals the start, and
// quits it when it closes (the job in progress finishes first, so ask the job to stop before).
//
//   CJobWorker worker;
//   worker.Create([this] { m_session.RunSession(); PostEndDialog(); });
//   worker.Signal();
//   ...
//   m_session.RequestStop(); worker.Quit();
#pragma once

#include <functional>
#include <thread>

#include "platform/Events.h"

class CJobWorker {
public:
    CJobWorker() = default;
    // Quits and waits for the thread.
    ~CJobWorker();
    CJobWorker(const CJobWorker&) = delete;
    CJobWorker& operator=(const CJobWorker&) = delete;

    // Starts the thread, which then waits for Signal(). False when a thread runs already or none
    // can be made: the caller then has no job running and must say so.
    bool Create(std::function<void()> job);
    // Runs the job once more (the start event; the worker resets it before it runs the job).
    void Signal();
    // Signals quit and waits, without a time limit, for the thread to end.
    void Quit();
    bool IsCreated() const { return m_thread.joinable(); }

private:
    void Body();

    platform::ManualResetEvent m_quit;
    platform::ManualResetEvent m_start;
    std::function<void()> m_job;
    std::thread m_thread;
};
