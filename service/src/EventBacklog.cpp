#include "EventBacklog.h"

CEventBacklog::CEventBacklog(std::size_t maxEvents, std::size_t maxBytes)
    : m_maxEvents(maxEvents > 0 ? maxEvents : 1), m_maxBytes(maxBytes) {}

uint64_t CEventBacklog::Append(std::string data) {
    uint64_t id = 0;
    {
        std::lock_guard lock(m_mutex);
        id = ++m_last;
        m_bytes += data.size();
        m_events.push_back({id, std::move(data)});
        while (m_events.size() > m_maxEvents || (m_bytes > m_maxBytes && m_events.size() > 1)) {
            m_bytes -= m_events.front().Data.size();
            m_events.pop_front();
        }
    }
    m_more.notify_all();
    return id;
}

bool CEventBacklog::Read(uint64_t after, std::vector<TS_BACKLOG_EVENT>& events, uint64_t& missed,
                         std::chrono::milliseconds timeout, std::size_t max) {
    events.clear();
    missed = 0;
    std::unique_lock lock(m_mutex);
    if (after > m_last) {
        // an id this service never gave: the client saw another run of it
        missed = m_last;
        after = 0;
    }
    m_more.wait_for(lock, timeout, [&] { return m_closed || m_last > after; });
    if (m_closed) {
        return false;
    }
    const uint64_t first = m_events.empty() ? m_last + 1 : m_events.front().Id;
    if (first > after + 1) {
        missed += first - after - 1;
        after = first - 1;
    }
    for (auto it = m_events.begin() + static_cast<std::ptrdiff_t>(after + 1 - first);
         it != m_events.end() && events.size() < max; ++it) {
        events.push_back(*it);
    }
    return true;
}

uint64_t CEventBacklog::LastId() const {
    std::lock_guard lock(m_mutex);
    return m_last;
}

void CEventBacklog::Close() {
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
    m_more.notify_all();
}
