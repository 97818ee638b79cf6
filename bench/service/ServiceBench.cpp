// What watching the station costs its handsets: 32 virtual handsets (UART paced at 115200 bit/s,
// the flash writer already running) each receive the same 256 KiB image with a serial and a
// record, two ways:
//
//   plain    vandrel-cli --json --job FILE run        the station alone, its events on a pipe
//   service  vandrel-cli serve --jobs DIR             the same job started by POST /station/start,
//                                                     while 10 dashboard clients poll the station,
//                                                     the history and the charts as the page does
//                                                     and one client reads the event stream
//
// For each handset, efficiency = image bytes / (its elapsed seconds x rate / 10), its elapsed time
// being that of its `end` event (as line_bench measures it). Counters: the mean, min and max over
// the handsets, the CPU time of the vandrel-cli process (user + system), and for the service run
// the requests the dashboard clients made.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <numeric>
#include <sstream>
#include <thread>
#include <vector>

#include "CliRunner.h"
#include "RandomImage.h"
#include "SimHarness.h"
#include "TempDir.h"
#include "line/RecordStore.h"
#include "line/Sha256.h"

namespace {

// CPU seconds of the children reaped so far (the vandrel-cli process once it has ended).
double ChildrenCpu() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

constexpr int kHandsets = 32;
constexpr int kDashboards = 10;
constexpr uint32_t kImageBytes = 256u << 10;
constexpr uint32_t kRate = 115200;

// The efficiency of a handset from its end event; false when the job did not pass.
bool Efficiency(const std::string& line, std::vector<double>& efficiency, std::string& failed) {
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || j.value("event", "") != "end") {
        return true;
    }
    if (j.value("result", "") != "ok") {
        failed = line;
        return false;
    }
    efficiency.push_back(kImageBytes / (j.value("seconds", 0.0) * kRate / 10.0));
    return true;
}

// One dashboard: the station after every burst of events (the page refreshes at most every
// 150 ms while events come), the history's first page and the charts every 2 s (the page reloads
// them at every end).
void Dashboard(int port, const std::atomic<bool>& stop, std::atomic<int>& requests,
               std::atomic<int>& errors) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10, 0);
    for (int k = 0; !stop; ++k) {
        std::vector<std::string> paths = {"/api/v1/station"};
        if (k % 13 == 0) {
            paths.insert(paths.end(), {"/api/v1/attempts?limit=25&offset=0", "/api/v1/stats"});
        }
        for (const std::string& path : paths) {
            auto answer = client.Get(path);
            ++requests;
            if (!answer || answer->status != 200) {
                ++errors;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
}

void Run(benchmark::State& state, bool service) {
    CTempDir dir;
    std::filesystem::create_directories(dir.File("jobs"));
    const std::string image = dir.File("jobs/vbench.m0");
    testsupport::MakeRandomImage(image, 0x00006000, kImageBytes);
    std::string sha, error;
    Sha256OfFile(image, sha, error);
    std::ofstream(dir.File("jobs/bench.toml"))
        << "name = \"bench\"\nverify = false\n[[image]]\npath = \"vbench.m0\"\n"
        << "sha256 = \"" << sha << "\"\n[serial]\naddress = 0x0037F000\n"
        << "format = \"R3700-{serial:08}\"\nfirst = 1\nlast = 99999999\n";
    const std::string store = "sqlite:" + dir.File("records.db");
    if (!OpenRecordStore(store, error, STORE_CREATE)) {
        state.SkipWithError(error.c_str());
        return;
    }
    vsim::SSimulatorOptions options;
    options.startRunner = vsim::ERunner::FlashWriter;
    options.lineRate = kRate;
    std::vector<std::unique_ptr<testsupport::CSimHarness>> sims;
    std::vector<std::string> args = {"--baud", "115200", "--store", store};
    for (int k = 0; k < kHandsets; ++k) {
        sims.push_back(std::make_unique<testsupport::CSimHarness>(testsupport::ESimLink::Uart, options));
        args.insert(args.end(), {"--port", sims.back()->Path()});
    }
    if (service) {
        args.insert(args.end(), {"serve", "--jobs", dir.File("jobs"), "--listen", "127.0.0.1:0"});
    } else {
        args.insert(args.end(), {"--json", "--job", dir.File("jobs/bench.toml"), "run"});
    }
    clitest::CCliRunner cli(dir.File("config"));
    std::vector<double> efficiency;
    std::string failed;
    std::atomic<int> requests{0};
    std::atomic<int> errors{0};
    double seconds = 0;
    const double cpuBefore = ChildrenCpu();
    for (auto _ : state) {
        if (!service) {
            const auto r = cli.Run(args, std::chrono::seconds(600));
            std::istringstream lines(r.out);
            for (std::string line; std::getline(lines, line) && Efficiency(line, efficiency, failed);) {
            }
            if (r.status != 0) {
                failed = "vandrel-cli exited " + std::to_string(r.status) + ": " + r.err;
            }
            seconds = r.seconds;
            continue;
        }
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        cli.SetStdout(out[1]);
        std::thread driver;
        const auto r = cli.Run(args, std::chrono::seconds(600), [&](pid_t pid) {
            ::close(out[1]);
            driver = std::thread([&, pid] {
                std::string printed;
                char buffer[512];
                std::size_t at = std::string::npos;
                for (ssize_t n; (at == std::string::npos || printed.find('\n', at) == std::string::npos) &&
                                (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
                    printed.append(buffer, static_cast<std::size_t>(n));
                    at = printed.find("127.0.0.1:");
                }
                ::close(out[0]);
                if (at == std::string::npos) {
                    failed = "serve printed no address: " + printed;
                    ::kill(pid, SIGKILL);
                    return;
                }
                const int port = std::stoi(printed.substr(at + 10));
                std::atomic<bool> stop{false};
                std::vector<std::thread> dashboards;
                for (int k = 0; k < kDashboards; ++k) {
                    dashboards.emplace_back([&] { Dashboard(port, stop, requests, errors); });
                }
                // the event stream from its start, then the job
                httplib::Client events("127.0.0.1", port);
                events.set_read_timeout(120, 0);
                std::thread stream([&] {
                    std::string pending;
                    events.Get("/api/v1/events", httplib::Headers{{"Last-Event-ID", "0"}},
                               [&](const char* data, std::size_t size) {
                                   pending.append(data, size);
                                   std::size_t start = 0;
                                   for (std::size_t end;
                                        (end = pending.find("\n\n", start)) != std::string::npos;
                                        start = end + 2) {
                                       const std::size_t d = pending.find("data: ", start);
                                       if (d < end && !Efficiency(pending.substr(d + 6, end - d - 6),
                                                                  efficiency, failed)) {
                                           return false;
                                       }
                                   }
                                   pending.erase(0, start);
                                   return efficiency.size() < kHandsets;
                               });
                });
                httplib::Client control("127.0.0.1", port);
                const auto begin = std::chrono::steady_clock::now();
                auto started = control.Post("/api/v1/station/start", R"({"job":"bench","watch":false})",
                                            "application/json");
                if (!started || started->status != 202) {
                    failed = "the job did not start: " + (started ? started->body : std::string("no answer"));
                    events.stop();
                }
                stream.join();
                // the run is over when the station says so (every record completed)
                for (int k = 0; k < 600; ++k) {
                    auto station = control.Get("/api/v1/station");
                    if (station && !nlohmann::json::parse(station->body).value("running", true)) {
                        break;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
                stop = true;
                for (std::thread& d : dashboards) {
                    d.join();
                }
                ::kill(pid, SIGTERM);
            });
        });
        driver.join();
        if (r.status != 128 + SIGTERM && failed.empty()) {
            failed = "serve exited " + std::to_string(r.status) + ": " + r.err;
        }
    }
    if (!failed.empty() || efficiency.size() != kHandsets) {
        state.SkipWithError(
            (failed.empty() ? std::to_string(efficiency.size()) + " handsets ended" : failed).c_str());
        return;
    }
    state.SetIterationTime(seconds);
    state.counters["cli_cpu_s"] = ChildrenCpu() - cpuBefore;
    state.counters["eff_mean"] = std::accumulate(efficiency.begin(), efficiency.end(), 0.0) / kHandsets;
    state.counters["eff_min"] = *std::min_element(efficiency.begin(), efficiency.end());
    state.counters["eff_max"] = *std::max_element(efficiency.begin(), efficiency.end());
    if (service) {
        state.counters["requests"] = requests.load();
        state.counters["errors"] = errors.load();
    }
}

void BM_Plain(benchmark::State& state) {
    Run(state, false);
}
void BM_Service(benchmark::State& state) {
    Run(state, true);
}
BENCHMARK(BM_Plain)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Service)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
