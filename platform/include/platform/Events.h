// Manual-reset events and a wait on several of them, for worker threads and their owners.
//
// An event stays signalled from Set() until Reset(); every waiter sees it. WaitForAny() blocks on
// a condition variable (no polling) until one of the given events is signalled or the time-out
// runs out. All operations are thread-safe; an event must outlive every wait that names it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <initializer_list>
#include <mutex>
#include <span>
#include <vector>

namespace platform {

// Wait without a time limit.
inline constexpr std::chrono::milliseconds kInfinite = std::chrono::milliseconds::max();
// What WaitForAny() and Wait() return when the time-out ran out.
inline constexpr int kWaitTimeout = -1;

namespace detail {
struct Waiter;
}

class ManualResetEvent {
public:
    explicit ManualResetEvent(bool initiallySet = false) : m_set(initiallySet) {}
    ~ManualResetEvent() = default;
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // Blocks until the event is signalled (returns 0) or the time-out ran out (kWaitTimeout).
    int Wait(std::chrono::milliseconds timeout = kInfinite);

private:
    friend int WaitForAny(std::span<ManualResetEvent* const>, std::chrono::milliseconds);
    mutable std::mutex m_mutex;
    bool m_set;
    std::vector<detail::Waiter*> m_waiters;
};

// Returns the index of the first signalled event in the order given (the earlier one wins when
// several are signalled), or kWaitTimeout. An empty list waits for the time-out alone.
int WaitForAny(std::span<ManualResetEvent* const> events, std::chrono::milliseconds timeout = kInfinite);
inline int WaitForAny(std::initializer_list<ManualResetEvent*> events,
                      std::chrono::milliseconds timeout = kInfinite) {
    return WaitForAny(std::span<ManualResetEvent* const>(events.begin(), events.size()), timeout);
}

} // namespace platform
