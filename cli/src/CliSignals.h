// Ctrl-C, SIGTERM and SIGHUP for vandrel-cli.
//
// The signals are blocked in every thread and taken by one watcher thread (sigwait), so that the
// reaction runs as ordinary code: the first signal sets the stop flag that the engines look at
// before each block, erase command or dump chunk, and calls the interrupt hook (which cancels a
// wait that could take long: an erase, the target poll, a memory read). SIGHUP (the terminal
// closed, the SSH session dropped) stops like SIGTERM. A second signal ends the program at once,
// after removing the temporary .cp64 files this process may be writing beside the flash files it
// was given (AddCleanupSource): a compression cut short leaves nothing behind.
//
// Install() must run before any other thread is started, so that they all inherit the mask.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CStopSignals {
public:
    CStopSignals() = default;
    ~CStopSignals();
    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;

    // Blocks SIGINT, SIGTERM and SIGHUP (and ignores SIGPIPE) and starts the watcher.
    void Install();

    // The flag the engines look at.
    const std::atomic<bool>& StopFlag() const { return m_stop; }
    bool Stopped() const { return m_stop.load(); }
    // The signal that stopped the program (SIGINT, SIGTERM, SIGHUP), 0 before.
    int Signal() const { return m_signal.load(); }
    // 128 + the signal, the exit status of a stopped run.
    int ExitStatus() const;

    // Called on the watcher thread at the first signal, after the flag was set. Setting another
    // hook (or none) waits for a hook that runs: the owner clears it before it goes away.
    void SetInterruptHook(std::function<void()> hook);
    // Sets the flag as a signal would (tests, and the watcher itself). What the hook throws is
    // written to stderr ("vandrel-cli: stopping failed: ...") and not passed on.
    void RequestStop(int signal);

    // A flash file the program may compress: on the second signal the temporary .cp64 this
    // process writes for it is removed before the program ends. Any thread.
    void AddCleanupSource(const std::string& sourcePath);
    // Removes the temporary .cp64 files of this process for the given sources (what the second
    // signal does); returns how many were removed.
    static int RemoveTemporaryCompressedFiles(const std::vector<std::string>& sources);

private:
    void Watch();
    // stderr without the C library's buffers (the watcher, the console's handler thread)
    static void WriteStderr(const char* text);

    std::atomic<bool> m_stop{false};
    std::atomic<int> m_signal{0};
    std::mutex m_mutex;
    std::function<void()> m_hook;
    std::thread m_watcher;
    std::mutex m_cleanupMutex;
    std::vector<std::string> m_cleanup;
    bool m_installed = false;
};
