// libquillet benchmarks. Figures go to docs/PERFORMANCE.md.
//   linklib_bench --benchmark_filter=RoundTrip    transaction without payload over a pty
//   linklib_bench --benchmark_filter=FlashWrite   65525-byte blocks, UART framing and USB packets
//   linklib_bench --benchmark_filter=Idle         CPU time of an open, idle port over 10 s
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <poll.h>
#include <random>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "LinkPeers.h"
#include "quillet/Quillet.h"

using namespace linktest;

namespace {

// A UART peer that decodes incrementally and answers every request with status 0 at once.
class FastUartPeer {
public:
    explicit FastUartPeer(PtyPeer& pty) : m_Pty(pty) {
        m_Thread = std::thread([this] { Run(); });
    }
    ~FastUartPeer() {
        m_Stop = true;
        m_Thread.join();
    }

private:
    void Run() {
        std::vector<uint8_t> buf(65536);
        bool inFrame = false;
        bool escape = false;
        std::vector<uint8_t> frame;
        while (!m_Stop) {
            pollfd p{m_Pty.MasterFd(), POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            ssize_t n = ::read(m_Pty.MasterFd(), buf.data(), buf.size());
            for (ssize_t i = 0; i < n; ++i) {
                const uint8_t b = buf[static_cast<size_t>(i)];
                if (!inFrame) {
                    if (b == 0x02) {
                        inFrame = true;
                        escape = false;
                        frame.clear();
                    }
                } else if (escape) {
                    frame.push_back(b);
                    escape = false;
                } else if (b == 0x10) {
                    escape = true;
                } else if (b == 0x0A) {
                    inFrame = false;
                    m_Pty.Write(UartStuff(ReplyFrame(frame.at(1), 0, {}, true)));
                } else {
                    frame.push_back(b);
                }
            }
        }
    }
    PtyPeer& m_Pty;
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};

void BM_RoundTripPty(benchmark::State& state) {
    ClearPortEnvironment();
    PtyPeer pty;
    FastUartPeer peer(pty);
    CPROTOCOL protocol(UartConfig());
    if (protocol.Initialize() != 0) {
        state.SkipWithError("port did not open");
        return;
    }
    for (auto _ : state) {
        protocol.TmTransactionBegin(0x42);
        if (protocol.TmTransaction(2000) != 0) {
            state.SkipWithError("transaction failed");
            break;
        }
    }
    protocol.Exit();
}
BENCHMARK(BM_RoundTripPty)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

std::vector<char> RandomBlock(size_t n) {
    std::vector<char> block(n);
    std::mt19937 rng(42);
    for (char& c : block) {
        c = static_cast<char>(rng());
    }
    return block;
}

void BM_FlashWriteUart(benchmark::State& state) {
    ClearPortEnvironment();
    PtyPeer pty;
    FastUartPeer peer(pty);
    COstraMonitor monitor(UartConfig());
    if (monitor.Initialize() != 0) {
        state.SkipWithError("port did not open");
        return;
    }
    const std::vector<char> block = RandomBlock(65525);
    for (auto _ : state) {
        if (monitor.FlashWrite(FLASH_CMD_APP_DATA, 65525, block.data()) != 0) {
            state.SkipWithError("FlashWrite failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 65525);
    monitor.Quit();
}
BENCHMARK(BM_FlashWriteUart)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FlashWriteUsb(benchmark::State& state) {
    ClearPortEnvironment();
    UsbPeer usb;
    COstraMonitor monitor(UsbConfig());
    if (monitor.Initialize() != 0 || !usb.Accept(2000)) {
        state.SkipWithError("port did not open");
        return;
    }
    Responder responder(usb, EchoStatus(false, 0, {}));
    const std::vector<char> block = RandomBlock(65525);
    for (auto _ : state) {
        if (monitor.FlashWrite(FLASH_CMD_APP_DATA, 65525, block.data()) != 0) {
            state.SkipWithError("FlashWrite failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 65525);
    monitor.Quit();
}
BENCHMARK(BM_FlashWriteUsb)->Unit(benchmark::kMillisecond)->UseRealTime();

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU time of the whole process (reader thread included) while an open port waits for 10 s.
void BM_IdlePortCpu(benchmark::State& state) {
    ClearPortEnvironment();
    const bool usb = state.range(0) != 0;
    std::unique_ptr<PtyPeer> pty;
    std::unique_ptr<UsbPeer> sock;
    if (usb) {
        sock = std::make_unique<UsbPeer>();
    } else {
        pty = std::make_unique<PtyPeer>();
    }
    COstraMonitor monitor(usb ? UsbConfig() : UartConfig());
    if (monitor.Initialize() != 0 || (usb && !sock->Accept(2000))) {
        state.SkipWithError("port did not open");
        return;
    }
    double percent = 0;
    for (auto _ : state) {
        const double before = CpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        percent = (CpuSeconds() - before) / 10.0 * 100.0;
    }
    state.counters["cpu_percent"] = percent;
    monitor.Quit();
}
BENCHMARK(BM_IdlePortCpu)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
