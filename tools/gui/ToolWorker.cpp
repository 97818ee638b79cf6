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

    // One step under the lock: a new Start cannot slip in between the end and the idle signal,
    // and a window waiting in StopAndWait (its destructor) is still whole while the ended call is
    // posted to it (Qt drops the call if the window goes before it runs).
    std::lock_guard lock(m_mutex);
    if (m_waitsCancelled && m_monitor != nullptr) {
        m_monitor->CancelWaits(false);
    }
    m_waitsCancelled = false;
    m_monitor = nullptr;
    m_running = false;
    if (m_ended) {
        QMetaObject::invokeMethod(m_context, std::move(m_ended), Qt::QueuedConnection);
        m_ended = nullptr;
    }
    m_idle.Set();
}
