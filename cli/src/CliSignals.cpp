// What a stop does on every system: the flag, the signal it came with, the exit status and the
// interrupt hook. How a stop arrives is the system's file: CliSignalsPosix.cpp (a sigwait
// thread) or CliSignalsWin.cpp (the console control handler).
#include "CliSignals.h"

#include <csignal>
#include <exception>

int CStopSignals::ExitStatus() const {
    const int sig = m_signal.load();
    return 128 + (sig ? sig : SIGINT);
}

void CStopSignals::SetInterruptHook(std::function<void()> hook) {
    std::lock_guard lock(m_mutex);
    m_hook = std::move(hook);
}

void CStopSignals::RequestStop(int signal) {
    int expected = 0;
    m_signal.compare_exchange_strong(expected, signal);
    m_stop.store(true);
    // under the lock, so that the owner of the hook cannot go away while it runs
    std::lock_guard lock(m_mutex);
    if (!m_hook) {
        return;
    }
    // The hook runs on the watcher thread or the console's handler thread: what it throws is
    // said and goes no further, and the flag stays set, so the run still stops at its next block.
    try {
        m_hook();
    } catch (const std::exception& e) {
        WriteStderr("vandrel-cli: stopping failed: ");
        WriteStderr(e.what());
        WriteStderr("\n");
    } catch (...) {
        WriteStderr("vandrel-cli: stopping failed\n");
    }
}
