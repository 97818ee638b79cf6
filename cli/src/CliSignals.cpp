#include "CliSignals.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <exception>


namespace {
// A signal the watcher sends itself to end its wait when the program ends normally.
constexpr int kWakeSignal = SIGUSR2;

void WriteStderr(const char* text) {
    const ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}
} // namespace

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
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, kWakeSignal);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_watcher = std::thread([this] { Watch(); });
}

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
    if (m_hook) {
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
}

void CStopSignals::Watch() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, kWakeSignal);
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
