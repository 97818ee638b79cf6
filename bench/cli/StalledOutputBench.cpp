// What a stalled output costs the handsets: two virtual handsets on UARTs paced at 115200 bit/s
// (the flash writer already running) each receive the same 128 KiB image from one vandrel-cli
// station, while its output is
//
//   0 reading:          a --json pipe read as it comes
//   1 json-unread:      a --json pipe (4 KiB) that nobody reads for the first kStallSeconds
//   2 terminal-stopped: a terminal (pty) stopped with Ctrl-S for the first kStallSeconds, then Ctrl-Q
//
// For each handset: the seconds from the start of vandrel-cli until the handset has taken the
// image's end command (0x32), as the handset sees it. With an output that holds up the ports,
// a stalled run takes about kStallSeconds longer; with one that does not, every mode takes the
// same time.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "CliRunner.h"
#include "RandomImage.h"
#include "SimHarness.h"
#include "TempDir.h"

namespace {

constexpr uint32_t kImageBytes = 128u << 10;
constexpr uint32_t kImageAddress = 0x00006000;
constexpr int kStallSeconds = 25;

enum EMode { READING, JSON_UNREAD, TERMINAL_STOPPED };

struct TS_STALL_RUN {
    bool ok = false;
    std::string error;
    std::vector<double> seconds; // per handset
};

bool TookTheImage(testsupport::CSimHarness& sim) {
    const vsim::SHandsetSnapshot s = sim.Host().Snapshot();
    return std::any_of(s.commands.begin(), s.commands.end(),
                       [](const vsim::SCommandRecord& c) { return c.cid == 0x32; });
}

TS_STALL_RUN RunStation(EMode mode) {
    using Clock = std::chrono::steady_clock;
    CTempDir dir;
    const std::string image = testsupport::MakeRandomImage(dir.File("vbench.m0"), kImageAddress, kImageBytes);
    vsim::SSimulatorOptions options;
    options.startRunner = vsim::ERunner::FlashWriter;
    options.lineRate = 115200;
    std::vector<std::unique_ptr<testsupport::CSimHarness>> sims;
    std::vector<std::string> args = {"--baud", "115200"};
    if (mode != TERMINAL_STOPPED) {
        args.push_back("--json");
    }
    for (int k = 0; k < 2; ++k) {
        sims.push_back(std::make_unique<testsupport::CSimHarness>(testsupport::ESimLink::Uart, options));
        args.insert(args.end(), {"--port", sims.back()->Path()});
    }
    args.insert(args.end(), {"download", image});
    int readEnd = -1;
    int childEnd = -1;
    if (mode == TERMINAL_STOPPED) {
        ::openpty(&readEnd, &childEnd, nullptr, nullptr, nullptr);
    } else {
        int p[2];
        ::pipe2(p, O_CLOEXEC);
        readEnd = p[0];
        childEnd = p[1];
        ::fcntl(readEnd, F_SETPIPE_SZ, 4096);
    }
    clitest::CCliRunner cli(dir.File("config"));
    cli.SetStdout(childEnd);
    TS_STALL_RUN run;
    run.seconds.assign(sims.size(), 0);
    std::thread drain;
    const auto startDraining = [&] {
        drain = std::thread([&] {
            char buffer[4096];
            while (::read(readEnd, buffer, sizeof buffer) > 0 || errno == EINTR) {
            }
        });
    };
    const auto r = cli.Run(args, std::chrono::seconds(300), [&](pid_t) {
        const Clock::time_point start = Clock::now();
        ::close(childEnd);
        if (mode == TERMINAL_STOPPED) {
            (void)!::write(readEnd, "\x13", 1);
        }
        if (mode == READING) {
            startDraining();
        }
        bool released = mode == READING;
        for (std::size_t done = 0; done < sims.size() && Clock::now() - start < std::chrono::seconds(240);) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            done = 0;
            for (std::size_t k = 0; k < sims.size(); ++k) {
                if (run.seconds[k] == 0 && TookTheImage(*sims[k])) {
                    run.seconds[k] = std::chrono::duration<double>(Clock::now() - start).count();
                }
                done += run.seconds[k] > 0 ? 1 : 0;
            }
            if (!released && Clock::now() - start >= std::chrono::seconds(kStallSeconds)) {
                released = true; // the end of the stall
                if (mode == TERMINAL_STOPPED) {
                    (void)!::write(readEnd, "\x11", 1);
                }
                startDraining();
            }
        }
        if (!released) {
            // every handset is done within the stall: the output is let go now
            if (mode == TERMINAL_STOPPED) {
                (void)!::write(readEnd, "\x11", 1);
            }
            startDraining();
        }
    });
    if (drain.joinable()) {
        drain.join();
    }
    ::close(readEnd);
    run.ok =
        r.status == 0 && std::all_of(run.seconds.begin(), run.seconds.end(), [](double s) { return s > 0; });
    if (!run.ok) {
        run.error = "vandrel-cli exited " + std::to_string(r.status) + ": " + r.err;
    }
    return run;
}

void BM_StationStalledOutput(benchmark::State& state) {
    const auto mode = static_cast<EMode>(state.range(0));
    TS_STALL_RUN run;
    for (auto _ : state) {
        run = RunStation(mode);
        if (!run.ok) {
            state.SkipWithError(run.error.c_str());
            return;
        }
        state.SetIterationTime(*std::max_element(run.seconds.begin(), run.seconds.end()));
    }
    state.SetLabel(mode == READING ? "reading" : mode == JSON_UNREAD ? "json-unread" : "terminal-stopped");
    state.counters["handset1_s"] = run.seconds[0];
    state.counters["handset2_s"] = run.seconds[1];
    state.counters["stall_s"] = mode == READING ? 0 : kStallSeconds;
}
BENCHMARK(BM_StationStalledOutput)
    ->Arg(READING)
    ->Arg(JSON_UNREAD)
    ->Arg(TERMINAL_STOPPED)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
