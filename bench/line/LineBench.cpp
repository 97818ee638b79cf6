// What a production line costs the handsets: 16 virtual handsets (UART paced at 115200 bit/s,
// the flash writer already running) each receive the same 256 KiB image from one
// `vandrel-cli --json` process, three ways:
//
//   plain     download FILE                      no job, no serial, no record
//   sqlite    --job FILE run                     a serial for every handset, SQLite records
//   postgres  --job FILE run --store URL         the same on a PostgreSQL server of its own
//   large     --job FILE run --store STORE       the same on the store $VANDREL_LINE_BENCH_STORE
//                                                (a line's year made by store_fill; skipped unset)
//
// For each handset, efficiency = image bytes / (its elapsed seconds x rate / 10), its elapsed time
// being that of its `end` event (the job's extra steps included: flash parts asked, the serial
// field read back, the serial written). Counters: the mean, min and max over the handsets.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <numeric>
#include <sstream>
#include <vector>

#include "CliRunner.h"
#include "PgServer.h"
#include "RandomImage.h"
#include "SimHarness.h"
#include "TempDir.h"
#include "line/Sha256.h"

namespace {

constexpr int kHandsets = 16;
constexpr uint32_t kImageBytes = 256u << 10;
constexpr uint32_t kRate = 115200;

enum EMode { PLAIN, SQLITE, POSTGRES, LARGE };

void Run(benchmark::State& state, EMode mode) {
    std::unique_ptr<CPgServer> server;
    if (mode == POSTGRES) {
        server = std::make_unique<CPgServer>();
        if (!server->Started()) {
            state.SkipWithError(server->Problem().c_str());
            return;
        }
    }
    const char* large = std::getenv("VANDREL_LINE_BENCH_STORE");
    if (mode == LARGE && !large) {
        state.SkipWithError(
            "VANDREL_LINE_BENCH_STORE names no store (build/bench/line/store_fill makes one)");
        return;
    }
    CTempDir dir;
    const std::string image = dir.File("vbench.m0");
    testsupport::MakeRandomImage(image, 0x00006000, kImageBytes);
    std::string sha, error;
    Sha256OfFile(image, sha, error);
    std::ofstream(dir.File("bench.toml"))
        << "name = \"bench\"\nverify = false\n[[image]]\npath = \"vbench.m0\"\n"
        << "sha256 = \"" << sha << "\"\n[serial]\naddress = 0x0037F000\n"
        << "format = \"R3700-{serial:08}\"\nfirst = 1\nlast = 99999999\n";
    vsim::SSimulatorOptions options;
    options.startRunner = vsim::ERunner::FlashWriter;
    options.lineRate = kRate;
    std::vector<std::unique_ptr<testsupport::CSimHarness>> sims;
    std::vector<std::string> args = {"--json", "--baud", "115200"};
    for (int k = 0; k < kHandsets; ++k) {
        sims.push_back(std::make_unique<testsupport::CSimHarness>(testsupport::ESimLink::Uart, options));
        args.insert(args.end(), {"--port", sims.back()->Path()});
    }
    if (mode == PLAIN) {
        args.insert(args.end(), {"download", image});
    } else {
        args.insert(args.end(), {"--job", dir.File("bench.toml"), "--store",
                                 mode == SQLITE  ? "sqlite:" + dir.File("records.db")
                                 : mode == LARGE ? std::string(large)
                                                 : server->Url(),
                                 "--create-store", "run"});
    }
    clitest::CCliRunner cli(dir.File("config"));
    std::vector<double> efficiency;
    for (auto _ : state) {
        const auto r = cli.Run(args, std::chrono::seconds(600));
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
            if (!j.is_discarded() && j.value("event", "") == "end") {
                if (j.value("result", "") != "ok") {
                    state.SkipWithError(line.c_str());
                    return;
                }
                efficiency.push_back(kImageBytes / (j.value("seconds", 0.0) * kRate / 10.0));
            }
        }
        if (r.status != 0 || efficiency.size() != kHandsets) {
            state.SkipWithError(("vandrel-cli exited " + std::to_string(r.status) + ": " + r.err).c_str());
            return;
        }
        state.SetIterationTime(r.seconds);
    }
    state.counters["eff_mean"] = std::accumulate(efficiency.begin(), efficiency.end(), 0.0) / kHandsets;
    state.counters["eff_min"] = *std::min_element(efficiency.begin(), efficiency.end());
    state.counters["eff_max"] = *std::max_element(efficiency.begin(), efficiency.end());
}

void BM_Plain(benchmark::State& state) {
    Run(state, PLAIN);
}
void BM_JobSqlite(benchmark::State& state) {
    Run(state, SQLITE);
}
void BM_JobPostgres(benchmark::State& state) {
    Run(state, POSTGRES);
}
void BM_JobLargeStore(benchmark::State& state) {
    Run(state, LARGE);
}
BENCHMARK(BM_Plain)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_JobSqlite)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_JobPostgres)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_JobLargeStore)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
