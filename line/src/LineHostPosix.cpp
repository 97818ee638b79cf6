// The line's owner tokens, default store and program name on Linux: /proc and the XDG folders.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "LineHost.h"
#include "line/RecordStore.h"

namespace {

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Field 22 of /proc/PID/stat: the start time in clock ticks after boot; empty when gone.
std::string StartTick(long pid) {
    const std::string stat = ReadFirstLine("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')'); // the command name may hold spaces and parentheses
    if (close == std::string::npos) {
        return {};
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int k = 3; k <= 22 && fields >> field; ++k) {
        if (k == 3 && (field == "Z" || field == "X")) {
            return {}; // a process that has ended, not yet reaped
        }
        if (k == 22) {
            return field;
        }
    }
    return {};
}

} // namespace

std::string DefaultStorePath() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.local/share";
    } else {
        base = "/tmp";
    }
    return base + "/vandrel/records.db";
}

std::string ProgramFileName() {
    char path[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    const std::string name = n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("vandrel");
    return name.substr(name.rfind('/') + 1);
}

std::string ProcessOwnerToken() {
    const long pid = static_cast<long>(::getpid());
    return HostName() + "/" + std::to_string(pid) + "/" + ReadFirstLine("/proc/sys/kernel/random/boot_id") +
           ":" + StartTick(pid);
}

bool ProcessStillRuns(unsigned long pid, const std::string& since) {
    const std::size_t colon = since.rfind(':');
    const std::string boot = colon == std::string::npos ? since : since.substr(0, colon);
    if (boot != ReadFirstLine("/proc/sys/kernel/random/boot_id")) {
        return false; // the host was restarted since
    }
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        return false;
    }
    // the pid may have been given to another process since: the start tick tells
    return colon == std::string::npos || StartTick(static_cast<long>(pid)) == since.substr(colon + 1);
}
