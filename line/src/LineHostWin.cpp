// The line's owner tokens, default store and program name on Windows: a process is known by its
// id and its creation time (an id is given again after the process ends, never with the same
// creation time), the store lives in the user's local application data.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "LineHost.h"
#include "line/RecordStore.h"

namespace {

std::string Utf8(const wchar_t* text, int length) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
    }
    return out;
}

// The creation time of a process (100 ns since 1601) as text; empty when it cannot be read.
std::string CreationTime(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return {};
    }
    return std::to_string((static_cast<unsigned long long>(created.dwHighDateTime) << 32) |
                          created.dwLowDateTime);
}

std::string Folder(const wchar_t* variable) {
    wchar_t value[MAX_PATH * 2];
    const DWORD n = ::GetEnvironmentVariableW(variable, value, MAX_PATH * 2);
    return n > 0 && n < MAX_PATH * 2 ? Utf8(value, static_cast<int>(n)) : std::string();
}

} // namespace

std::string DefaultStorePath() {
    std::string base = Folder(L"LOCALAPPDATA");
    if (base.empty()) {
        base = Folder(L"APPDATA");
    }
    if (base.empty()) {
        wchar_t temp[MAX_PATH + 1];
        const DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
        base = n > 0 ? Utf8(temp, static_cast<int>(n)) : std::string(".");
        if (!base.empty() && (base.back() == '\\' || base.back() == '/')) {
            base.pop_back();
        }
    }
    return base + "\\Vandrel\\records.db";
}

std::string ProgramFileName() {
    wchar_t path[MAX_PATH * 4];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::string name = n > 0 && n < MAX_PATH * 4 ? Utf8(path, static_cast<int>(n)) : std::string("vandrel");
    name = name.substr(name.find_last_of("\\/") + 1);
    if (name.size() > 4 && _stricmp(name.c_str() + name.size() - 4, ".exe") == 0) {
        name.resize(name.size() - 4);
    }
    return name;
}

std::string ProcessOwnerToken() {
    return HostName() + "/" + std::to_string(::GetCurrentProcessId()) +
           "/windows:" + CreationTime(::GetCurrentProcess());
}

bool ProcessStillRuns(unsigned long pid, const std::string& since) {
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) {
        // no such process; one that exists but may not be looked at is someone else's, alive
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    }
    DWORD status = 0;
    const bool running = ::GetExitCodeProcess(process, &status) && status == STILL_ACTIVE;
    const std::string created = CreationTime(process);
    ::CloseHandle(process);
    if (!running) {
        return false;
    }
    // the id may have been given to another process since: the creation time tells
    const std::size_t colon = since.rfind(':');
    return colon == std::string::npos || created.empty() || created == since.substr(colon + 1);
}
