#include "platform/Events.h"

#include <algorithm>
#include <optional>

namespace platform {

namespace detail {
// One blocked WaitForAny() call. It is registered with every event it waits on; Set() wakes it.
// Lock order: an event's mutex, then a waiter's mutex. A waiter never holds its own mutex while it
// takes an event's, and it unregisters under each event's mutex before it is destroyed, so Set()
// never touches a waiter that has gone.
struct Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
};
} // namespace detail

void ManualResetEvent::Set() {
    std::lock_guard lock(m_mutex);
    m_set = true;
    for (detail::Waiter* waiter : m_waiters) {
        std::lock_guard waiterLock(waiter->mutex);
        waiter->woken = true;
        waiter->cv.notify_one();
    }
}

void ManualResetEvent::Reset() {
    std::lock_guard lock(m_mutex);
    m_set = false;
}

bool ManualResetEvent::IsSet() const {
    std::lock_guard lock(m_mutex);
    return m_set;
}

int ManualResetEvent::Wait(std::chrono::milliseconds timeout) {
    ManualResetEvent* self = this;
    return WaitForAny(std::span<ManualResetEvent* const>(&self, 1), timeout) == 0 ? 0 : kWaitTimeout;
}

int WaitForAny(std::span<ManualResetEvent* const> events, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    if (timeout != kInfinite) {
        const auto now = Clock::now();
        const auto room =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
        deadline = now + std::clamp(timeout, std::chrono::milliseconds(0), room);
    }

    detail::Waiter waiter;
    for (ManualResetEvent* event : events) {
        std::lock_guard lock(event->m_mutex);
        event->m_waiters.push_back(&waiter);
    }

    int result = kWaitTimeout;
    for (;;) {
        // Registered first, checked second: a Set() between the two still wakes us.
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i]->IsSet()) {
                result = static_cast<int>(i);
                break;
            }
        }
        if (result != kWaitTimeout) {
            break;
        }
        std::unique_lock lock(waiter.mutex);
        if (deadline) {
            if (!waiter.cv.wait_until(lock, *deadline, [&] { return waiter.woken; })) {
                break; // the time-out ran out with nothing signalled
            }
        } else {
            waiter.cv.wait(lock, [&] { return waiter.woken; });
        }
        waiter.woken = false;
    }

    for (ManualResetEvent* event : events) {
        std::lock_guard lock(event->m_mutex);
        auto& list = event->m_waiters;
        list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
    }
    return result;
}

} // namespace platform
