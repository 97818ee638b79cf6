#include "Cli.h"

#include "CliCommands.h"
#include "CliExitStatus.h"
#include "CliLine.h"
#include "CliOptions.h"
#include "CliServe.h"
#include "CliStation.h"
#include "download/TargetConnection.h"

#include <exception>
#include <new>

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
    // a second signal removes the temporary .cp64 of a compression it cuts short
    for (const std::string& file : options.Files) {
        signals.AddCleanupSource(file);
    }
    if (!options.WriterPath.empty()) {
        signals.AddCleanupSource(options.WriterPath);
    }
    if (options.Command == ECliCommand::Job || options.Command == ECliCommand::History ||
        options.Command == ECliCommand::Run || options.Command == ECliCommand::Store) {
        return RunLineCommand(options, signals, out, err, interactive);
    }
    if (options.Command == ECliCommand::Serve) {
        return RunServe(options, signals, out, err);
    }
    if (UsesStation(options)) {
        return RunStation(options, signals, out, err, interactive);
    }
    return RunPortCommand(options, signals, out, err, interactive);
}

int RunCatching(const std::function<int()>& run, std::FILE* err) {
    try {
        return run();
    } catch (const std::bad_alloc&) {
        std::fputs("vandrel-cli: out of memory; the job did not finish\n", err);
    } catch (const std::exception& e) {
        std::fprintf(err, "vandrel-cli: unexpected failure: %s; the job did not finish\n", e.what());
    } catch (...) {
        std::fputs("vandrel-cli: unexpected failure; the job did not finish\n", err);
    }
    std::fflush(err);
    return EXIT_TARGET;
}
