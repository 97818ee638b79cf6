#include "CliConsole.h"

#include <sys/ioctl.h>
#include <unistd.h>

bool PrepareConsoleOutput() {
    return ::isatty(STDOUT_FILENO) == 1;
}

int ConsoleColumns(std::FILE* stream) {
    winsize ws{};
    return ::ioctl(::fileno(stream), TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
}
