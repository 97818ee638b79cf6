#include "StationState.h"

namespace {

std::string Text(const nlohmann::json& j, const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}
int64_t Number(const nlohmann::json& j, const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_number() ? it->get<int64_t>() : 0;
}

} // namespace

void CStationState::SetPorts(const std::vector<std::string>& ports) {
    m_ports.clear();
    for (const std::string& port : ports) {
        m_ports.push_back({});
        m_ports.back().Port = port;
    }
}

void CStationState::SetJob(const std::string& name, const std::string& file, bool watch,
                           const std::string& started) {
    m_running = true;
    m_job = name;
    m_file = file;
    m_watch = watch;
    m_started = started;
    for (TS_PORT_STATE& p : m_ports) {
        p.State = "waiting";
        p.Reason.clear();
    }
}

void CStationState::SetEnded(int status, const std::string& errors) {
    m_running = false;
    m_lastRun = {{"status", status}, {"errors", errors}};
    for (TS_PORT_STATE& p : m_ports) {
        if (p.State != "passed" && p.State != "failed") {
            p.State = "idle";
        }
        p.Phase.clear();
    }
}

TS_PORT_STATE& CStationState::PortOf(const std::string& label) {
    for (TS_PORT_STATE& p : m_ports) {
        if (p.Port == label) {
            return p;
        }
    }
    m_ports.push_back({});
    m_ports.back().Port = label;
    return m_ports.back();
}

void CStationState::Apply(const nlohmann::json& e) {
    const std::string event = Text(e, "event");
    const std::string label = Text(e, "port");
    if (event.empty() || label.empty() || label == "*") {
        return;
    }
    TS_PORT_STATE& p = PortOf(label);
    if (event == "begin") {
        p.State = "running";
        p.Phase = "connect";
        p.Done = p.Total = 0;
        p.Device = Text(e, "device");
        p.Serial = Text(e, "serial");
        p.Attempt = Number(e, "attempt");
        p.Reason.clear();
    } else if (event == "phase") {
        p.Phase = Text(e, "phase");
        p.Done = p.Total = 0;
    } else if (event == "progress") {
        p.Done = static_cast<uint64_t>(Number(e, "done"));
        p.Total = static_cast<uint64_t>(Number(e, "total"));
    } else if (event == "end") {
        const bool ok = Text(e, "result") == "ok";
        std::string reason = ok ? Text(e, "summary") : std::string();
        std::string kind;
        if (const auto error = e.find("error"); !ok && error != e.end() && error->is_object()) {
            reason = Text(*error, "message");
            kind = Text(*error, "name");
        }
        const std::string serial = Text(e, "serial");
        p.State = ok ? "passed" : "failed";
        p.Phase.clear();
        p.Serial = serial;
        p.Last = {
            {"result", ok ? "passed" : "failed"},
            {"reason", reason},
            {"error", kind.empty() ? nlohmann::json() : nlohmann::json(kind)},
            {"serial", serial.empty() ? nlohmann::json() : nlohmann::json(serial)},
            {"attempt", Number(e, "attempt") > 0 ? nlohmann::json(Number(e, "attempt")) : nlohmann::json()},
            {"ts", Text(e, "ts")}};
        (ok ? m_passed : m_failed)++;
    } else if (event == "port-state") {
        const std::string state = Text(e, "state");
        if (state == "no-device" || state == "answer" || state == "opening") {
            if (p.State != "refused" || state == "answer") {
                p.State = "waiting";
            }
            if (state == "answer") {
                p.Reason.clear();
            }
        } else if (state == "removal") {
            p.State = "removal";
        } else if (state == "ended" && p.State != "passed" && p.State != "failed") {
            p.State = "idle";
        }
    } else if (event == "refused") {
        p.State = "refused";
        p.Reason = Text(e, "reason");
    }
}

nlohmann::json CStationState::ToJson() const {
    nlohmann::json ports = nlohmann::json::array();
    for (const TS_PORT_STATE& p : m_ports) {
        ports.push_back({{"port", p.Port},
                         {"state", p.State},
                         {"phase", p.Phase.empty() ? nlohmann::json() : nlohmann::json(p.Phase)},
                         {"done", p.Done},
                         {"total", p.Total},
                         {"device", p.Device},
                         {"serial", p.Serial.empty() ? nlohmann::json() : nlohmann::json(p.Serial)},
                         {"attempt", p.Attempt > 0 ? nlohmann::json(p.Attempt) : nlohmann::json()},
                         {"reason", p.Reason.empty() ? nlohmann::json() : nlohmann::json(p.Reason)},
                         {"last", p.Last}});
    }
    nlohmann::json job;
    if (!m_job.empty()) {
        job = {{"name", m_job}, {"file", m_file}, {"watch", m_watch}, {"started", m_started}};
    }
    return {{"running", m_running},
            {"job", job},
            {"ports", ports},
            {"tally", {{"passed", m_passed}, {"failed", m_failed}}},
            {"lastRun", m_lastRun}};
}
