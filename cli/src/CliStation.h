// vandrel-cli on the station: a command on several ports at once, --json and --watch.
//
// Three views of the same station events: on a terminal one self-updating line per port and a
// tally line; in a pipe plain lines prefixed with the port's label; with --json JSON Lines (the
// schema of docs/JSON.md) and nothing else on stdout. Each port's log goes to the --log file as
// one block labelled with the port, when its job ends. At the end a table, one row per job, and
// "summary: N succeeded, M failed".
#pragma once

#include <cstdio>
#include <string>

#include "CliOptions.h"
#include "CliSignals.h"

// Runs options.Command on every port of options (UsesStation(options) holds). Exit status: 0 when
// every job succeeded, 1 when any failed, 2 for usage errors (a port named twice, a file that
// does not read), 128 + the signal when stopped (not with --watch, which Ctrl-C ends).
int RunStation(const TS_CLI_OPTIONS& options, CStopSignals& signals, std::FILE* out, std::FILE* err,
               bool interactive);
