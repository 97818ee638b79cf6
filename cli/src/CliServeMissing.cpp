// vandrel-cli without the service (a build without service/): serve says so.
#include "CliExitStatus.h"
#include "CliOptions.h"
#include "CliServe.h"

int ParseServeOption(const std::string&, const std::optional<std::string>&, const std::vector<std::string>&,
                     std::size_t&, TS_CLI_OPTIONS&, std::string&) {
    return 0;
}

bool FinishServeCommand(const std::vector<std::string>&, TS_CLI_OPTIONS&, std::string&) {
    return true;
}

int RunServe(const TS_CLI_OPTIONS&, CStopSignals&, std::FILE*, std::FILE* err) {
    std::fputs("vandrel-cli: serve: this build has no service\n", err);
    return EXIT_USAGE;
}
