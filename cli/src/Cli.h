// vandrel-cli as a whole: the command line parsed, then a single-port command (CliCommands) or the
// station (CliStation). The only file that knows both.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "CliSignals.h"

// Runs the program on args (argv without the program name). out and err are stdout and stderr (or
// files in tests); interactive: out is a terminal. Returns the exit status.
int RunCli(const std::vector<std::string>& args, CStopSignals& signals, std::FILE* out, std::FILE* err,
           bool interactive);

// Runs run and returns its exit status; nothing that it throws ends the program without a word: a
// failure no command expects (out of memory, a system error) is said on err, with exit status 1.
int RunCatching(const std::function<int()>& run, std::FILE* err);
