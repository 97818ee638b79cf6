// vandrel-cli's single-port commands: the connection the GUI makes (open, wait for the target's
// answer, target status, flash writer when the boot loader runs) and each job on the engines.
#pragma once

#include <cstdio>
#include <string>

#include "CliOptions.h"
#include "CliSignals.h"

// Runs options.Command on the one port of options (UsesStation(options) does not hold), or a
// command that opens no port (compress, ports, udev-rule). Returns the exit status.
int RunPortCommand(const TS_CLI_OPTIONS& options, CStopSignals& signals, std::FILE* out, std::FILE* err,
                   bool interactive);
