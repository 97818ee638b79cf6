#include "CliConsole.h"

#include <unistd.h>

bool PrepareConsoleOutput() {
    return ::isatty(STDOUT_FILENO) == 1;
}
