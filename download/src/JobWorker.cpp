#include "download/JobWorker.h"

#include <system_error>
#include <utility>

CJobWorker::~CJobWorker() {
    Quit();
}

bool CJobWorker::Create(std::function<void()> job) {
    if (m_thread.joinable() || !job) {
        return false;
    }
    m_job = std::move(job);
    m_quit.Reset();
    m_start.Reset();
    try {
        m_thread = std::thread([this] { Body(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CJobWorker::Signal() {
    m_start.Set();
}

void CJobWorker::Quit() {
    if (!m_thread.joinable()) {
        return;
    }
    m_quit.Set();
    m_thread.join();
}

void CJobWorker::Body() {
    for (;;) {
        // quit first: a start and a quit signalled together end the thread
        const int which = platform::WaitForAny({&m_quit, &m_start});
        if (which != 1) {
            return;
        }
        m_start.Reset();
        m_job();
    }
}
