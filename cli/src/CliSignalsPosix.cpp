// Ctrl-C, SIGTERM and SIGHUP for vandrel-cli on POSIX: the signals blocked in every thread and
// taken by the watcher thread (sigwait). What a stop does is in CliSignals.cpp.
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "CliSignals.h"

namespace {
// A signal the watcher sends itself to end its wait when the program ends normally.
constexpr int kWakeSignal = SIGUSR2;

// What the watcher takes: blocked in every thread, waited for in its own.
sigset_t WatchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, kWakeSignal);
    return set;
}
} // namespace

void CStopSignals::WriteStderr(const char* text) {
    const ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}

CStopSignals::~CStopSignals() {
    if (m_watcher.joinable()) {
        ::pthread_kill(m_watcher.native_handle(), kWakeSignal);
        m_watcher.join();
    }
}

void CStopSignals::Install() {
    if (m_installed) {
        return;
    }
    m_installed = true;
    std::signal(SIGPIPE, SIG_IGN); // a closed pipe or socket is an error to report, not death
    const sigset_t set = WatchedSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_watcher = std::thread([this] { Watch(); });
}

void CStopSignals::Watch() {
    const sigset_t set = WatchedSignals();
    for (;;) {
        int sig = 0;
        if (::sigwait(&set, &sig) != 0) {
            continue;
        }
        if (sig == kWakeSignal) {
            return;
        }
        if (m_stop.load()) {
            WriteStderr("\nvandrel-cli: stopped at once; the flash being written is incomplete\n");
            try {
                std::vector<std::string> sources;
                {
                    std::lock_guard lock(m_cleanupMutex);
                    sources = m_cleanup;
                }
                RemoveTemporaryCompressedFiles(sources);
            } catch (...) {
            }
            ::_exit(128 + sig);
        }
        WriteStderr(sig == SIGINT ? "\nvandrel-cli: interrupted; stopping at the next block (Ctrl-C again to "
                                    "quit at once)\n"
                    : sig == SIGHUP ? "\nvandrel-cli: hung up; stopping at the next block\n"
                                    : "\nvandrel-cli: terminated; stopping at the next block\n");
        RequestStop(sig);
    }
}
