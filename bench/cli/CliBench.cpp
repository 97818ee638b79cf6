// Download link efficiency: a 1 MiB application image into the virtual handset over a UART paced
// at 115200 and 256000 bit/s (what `vandrel-sim --line-rate BPS` does), the flash writer already
// running.
//
//   efficiency = payload bytes / (elapsed seconds x rate / 10)      (10 bits a byte on the line)
//
// BM_CliDownload runs vandrel-cli as a child process, as a user would: open, wait for the target,
// target status, compress, erase, send, close. BM_SessionPhases runs the same download session
// in-process and splits the time: compression, erase, transfer, and the time each block costs
// beyond its bytes on the line (reply turnaround, framing, stuffed bytes).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "CliRunner.h"
#include "RandomImage.h"
#include "SimHarness.h"
#include "TempDir.h"
#include "download/DownloadSession.h"
#include "quillet/OstraMonitor.h"
#include "quillet/PortMap.h"

namespace {

constexpr uint32_t kImageBytes = 1u << 20;
constexpr uint32_t kImageAddress = 0x00006000;

std::string MakeImage(const std::string& path) {
    return testsupport::MakeRandomImage(path, kImageAddress, kImageBytes);
}

vsim::SSimulatorOptions Paced(uint32_t rate) {
    vsim::SSimulatorOptions options;
    options.startRunner = vsim::ERunner::FlashWriter;
    options.lineRate = rate;
    return options;
}

double Efficiency(double seconds, uint32_t rate) {
    return static_cast<double>(kImageBytes) / (seconds * rate / 10.0);
}

void BM_CliDownload(benchmark::State& state) {
    const auto rate = static_cast<uint32_t>(state.range(0));
    CTempDir dir;
    const std::string image = MakeImage(dir.File("vbench.m0"));
    testsupport::CSimHarness sim(testsupport::ESimLink::Uart, Paced(rate));
    const clitest::CCliRunner cli(dir.File("config"));
    double seconds = 0;
    for (auto _ : state) {
        sim.Host().Handset().SetRunner(vsim::ERunner::FlashWriter);
        const auto r =
            cli.Run({"--port", sim.Path(), "--quiet", "download", image}, std::chrono::seconds(600));
        if (r.status != 0) {
            state.SkipWithError(("vandrel-cli failed: " + r.err).c_str());
            return;
        }
        seconds = r.seconds;
        state.SetIterationTime(r.seconds);
    }
    state.counters["rate_bps"] = rate;
    state.counters["payload_bytes"] = kImageBytes;
    state.counters["elapsed_s"] = seconds;
    state.counters["efficiency"] = Efficiency(seconds, rate);
}
BENCHMARK(BM_CliDownload)->Arg(115200)->Arg(256000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Times the phases of one session from the observer's calls.
class CPhaseClock final : public IJobObserver {
public:
    using Clock = std::chrono::steady_clock;
    Clock::time_point start = Clock::now();
    Clock::time_point compressed{};
    Clock::time_point eraseStart{};
    Clock::time_point eraseEnd{};
    std::vector<std::pair<Clock::time_point, uint32_t>> blocks;

    void SetCaption(const std::string& text) override {
        if (text == sessiontext::CAPTION_ERASE && compressed == Clock::time_point{}) {
            compressed = Clock::now();
        }
        if (text == sessiontext::CAPTION_SEND) {
            if (compressed == Clock::time_point{}) {
                compressed = Clock::now();
            }
            if (eraseEnd == Clock::time_point{}) {
                eraseEnd = Clock::now();
            }
        }
    }
    void SetStatus(const std::string&) override {}
    void SetProgressText(const std::string&) override {}
    void SetProgressRange(uint32_t, uint32_t) override {}
    void SetProgressPos(uint32_t) override {}
    void StepProgress() override {}
    void SetEraseAnimation(bool on, const std::string&) override {
        if (on && eraseStart == Clock::time_point{}) {
            eraseStart = Clock::now();
        }
        if (!on && eraseStart != Clock::time_point{}) {
            eraseEnd = Clock::now();
        }
    }
    void OnBlockWritten(uint32_t, uint32_t length) override { blocks.emplace_back(Clock::now(), length); }
};

double Seconds(CPhaseClock::Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void BM_SessionPhases(benchmark::State& state) {
    const auto rate = static_cast<uint32_t>(state.range(0));
    CTempDir dir;
    const std::string image = MakeImage(dir.File("vbench.m0"));
    testsupport::CSimHarness sim(testsupport::ESimLink::Uart, Paced(rate));
    QuilletSetComPath(1, sim.Path());
    const int baudIndex = rate == 256000 ? 14 : 12;
    for (auto _ : state) {
        COstraMonitor monitor(TS_PORT_CONFIG{PORT_UART, 0, baudIndex, 3, 0, 0, 0});
        monitor.Initialize();
        CPhaseClock clock;
        CDownloadSession session(MODE_APP_CODE, image, &monitor, &clock);
        const auto begin = CPhaseClock::Clock::now();
        const bool sent = session.RunSession();
        const auto end = CPhaseClock::Clock::now();
        monitor.Quit();
        if (!sent) {
            state.SkipWithError(("session failed: " + session.GetErrorText()).c_str());
            return;
        }
        state.SetIterationTime(Seconds(end - begin));
        const double send = Seconds(end - clock.eraseEnd);
        const double wire = kImageBytes * 10.0 / rate;
        state.counters["compress_s"] = Seconds(clock.compressed - begin);
        state.counters["erase_s"] = Seconds(clock.eraseEnd - clock.compressed);
        state.counters["send_s"] = send;
        state.counters["payload_wire_s"] = wire;
        state.counters["blocks"] = static_cast<double>(clock.blocks.size());
        state.counters["over_wire_ms_per_block"] =
            clock.blocks.empty() ? 0 : (send - wire) * 1000.0 / static_cast<double>(clock.blocks.size());
        state.counters["send_efficiency"] = Efficiency(send, rate);
        state.counters["efficiency"] = Efficiency(Seconds(end - begin), rate);
    }
}
BENCHMARK(BM_SessionPhases)
    ->Arg(115200)
    ->Arg(256000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
