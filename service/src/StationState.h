// What the station looks like now, made from its event objects (docs/JSON.md): every port's
// state, phase, progress, serial and last result, the job and the tally. One object, locked by
// its owner.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct TS_PORT_STATE {
    std::string Port;           // the station's label
    std::string State = "idle"; // idle, waiting, running, removal, refused, ended (and the port-state names)
    std::string Phase;          // while running
    uint64_t Done = 0;
    uint64_t Total = 0;
    std::string Device;
    std::string Serial;  // of the handset on the port now
    int64_t Attempt = 0; // its record
    std::string Reason;  // why the port cannot reach a handset (refused)
    nlohmann::json Last; // the last end: result, reason, serial, attempt, ts; null before
};

class CStationState {
public:
    void SetPorts(const std::vector<std::string>& ports);
    // A job starts (name and file) or ended (empty name).
    void SetJob(const std::string& name, const std::string& file, bool watch, const std::string& started);
    void SetEnded(int status, const std::string& errors);
    bool Running() const { return m_running; }
    // One event object of the station.
    void Apply(const nlohmann::json& event);
    nlohmann::json ToJson() const;

private:
    TS_PORT_STATE& PortOf(const std::string& label);

    std::vector<TS_PORT_STATE> m_ports;
    bool m_running = false;
    std::string m_job;
    std::string m_file;
    std::string m_started;
    bool m_watch = false;
    int64_t m_passed = 0;
    int64_t m_failed = 0;
    nlohmann::json m_lastRun; // how the last run ended
};
