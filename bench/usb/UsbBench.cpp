// The libusb device kind over a USB bus emulated by umockdev, next to the USB packet socket:
// a whole download (vandrel-cli, the flash writer already running) and a dump of 1 MiB to a file,
// each run by vandrel-cli as a child process as a user would run them. Run under umockdev-wrapper:
//
//   umockdev-wrapper build/bench/usb/usb_bench
//
// The emulation is no real bus: every URB is a round trip through umockdev's socket to this
// process, so the figures compare the host's code paths, not what a handset on a cable does.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>

#include "CliRunner.h"
#include "SimHarness.h"
#include "TempDir.h"
#include "UsbMockBus.h"

namespace {

const std::string kSamples = std::string(VANDREL_SOURCE_DIR) + "/samples";
constexpr uint32_t kDumpBytes = 1u << 20;

enum ELink { kSocket = 0, kLibusb = 1 };

// One handset on the chosen link, and a vandrel-cli that reaches it as --usb DEVICE.
struct CTarget {
    CTempDir dir;
    vsim::SSimulatorOptions options;
    std::unique_ptr<testsupport::CSimHarness> socket;
    std::unique_ptr<vsim::CSimulatorHost> host;
    std::unique_ptr<testsupport::CUsbMockBus> bus;
    std::string device;

    explicit CTarget(ELink link) {
        options.startRunner = vsim::ERunner::FlashWriter;
        if (link == kSocket) {
            socket = std::make_unique<testsupport::CSimHarness>(testsupport::ESimLink::Usb, options);
            device = socket->UsbPath();
        } else {
            host = std::make_unique<vsim::CSimulatorHost>(options);
            bus = std::make_unique<testsupport::CUsbMockBus>();
            bus->AddHandset(host->Handset(), options);
            device = "usb:1234:5678";
        }
        std::filesystem::copy_file(kSamples + "/vmain.m0", dir.File("vmain.m0"));
    }
    clitest::CCliRunner Cli() const {
        clitest::CCliRunner cli(dir.File("config"));
        if (bus) {
            for (const std::string& e : bus->ChildEnvironment()) {
                cli.SetEnv(e.substr(0, e.find('=')), e.substr(e.find('=') + 1));
            }
        }
        return cli;
    }
};

void Run(benchmark::State& state, const std::vector<std::string>& args, uint64_t bytes) {
    const ELink link = static_cast<ELink>(state.range(0));
    if (link == kLibusb && !testsupport::CUsbMockBus::Available()) {
        state.SkipWithError("run under umockdev-wrapper");
        return;
    }
    CTarget target(link);
    const clitest::CCliRunner cli = target.Cli();
    std::vector<std::string> full{"--usb", target.device};
    for (const std::string& a : args) {
        full.push_back(a == "@" ? target.dir.File("vmain.m0") : a == "#" ? target.dir.File("dump.bin") : a);
    }
    for (auto _ : state) {
        const clitest::TS_CLI_RESULT r = cli.Run(full);
        if (r.status != 0) {
            state.SkipWithError(r.err.c_str());
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetLabel(link == kSocket ? "USB packet socket" : "libusb on umockdev");
}

void BM_Download(benchmark::State& state) {
    Run(state, {"download", "@"}, 98304);
}

void BM_DumpToFile(benchmark::State& state) {
    Run(state, {"dump", "0x08000000", "--end", "0x08100000", "-o", "#"}, kDumpBytes);
}

BENCHMARK(BM_Download)
    ->Arg(kSocket)
    ->Arg(kLibusb)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);
BENCHMARK(BM_DumpToFile)
    ->Arg(kSocket)
    ->Arg(kLibusb)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

} // namespace

BENCHMARK_MAIN();
