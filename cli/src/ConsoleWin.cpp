// The Windows console for vandrel-cli: UTF-8 output (the texts are UTF-8), and virtual terminal
// sequences turned on where the console has them (Windows 10 and later, and wine's console), so
// that the progress line redraws in place. A console without them, a pipe or a file gets plain
// lines.
#include <windows.h>

#include <io.h>
#include <stdio.h>

#include "CliConsole.h"

bool PrepareConsoleOutput() {
    ::SetConsoleOutputCP(CP_UTF8);
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || out == nullptr || ::GetFileType(out) != FILE_TYPE_CHAR ||
        !::GetConsoleMode(out, &mode)) {
        return false; // a pipe, a file or NUL
    }
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
        return true;
    }
    return ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int ConsoleColumns(std::FILE* stream) {
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (h == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(h, &info)) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}
