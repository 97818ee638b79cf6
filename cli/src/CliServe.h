// vandrel-cli serve: the station as a long-lived service (service/: the HTTP API and the
// dashboard). The station runs a job exactly as `--job FILE --json --watch run` does; its event
// lines go to the service instead of stdout.
//
//   vandrel-cli --port /dev/ttyUSB0 --com 2 [--job FILE] serve [--jobs DIR] [--listen ADDR:PORT]
//               [--tokens FILE] [--allow-origin ORIGIN]...
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "CliSignals.h"

struct TS_CLI_OPTIONS;

struct TS_CLI_SERVE_OPTIONS {
    std::string Listen;  // ADDR:PORT, ADDR or :PORT; empty: 127.0.0.1 and the default port
    std::string JobsDir; // --jobs DIR
    std::string Tokens;  // --tokens FILE
    std::vector<std::string> AllowedOrigins;
};

// An option of serve at args[i] (as ParseLineOption): 1 taken, 0 not one of serve's, -1 refused.
int ParseServeOption(const std::string& name, const std::optional<std::string>& inlineValue,
                     const std::vector<std::string>& args, std::size_t& i, TS_CLI_OPTIONS& o,
                     std::string& error);
// serve's positional arguments (none) and what it needs; false with error.
bool FinishServeCommand(const std::vector<std::string>& positional, TS_CLI_OPTIONS& o, std::string& error);
// Serves until a signal; every handset finished or stopped at a block boundary, every record
// completed. Exit status: 2 for usage errors, 128 + the signal when stopped.
int RunServe(const TS_CLI_OPTIONS& o, CStopSignals& signals, std::FILE* out, std::FILE* err);
