#include "service/StationService.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>

#include <nlohmann/json.hpp>

#include "Assets.h"
#include "EventBacklog.h"
#include "StationState.h"
#include "TokenFile.h"
#include "line/JobFile.h"
#include "line/RecordJson.h"
#include "line/RecordStore.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kProblemType = "application/problem+json";
constexpr int kSchema = 1;

// A refusal as RFC 9457 problem details: type names the kind for programs, detail says why.
struct TS_PROBLEM {
    int Status = 0; // 0: none
    std::string Kind;
    std::string Detail;
};

const char* StatusTitle(int status) {
    switch (status) {
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 413:
        return "Content Too Large";
    case 415:
        return "Unsupported Media Type";
    case 422:
        return "Unprocessable Content";
    case 503:
        return "Service Unavailable";
    default:
        return status >= 500 ? "Internal Server Error" : "Error";
    }
}

void SendProblem(httplib::Response& res, const TS_PROBLEM& p) {
    res.status = p.Status;
    const json body = {{"type", "urn:vandrel:problem:" + p.Kind},
                       {"title", StatusTitle(p.Status)},
                       {"status", p.Status},
                       {"detail", p.Detail}};
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), kProblemType);
}

void SendJson(httplib::Response& res, const json& body, int status = 200) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

bool IsLoopback(const std::string& host) {
    return host == "127.0.0.1" || host == "::1" || host == "localhost" || host.rfind("127.", 0) == 0;
}

// since= or until= into the filter; false (the problem sent) when it is no date.
bool TimeParameter(const std::string& key, const std::string& value, TS_HISTORY_FILTER& filter,
                   httplib::Response& res) {
    if (NormaliseTimeText(value, key == "since" ? filter.Since : filter.Until)) {
        return true;
    }
    SendProblem(
        res, {400, "bad-parameter",
              key + " takes a date or a date and time (2026-12-09, 2026-12-09T17:05), not '" + value + "'"});
    return false;
}

// A whole number from a query parameter within [low, high].
bool ParseCount(const std::string& text, long long low, long long high, long long& value) {
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::stoll(text);
    return value >= low && value <= high;
}

} // namespace

struct CStationService::TS_IMPL {
    TS_IMPL(TS_SERVICE_CONFIG c, IStationRunner& r)
        : config(std::move(c)), runner(r), backlog(config.BacklogEvents, config.BacklogBytes) {
        state.SetPorts(config.Ports);
    }

    TS_SERVICE_CONFIG config;
    IStationRunner& runner;
    httplib::Server server;
    CTokenFile tokens;
    CEventBacklog backlog;
    std::atomic<std::size_t> streams{0};
    int port = 0;

    std::mutex startMutex; // one start or stop at a time
    mutable std::mutex stateMutex;
    CStationState state;

    // ---- access ----

    // The role a request has, or a problem. Without a token file every local client operates.
    ERole RoleOf(const httplib::Request& req, TS_PROBLEM& problem) const {
        if (tokens.Empty()) {
            return ERole::Operator;
        }
        const std::string header = req.get_header_value("Authorization");
        const ERole role = header.empty() ? ERole::None : tokens.RoleOf(header);
        if (role == ERole::None) {
            problem = {401, "unauthorized",
                       header.empty() ? "this service needs a token: Authorization: Bearer TOKEN"
                                      : "the token is not one of this service's"};
        }
        return role;
    }

    bool OriginAllowed(const std::string& origin, const std::string& host) const {
        // the service's own pages, directly or through a TLS proxy that keeps the Host
        if (origin == "http://" + host || origin == "https://" + host) {
            return true;
        }
        return std::find(config.AllowedOrigins.begin(), config.AllowedOrigins.end(), origin) !=
               config.AllowedOrigins.end();
    }

    // Before any route: the Host (no tokens: a loopback name only, against DNS rebinding), the
    // Origin (a page of another site is refused unless allowed), the token and its role.
    httplib::Server::HandlerResponse Gate(const httplib::Request& req, httplib::Response& res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_header("Cache-Control", "no-store");
        const std::string host = req.get_header_value("Host");
        if (tokens.Empty()) {
            const std::string name = host.substr(0, host.rfind(':'));
            if (!(name == "127.0.0.1" || name == "localhost" || name == "[::1]")) {
                SendProblem(res,
                            {403, "host", "this service answers only to a loopback address without tokens"});
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        const std::string origin = req.get_header_value("Origin");
        if (!origin.empty()) {
            if (!OriginAllowed(origin, host)) {
                SendProblem(res, {403, "origin", "requests from the origin " + origin + " are not allowed"});
                return httplib::Server::HandlerResponse::Handled;
            }
            res.set_header("Access-Control-Allow-Origin", origin);
            res.set_header("Vary", "Origin");
            if (req.method == "OPTIONS") {
                res.set_header("Access-Control-Allow-Methods", "GET, POST");
                res.set_header("Access-Control-Allow-Headers", "Authorization, Content-Type, Last-Event-ID");
                res.set_header("Access-Control-Max-Age", "600");
                res.status = 204;
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        if (req.path.rfind("/api/", 0) != 0 || req.path == "/api/v1/openapi.json") {
            return httplib::Server::HandlerResponse::Unhandled; // the dashboard's files hold no data
        }
        TS_PROBLEM problem;
        const ERole role = RoleOf(req, problem);
        if (role == ERole::None) {
            res.set_header("WWW-Authenticate", "Bearer");
            SendProblem(res, problem);
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD" && role != ERole::Operator) {
            SendProblem(res, {403, "role", "starting and stopping the station needs an operator's token"});
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    }

    // ---- the station ----

    void OnLine(const std::string& line) {
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        json event = json::parse(text, nullptr, false);
        if (!event.is_object()) {
            return;
        }
        {
            std::lock_guard lock(stateMutex);
            state.Apply(event);
        }
        backlog.Append(std::move(text));
    }

    // The job file of a name in the jobs folder, or a problem.
    TS_PROBLEM JobFileOf(const std::string& name, std::string& path) const {
        if (config.JobsDir.empty()) {
            return {409, "no-jobs-folder", "this service was started without a jobs folder (--jobs DIR)"};
        }
        if (name.empty() || name.size() > 200 || name[0] == '.' ||
            name.find_first_of("/\\:") != std::string::npos || name.find("..") != std::string::npos) {
            return {400, "job-path",
                    "a job is named by its file in the jobs folder: '" + name + "' is outside it"};
        }
        std::error_code ec;
        const fs::path folder = fs::weakly_canonical(config.JobsDir, ec);
        fs::path file = folder / name;
        if (file.extension() != ".toml") {
            file += ".toml";
        }
        const fs::path real = fs::weakly_canonical(file, ec);
        if (ec || real.parent_path() != folder) {
            return {400, "job-path", "the job '" + name + "' leads outside the jobs folder"};
        }
        if (!fs::is_regular_file(real, ec)) {
            return {404, "unknown-job", "no job '" + name + "' in the jobs folder"};
        }
        path = real.string();
        return {};
    }

    TS_PROBLEM Start(const TS_SERVICE_START& given) {
        std::lock_guard starting(startMutex);
        TS_SERVICE_START start = given;
        if (start.Ports.empty()) {
            start.Ports = config.Ports;
        }
        if (start.Ports.empty()) {
            return {400, "no-ports", "no ports: give the station's ports when the service starts"};
        }
        std::set<std::string> seen;
        for (const std::string& port : start.Ports) {
            if (std::find(config.Ports.begin(), config.Ports.end(), port) == config.Ports.end()) {
                return {400, "unknown-port", "'" + port + "' is not one of this station's ports"};
            }
            if (!seen.insert(port).second) {
                return {400, "port-twice", port + ": the port is named twice"};
            }
        }
        {
            std::lock_guard lock(stateMutex);
            if (state.Running()) {
                return {409, "port-in-use", "a job runs on the station's ports: stop it first"};
            }
        }
        TS_LINE_JOB job;
        TS_JOB_ERROR error;
        if (!LoadJobFile(start.JobPath, job, error)) {
            return {422, "job-check", error.Text()};
        }
        {
            std::lock_guard lock(stateMutex);
            state.SetJob(job.Name, start.JobPath, start.Watch, UtcNow());
        }
        const std::string refused = runner.Start(
            start, [this](const std::string& line) { OnLine(line); },
            [this](int status, const std::string& errors) {
                std::lock_guard lock(stateMutex);
                state.SetEnded(status, errors);
            });
        if (!refused.empty()) {
            std::lock_guard lock(stateMutex);
            state.SetEnded(-1, refused);
            return {409, "not-started", refused};
        }
        return {};
    }

    // ---- routes ----

    void Routes() {
        server.set_pre_routing_handler(
            [this](const httplib::Request& req, httplib::Response& res) { return Gate(req, res); });
        server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty()) {
                return;
            }
            const int status = res.status;
            if (status == 413) {
                SendProblem(res, {413, "too-large", "the request is larger than this service takes"});
            } else if (status == 400) {
                SendProblem(
                    res, {400, "unreadable",
                          "the request could not be read (a POST needs a body: Content-Length or chunked)"});
            } else if (status == 404) {
                SendProblem(res, {404, "not-found", "no " + req.path + " here"});
            } else {
                SendProblem(res, {status, "http", StatusTitle(status)});
            }
        });
        server.set_exception_handler(
            [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
                std::string what = "unknown failure";
                try {
                    std::rethrow_exception(ep);
                } catch (const std::exception& e) {
                    what = e.what();
                } catch (...) {
                }
                SendProblem(res, {500, "internal", what});
            });
        for (const char* path : {"/", "/index.html", "/app.js", "/style.css", "/api/v1/openapi.json"}) {
            server.Get(path, [](const httplib::Request& req, httplib::Response& res) {
                const TS_ASSET* asset = FindAsset(req.path == "/index.html" ? "/" : req.path);
                res.set_header(
                    "Content-Security-Policy",
                    "default-src 'self'; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'");
                res.set_header("X-Frame-Options", "DENY");
                res.set_content(reinterpret_cast<const char*>(asset->Data), asset->Size, asset->Type);
            });
        }
        server.Get("/api/v1/station", [this](const httplib::Request&, httplib::Response& res) {
            json body;
            {
                std::lock_guard lock(stateMutex);
                body = state.ToJson();
            }
            body["schema"] = kSchema;
            body["store"] = config.StoreText;
            body["jobsFolder"] = !config.JobsDir.empty();
            body["lastEventId"] = backlog.LastId();
            SendJson(res, body);
        });
        server.Post("/api/v1/station/start",
                    [this](const httplib::Request& req, httplib::Response& res) { StartRoute(req, res); });
        server.Post("/api/v1/station/stop", [this](const httplib::Request&, httplib::Response& res) {
            bool running = false;
            {
                std::lock_guard lock(stateMutex);
                running = state.Running();
            }
            if (running) {
                runner.Stop();
            }
            SendJson(res, {{"stopping", running}}, running ? 202 : 200);
        });
        server.Get("/api/v1/events",
                   [this](const httplib::Request& req, httplib::Response& res) { EventsRoute(req, res); });
        server.Get("/api/v1/attempts",
                   [this](const httplib::Request& req, httplib::Response& res) { AttemptsRoute(req, res); });
        server.Get(R"(/api/v1/attempts/(\d{1,15}))",
                   [this](const httplib::Request& req, httplib::Response& res) {
                       TS_HISTORY_FILTER filter;
                       filter.Id = std::stoll(req.matches[1].str());
                       std::vector<TS_ATTEMPT_RECORD> records;
                       if (!Query(filter, records, res)) {
                           return;
                       }
                       if (records.empty()) {
                           SendProblem(res, {404, "unknown-attempt",
                                             "no attempt " + req.matches[1].str() + " in the store"});
                           return;
                       }
                       SendJson(res, RecordJson(records.front(), true));
                   });
        server.Get("/api/v1/stats",
                   [this](const httplib::Request& req, httplib::Response& res) { StatsRoute(req, res); });
        server.Get("/api/v1/jobs",
                   [this](const httplib::Request&, httplib::Response& res) { JobsRoute(res); });
        for (const char* path : {"/api/v1/station/start", "/api/v1/station/stop"}) {
            server.Get(path, [](const httplib::Request&, httplib::Response& res) {
                res.set_header("Allow", "POST");
                SendProblem(res, {405, "method", "use POST"});
            });
        }
    }

    void StartRoute(const httplib::Request& req, httplib::Response& res) {
        const std::string type = req.get_header_value("Content-Type");
        if (type.rfind("application/json", 0) != 0) {
            SendProblem(res, {415, "content-type", "the body is JSON: Content-Type: application/json"});
            return;
        }
        const json body = json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object()) {
            SendProblem(res, {400, "malformed", "the body is not a JSON object"});
            return;
        }
        TS_SERVICE_START start;
        std::string name;
        for (const auto& [key, value] : body.items()) {
            if (key == "job" && value.is_string()) {
                name = value.get<std::string>();
            } else if (key == "watch" && value.is_boolean()) {
                start.Watch = value.get<bool>();
            } else if (key == "ports" && value.is_array()) {
                for (const json& port : value) {
                    if (!port.is_string()) {
                        SendProblem(res, {400, "bad-field", "ports is an array of the station's port names"});
                        return;
                    }
                    start.Ports.push_back(port.get<std::string>());
                }
            } else if (key == "job" || key == "watch" || key == "ports") {
                SendProblem(res, {400, "bad-field",
                                  key == "job"     ? "job is the name of a job file in the jobs folder"
                                  : key == "watch" ? "watch is true or false"
                                                   : "ports is an array of the station's port names"});
                return;
            } else {
                SendProblem(res, {400, "unknown-field", "unknown field '" + key + "' (job, ports, watch)"});
                return;
            }
        }
        if (name.empty()) {
            SendProblem(res, {400, "bad-field", "job is the name of a job file in the jobs folder"});
            return;
        }
        if (TS_PROBLEM problem = JobFileOf(name, start.JobPath); problem.Status != 0) {
            SendProblem(res, problem);
            return;
        }
        if (TS_PROBLEM problem = Start(start); problem.Status != 0) {
            SendProblem(res, problem);
            return;
        }
        json body2;
        {
            std::lock_guard lock(stateMutex);
            body2 = state.ToJson();
        }
        body2["schema"] = kSchema;
        SendJson(res, body2, 202);
    }

    void EventsRoute(const httplib::Request& req, httplib::Response& res) {
        uint64_t after = backlog.LastId();
        const std::string last = req.get_header_value("Last-Event-ID");
        if (!last.empty()) {
            long long id = 0;
            if (!ParseCount(last, 0, 1LL << 53, id)) {
                SendProblem(res, {400, "last-event-id", "Last-Event-ID is an event's id (a number)"});
                return;
            }
            after = static_cast<uint64_t>(id);
        }
        if (streams.fetch_add(1) >= config.MaxStreams) {
            streams.fetch_sub(1);
            SendProblem(
                res, {503, "too-many-streams",
                      "this service serves " + std::to_string(config.MaxStreams) + " event streams at once"});
            return;
        }
        auto position = std::make_shared<uint64_t>(after);
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, position](std::size_t, httplib::DataSink& sink) {
                std::vector<TS_BACKLOG_EVENT> events;
                uint64_t missed = 0;
                if (!backlog.Read(*position, events, missed, std::chrono::seconds(15))) {
                    sink.done();
                    return true;
                }
                std::string out;
                if (missed > 0) {
                    out += "data: " +
                           json{{"schema", kSchema},
                                {"ts", UtcNow()},
                                {"port", "*"},
                                {"event", "missed"},
                                {"missed", missed}}
                               .dump() +
                           "\n\n";
                }
                for (const TS_BACKLOG_EVENT& e : events) {
                    out += "id: " + std::to_string(e.Id) + "\ndata: " + e.Data + "\n\n";
                    *position = e.Id;
                }
                if (out.empty()) {
                    out = ": keep-alive\n\n"; // finds a client that went away
                }
                return sink.write(out.data(), out.size());
            },
            [this](bool) { streams.fetch_sub(1); });
    }

    bool Query(const TS_HISTORY_FILTER& filter, std::vector<TS_ATTEMPT_RECORD>& records,
               httplib::Response& res) {
        std::string error;
        std::unique_ptr<IRecordStore> store =
            OpenRecordStore(config.Store, error, STORE_READ); // a reader never makes one
        if (!store || !store->Query(filter, records, error)) {
            SendProblem(res, {503, "store", error});
            return false;
        }
        return true;
    }

    void AttemptsRoute(const httplib::Request& req, httplib::Response& res) {
        TS_HISTORY_FILTER filter;
        long long limit = 50;
        long long offset = 0;
        for (const auto& [key, value] : req.params) {
            if (key == "job") {
                filter.Job = value;
            } else if (key == "serial") {
                filter.Serial = value;
            } else if (key == "port") {
                filter.Port = value;
            } else if (key == "result") {
                if (value != RESULT_PASSED && value != RESULT_FAILED && value != RESULT_INTERRUPTED &&
                    value != RESULT_OPEN) {
                    SendProblem(res, {400, "bad-parameter",
                                      "result is passed, failed, interrupted or open, not '" + value + "'"});
                    return;
                }
                filter.Result = value;
            } else if (key == "since" || key == "until") {
                if (!TimeParameter(key, value, filter, res)) {
                    return;
                }
            } else if (key == "limit") {
                if (!ParseCount(value, 1, 1000, limit)) {
                    SendProblem(res, {400, "bad-parameter", "limit takes a number from 1 to 1000"});
                    return;
                }
            } else if (key == "offset") {
                if (!ParseCount(value, 0, 1000000, offset)) {
                    SendProblem(res, {400, "bad-parameter", "offset takes a number from 0 to 1000000"});
                    return;
                }
            } else {
                SendProblem(res, {400, "unknown-parameter",
                                  "unknown parameter '" + key +
                                      "' (job, serial, port, result, since, until, limit, offset)"});
                return;
            }
        }
        // one page and one record more (is there a next page?), no log read
        filter.Offset = offset;
        filter.Limit = static_cast<int>(limit + 1);
        filter.WithLog = false;
        std::vector<TS_ATTEMPT_RECORD> records;
        if (!Query(filter, records, res)) {
            return;
        }
        json list = json::array();
        for (std::size_t k = 0; k < records.size() && k < static_cast<std::size_t>(limit); ++k) {
            list.push_back(RecordJson(records[k], false));
        }
        SendJson(res, {{"attempts", list},
                       {"offset", offset},
                       {"limit", limit},
                       {"more", records.size() > static_cast<std::size_t>(limit)}});
    }

    // Yield per hour and failures by reason over a period (default: the last 24 hours), for the
    // dashboard's charts: counted from the records, newest first, at most kStatsRecords of them.
    void StatsRoute(const httplib::Request& req, httplib::Response& res) {
        static constexpr int kStatsRecords = 100000;
        TS_HISTORY_FILTER filter;
        for (const auto& [key, value] : req.params) {
            if (key == "job") {
                filter.Job = value;
            } else if (key == "since" || key == "until") {
                if (!TimeParameter(key, value, filter, res)) {
                    return;
                }
            } else {
                SendProblem(
                    res, {400, "unknown-parameter", "unknown parameter '" + key + "' (job, since, until)"});
                return;
            }
        }
        if (filter.Since.empty()) {
            const std::time_t day = std::time(nullptr) - 24 * 3600;
            std::tm utc{};
            gmtime_r(&day, &utc);
            char text[32];
            std::strftime(text, sizeof text, "%Y-%m-%dT%H:00", &utc);
            NormaliseTimeText(text, filter.Since);
        }
        filter.Limit = kStatsRecords + 1;
        filter.WithLog = false;
        std::vector<TS_ATTEMPT_RECORD> records;
        if (!Query(filter, records, res)) {
            return;
        }
        const bool truncated = records.size() > static_cast<std::size_t>(kStatsRecords);
        std::map<std::string, std::pair<int64_t, int64_t>> hours; // "2026-12-09T17" -> passed, failed
        std::map<std::string, int64_t> reasons;
        for (std::size_t k = 0; k < records.size() && k < static_cast<std::size_t>(kStatsRecords); ++k) {
            const TS_ATTEMPT_RECORD& r = records[k];
            if (r.Result == RESULT_OPEN || r.Started.size() < 13) {
                continue;
            }
            auto& hour = hours[r.Started.substr(0, 13)];
            if (r.Result == RESULT_PASSED) {
                ++hour.first;
            } else {
                ++hour.second;
                ++reasons[r.Reason.empty() ? r.Result : r.Reason];
            }
        }
        json perHour = json::array();
        for (const auto& [hour, counts] : hours) {
            perHour.push_back({{"hour", hour + ":00Z"}, {"passed", counts.first}, {"failed", counts.second}});
        }
        std::vector<std::pair<std::string, int64_t>> byCount(reasons.begin(), reasons.end());
        std::stable_sort(byCount.begin(), byCount.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        json failures = json::array();
        for (const auto& [reason, count] : byCount) {
            failures.push_back({{"reason", reason}, {"count", count}});
        }
        SendJson(res, {{"since", filter.Since},
                       {"until", filter.Until.empty() ? json() : json(filter.Until)},
                       {"hours", perHour},
                       {"failures", failures},
                       {"truncated", truncated}});
    }

    void JobsRoute(httplib::Response& res) {
        if (config.JobsDir.empty()) {
            SendJson(res, {{"jobs", json::array()}, {"folder", nullptr}});
            return;
        }
        std::vector<fs::path> files;
        std::error_code ec;
        for (const fs::directory_entry& entry : fs::directory_iterator(config.JobsDir, ec)) {
            if (entry.path().extension() == ".toml" && entry.is_regular_file(ec)) {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
        json jobs = json::array();
        for (const fs::path& file : files) {
            TS_LINE_JOB job;
            TS_JOB_ERROR error;
            json entry = {{"name", file.filename().string()}};
            if (LoadJobFile(file.string(), job, error)) {
                json images = json::array();
                for (const auto& image : job.Images) {
                    images.push_back(fs::path(image.Path).filename().string());
                }
                entry.update({{"ok", true},
                              {"job", job.Name},
                              {"images", images},
                              {"verify", job.Verify},
                              {"serial", job.HasSerial},
                              {"sha256", job.Sha256}});
            } else {
                entry.update({{"ok", false}, {"error", error.Text()}});
            }
            jobs.push_back(entry);
        }
        SendJson(res, {{"jobs", jobs}, {"folder", fs::path(config.JobsDir).filename().string()}});
    }
};

CStationService::CStationService(TS_SERVICE_CONFIG config, IStationRunner& runner)
    : m(std::make_unique<TS_IMPL>(std::move(config), runner)) {}

CStationService::~CStationService() {
    Stop();
}

bool CStationService::Listen(std::string& error) {
    if (!m->config.TokenFile.empty() && !m->tokens.Load(m->config.TokenFile, error)) {
        return false;
    }
    if (m->tokens.Empty() && !IsLoopback(m->config.Host)) {
        error = "listening on " + m->config.Host +
                " needs a token file (--tokens FILE): without one only a loopback address (127.0.0.1) may be "
                "used";
        return false;
    }
    httplib::Server& s = m->server;
    const std::size_t threads = std::max<std::size_t>(m->config.Threads, m->config.MaxStreams + 4);
    s.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    s.set_payload_max_length(m->config.MaxBodyBytes);
    s.set_read_timeout(5, 0);
    s.set_write_timeout(5, 0);
    s.set_keep_alive_max_count(100);
    s.set_keep_alive_timeout(5);
    m->Routes();
    if (m->config.Port == 0) {
        m->port = s.bind_to_any_port(m->config.Host);
    } else {
        m->port = s.bind_to_port(m->config.Host, m->config.Port) ? m->config.Port : -1;
    }
    if (m->port <= 0) {
        error = "cannot listen on " + m->config.Host + ":" + std::to_string(m->config.Port) +
                " (the address is in use or not this host's)";
        return false;
    }
    return true;
}

int CStationService::BoundPort() const {
    return m->port;
}

std::string CStationService::Url() const {
    const std::string host =
        m->config.Host.find(':') != std::string::npos ? "[" + m->config.Host + "]" : m->config.Host;
    return "http://" + (host == "0.0.0.0" ? std::string("127.0.0.1") : host) + ":" + std::to_string(m->port) +
           "/";
}

void CStationService::Run() {
    m->server.listen_after_bind();
}

void CStationService::Stop() {
    m->backlog.Close();
    m->server.stop();
}

std::string CStationService::StartJob(const TS_SERVICE_START& start) {
    const TS_PROBLEM problem = m->Start(start);
    return problem.Detail;
}

void CStationService::StopStation() {
    m->runner.Stop();
    m->runner.Wait();
}

void CStationService::OnStationLine(const std::string& line) {
    m->OnLine(line);
}
