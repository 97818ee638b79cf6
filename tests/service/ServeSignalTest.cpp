// vandrel-cli serve ended by each of its signals while a handset is being flashed: the handset
// stops at a block boundary, its record is completed (nothing left open) and the program ends
// with 128 + the signal. The event stream is how the test knows the download runs.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <filesystem>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "CliRunner.h"
#include "SimHarness.h"
#include "line/RecordStore.h"

namespace {

struct TS_SIGNAL_CASE {
    const char* name;
    int signal;
};

// a program phase that has acknowledged some bytes, not all
const std::regex kProgramRuns(R"re("event":"progress","phase":"program","done":[1-9][0-9]*,"total":)re");

class ServeSignals : public ::testing::TestWithParam<TS_SIGNAL_CASE> {};

TEST_P(ServeSignals, StopEveryHandsetAndCompleteEveryRecord) {
    vsim::SSimulatorOptions options;
    options.lineRate = 115200; // a download that lasts
    testsupport::CSimHarness sim(testsupport::ESimLink::Uart, options);
    const std::string store = sim.Dir() + "/records.db";
    std::string made;
    ASSERT_TRUE(OpenRecordStore(store, made, STORE_CREATE)) << made; // a job with serials makes none
    clitest::CCliRunner cli(sim.Dir() + "/config");
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    cli.SetStdout(out[1]);
    bool stopped = false;
    std::string seen;
    std::thread watcher;
    const auto result = cli.Run(
        {"--port", sim.UartPath(), "--job", VANDREL_SAMPLES_DIR "/r3700-line.toml", "--store", store, "serve",
         "--listen", "127.0.0.1:0"},
        std::chrono::seconds(120), [&](pid_t pid) {
            ::close(out[1]);
            watcher = std::thread([&, pid] {
                // the address it prints, then the events until the program phase runs
                char buffer[512];
                std::string printed;
                std::size_t at = std::string::npos;
                for (ssize_t n; printed.find('\n', at == std::string::npos ? 0 : at) == std::string::npos &&
                                (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
                    printed.append(buffer, static_cast<std::size_t>(n));
                    at = printed.find("127.0.0.1:");
                }
                ::close(out[0]);
                if (at == std::string::npos) {
                    ::kill(pid, SIGKILL);
                    return;
                }
                const int port = std::stoi(printed.substr(at + 10));
                httplib::Client client("127.0.0.1", port);
                client.set_read_timeout(60, 0);
                client.Get("/api/v1/events", httplib::Headers{{"Last-Event-ID", "0"}},
                           [&](const char* data, std::size_t size) {
                               seen.append(data, size);
                               if (std::regex_search(seen, kProgramRuns)) {
                                   stopped = ::kill(pid, GetParam().signal) == 0;
                                   return false;
                               }
                               return true;
                           });
            });
        });
    watcher.join();
    ASSERT_TRUE(stopped) << seen.substr(0, 2000) << result.err;
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 128 + GetParam().signal) << result.err;
    std::string error;
    auto records = OpenRecordStore(store, error);
    ASSERT_TRUE(records) << error;
    std::vector<TS_ATTEMPT_RECORD> attempts;
    ASSERT_TRUE(records->Query({}, attempts, error)) << error;
    ASSERT_FALSE(attempts.empty());
    for (const TS_ATTEMPT_RECORD& attempt : attempts) {
        EXPECT_NE(attempt.Result, RESULT_OPEN) << attempt.Id;
        EXPECT_FALSE(attempt.Ended.empty()) << attempt.Id;
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, ServeSignals,
                         ::testing::Values(TS_SIGNAL_CASE{"SIGTERM", SIGTERM},
                                           TS_SIGNAL_CASE{"SIGINT", SIGINT},
                                           TS_SIGNAL_CASE{"SIGHUP", SIGHUP}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
