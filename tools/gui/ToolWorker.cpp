#include "ToolWorker.h"

#include <QMetaObject>

#include <utility>

#include "quillet/OstraMonitor.h"

CToolWorker::CToolWorker(QObject* context) : m_context(context) {}

CToolWorker::~CToolWorker() {
    StopAndWait();
    m_thread.Quit();
}

bool CToolWorker::Start(COstraMonitor* monitor, std::function<void()> job, std::function<void()> ended) {
    std::lock_guard lock(m_mutex);
    if (m_running || !job) {
        return false;
    }
    if (!m_thread.IsCreated() && !m_thread.Create([this] { RunOne(); })) {
        return false;
    }
    m_stop.store(false, std::memory_order_release);
    m_monitor = monitor;
    m_job = std::move(job);
    m_ended = std::move(ended);
    m_waitsCancelled = false;
    m_running = true;
    m_idle.Reset();
    m_thread.Signal();
    return true;
}

bool CToolWorker::IsRunning() const {
    std::lock_guard lock(m_mutex);
    return m_running;
}

void CToolWorker::RequestStop() {
    std::lock_guard lock(m_mutex);
    if (!m_running) {
        return;
    }
    m_stop.store(true, std::memory_order_release);
    if (m_monitor != nullptr && !m_waitsCancelled) {
        m_monitor->CancelWaits(true);
        m_waitsCancelled = true;
    }
}

void CToolWorker::StopAndWait() {
    RequestStop();
    m_idle.Wait();
}

void CToolWorker::RunOne() {
    std::function<void()> job;
    {
        std::lock_guard lock(m_mutex);
        job = std::move(m_job);
        m_job = nullptr;
    }
    job();

    std::function<void()> ended;
    {
        std::lock_guard lock(m_mutex);
        if (m_waitsCancelled && m_monitor != nullptr) {
            m_monitor->CancelWaits(false);
        }
        m_waitsCancelled = false;
        m_monitor = nullptr;
        m_running = false;
        ended = std::move(m_ended);
        m_ended = nullptr;
    }
    // Queued before the window may learn from m_idle that the job is over, so that a window
    // waiting in its destructor is still whole when the call is posted (Qt drops it with the window).
    if (ended && m_context) {
        QMetaObject::invokeMethod(m_context, std::move(ended), Qt::QueuedConnection);
    }
    m_idle.Set();
}
