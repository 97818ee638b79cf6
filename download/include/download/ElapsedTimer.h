// A stopwatch in whole seconds, shown as "%02d:%02d:%02d" (hours are not wrapped at 24).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class CElapsedTimer {
public:
    // Seconds from any fixed origin; the default is the monotonic clock. Tests give their own.
    using Clock = std::function<int64_t()>;

    CElapsedTimer();
    explicit CElapsedTimer(Clock clock);

    void Start();
    // Freezes the elapsed time at its current value.
    void Stop();
    bool IsRunning() const { return m_running; }

    // Seconds between Start and now (while running) or Stop; 0 before the first Start and for a
    // clock that went backwards.
    int64_t ElapsedSeconds();
    void Elapsed(int& hours, int& minutes, int& seconds);
    // "hh:mm:ss"
    std::string Text();

    static std::string Format(int64_t seconds);

private:
    Clock m_clock;
    bool m_running = false;
    int64_t m_start = 0;
    int64_t m_end = 0;
};
