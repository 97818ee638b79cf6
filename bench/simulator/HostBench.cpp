// The host side against the in-process virtual handset, each figure over the pseudo-terminal and
// over the USB socket in the same run: transaction round trips (median and 99th percentile), a
// whole download of an 8 MiB image, and a memory dump of 8 MiB to a file. The handset's flash
// busy times are set to 0, so the figures are what the host and the link cost.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "SimHarness.h"
#include "download/DownloadSession.h"
#include "quillet/PROTOCOL.h"
#include "quillet/PortMap.h"
#include "tools/DumpToFile.h"

using testsupport::CSimHarness;
using testsupport::ESimLink;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kImageBytes = 8u << 20;

vsim::SSimulatorOptions Unhurried() {
    vsim::SSimulatorOptions o;
    o.startRunner = vsim::ERunner::FlashWriter;
    o.eraseUsPer64K = 0;
    o.programUsPerKiB = 0;
    return o;
}

TS_PORT_CONFIG PointAt(CSimHarness& sim, bool usb) {
    if (usb) {
        QuilletSetUsbDevicePath(sim.UsbPath());
        return TS_PORT_CONFIG{PORT_USB, 0, 12, 3, 0, 0, 0};
    }
    QuilletSetComPath(1, sim.UartPath());
    return TS_PORT_CONFIG{PORT_UART, 0, 12, 3, 0, 0, 0};
}

std::string TempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vandrel-bench-XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

// 0x41 round trips through CPROTOCOL; every one timed, the median and the 99th percentile reported.
void RoundTrip(benchmark::State& state, bool usb) {
    CSimHarness sim(usb ? ESimLink::Usb : ESimLink::Uart, Unhurried());
    CPROTOCOL protocol(PointAt(sim, usb));
    if (protocol.Initialize() != 0) {
        state.SkipWithError(protocol.GetPortErrorText().c_str());
        return;
    }
    constexpr int kSamples = 20000;
    std::vector<double> us;
    us.reserve(kSamples);
    for (auto _ : state) {
        us.clear();
        for (int i = 0; i < kSamples; ++i) {
            const auto start = Clock::now();
            protocol.TmTransactionBegin(0x41);
            if (protocol.TmTransaction(1000) != 0) {
                state.SkipWithError("no reply");
                return;
            }
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            if (i % 1000 == 999) {
                sim.Host().ClearRecord();
            }
        }
        double total = 0;
        for (double v : us) {
            total += v;
        }
        state.SetIterationTime(total / 1e6);
    }
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
    state.counters["max_us"] = us.back();
    state.SetItemsProcessed(int64_t(state.iterations()) * kSamples);
    protocol.Exit();
}
void BM_RoundTripPty(benchmark::State& state) {
    RoundTrip(state, false);
}
void BM_RoundTripUsb(benchmark::State& state) {
    RoundTrip(state, true);
}
BENCHMARK(BM_RoundTripPty)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RoundTripUsb)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// A whole download session of an 8 MiB image in 250-byte records (compressed into 64 KiB blocks):
// compression, the erase of CS#0 and every block; payload bytes a second.
void Download(benchmark::State& state, bool usb) {
    CSimHarness sim(usb ? ESimLink::Usb : ESimLink::Uart, Unhurried());
    const std::string dir = TempFolder();
    const std::string m0 = dir + "/vbench.m0";
    {
        std::mt19937 random(7);
        std::string text = "S00600004844521B\n";
        static constexpr char kHex[] = "0123456789ABCDEF";
        for (uint32_t at = 0; at < kImageBytes; at += 250) {
            const unsigned n = std::min<unsigned>(250, unsigned(kImageBytes - at));
            unsigned sum = n + 5;
            char head[16];
            std::snprintf(head, sizeof head, "S3%02X%08X", n + 5, at);
            text += head;
            sum += (at >> 24) + (at >> 16 & 0xFF) + (at >> 8 & 0xFF) + (at & 0xFF);
            for (unsigned i = 0; i < n; ++i) {
                const unsigned b = random() & 0xFF;
                text += kHex[b >> 4];
                text += kHex[b & 15];
                sum += b;
            }
            text += kHex[(~sum >> 4) & 15];
            text += kHex[~sum & 15];
            text += '\n';
        }
        text += "S70500000000FA\n";
        std::ofstream(m0, std::ios::binary) << text;
    }
    COstraMonitor monitor(PointAt(sim, usb));
    monitor.Initialize();
    for (auto _ : state) {
        CDownloadSession session(MODE_APP_CODE, m0, &monitor, nullptr);
        if (!session.RunSession()) {
            state.SkipWithError(session.GetErrorText().c_str());
            break;
        }
        state.PauseTiming();
        sim.Host().ClearRecord();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kImageBytes));
    monitor.Quit();
    std::remove(m0.c_str());
    std::remove((dir + "/vbench.cp64").c_str());
    rmdir(dir.c_str());
}
void BM_DownloadPty(benchmark::State& state) {
    Download(state, false);
}
void BM_DownloadUsb(benchmark::State& state) {
    Download(state, true);
}
BENCHMARK(BM_DownloadPty)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadUsb)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// The Memory Dump page's dump to file of 8 MiB of flash (1000-byte commands, 996 on USB).
void Dump(benchmark::State& state, bool usb) {
    CSimHarness sim(usb ? ESimLink::Usb : ESimLink::Uart, Unhurried());
    std::vector<uint8_t> memory(kImageBytes);
    std::mt19937 random(3);
    for (uint8_t& b : memory) {
        b = uint8_t(random());
    }
    sim.Host().Handset().LoadMemory(0x08000000, memory);
    const std::string dir = TempFolder();
    const std::string bin = dir + "/dump.bin";
    COstraMonitor monitor(PointAt(sim, usb));
    monitor.Initialize();
    for (auto _ : state) {
        const TS_DUMP_FILE_RESULT r =
            DumpToFile(monitor, bin, 0x08000000, 0x08000000 + uint32_t(kImageBytes));
        if (!r.Ok()) {
            state.SkipWithError(r.Detail.c_str());
            break;
        }
        state.PauseTiming();
        sim.Host().ClearRecord();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kImageBytes));
    monitor.Quit();
    std::remove(bin.c_str());
    rmdir(dir.c_str());
}
void BM_DumpToFilePty(benchmark::State& state) {
    Dump(state, false);
}
void BM_DumpToFileUsb(benchmark::State& state) {
    Dump(state, true);
}
BENCHMARK(BM_DumpToFilePty)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DumpToFileUsb)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
