// Benchmarks of the virtual handset, driven by the raw hosts of its tests.
#include <benchmark/benchmark.h>

#include "SimHarness.h"
#include "SimTestUtil.h"

using namespace vsim;
using simtest::Bytes;
using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

Bytes Data(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = uint8_t(i * 7 + 1);
    }
    return b;
}

// One 64 KiB application block through the monitor and the flash model, no transport.
void BM_HandleAppBlock(benchmark::State& state) {
    SSimulatorOptions o;
    o.startRunner = ERunner::FlashWriter;
    o.programUsPerKiB = 0;
    CVirtualHandset handset(o);
    const Bytes block = simtest::MakeBlock(0x6000, Data(65520), true);
    for (auto _ : state) {
        handset.Handle(SRequest{ETransport::Uart, cmd::EraseFlashBlock, simtest::Hex("0000600000016000"), 0});
        benchmark::DoNotOptimize(handset.Handle(SRequest{ETransport::Uart, cmd::AppData, block, 0}));
        state.PauseTiming();
        handset.ClearRecord();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 65520);
}
BENCHMARK(BM_HandleAppBlock)->Unit(benchmark::kMicrosecond);

template <typename Host>
void RoundTrip(benchmark::State& state, ESimLink link) {
    CSimHarness sim(link);
    Host host(sim.Path());
    if constexpr (std::is_same_v<Host, simtest::CRawUsb>) {
        host.ReadMessage();
    }
    for (auto _ : state) {
        if (!host.Transact(cmd::RequestFlashWrite)) {
            state.SkipWithError("no reply");
            break;
        }
        sim.Host().ClearRecord();
    }
}
void BM_RoundTripPty(benchmark::State& state) {
    RoundTrip<simtest::CRawUart>(state, ESimLink::Uart);
}
void BM_RoundTripUsb(benchmark::State& state) {
    RoundTrip<simtest::CRawUsb>(state, ESimLink::Usb);
}
BENCHMARK(BM_RoundTripPty)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RoundTripUsb)->Unit(benchmark::kMicrosecond);

// A 64 KiB block written and a dump read back over the pty without pacing.
void BM_BlockOverPty(benchmark::State& state) {
    SSimulatorOptions o;
    o.startRunner = ERunner::FlashWriter;
    o.programUsPerKiB = 0;
    o.eraseUsPer64K = 0;
    CSimHarness sim(ESimLink::Uart, o);
    simtest::CRawUart host(sim.Path());
    const Bytes block = simtest::MakeBlock(0x6000, Data(65520), true);
    for (auto _ : state) {
        host.Transact(cmd::EraseFlashBlock, simtest::Hex("0000600000016000"));
        const auto r = host.Transact(cmd::AppData, block);
        if (!r || r->status != 0) {
            state.SkipWithError("block refused");
            break;
        }
        sim.Host().ClearRecord();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 65520);
}
BENCHMARK(BM_BlockOverPty)->Unit(benchmark::kMillisecond);

// Line-rate emulation: a 4 KiB block and its reply at 115200 bit/s, against the wire limit of the
// stuffed bytes both ways (reported as efficiency, 1.0 = the wire limit).
void BM_PacedBlock115200(benchmark::State& state) {
    SSimulatorOptions o;
    o.startRunner = ERunner::FlashWriter;
    o.programUsPerKiB = 0;
    o.eraseUsPer64K = 0;
    o.lineRate = 115200;
    CSimHarness sim(ESimLink::Uart, o);
    simtest::CRawUart host(sim.Path());
    const Bytes block = simtest::MakeBlock(0x6000, Data(4096), true);
    Bytes frame{0x21, cmd::AppData};
    const Bytes data = simtest::WithChecksum(cmd::AppData, block);
    frame.insert(frame.end(), data.begin(), data.end());
    const size_t wireBytes = StuffUartFrame(frame.data(), frame.size(), true).size() + 6;
    double seconds = 0;
    for (auto _ : state) {
        host.Transact(cmd::EraseFlashBlock, simtest::Hex("0000600000016000"));
        const auto start = std::chrono::steady_clock::now();
        const auto r = host.Transact(cmd::AppData, block, 10000);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (!r || r->status != 0) {
            state.SkipWithError("block refused");
            break;
        }
        state.SetIterationTime(took.count());
        seconds += took.count();
        sim.Host().ClearRecord();
    }
    const double limit = double(wireBytes) * 10.0 / 115200.0;
    state.counters["efficiency"] = limit * double(state.iterations()) / seconds;
}
BENCHMARK(BM_PacedBlock115200)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
