#include "Cli.h"

#include "CliCommands.h"
#include "CliExitStatus.h"
#include "CliOptions.h"
#include "CliStation.h"
#include "download/TargetConnection.h"

int RunCli(const std::vector<std::string>& args, CStopSignals& signals, std::FILE* out, std::FILE* err,
           bool interactive) {
    TS_CLI_OPTIONS options;
    std::string error;
    if (!ParseCommandLine(args, options, error)) {
        std::fprintf(err, "vandrel-cli: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    if (options.Command == ECliCommand::Help) {
        std::fputs(UsageText(), out);
        return EXIT_OK;
    }
    if (options.Command == ECliCommand::Version) {
        const std::string version = ModuleFileVersion();
        std::fprintf(out, "vandrel-cli %s\n", version.empty() ? "(no version block)" : version.c_str());
        return EXIT_OK;
    }
    if (UsesStation(options)) {
        return RunStation(options, signals, out, err, interactive);
    }
    return RunPortCommand(options, signals, out, err, interactive);
}
