#include "download/ElapsedTimer.h"

#include <chrono>
#include <cstdio>

namespace {
int64_t MonotonicSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

CElapsedTimer::CElapsedTimer() : m_clock(MonotonicSeconds) {}

CElapsedTimer::CElapsedTimer(Clock clock) : m_clock(clock ? std::move(clock) : Clock(MonotonicSeconds)) {}

void CElapsedTimer::Start() {
    m_running = true;
    m_start = m_end = m_clock();
}

void CElapsedTimer::Stop() {
    if (m_running) {
        m_end = m_clock();
    }
    m_running = false;
}

int64_t CElapsedTimer::ElapsedSeconds() {
    if (m_running) {
        m_end = m_clock();
    }
    const int64_t elapsed = m_end - m_start;
    return elapsed < 0 ? 0 : elapsed;
}

void CElapsedTimer::Elapsed(int& hours, int& minutes, int& seconds) {
    const int64_t elapsed = ElapsedSeconds();
    hours = static_cast<int>(elapsed / 3600);
    minutes = static_cast<int>(elapsed / 60 - static_cast<int64_t>(hours) * 60);
    seconds = static_cast<int>(elapsed % 60);
}

std::string CElapsedTimer::Text() {
    return Format(ElapsedSeconds());
}

std::string CElapsedTimer::Format(int64_t seconds) {
    if (seconds < 0) {
        seconds = 0;
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02lld:%02d:%02d", static_cast<long long>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return buf;
}
