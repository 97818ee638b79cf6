// What every flash tool job is given besides its inputs: where it shows itself, where its log
// lines go, and the flag that stops it.
//
// Stopping: the owner of the flag sets it from any thread (a dialog that closes, the CLI's Ctrl-C
// handler). The job looks at it before each command it sends and ends there, reporting that it was
// stopped; a command already on the wire is waited for. A flag left set stops the next job before
// its first command, so the owner clears it before starting a new one. To end the wait for a
// command in flight as well, the owner may also call COstraMonitor::CancelWaits(true) (and
// CancelWaits(false) once the job has ended).
#pragma once

#include <atomic>

#include "download/JobObserver.h"

struct TS_JOB_HOOKS {
    IJobObserver* Observer = nullptr;        // may be null
    ILogSink* Log = nullptr;                 // may be null
    const std::atomic<bool>* Stop = nullptr; // may be null: the job runs to its end
};

inline bool StopRequested(const TS_JOB_HOOKS& hooks) {
    return hooks.Stop != nullptr && hooks.Stop->load(std::memory_order_acquire);
}
