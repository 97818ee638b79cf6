// Ctrl-C, Ctrl-Break and closing the console window for vandrel-cli on Windows.
//
// The console control handler runs on a thread of its own that the system starts, so the reaction
// runs there as ordinary code, as the POSIX watcher's does: the first event sets the stop flag
// that the engines look at before each block and calls the interrupt hook; a second Ctrl-C ends
// the program at once. Closing the window (or logging off, or shutting down) gives the handler a
// few seconds before the system ends the process: the handler waits there until the run has
// stopped at its block boundary and the program has ended. The exit statuses are those of the
// POSIX build (130 for Ctrl-C, 143 for a close), so scripts see the same numbers. What a stop
// does is in CliSignals.cpp.
#include "CliSignals.h"

#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

CStopSignals* g_signals = nullptr;

void WriteStderr(const char* text) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written,
                nullptr);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    CStopSignals* signals = g_signals;
    if (signals == nullptr) {
        return FALSE;
    }
    const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    const int sig = interrupt ? SIGINT : SIGTERM;
    if (signals->Stopped() && interrupt) {
        WriteStderr("\nvandrel-cli: stopped at once; the flash being written is incomplete\n");
        ::ExitProcess(static_cast<UINT>(128 + sig));
    }
    if (!signals->Stopped()) {
        WriteStderr(interrupt ? "\nvandrel-cli: interrupted; stopping at the next block (Ctrl-C again to "
                                "quit at once)\n"
                              : "\nvandrel-cli: the console is closing; stopping at the next block\n");
        signals->RequestStop(sig);
    }
    if (!interrupt) {
        // The process ends when this handler returns: give the run its block boundary (the
        // system allows about 5 s) while main() finishes and exits.
        ::Sleep(4500);
    }
    return TRUE;
}

} // namespace

void CStopSignals::WriteStderr(const char* text) {
    ::WriteStderr(text);
}

CStopSignals::~CStopSignals() {
    if (m_installed) {
        ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
        g_signals = nullptr;
    }
}

void CStopSignals::Install() {
    if (m_installed) {
        return;
    }
    m_installed = true;
    g_signals = this;
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void CStopSignals::Watch() {}
