// The events of the stream: every station event gets the next id and is kept in a bounded
// backlog (a number of events and of bytes, whichever is reached first drops the oldest). A
// stream client reads from its own position and waits for more; it is never waited for. A
// client whose position fell out of the backlog is told how many events it missed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct TS_BACKLOG_EVENT {
    uint64_t Id = 0;
    std::string Data; // one JSON object, no line end
};

class CEventBacklog {
public:
    CEventBacklog(std::size_t maxEvents, std::size_t maxBytes);

    // Keeps an event; returns its id (1, 2, ...).
    uint64_t Append(std::string data);
    // The events after id `after` (at most `max`); waits up to timeout when there are none.
    // missed: how many events after `after` are no longer held (or never were: an id from
    // before a restart of the service counts as everything missed). False once closed.
    bool Read(uint64_t after, std::vector<TS_BACKLOG_EVENT>& events, uint64_t& missed,
              std::chrono::milliseconds timeout, std::size_t max = 256);
    uint64_t LastId() const;
    void Close();

private:
    const std::size_t m_maxEvents;
    const std::size_t m_maxBytes;
    mutable std::mutex m_mutex;
    std::condition_variable m_more;
    std::deque<TS_BACKLOG_EVENT> m_events;
    std::size_t m_bytes = 0;
    uint64_t m_last = 0;
    bool m_closed = false;
};
