#include "CliSignals.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <exception>
#include <filesystem>

#include "download/CompressFlashFile.h"

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

void CStopSignals::AddCleanupSource(const std::string& sourcePath) {
    try {
        std::lock_guard lock(m_cleanupMutex);
        m_cleanup.push_back(sourcePath);
    } catch (...) {
        // without memory for the name the file's temporary .cp64 may stay behind a second signal
    }
}

int CStopSignals::RemoveTemporaryCompressedFiles(const std::vector<std::string>& sources) {
    // CompressFlashFile writes ".<name>.cp64.tmp-<pid>-<n>" beside the final .cp64 and renames it
    // when complete; only this process's are removed.
    namespace fs = std::filesystem;
    int removed = 0;
    for (const std::string& source : sources) {
        const fs::path final = CompressedFilePath(source);
        const std::string prefix =
            "." + final.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-";
        const fs::path dir = final.has_parent_path() ? final.parent_path() : fs::path(".");
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->path().filename().string().rfind(prefix, 0) == 0 && ::unlink(it->path().c_str()) == 0) {
                ++removed;
            }
        }
    }
    return removed;
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
