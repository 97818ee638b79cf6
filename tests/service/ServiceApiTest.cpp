// The service's API over loopback: every refusal (bad input, a wrong or missing token, a wrong
// role, a foreign origin or host) in one table, then the event stream with a reconnect and a
// backlog that has moved on. The station is a runner of the test's own: the service is what is
// under test, not the station.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include <nlohmann/json.hpp>

#include "line/RecordStore.h"
#include "service/StationService.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kViewer = "viewer-token-0123456789";
const std::string kOperator = "operator-token-0123456789";

class CFakeRunner final : public IStationRunner {
public:
    std::string Start(const TS_SERVICE_START& start, std::function<void(const std::string&)>,
                      std::function<void(int, const std::string&)> ended) override {
        ++starts;
        last = start;
        m_ended = std::move(ended);
        return {};
    }
    void Stop() override {
        if (m_ended) {
            auto ended = std::move(m_ended);
            m_ended = nullptr;
            ended(143, "");
        }
    }
    void Wait() override {}

    int starts = 0;
    TS_SERVICE_START last;

private:
    std::function<void(int, const std::string&)> m_ended;
};

struct TS_RUNNING {
    CFakeRunner runner;
    std::unique_ptr<CStationService> service;
    std::thread thread;

    explicit TS_RUNNING(TS_SERVICE_CONFIG config) {
        config.Port = 0;
        service = std::make_unique<CStationService>(config, runner);
        std::string error;
        EXPECT_TRUE(service->Listen(error)) << error;
        thread = std::thread([this] { service->Run(); });
    }
    ~TS_RUNNING() {
        service->Stop();
        thread.join();
    }
    httplib::Client Client() const {
        httplib::Client client("127.0.0.1", service->BoundPort());
        client.set_read_timeout(10, 0);
        return client;
    }
};

class ServiceApi : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("service-api-" + std::to_string(::getpid()));
        fs::create_directories(dir / "jobs");
        std::ofstream(dir / "tokens")
            << "# roles\nviewer " << kViewer << "\noperator   " << kOperator << "\n";
        std::ofstream(dir / "jobs" / "broken.toml")
            << "name = \"broken\"\n[[image]]\npath = \"missing.m0\"\n";
        std::ofstream(dir / "outside.toml") << "name = \"outside\"\n";
        fs::create_symlink(dir / "outside.toml", dir / "jobs" / "escape.toml");
        std::string error;
        ASSERT_TRUE(OpenRecordStore((dir / "records.db").string(), error, STORE_CREATE)) << error;
        fs::copy(VANDREL_SAMPLES_DIR, dir / "jobs", fs::copy_options::recursive);
    }
    void TearDown() override { fs::remove_all(dir); }

    TS_SERVICE_CONFIG Config(bool tokens) const {
        TS_SERVICE_CONFIG c;
        c.JobsDir = (dir / "jobs").string();
        c.TokenFile = tokens ? (dir / "tokens").string() : std::string();
        c.Ports = {"COM1", "/dev/ttyUSB0"};
        c.Store = "sqlite:" + (dir / "records.db").string();
        c.MaxBodyBytes = 1024;
        c.AllowedOrigins = {"https://mes.example"};
        return c;
    }

    fs::path dir;
};

struct TS_REQUEST_CASE {
    const char* name;
    bool tokens;
    const char* method;
    const char* path;
    std::string token; // "" none
    std::string body;
    httplib::Headers headers;
    int status;
    const char* kind; // the problem's type after "urn:vandrel:problem:", or "" for a success
};

TEST_F(ServiceApi, RefusesBadInputAndWrongRolesAndStartsNothing) {
    const std::string big(2048, ' ');
    const httplib::Headers js = {{"Content-Type", "application/json"}};
    const TS_REQUEST_CASE cases[] = {
        {"no token", true, "GET", "/api/v1/station", "", "", {}, 401, "unauthorized"},
        {"unknown token",
         true,
         "GET",
         "/api/v1/station",
         "operator-token-0123456780",
         "",
         {},
         401,
         "unauthorized"},
        {"token in the URL",
         true,
         "GET",
         "/api/v1/station?token=viewer-token-0123456789",
         "",
         "",
         {},
         401,
         "unauthorized"},
        {"viewer reads", true, "GET", "/api/v1/station", kViewer, "", {}, 200, ""},
        {"viewer starts", true, "POST", "/api/v1/station/start", kViewer, R"({"job":"r3700-line"})", js, 403,
         "role"},
        {"viewer stops", true, "POST", "/api/v1/station/stop", kViewer, "{}", js, 403, "role"},
        {"unknown job", true, "POST", "/api/v1/station/start", kOperator, R"({"job":"nothing"})", js, 404,
         "unknown-job"},
        {"job path outside", true, "POST", "/api/v1/station/start", kOperator, R"({"job":"../outside"})", js,
         400, "job-path"},
        {"absolute job path", true, "POST", "/api/v1/station/start", kOperator, R"({"job":"/etc/passwd"})",
         js, 400, "job-path"},
        {"symlink out of the folder", true, "POST", "/api/v1/station/start", kOperator, R"({"job":"escape"})",
         js, 400, "job-path"},
        {"job that fails its check", true, "POST", "/api/v1/station/start", kOperator, R"({"job":"broken"})",
         js, 422, "job-check"},
        {"malformed JSON", true, "POST", "/api/v1/station/start", kOperator, R"({"job":)", js, 400,
         "malformed"},
        {"not an object", true, "POST", "/api/v1/station/start", kOperator, R"(["r3700-line"])", js, 400,
         "malformed"},
        {"unknown field", true, "POST", "/api/v1/station/start", kOperator,
         R"({"job":"r3700-line","force":true})", js, 400, "unknown-field"},
        {"wrong type", true, "POST", "/api/v1/station/start", kOperator,
         R"({"job":"r3700-line","watch":"yes"})", js, 400, "bad-field"},
        {"foreign port", true, "POST", "/api/v1/station/start", kOperator,
         R"({"job":"r3700-line","ports":["/dev/sda"]})", js, 400, "unknown-port"},
        {"port twice", true, "POST", "/api/v1/station/start", kOperator,
         R"({"job":"r3700-line","ports":["COM1","COM1"]})", js, 400, "port-twice"},
        {"not JSON",
         true,
         "POST",
         "/api/v1/station/start",
         kOperator,
         R"({"job":"r3700-line"})",
         {{"Content-Type", "text/plain"}},
         415,
         "content-type"},
        {"oversized", true, "POST", "/api/v1/station/start", kOperator, R"({"job":"r3700-line")" + big + "}",
         js, 413, "too-large"},
        {"foreign origin",
         true,
         "POST",
         "/api/v1/station/start",
         kOperator,
         R"({"job":"r3700-line"})",
         {{"Content-Type", "application/json"}, {"Origin", "https://evil.example"}},
         403,
         "origin"},
        {"bad history filter",
         true,
         "GET",
         "/api/v1/attempts?result=maybe",
         kViewer,
         "",
         {},
         400,
         "bad-parameter"},
        {"unknown history filter",
         true,
         "GET",
         "/api/v1/attempts?colour=red",
         kViewer,
         "",
         {},
         400,
         "unknown-parameter"},
        {"bad stats period",
         true,
         "GET",
         "/api/v1/stats?since=yesterday",
         kViewer,
         "",
         {},
         400,
         "bad-parameter"},
        {"serials without a pool", true, "GET", "/api/v1/serials", kViewer, "", {}, 400, "bad-parameter"},
        {"serials in another format",
         true,
         "GET",
         "/api/v1/serials?pool=P&format=xml",
         kViewer,
         "",
         {},
         400,
         "bad-parameter"},
        {"bad limit", true, "GET", "/api/v1/attempts?limit=0", kViewer, "", {}, 400, "bad-parameter"},
        {"unknown attempt", true, "GET", "/api/v1/attempts/99", kViewer, "", {}, 404, "unknown-attempt"},
        {"bad Last-Event-ID",
         true,
         "GET",
         "/api/v1/events",
         kViewer,
         "",
         {{"Last-Event-ID", "x"}},
         400,
         "last-event-id"},
        {"GET of a POST", true, "GET", "/api/v1/station/start", kOperator, "", {}, 405, "method"},
        {"unknown path", true, "GET", "/api/v1/nothing", kViewer, "", {}, 404, "not-found"},
        {"no tokens: rebinding host",
         false,
         "GET",
         "/api/v1/station",
         "",
         "",
         {{"Host", "evil.example:8370"}},
         403,
         "host"},
        {"no tokens: foreign page",
         false,
         "POST",
         "/api/v1/station/stop",
         "",
         "{}",
         {{"Content-Type", "application/json"}, {"Origin", "http://evil.example"}},
         403,
         "origin"},
        {"no tokens: allowed origin",
         false,
         "GET",
         "/api/v1/jobs",
         "",
         "",
         {{"Origin", "https://mes.example"}},
         200,
         ""},
        {"no tokens: local client", false, "GET", "/api/v1/station", "", "", {}, 200, ""},
    };
    for (const bool tokens : {true, false}) {
        TS_RUNNING running(Config(tokens));
        httplib::Client client = running.Client();
        for (const TS_REQUEST_CASE& c : cases) {
            if (c.tokens != tokens) {
                continue;
            }
            SCOPED_TRACE(c.name);
            httplib::Headers headers = c.headers;
            if (!c.token.empty()) {
                headers.emplace("Authorization", "Bearer " + c.token);
            }
            std::string type = "application/json";
            if (const auto it = headers.find("Content-Type"); it != headers.end()) {
                type = it->second;
                headers.erase(it);
            }
            const httplib::Result result = std::string(c.method) == "GET"
                                               ? client.Get(c.path, headers)
                                               : client.Post(c.path, headers, c.body, type.c_str());
            ASSERT_TRUE(result) << httplib::to_string(result.error());
            EXPECT_EQ(result->status, c.status) << result->body;
            if (*c.kind != 0) {
                EXPECT_EQ(result->get_header_value("Content-Type"), "application/problem+json");
                const json problem = json::parse(result->body, nullptr, false);
                ASSERT_TRUE(problem.is_object()) << result->body;
                EXPECT_EQ(problem.value("type", ""), std::string("urn:vandrel:problem:") + c.kind);
                EXPECT_EQ(problem.value("status", 0), c.status);
                EXPECT_FALSE(problem.value("detail", "").empty());
            }
            EXPECT_EQ(result->body.find(kOperator), std::string::npos);
        }
        EXPECT_EQ(running.runner.starts, 0) << "a refused request started the station";
    }
}

TEST_F(ServiceApi, ListensOnOtherAddressesOnlyWithTokens) {
    CFakeRunner runner;
    TS_SERVICE_CONFIG config = Config(false);
    config.Host = "0.0.0.0";
    config.Port = 0;
    CStationService open(config, runner);
    std::string error;
    EXPECT_FALSE(open.Listen(error));
    EXPECT_NE(error.find("token"), std::string::npos) << error;
    config.TokenFile = (dir / "tokens").string();
    CStationService guarded(config, runner);
    EXPECT_TRUE(guarded.Listen(error)) << error;
}

TEST_F(ServiceApi, StartsAJobByNameOnceAndStops) {
    TS_RUNNING running(Config(true));
    httplib::Client client = running.Client();
    const httplib::Headers op = {{"Authorization", "Bearer " + kOperator}};
    const std::string body = R"({"job":"r3700-line","ports":["/dev/ttyUSB0"],"watch":false})";
    auto started = client.Post("/api/v1/station/start", op, body, "application/json");
    ASSERT_TRUE(started);
    EXPECT_EQ(started->status, 202) << started->body;
    EXPECT_EQ(running.runner.last.Ports, std::vector<std::string>{"/dev/ttyUSB0"});
    EXPECT_FALSE(running.runner.last.Watch);
    EXPECT_EQ(fs::path(running.runner.last.JobPath).filename(), "r3700-line.toml");
    auto again = client.Post("/api/v1/station/start", op, body, "application/json");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 409);
    EXPECT_EQ(running.runner.starts, 1);
    auto stopped = client.Post("/api/v1/station/stop", op, "{}", "application/json");
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->status, 202);
    auto station = client.Get("/api/v1/station", op);
    ASSERT_TRUE(station);
    EXPECT_FALSE(json::parse(station->body).at("running").get<bool>());
}

// The dashboard's files come from inside the program; the OpenAPI document describes the routes
// the service has (each of its GET paths answers, none is unknown).
TEST_F(ServiceApi, ServesTheDashboardAndDescribesItsOwnRoutes) {
    TS_RUNNING running(Config(true));
    httplib::Client client = running.Client();
    for (const char* path : {"/", "/app.js", "/style.css"}) {
        auto file = client.Get(path);
        ASSERT_TRUE(file);
        EXPECT_EQ(file->status, 200) << path;
        EXPECT_GT(file->body.size(), 100u) << path;
        EXPECT_NE(file->get_header_value("Content-Security-Policy").find("default-src 'self'"),
                  std::string::npos);
    }
    auto document = client.Get("/api/v1/openapi.json");
    ASSERT_TRUE(document);
    const json openapi = json::parse(document->body, nullptr, false);
    ASSERT_TRUE(openapi.is_object());
    EXPECT_EQ(openapi.value("openapi", "").substr(0, 2), "3.");
    const httplib::Headers viewer = {{"Authorization", "Bearer " + kViewer}};
    int described = 0;
    for (const auto& [path, item] : openapi.at("paths").items()) {
        if (!item.contains("get") || path == "/events") {
            continue;
        }
        std::string concrete = path;
        if (const std::size_t brace = concrete.find("{id}"); brace != std::string::npos) {
            concrete.replace(brace, 4, "1");
        }
        auto answer = client.Get("/api/v1" + concrete, viewer);
        ASSERT_TRUE(answer) << path;
        EXPECT_TRUE(answer->status == 200 ||
                    json::parse(answer->body).value("type", "") != "urn:vandrel:problem:not-found")
            << path << ": " << answer->body;
        ++described;
    }
    EXPECT_GE(described, 4);
}

// Reads the stream until `count` events (or a missed note) came; returns their ids, 0 for a note.
std::vector<std::pair<uint64_t, json>> ReadStream(httplib::Client& client, const std::string& lastId,
                                                  std::size_t count) {
    httplib::Headers headers = {{"Authorization", "Bearer " + kViewer}};
    if (!lastId.empty()) {
        headers.emplace("Last-Event-ID", lastId);
    }
    std::vector<std::pair<uint64_t, json>> events;
    std::string buffer;
    client.Get("/api/v1/events", headers, [&](const char* data, std::size_t size) {
        buffer.append(data, size);
        for (std::size_t end; (end = buffer.find("\n\n")) != std::string::npos;) {
            const std::string block = buffer.substr(0, end);
            buffer.erase(0, end + 2);
            uint64_t id = 0;
            const std::size_t idAt = block.find("id: ");
            if (idAt != std::string::npos) {
                id = std::stoull(block.substr(idAt + 4));
            }
            const std::size_t dataAt = block.find("data: ");
            if (dataAt != std::string::npos) {
                events.emplace_back(id, json::parse(block.substr(dataAt + 6)));
            }
        }
        return events.size() < count;
    });
    return events;
}

TEST_F(ServiceApi, EventStreamResumesFromLastEventIdOrSaysWhatWasMissed) {
    TS_SERVICE_CONFIG config = Config(true);
    config.BacklogEvents = 4;
    TS_RUNNING running(config);
    const auto line = [](int n) {
        return R"({"schema":1,"ts":"2026-12-09T00:00:00.000Z","port":"COM1","event":"progress","phase":"program","done":)" +
               std::to_string(n) + R"(,"total":10})";
    };
    for (int n = 1; n <= 3; ++n) {
        running.service->OnStationLine(line(n));
    }
    httplib::Client client = running.Client();
    // a reconnect after event 1 gets 2 and 3, in order, with their ids
    auto resumed = ReadStream(client, "1", 2);
    ASSERT_EQ(resumed.size(), 2u);
    EXPECT_EQ(resumed[0].first, 2u);
    EXPECT_EQ(resumed[1].second.at("done"), 3);
    EXPECT_EQ(resumed[1].second.at("schema"), 1);
    // the backlog keeps 4: after ten more, a client that saw event 2 missed 7 and is told so
    for (int n = 4; n <= 13; ++n) {
        running.service->OnStationLine(line(n));
    }
    auto late = ReadStream(client, "2", 5);
    ASSERT_EQ(late.size(), 5u);
    EXPECT_EQ(late[0].first, 0u);
    EXPECT_EQ(late[0].second.at("event"), "missed");
    EXPECT_EQ(late[0].second.at("missed"), 7);
    EXPECT_EQ(late[1].first, 10u);
    EXPECT_EQ(late[4].first, 13u);
    // an id this service never gave (it restarted since): everything held, and the note
    auto stranger = ReadStream(client, "500", 2);
    ASSERT_GE(stranger.size(), 2u);
    EXPECT_EQ(stranger[0].second.at("event"), "missed");
    EXPECT_EQ(stranger[1].first, 10u);
    // the station's state follows the events
    auto station = client.Get("/api/v1/station", {{"Authorization", "Bearer " + kViewer}});
    ASSERT_TRUE(station);
    const json port = json::parse(station->body).at("ports").at(0);
    EXPECT_EQ(port.at("done"), 13);
    EXPECT_EQ(json::parse(station->body).at("lastEventId"), 13);
}

TEST_F(ServiceApi, LimitsTheEventStreamsAtOnce) {
    TS_SERVICE_CONFIG config = Config(false);
    config.MaxStreams = 1;
    TS_RUNNING running(config);
    httplib::Client first = running.Client();
    std::thread holder([&] { ReadStream(first, "", 1); });
    // wait until the first stream is served (a time-out here is a failure, not a pass)
    httplib::Client second = running.Client();
    int status = 0;
    for (int k = 0; k < 200 && status != 503; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        second.Get(
            "/api/v1/events", httplib::Headers{},
            [&](const httplib::Response& response) {
                status = response.status;
                return false;
            },
            [](const char*, std::size_t) { return false; });
    }
    EXPECT_EQ(status, 503);
    running.service->OnStationLine(R"({"schema":1,"port":"COM1","event":"phase","phase":"connect"})");
    holder.join();
}

// A stream client that stops reading holds up nothing: the station's events keep coming at once,
// the stalled client is cut or falls out of the backlog, and when it comes back with the last id
// it saw it is told how many events it lost.
TEST_F(ServiceApi, AClientThatStopsReadingHoldsUpNothingAndIsToldWhatItLost) {
    TS_SERVICE_CONFIG config = Config(false);
    config.BacklogEvents = 64;
    TS_RUNNING running(config);
    // a client with a small receive buffer that asks for the stream and then reads nothing
    const int stalled = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(stalled, 0);
    const int small = 4096;
    ::setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(running.service->BoundPort()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(stalled, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const std::string request = "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nLast-Event-ID: 0\r\n\r\n";
    ASSERT_EQ(::send(stalled, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    // 16 MiB of events, far more than the sockets hold: the station's side never waits for the client
    constexpr int kEvents = 16384;
    const std::string padding(1000, 'x');
    auto pushed = std::async(std::launch::async, [&] {
        for (int n = 1; n <= kEvents; ++n) {
            running.service->OnStationLine(
                R"({"schema":1,"ts":"2026-12-09T00:00:00.000Z","port":"COM1","event":"log","text":")" +
                padding + R"(","n":)" + std::to_string(n) + "}");
        }
    });
    ASSERT_EQ(pushed.wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << "the station's events waited for a client that does not read";
    // what the stalled client got: events in order up to where it was cut (the connection closes)
    // or up to a note that it missed some (it stayed connected and fell out of the backlog)
    std::string got;
    bool cut = false;
    bool toldMissed = false;
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         !cut && !toldMissed && std::chrono::steady_clock::now() < until;) {
        pollfd p{stalled, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) {
            continue;
        }
        char buffer[65536];
        const ssize_t n = ::recv(stalled, buffer, sizeof buffer, 0);
        if (n <= 0) {
            cut = true;
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
        toldMissed = got.find(R"("event":"missed")") != std::string::npos;
    }
    ::close(stalled);
    ASSERT_TRUE(cut || toldMissed) << "the stalled client was neither cut nor told it missed events";
    std::printf("the stalled client was %s after %zu bytes\n", cut ? "cut" : "told it missed events",
                got.size());
    uint64_t lastSeen = 0;
    const std::string upTo = toldMissed ? got.substr(0, got.find(R"("event":"missed")")) : got;
    for (std::size_t at = 0; (at = upTo.find("\nid: ", at)) != std::string::npos; ++at) {
        const uint64_t id = std::stoull(upTo.substr(at + 5));
        EXPECT_EQ(id, lastSeen + 1) << "events out of order or skipped without a note";
        lastSeen = id;
    }
    ASSERT_LT(lastSeen, static_cast<uint64_t>(kEvents - 64)) << "the sockets held everything: no stall";
    // back with the last id it saw: told how many it lost, then the backlog from its oldest event
    httplib::Client client = running.Client();
    auto back = ReadStream(client, std::to_string(lastSeen), 2);
    ASSERT_GE(back.size(), 2u);
    EXPECT_EQ(back[0].second.at("event"), "missed");
    EXPECT_EQ(back[0].second.at("missed"), kEvents - 64 - lastSeen);
    EXPECT_EQ(back[1].first, static_cast<uint64_t>(kEvents - 63));
}

// A pool's serials as `history --pool` exports them, JSON or CSV, and each job names its pool.
TEST_F(ServiceApi, ExportsAPoolsSerialsAsJsonOrCsv) {
    {
        std::string error;
        auto store = OpenRecordStore("sqlite:" + (dir / "records.db").string(), error, STORE_WRITE);
        ASSERT_TRUE(store) << error;
        const TS_SERIAL_POOL pool{"main, board", "R3700-{serial:08} 1000..1999", 1000, "line"};
        for (const char* result : {RESULT_PASSED, RESULT_FAILED}) {
            TS_ATTEMPT_RECORD record;
            record.Job = "line";
            record.Started = "2026-12-09T10:00:00.000Z";
            ASSERT_TRUE(store->BeginAttempt(record, record.Id, error)) << error;
            TS_SERIAL_ISSUE issue;
            bool exhausted = false;
            ASSERT_TRUE(store->IssueSerial(
                record.Id, pool, [](int64_t n) { return "R3700-" + std::to_string(1000 + n); }, issue,
                exhausted, error))
                << error;
            record.Ended = "2026-12-09T10:01:00.000Z";
            record.Result = result;
            ASSERT_TRUE(store->EndAttempt(record, error)) << error;
        }
    }
    TS_RUNNING running(Config(false));
    httplib::Client client = running.Client();
    struct TS_FORMAT_CASE {
        const char* name;
        std::string query;
        httplib::Headers headers;
        bool csv;
    };
    const TS_FORMAT_CASE cases[] = {
        {"JSON by default", "", {}, false},
        {"CSV by parameter", "&format=csv", {}, true},
        {"CSV by Accept", "", {{"Accept", "text/csv"}}, true},
        {"the parameter wins", "&format=json", {{"Accept", "text/csv"}}, false},
    };
    for (const TS_FORMAT_CASE& c : cases) {
        SCOPED_TRACE(c.name);
        auto answer = client.Get("/api/v1/serials?pool=main%2C%20board" + c.query, c.headers);
        ASSERT_TRUE(answer);
        ASSERT_EQ(answer->status, 200) << answer->body;
        if (c.csv) {
            EXPECT_EQ(answer->get_header_value("Content-Type").rfind("text/csv", 0), 0u);
            EXPECT_EQ(answer->body.substr(0, answer->body.find('\n')),
                      "pool,index,serial,state,job,attempt,issued");
            EXPECT_NE(answer->body.find("\"main, board\",0,R3700-1000,used,line,1,"), std::string::npos)
                << answer->body;
            EXPECT_NE(answer->body.find("\"main, board\",1,R3700-1001,void,line,2,"), std::string::npos)
                << answer->body;
        } else {
            const json body = json::parse(answer->body);
            EXPECT_EQ(body.at("pool"), "main, board");
            ASSERT_EQ(body.at("serials").size(), 2u);
            EXPECT_EQ(body.at("serials").at(1).at("serial"), "R3700-1001");
            EXPECT_EQ(body.at("serials").at(1).at("state"), "void");
            EXPECT_EQ(body.at("serials").at(0).at("attempt"), 1);
        }
    }
    auto jobs = client.Get("/api/v1/jobs");
    ASSERT_TRUE(jobs);
    bool named = false;
    const json listed = json::parse(jobs->body);
    for (const json& job : listed.at("jobs")) {
        named = named || (job.value("name", "") == "r3700-line.toml" && job.at("pool").is_string());
    }
    EXPECT_TRUE(named) << jobs->body;
}

// The failures chart counts failures by their typed error, not by their text: two verify failures
// with different texts are one kind, shown with the newest text; an interrupted attempt counts by
// its result.
TEST_F(ServiceApi, CountsFailuresByTheirTypedError) {
    struct TS_ENDED {
        const char* result;
        const char* error;
        const char* reason;
    };
    const TS_ENDED ended[] = {
        {RESULT_FAILED, "verify", "verification failed at 0x00019FF0"},
        {RESULT_PASSED, "", "2 files sent"},
        {RESULT_FAILED, "not-possible", "the target answered that a download is not possible"},
        {RESULT_INTERRUPTED, "", "the station's process ended during the attempt"},
        {RESULT_FAILED, "verify", "verification failed at 0x00020000"},
    };
    {
        std::string error;
        auto store = OpenRecordStore("sqlite:" + (dir / "records.db").string(), error, STORE_WRITE);
        ASSERT_TRUE(store) << error;
        for (const TS_ENDED& e : ended) {
            TS_ATTEMPT_RECORD record;
            record.Job = "line";
            record.Started = UtcNow();
            ASSERT_TRUE(store->BeginAttempt(record, record.Id, error)) << error;
            record.Result = e.result;
            record.Error = e.error;
            record.Reason = e.reason;
            ASSERT_TRUE(store->EndAttempt(record, error)) << error;
        }
    }
    TS_RUNNING running(Config(false));
    httplib::Client client = running.Client();
    auto answer = client.Get("/api/v1/stats");
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->status, 200) << answer->body;
    const json failures = json::parse(answer->body).at("failures");
    const json want = json::parse(R"([
        {"error": "verify", "count": 2, "reason": "verification failed at 0x00020000"},
        {"error": "interrupted", "count": 1, "reason": "the station's process ended during the attempt"},
        {"error": "not-possible", "count": 1, "reason": "the target answered that a download is not possible"}])");
    EXPECT_EQ(failures, want) << failures.dump(1);
    auto attempt = client.Get("/api/v1/attempts/1");
    ASSERT_TRUE(attempt);
    EXPECT_EQ(json::parse(attempt->body).value("error", ""), "verify");
}

} // namespace
