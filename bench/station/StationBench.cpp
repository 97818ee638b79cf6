// The station's cost per handset: N virtual handsets (UART paced at 115200 bit/s as
// `vandrel-sim --line-rate` paces it, the flash writer already running) each receive the same
// 256 KiB image from one `vandrel-cli --json` process. For each handset:
//
//   efficiency = payload bytes / (its elapsed seconds x rate / 10)     (10 bits a byte)
//
// its elapsed time being that of its `end` event (open, target answer, status, compress, erase,
// send). The CPU time is the vandrel-cli process's (user + system, from the kernel's accounting
// of the reaped child); the handsets run in this process and are not counted.
//
// BM_StationUsb: 8 handsets on USB sockets, unpaced: the total throughput of the station.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "CliRunner.h"
#include "RandomImage.h"
#include "SimHarness.h"
#include "TempDir.h"

namespace {

constexpr uint32_t kImageBytes = 256u << 10;
constexpr uint32_t kImageAddress = 0x00006000;
constexpr uint32_t kRate = 115200;

std::string MakeImage(const std::string& path) {
    return testsupport::MakeRandomImage(path, kImageAddress, kImageBytes);
}

double ChildCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct TS_RUN {
    bool ok = false;
    std::string error;
    double wall = 0;
    double cpu = 0;
    std::vector<double> seconds; // per handset, from its end event
};

TS_RUN RunStation(int handsets, testsupport::ESimLink link, uint32_t lineRate) {
    CTempDir dir;
    const std::string image = MakeImage(dir.File("vbench.m0"));
    vsim::SSimulatorOptions options;
    options.startRunner = vsim::ERunner::FlashWriter;
    options.lineRate = lineRate;
    std::vector<std::unique_ptr<testsupport::CSimHarness>> sims;
    std::vector<std::string> args = {"--json", "--baud", "115200"};
    for (int k = 0; k < handsets; ++k) {
        sims.push_back(std::make_unique<testsupport::CSimHarness>(link, options));
        args.push_back(link == testsupport::ESimLink::Usb ? "--usb" : "--port");
        args.push_back(sims.back()->Path());
    }
    args.insert(args.end(), {"download", image});
    const clitest::CCliRunner cli(dir.File("config"));
    TS_RUN run;
    const double cpuBefore = ChildCpuSeconds();
    const auto r = cli.Run(args, std::chrono::seconds(600));
    run.cpu = ChildCpuSeconds() - cpuBefore;
    run.wall = r.seconds;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_discarded() && j.value("event", "") == "end") {
            if (j.value("result", "") != "ok") {
                run.error = line;
            }
            run.seconds.push_back(j.value("seconds", 0.0));
        }
    }
    run.ok = r.status == 0 && static_cast<int>(run.seconds.size()) == handsets && run.error.empty();
    if (!run.ok && run.error.empty()) {
        run.error = "vandrel-cli exited " + std::to_string(r.status) + ": " + r.err;
    }
    return run;
}

void BM_StationPaced(benchmark::State& state) {
    const int handsets = static_cast<int>(state.range(0));
    TS_RUN run;
    for (auto _ : state) {
        run = RunStation(handsets, testsupport::ESimLink::Uart, kRate);
        if (!run.ok) {
            state.SkipWithError(run.error.c_str());
            return;
        }
        state.SetIterationTime(run.wall);
    }
    std::vector<double> efficiency;
    for (double seconds : run.seconds) {
        efficiency.push_back(kImageBytes / (seconds * kRate / 10.0));
    }
    state.counters["handsets"] = handsets;
    state.counters["eff_min"] = *std::min_element(efficiency.begin(), efficiency.end());
    state.counters["eff_max"] = *std::max_element(efficiency.begin(), efficiency.end());
    state.counters["cpu_s"] = run.cpu;
    state.counters["cpu_pct_per_handset"] = 100.0 * run.cpu / run.wall / handsets;
}
BENCHMARK(BM_StationPaced)
    ->Arg(1)
    ->Arg(4)
    ->Arg(8)
    ->Arg(16)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

void BM_StationUsb(benchmark::State& state) {
    const int handsets = static_cast<int>(state.range(0));
    TS_RUN run;
    for (auto _ : state) {
        run = RunStation(handsets, testsupport::ESimLink::Usb, 0);
        if (!run.ok) {
            state.SkipWithError(run.error.c_str());
            return;
        }
        state.SetIterationTime(run.wall);
    }
    state.counters["handsets"] = handsets;
    state.counters["total_MiB_per_s"] = handsets * (kImageBytes / 1048576.0) / run.wall;
    state.counters["slowest_s"] = *std::max_element(run.seconds.begin(), run.seconds.end());
    state.counters["cpu_s"] = run.cpu;
}
BENCHMARK(BM_StationUsb)->Arg(8)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
