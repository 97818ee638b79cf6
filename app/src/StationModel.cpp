#include "app/StationModel.h"

#include <cstdio>
#include <filesystem>

#include "line/JobFile.h"
#include "line/LineSession.h"
#include "line/RecordStore.h"

std::string LocalDayStart(std::time_t now) {
    std::tm day{};
    ::localtime_r(&now, &day);
    day.tm_hour = 0;
    day.tm_min = 0;
    day.tm_sec = 0;
    day.tm_isdst = -1; // as it is at midnight
    const std::time_t midnight = std::mktime(&day);
    std::tm utc{};
    ::gmtime_r(&midnight, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

CStationModel::CStationModel() : m_operator(UserName()) {}

CStationModel::~CStationModel() {
    m_engine.reset(); // its ports end before the line session they call
}

// ---- the production line's job ----

bool CStationModel::OpenJob(const std::string& path, std::string& problem) {
    TS_JOB_OPENING opening;
    if (m_engine || !ReadJob(path, opening, problem)) {
        return false;
    }
    if (!OpenJobStore(opening)) {
        problem = opening.Problem;
        return false;
    }
    if (!UseJob(std::move(opening))) {
        return false;
    }
    CountToday();
    return true;
}

bool CStationModel::ReadJob(const std::string& path, TS_JOB_OPENING& opening, std::string& problem) {
    auto job = std::make_shared<TS_LINE_JOB>();
    TS_JOB_ERROR error;
    if (!LoadJobFile(path, *job, error)) {
        problem = error.Text();
        return false;
    }
    opening.Path = path;
    opening.Job = std::move(job);
    return true;
}

bool CStationModel::OpenJobStore(TS_JOB_OPENING& opening) {
    const TS_LINE_JOB& job = *opening.Job;
    // a store is made on purpose: only a job without serials starts the default one on first use
    const bool create = !job.HasSerial && job.Store.empty();
    bool missing = false;
    opening.Store =
        OpenRecordStore(job.Store, opening.Problem, create ? STORE_CREATE : STORE_WRITE, &missing);
    if (!opening.Store) {
        if (missing) {
            opening.Problem +=
                "; make it with `vandrel-cli store init " +
                RedactStoreText(job.Store.empty() ? "sqlite:" + DefaultStorePath() : job.Store) + "`";
        }
        return false;
    }
    // a pool the store holds with another definition is refused now, not at the first serial
    if (job.HasSerial) {
        int64_t next = 0;
        int64_t left = 0;
        if (!opening.Store->PoolLeft(CLineSession(job, *opening.Store, {}, {}).Pool(), next, left,
                                     opening.Problem)) {
            opening.Store.reset();
            return false;
        }
    }
    return true;
}

bool CStationModel::UseJob(TS_JOB_OPENING opening) {
    if (m_engine || !opening.Job || !opening.Store) {
        return false;
    }
    m_line.reset();
    m_store = std::move(opening.Store);
    m_job = std::move(opening.Job);
    // the records name this station and its operator, as the command line's do by default
    m_line = std::make_unique<CLineSession>(*m_job, *m_store, HostName(), Operator());
    m_seenAttempt.clear();
    m_jobPath = opening.Path;
    m_today = {};
    return true;
}

void CStationModel::SetOperator(const std::string& name) {
    m_operator = name.empty() ? UserName() : name;
    if (m_line && !m_engine) {
        // the line session names its operator in each record it opens: a new one, the same job
        m_line = std::make_unique<CLineSession>(*m_job, *m_store, HostName(), m_operator);
    }
}

void CStationModel::CloseJob() {
    if (m_engine) {
        return;
    }
    m_line.reset();
    m_store.reset();
    m_job.reset();
    m_jobPath.clear();
    m_today = {};
}

std::string CStationModel::StoreDescription() const {
    return m_store ? m_store->Describe() : std::string();
}

// ---- the ports and a run ----

void CStationModel::SetPorts(const std::vector<TS_STATION_CHOICE>& chosen) {
    m_ports.clear();
    for (const TS_STATION_CHOICE& c : chosen) {
        TS_PORT_TILE state;
        state.Label = c.Label;
        m_ports.push_back(state);
    }
    m_seenAttempt.resize(m_ports.size(), 0);
    m_jobAttempt.assign(m_ports.size(), 0);
}

TS_STATION_START CStationModel::PrepareStart(const std::vector<TS_STATION_CHOICE>& chosen,
                                             const std::vector<std::string>& files,
                                             const AppSettings& settings, bool verify) const {
    TS_STATION_START start;
    if (chosen.empty()) {
        start.Refusal = START_NO_PORTS;
        return start;
    }
    const std::vector<std::string> used = m_line ? m_line->StationJob().Files : files;
    if (used.empty()) {
        start.Refusal = START_NO_FILES;
        return start;
    }
    for (const TS_STATION_CHOICE& c : chosen) {
        start.Ports.push_back(MakeStationPort(c, settings));
        if (m_line) {
            start.Ports.back().WriterPath =
                m_line->WriterFor(start.Ports.back().Config.PortType); // the job pins it
        }
    }
    start.RepeatedPort = CStationEngine::RepeatedPort(start.Ports);
    if (!start.RepeatedPort.empty()) {
        start.Refusal = START_SAME_PORT;
        return start;
    }
    start.Job = MakeStationJob(used, settings, verify);
    if (m_line) {
        const TS_STATION_JOB pinned = m_line->StationJob();
        start.Job.Verify = pinned.Verify;
        start.Job.WriterPath = pinned.WriterPath;
    }
    start.Paths = used;
    start.Paths.push_back(start.Job.WriterPath);
    for (const TS_STATION_PORT& port : start.Ports) {
        start.Paths.push_back(port.WriterPath);
    }
    return start;
}

void CStationModel::Start(const TS_STATION_START& start, IStationObserver& observer, bool watch) {
    if (m_engine || start.Refusal != START_OK) {
        return;
    }
    m_storeState = STATION_STORE_OK; // as the new engine finds it
    m_storeReason.clear();
    for (TS_PORT_TILE& port : m_ports) {
        port.Look = TILE_WAITING;
        port.Reason.clear();
        port.Busy = false;
    }
    m_seenAttempt.resize(m_ports.size(), 0); // of the line session, which outlives a run
    m_jobAttempt.assign(m_ports.size(), 0);
    m_files = start.Job.Files;
    m_paths = start.Paths;
    m_engine = std::make_unique<CStationEngine>(start.Job, start.Ports, observer);
    if (m_line) {
        m_engine->SetLineHooks(m_line->Hooks());
    }
    m_engine->Start(watch);
}

void CStationModel::StopAll() {
    if (m_engine) {
        m_engine->StopAll();
    }
}

bool CStationModel::PortsEnded() const {
    return m_engine && !m_engine->Running();
}

void CStationModel::Ended() {
    m_engine.reset(); // every thread has ended: nothing to wait for
    for (TS_PORT_TILE& port : m_ports) {
        if (port.Look == TILE_WAITING || port.Busy) {
            port.Look = TILE_IDLE;
            port.Busy = false;
        }
        if (port.Refused) {
            port.Reason.clear(); // the port no longer looks for a handset
            port.Refused = false;
        }
    }
}

// ---- on the ports' threads ----

int64_t CStationModel::AttemptBegun(int port) {
    if (port < 0 || port >= static_cast<int>(m_jobAttempt.size())) {
        return 0;
    }
    const auto k = static_cast<std::size_t>(port);
    // the line session keeps a port's last attempt: one seen before was not opened for this job
    const int64_t current = m_line ? m_line->CurrentAttempt(port) : 0;
    m_jobAttempt[k] = current != m_seenAttempt[k] ? current : 0;
    m_seenAttempt[k] = current;
    return m_jobAttempt[k];
}

int64_t CStationModel::AttemptOfJob(int port) const {
    return port >= 0 && port < static_cast<int>(m_jobAttempt.size())
               ? m_jobAttempt[static_cast<std::size_t>(port)]
               : 0;
}

// ---- the engine's reports ----

TS_PORT_TILE* CStationModel::PortAt(int port) {
    return port >= 0 && port < static_cast<int>(m_ports.size()) ? &m_ports[static_cast<std::size_t>(port)]
                                                                : nullptr;
}

bool CStationModel::Begin(int port) {
    TS_PORT_TILE* state = PortAt(port);
    if (!state) {
        return false;
    }
    state->Busy = true;
    state->Start = std::time(nullptr);
    state->Look = TILE_BUSY;
    state->Reason.clear();
    return true;
}

bool CStationModel::Phase(int port) {
    TS_PORT_TILE* state = PortAt(port);
    if (!state) {
        return false;
    }
    state->Look = TILE_BUSY;
    return true;
}

std::optional<TS_STATION_END> CStationModel::End(int port, const TS_STATION_RESULT& result, int64_t attempt) {
    TS_PORT_TILE* state = PortAt(port);
    if (!state) {
        return std::nullopt;
    }
    state->Busy = false;
    state->Refused = false;
    const bool stopped = !result.Ok && result.Error == STATION_ERR_STOPPED;
    // the serial of the attempt that ended goes first: the tile's two lines may not hold the
    // whole reason
    const std::string serial = m_line && attempt != 0 ? m_line->SerialOf(attempt) : std::string();
    if (result.Ok) {
        state->Look = TILE_PASS;
        if (result.NoEndRecord.empty()) {
            state->Reason = result.Summary;
            if (!serial.empty()) {
                state->Reason = "serial " + serial + (m_line->SerialKept(attempt) ? " (kept)" : "") + "; " +
                                state->Reason;
            }
        } else {
            // a success all the same, but the operator has to know
            state->Reason = std::string(STATION_NO_END_RECORD) + " (" +
                            std::filesystem::path(result.NoEndRecord.front()).filename().string() + ")";
        }
        ++m_passed;
    } else if (stopped) {
        state->Look = TILE_STOPPED;
        state->Reason = "stopped by the operator";
    } else {
        state->Look = TILE_FAIL;
        state->Reason = StationTileReason(result, m_paths);
        if (!serial.empty()) {
            state->Reason = "serial " + serial + " (void): " + state->Reason;
        }
        ++m_failed;
    }
    TS_STATION_END end; // today's tally is asked again by the window, off its thread
    end.Ok = result.Ok;
    end.Chime = !stopped;
    end.LogBlock = StationResultBlock(state->Label, m_files, state->Start, std::time(nullptr), result);
    return end;
}

bool CStationModel::Waiting(int port, bool away) {
    TS_PORT_TILE* state = PortAt(port);
    if (!state) {
        return false;
    }
    if (away) {
        // the result stays until the handset is taken off
        if (state->Look != TILE_PASS) {
            return false;
        }
        state->Reason = "take the handset off";
        return true;
    }
    state->Look = TILE_WAITING;
    state->Reason.clear();
    state->Refused = false;
    return true;
}

bool CStationModel::Refused(int port, const std::string& reason) {
    TS_PORT_TILE* state = PortAt(port);
    if (!state || state->Busy || state->Look != TILE_WAITING) {
        return false; // the last handset's result stays until it is taken off
    }
    state->Reason = reason;
    state->Refused = true;
    return true;
}

bool CStationModel::StoreState(TE_STATION_STORE state, const std::string& reason) {
    if (state == m_storeState && reason == m_storeReason) {
        return false;
    }
    m_storeState = state;
    m_storeReason = reason;
    return true;
}

bool CStationModel::PortState(int port, TE_STATION_PORT_STATE portState) {
    TS_PORT_TILE* state = PortAt(port);
    if (!state || portState != STATION_PORT_ANSWER || !state->Refused) {
        return false;
    }
    // the port opened: the refusal is over
    state->Reason.clear();
    state->Refused = false;
    return true;
}

// ---- the tallies ----

void CStationModel::ResetTally() {
    m_passed = 0;
    m_failed = 0;
}

void CStationModel::CountToday() {
    const std::function<TS_TODAY_TALLY()> query = TodayQuery();
    m_today = query ? query() : TS_TODAY_TALLY{};
}

std::function<TS_TODAY_TALLY()> CStationModel::TodayQuery() const {
    if (!m_store || !m_job) {
        return {};
    }
    return [store = m_store, job = m_job->Name, since = LocalDayStart(std::time(nullptr))] {
        TS_HISTORY_FILTER filter;
        filter.Job = job;
        filter.Since = since;
        filter.WithLog = false; // counted, not read
        std::string error;
        TS_TODAY_TALLY today;
        if (!EachRecord(
                *store, filter,
                [&today](const TS_ATTEMPT_RECORD& r) {
                    today.Passed += r.Result == RESULT_PASSED ? 1 : 0;
                    today.Failed += r.Result == RESULT_FAILED || r.Result == RESULT_INTERRUPTED ? 1 : 0;
                    return true;
                },
                error)) {
            return TS_TODAY_TALLY{};
        }
        today.Known = true;
        return today;
    };
}
