// vandrel-cli serve flashing four handsets while one event-stream client never reads (a small
// receive buffer, not a byte read until the run is over): every handset passes in the time the
// run takes without it, and the stalled client, when it reads at last, finds the events in order
// up to where it was cut or up to a note of what it missed.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <filesystem>
#include <thread>

#include <nlohmann/json.hpp>

#include "CliRunner.h"
#include "SimHarness.h"
#include "line/RecordStore.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr int kHandsets = 4;

int StalledStream(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const std::string request = "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nLast-Event-ID: 0\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    return fd;
}

TEST(ServeStalledClient, HoldsUpNoHandset) {
    std::vector<std::unique_ptr<testsupport::CSimHarness>> sims;
    for (int k = 0; k < kHandsets; ++k) {
        sims.push_back(std::make_unique<testsupport::CSimHarness>(testsupport::ESimLink::Uart));
    }
    const std::string dir = sims[0]->Dir();
    fs::copy(VANDREL_SAMPLES_DIR, dir + "/jobs", fs::copy_options::recursive);
    std::string error;
    ASSERT_TRUE(OpenRecordStore(dir + "/records.db", error, STORE_CREATE)) << error;
    std::vector<std::string> args;
    for (const auto& sim : sims) {
        args.insert(args.end(), {"--port", sim->UartPath()});
    }
    args.insert(args.end(), {"--store", dir + "/records.db", "serve", "--jobs", dir + "/jobs", "--listen",
                             "127.0.0.1:0"});
    clitest::CCliRunner cli(dir + "/config");
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    cli.SetStdout(out[1]);
    std::vector<json> ends;
    std::string stalledGot;
    bool cut = false;
    json lastRun;
    double runSeconds = 0;
    std::string problem;
    std::thread driver;
    const auto result = cli.Run(args, std::chrono::seconds(180), [&](pid_t pid) {
        ::close(out[1]);
        driver = std::thread([&, pid] {
            std::string printed;
            char buffer[512];
            for (ssize_t n; printed.find("/\n") == std::string::npos &&
                            (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
                printed.append(buffer, static_cast<std::size_t>(n));
            }
            ::close(out[0]);
            const std::size_t at = printed.find("127.0.0.1:");
            if (at == std::string::npos) {
                problem = "no address: " + printed;
                ::kill(pid, SIGKILL);
                return;
            }
            const int port = std::stoi(printed.substr(at + 10));
            const int stalled = StalledStream(port);
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(120, 0);
            const auto begin = std::chrono::steady_clock::now();
            std::thread reader([&] {
                std::string pending;
                client.Get("/api/v1/events", httplib::Headers{{"Last-Event-ID", "0"}},
                           [&](const char* data, std::size_t size) {
                               pending.append(data, size);
                               for (std::size_t end; (end = pending.find("\n\n")) != std::string::npos;
                                    pending.erase(0, end + 2)) {
                                   const std::size_t d = pending.find("data: ");
                                   const json event =
                                       d < end
                                           ? json::parse(pending.substr(d + 6, end - d - 6), nullptr, false)
                                           : json();
                                   if (event.is_object() && event.value("event", "") == "end") {
                                       ends.push_back(event);
                                   }
                               }
                               return ends.size() < kHandsets;
                           });
            });
            httplib::Client control("127.0.0.1", port);
            auto started = control.Post("/api/v1/station/start", R"({"job":"r3700-line","watch":false})",
                                        "application/json");
            if (!started || started->status != 202) {
                problem = "not started: " + (started ? started->body : std::string("no answer"));
                client.stop();
            }
            reader.join();
            runSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            // now the stalled client reads what it has: until the server cut it or it was told
            for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
                 !cut && std::chrono::steady_clock::now() < until &&
                 stalledGot.find(R"("event":"missed")") == std::string::npos;) {
                pollfd p{stalled, POLLIN, 0};
                if (::poll(&p, 1, 500) <= 0) {
                    // nothing more: everything it was sent so far is here
                    if (stalledGot.find(R"("event":"end")") != std::string::npos) {
                        break;
                    }
                    continue;
                }
                const ssize_t n = ::recv(stalled, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    cut = true;
                } else {
                    stalledGot.append(buffer, static_cast<std::size_t>(n));
                }
            }
            ::close(stalled);
            // the run that passed every handset ended without errors: the store and pool lines a
            // terminal shows are no errors for the dashboard
            for (int k = 0; k < 100 && !lastRun.is_object(); ++k) {
                const auto station = control.Get("/api/v1/station");
                const json state = station ? json::parse(station->body, nullptr, false) : json();
                if (state.is_object() && !state.value("running", true)) {
                    lastRun = state.value("lastRun", json());
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            }
            ::kill(pid, SIGTERM);
        });
    });
    driver.join();
    ASSERT_TRUE(problem.empty()) << problem << result.err;
    EXPECT_EQ(lastRun.value("status", -1), 0) << lastRun;
    EXPECT_EQ(lastRun.value("errors", "?"), "") << lastRun;
    EXPECT_EQ(result.status, 128 + SIGTERM) << result.err;
    ASSERT_EQ(ends.size(), static_cast<std::size_t>(kHandsets));
    for (const json& end : ends) {
        EXPECT_EQ(end.value("result", ""), "ok") << end;
    }
    // unpaced handsets take a few seconds at most; a client that held them up would hold them for
    // good (or for the write time-out, 5 s, at every event)
    EXPECT_LT(runSeconds, 60.0);
    // what the stalled client was sent is in order, from the first event, without a gap
    uint64_t last = 0;
    const std::string upTo = stalledGot.substr(0, stalledGot.find(R"("event":"missed")"));
    for (std::size_t at = 0; (at = upTo.find("\nid: ", at)) != std::string::npos; ++at) {
        const uint64_t id = std::stoull(upTo.substr(at + 5));
        EXPECT_EQ(id, last + 1);
        last = id;
    }
    EXPECT_GT(last, 0u) << "the stalled client was sent nothing";
    std::printf("the stalled client got %zu bytes, events 1..%llu%s\n", stalledGot.size(),
                static_cast<unsigned long long>(last), cut ? ", then was cut" : "");
}

} // namespace
