// vandrel-cli's production line: `job check FILE`, `history`, and `--job FILE run` (the station
// with a job: its images, writer and verify, a serial for every handset, a record of every
// attempt). The options and commands of the line live here, apart from the single-port commands
// and the station view; CliOptions and Cli call in through the few functions below.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "CliSignals.h"

struct TS_CLI_OPTIONS;

struct TS_CLI_LINE_OPTIONS {
    std::string JobPath;       // --job FILE (run); job check FILE
    std::string Store;         // --store URL|PATH
    std::string Station;       // --station NAME
    std::string Operator;      // --operator NAME
    bool CreateStore = false;  // --create-store (run)
    bool AdoptSerials = false; // --adopt-serials (run)
    // history
    std::string JobName; // history --job NAME
    std::string Serial;
    std::string Pool; // history --pool NAME: that pool's serials and their state
    std::string Port;
    std::string Result;
    std::string Since;
    std::string Until;
    int64_t ShowId = 0;
    int Limit = 0;
    bool Csv = false;
    bool WithLogs = false; // history --with-logs: --csv and --json carry each attempt's log
    // store archive --before DATE FILE
    std::string Before;
    std::string ArchivePath;
};

// An option of the line at args[i] (name without its "=value", the value when given inline).
// 1: taken (i moved past its value); 0: not one of the line's; -1: refused (error set).
int ParseLineOption(const std::string& name, const std::optional<std::string>& inlineValue,
                    const std::vector<std::string>& args, std::size_t& i, TS_CLI_OPTIONS& o,
                    std::string& error);
// The positional arguments of the line's commands; false with error.
bool FinishLineCommand(const std::vector<std::string>& positional, TS_CLI_OPTIONS& o, std::string& error);
// Runs job, history, run or store.
int RunLineCommand(const TS_CLI_OPTIONS& o, CStopSignals& signals, std::FILE* out, std::FILE* err,
                   bool interactive);
// history (CliHistory.cpp)
int RunHistory(const TS_CLI_OPTIONS& o, std::FILE* out, std::FILE* err);
