// The line view: two stations' services share one PostgreSQL store (a server of the test's own);
// each publishes its state through the store and each one's /api/v1/line shows both, the other
// station's change within a moment (LISTEN/NOTIFY), and a station that stops leaves the line.
// The stations are runners of the test's own: the store is what carries the line.
#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include <nlohmann/json.hpp>

#include "PgServer.h"
#include "line/LineBoard.h"
#include "line/RecordStore.h"
#include "service/StationService.h"

using nlohmann::json;

namespace {

class CIdleRunner final : public IStationRunner {
public:
    std::string Start(const TS_SERVICE_START&, std::function<void(const std::string&)>,
                      std::function<void(int, const std::string&)>) override {
        return {};
    }
    void Stop() override {}
    void Wait() override {}
};

struct TS_STATION {
    CIdleRunner runner;
    std::unique_ptr<CStationService> service;
    std::thread thread;

    TS_STATION(const std::string& store, const std::string& port) {
        TS_SERVICE_CONFIG config;
        config.Port = 0;
        config.Ports = {port};
        config.Store = store;
        service = std::make_unique<CStationService>(config, runner);
        std::string error;
        EXPECT_TRUE(service->Listen(error)) << error;
        thread = std::thread([this] { service->Run(); });
    }
    ~TS_STATION() { Stop(); }
    void Stop() {
        if (thread.joinable()) {
            service->Stop();
            thread.join();
        }
    }
    json Line() const {
        httplib::Client client("127.0.0.1", service->BoundPort());
        auto answer = client.Get("/api/v1/line");
        return answer && answer->status == 200 ? json::parse(answer->body) : json();
    }
};

// Waits (a bounded time: the line is read at least every 5 s) until test holds for the line.
bool LineShows(const TS_STATION& station, const std::function<bool(const json&)>& test, json& seen,
               int seconds = 10) {
    for (int k = 0; k < seconds * 20; ++k) {
        seen = station.Line();
        if (seen.is_object() && test(seen.at("stations"))) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// The state a station shows the line for one of its ports, null when it is not on the line.
json PortOnLine(const json& stations, const std::string& port) {
    for (const json& s : stations) {
        for (const json& p : s.at("state").at("ports")) {
            if (p.at("port") == port) {
                return p;
            }
        }
    }
    return nullptr;
}

TEST(ServiceLine, EveryStationShowsTheWholeLineThroughTheStore) {
    CPgServer server;
    if (!server.Started()) {
        GTEST_SKIP() << server.Problem();
    }
    std::string error;
    ASSERT_TRUE(OpenRecordStore(server.Url(), error, STORE_CREATE)) << error;
    TS_STATION a(server.Url(), "A1");
    TS_STATION b(server.Url(), "B1");
    json seen;
    ASSERT_TRUE(LineShows(
        a, [](const json& s) { return s.size() == 2; }, seen))
        << seen;
    ASSERT_TRUE(LineShows(
        b, [](const json& s) { return s.size() == 2; }, seen))
        << seen;
    EXPECT_EQ(seen.at("line"), true);
    int self = 0;
    for (const json& s : seen.at("stations")) {
        self += s.at("self").get<bool>() ? 1 : 0;
        EXPECT_EQ(s.at("host"), HostName());
        EXPECT_EQ(s.at("url").get<std::string>().rfind("http://127.0.0.1:", 0), 0u) << s;
    }
    EXPECT_EQ(self, 1);

    // a port of station A programs, then fails: B shows each, well before the 5 s re-read
    struct TS_STEP {
        std::vector<std::string> events;
        const char* check;
    };
    const TS_STEP steps[] = {
        {{R"({"schema":1,"port":"A1","event":"begin","device":"/dev/ttyS0"})",
          R"({"schema":1,"port":"A1","event":"phase","phase":"program"})",
          R"({"schema":1,"port":"A1","event":"progress","phase":"program","done":300,"total":1000})"},
         R"({"state":"running","phase":"program","done":300})"},
        {{R"({"schema":1,"port":"A1","event":"end","result":"failed","error":{"code":10,"name":"verify","message":"verification failed"},"attempt":7})"},
         R"({"result":"failed","reason":"verification failed"})"},
    };
    for (const TS_STEP& step : steps) {
        SCOPED_TRACE(step.check);
        const auto published = std::chrono::steady_clock::now();
        for (const std::string& event : step.events) {
            a.service->OnStationLine(event);
        }
        const json want = json::parse(step.check);
        ASSERT_TRUE(LineShows(
            b,
            [&](const json& s) {
                const json port = PortOnLine(s, "A1");
                for (const auto& [key, value] : want.items()) {
                    if (!port.is_object() || port.value(key, json()) != value) {
                        return false;
                    }
                }
                return true;
            },
            seen))
            << seen;
        EXPECT_LT(std::chrono::steady_clock::now() - published, std::chrono::seconds(4))
            << "the change came with the periodic re-read, not with the notification";
    }
    EXPECT_EQ(PortOnLine(seen.at("stations"), "A1").at("result"), "failed");

    // the server goes away: each line says why and shows no stale stations; when it is back each
    // shows the two stations again, once each (not also as they were before the break)
    ASSERT_TRUE(server.Stop());
    for (const TS_STATION* station : {&a, &b}) {
        EXPECT_TRUE(LineShows(
            *station, [](const json& s) { return s.empty(); }, seen))
            << seen;
        EXPECT_TRUE(seen.at("error").is_string()) << seen;
    }
    // down long enough that each station's old session gives up on leaving the line itself
    std::this_thread::sleep_for(std::chrono::seconds(3));
    ASSERT_TRUE(server.Start());
    const auto twoStations = [](const json& s) {
        return s.size() == 2 && s.at(0).at("url") != s.at(1).at("url");
    };
    for (const TS_STATION* station : {&a, &b}) {
        EXPECT_TRUE(LineShows(*station, twoStations, seen, 40)) << seen; // the store is tried every 10 s
    }
    for (int k = 0; k < 20; ++k) { // a while after the station published again
        for (const TS_STATION* station : {&a, &b}) {
            const json line = station->Line();
            EXPECT_EQ(line.at("stations").size(), 2u) << line;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    // A stops: it leaves B's line at once (not after its heartbeat grows old)
    a.Stop();
    EXPECT_TRUE(LineShows(
        b, [](const json& s) { return s.size() == 1 && s.at(0).at("self") == true; }, seen))
        << seen;
}

// A SQLite store has no line: the endpoint says so and lists nothing.
TEST(ServiceLine, ASingleStationStoreHasNoLine) {
    const std::string dir = ::testing::TempDir() + "/service-line-" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    std::string error;
    ASSERT_TRUE(OpenRecordStore(dir + "/records.db", error, STORE_CREATE)) << error;
    TS_STATION a(dir + "/records.db", "A1");
    const json line = a.Line();
    ASSERT_TRUE(line.is_object());
    EXPECT_EQ(line.at("line"), false);
    EXPECT_TRUE(line.at("stations").empty());
    std::unique_ptr<ILineBoard> board = OpenLineBoard(dir + "/records.db", error);
    EXPECT_FALSE(board);
    EXPECT_TRUE(error.empty()) << error;
    std::filesystem::remove_all(dir);
}

} // namespace
