// vandrel-cli: every job of the flash download tool from a terminal.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Cli.h"
#include "CliSignals.h"

int main(int argc, char** argv) {
    CStopSignals signals;
    signals.Install(); // before any thread starts, so that every thread leaves the signals to it
    const int status = RunCatching(
        [&] {
            const std::vector<std::string> args(argv + 1, argv + argc);
            return RunCli(args, signals, stdout, stderr, ::isatty(STDOUT_FILENO) == 1);
        },
        stderr);
    std::fflush(stdout);
    return status;
}
