#include "StationEventQueue.h"

#include <utility>

CStationEventQueue::CStationEventQueue(int ports, std::size_t logBudgetBytes)
    : m_budget(logBudgetBytes), m_progress(static_cast<std::size_t>(ports)),
      m_progressPending(static_cast<std::size_t>(ports), false),
      m_dropped(static_cast<std::size_t>(ports), 0) {}

void CStationEventQueue::Push(TS_STATION_EVENT event) {
    if (event.UnixMilliseconds == 0) {
        event.UnixMilliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
    }
    if (event.At == std::chrono::steady_clock::time_point{}) {
        event.At = std::chrono::steady_clock::now();
    }
    const auto port = static_cast<std::size_t>(event.Port);
    {
        std::lock_guard lock(m_mutex);
        if (m_closed || port >= m_progress.size()) {
            return;
        }
        if (event.Kind == EStationEvent::Progress) {
            m_progress[port] = std::move(event); // the latest wins
            m_progressPending[port] = true;
        } else {
            if (event.Kind == EStationEvent::Log && m_logBytes + event.Text.size() > m_budget) {
                ++m_dropped[port];
                ++m_droppedTotal;
                return; // nothing new for the writer
            }
            if (m_progressPending[port]) {
                // the phase's last progress goes ahead of what follows it
                m_queue.push_back(std::move(m_progress[port]));
                m_progressPending[port] = false;
            }
            event.Dropped = std::exchange(m_dropped[port], 0);
            if (event.Kind == EStationEvent::Log) {
                m_logBytes += event.Text.size();
            }
            m_queue.push_back(std::move(event));
        }
    }
    m_ready.notify_one();
}

bool CStationEventQueue::Take(std::vector<TS_STATION_EVENT>& events, std::chrono::milliseconds timeout) {
    events.clear();
    std::unique_lock lock(m_mutex);
    const auto pending = [this] {
        if (!m_queue.empty() || m_closed) {
            return true;
        }
        for (const bool p : m_progressPending) {
            if (p) {
                return true;
            }
        }
        return false;
    };
    m_ready.wait_for(lock, timeout, pending);
    events.reserve(m_queue.size() + m_progress.size());
    for (TS_STATION_EVENT& event : m_queue) {
        events.push_back(std::move(event));
    }
    m_queue.clear();
    m_logBytes = 0;
    for (std::size_t port = 0; port < m_progress.size(); ++port) {
        if (m_progressPending[port]) {
            events.push_back(std::move(m_progress[port]));
            m_progressPending[port] = false;
        }
    }
    return !(m_closed && events.empty());
}

void CStationEventQueue::Close() {
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
    m_ready.notify_all();
}

std::size_t CStationEventQueue::LogBytes() const {
    std::lock_guard lock(m_mutex);
    return m_logBytes;
}

uint64_t CStationEventQueue::DroppedTotal() const {
    std::lock_guard lock(m_mutex);
    return m_droppedTotal;
}
