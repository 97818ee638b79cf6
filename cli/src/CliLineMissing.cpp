// A build without the production line (the Windows build for now: no SQLite, PostgreSQL or TOML
// libraries are cross-built here): the line's options are unknown and its commands say so.
#include "CliExitStatus.h"
#include "CliLine.h"

namespace {

const char* const kNoLine = "job files, serial numbers and the record store are not part of this build";

} // namespace

int ParseLineOption(const std::string&, const std::optional<std::string>&, const std::vector<std::string>&,
                    std::size_t&, TS_CLI_OPTIONS&, std::string&) {
    return 0;
}

bool FinishLineCommand(const std::vector<std::string>&, TS_CLI_OPTIONS&, std::string& error) {
    error = kNoLine;
    return false;
}

int RunLineCommand(const TS_CLI_OPTIONS&, CStopSignals&, std::FILE*, std::FILE* err, bool) {
    std::fprintf(err, "vandrel-cli: %s\n", kNoLine);
    return EXIT_USAGE;
}

int RunHistory(const TS_CLI_OPTIONS&, std::FILE*, std::FILE* err) {
    std::fprintf(err, "vandrel-cli: %s\n", kNoLine);
    return EXIT_USAGE;
}
