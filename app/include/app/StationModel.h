// CStationModel: the production station window without its window. It holds the production line's
// job, its record store and its line session (whose hooks the engine calls), makes the engine's
// ports and job from the ticked ports and the main window's list and settings (or the job), owns
// the engine, and keeps each port's state as its tile shows it: what the tile looks like, the line
// under it (the serial and the reason of a result), the tally of the shift and the job's tally of
// today from the store. The window shows what it holds and relays the engine's reports to it on
// the UI thread; every call comes on that thread.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/StationSetup.h"
#include "station/StationEngine.h"

class CLineSession;
class IRecordStore;
struct TS_LINE_JOB;

// How a port's tile looks.
enum TE_TILE_LOOK {
    TILE_IDLE,    // the station does not run
    TILE_WAITING, // waiting for a handset
    TILE_BUSY,    // connecting ... verifying
    TILE_PASS,
    TILE_FAIL,
    TILE_STOPPED, // stopped before its end
};

// Why a Start cannot go on.
enum TE_STATION_START_REFUSAL {
    START_OK,
    START_NO_PORTS, // no port ticked
    START_NO_FILES, // no file to flash (the main window's list is empty)
    START_SAME_PORT // two ticked ports open the same device
};

// What a Start runs: the engine's job and ports, or the refusal.
struct TS_STATION_START {
    TE_STATION_START_REFUSAL Refusal = START_OK;
    std::string RepeatedPort; // START_SAME_PORT: the port that repeats another
    TS_STATION_JOB Job;
    std::vector<TS_STATION_PORT> Ports;
    std::vector<std::string> Paths; // the files and flash writers, shortened in the tiles' reasons
};

// A port as its tile shows it.
struct TS_PORT_TILE {
    std::string Label;
    TE_TILE_LOOK Look = TILE_IDLE;
    std::string Reason;   // the line under the state
    bool Busy = false;    // a handset's job runs
    bool Refused = false; // the reason says why the port cannot reach a handset
    std::time_t Start = 0;
};

// The end of a handset's job as the window reports it.
struct TS_STATION_END {
    bool Ok = false;
    bool Chime = true;    // false when the operator stopped it
    std::string LogBlock; // for the main window's log
};

// The job's results of today, from the store.
struct TS_TODAY_TALLY {
    bool Known = false; // a job is open and its store answered
    int Passed = 0;
    int Failed = 0; // failed or interrupted
};

// The start of the local day of a moment, as the record store's times are written (UTC,
// "2026-12-09T23:00:00"): where today's tally begins.
std::string LocalDayStart(std::time_t now);

// A job being opened: its file read on the UI thread (ReadJob), its store opened on any thread
// (OpenJobStore: a server over the network may take its connect time-out), then put in use on the
// UI thread (UseJob).
struct TS_JOB_OPENING {
    std::string Path;
    std::shared_ptr<TS_LINE_JOB> Job;
    std::shared_ptr<IRecordStore> Store; // once the store opened
    std::string Problem;                 // why the store did not open
};

class CStationModel {
public:
    CStationModel();
    ~CStationModel();
    CStationModel(const CStationModel&) = delete;
    CStationModel& operator=(const CStationModel&) = delete;

    // ---- the production line's job (not while running)
    // False with the reason (the job file's or the store's); the job in use, if any, stays. The
    // three steps of ReadJob, OpenJobStore and UseJob on the caller's thread.
    bool OpenJob(const std::string& path, std::string& problem);
    // The job file read: false with its reason.
    static bool ReadJob(const std::string& path, TS_JOB_OPENING& opening, std::string& problem);
    // Its store opened (made only for a job without serials, on first use); any thread, no model
    // touched. False with opening.Problem.
    static bool OpenJobStore(TS_JOB_OPENING& opening);
    // The job with its open store in use (false while running: nothing changes).
    bool UseJob(TS_JOB_OPENING opening);
    // The operator the records name: the user running the program unless the window names another.
    void SetOperator(const std::string& name);
    const std::string& Operator() const { return m_operator; }
    void CloseJob();
    bool HasJob() const { return m_line != nullptr; }
    const TS_LINE_JOB* Job() const { return m_job.get(); }
    // The job file last opened (or saved as last used before it is opened again); empty: none.
    const std::string& JobPath() const { return m_jobPath; }
    void SetJobPath(const std::string& path) { m_jobPath = path; }
    std::string StoreDescription() const;
    CLineSession* Line() const { return m_line.get(); }

    // ---- the ports and a run
    // The ports ticked, in order: one state each, idle (not while running).
    void SetPorts(const std::vector<TS_STATION_CHOICE>& chosen);
    // The engine's job and ports from the ticked ports and the main window's files and settings;
    // a job pins the files, the flash writers and verify.
    TS_STATION_START PrepareStart(const std::vector<TS_STATION_CHOICE>& chosen,
                                  const std::vector<std::string>& files, const AppSettings& settings,
                                  bool verify) const;
    // Every port waits; the engine starts (watch: each handset as it answers) reporting to observer.
    void Start(const TS_STATION_START& start, IStationObserver& observer, bool watch);
    void StopAll();
    bool Running() const { return m_engine != nullptr; }
    // The engine exists and every port's thread has ended.
    bool PortsEnded() const;
    // The engine goes; the ports that waited or worked are idle, and a refusal is no longer shown.
    void Ended();

    // ---- on a port's thread, as the engine reports: the attempt the line session opened for the
    // job that begins (0: none, as without a job or when the store refused it), and that attempt
    // again as the job ends, when another one may already be under way by the time the end is
    // shown.
    int64_t AttemptBegun(int port);
    int64_t AttemptOfJob(int port) const;

    // ---- the engine's reports (false: no such port, or nothing changes)
    bool Begin(int port);
    bool Phase(int port);
    // attempt: the one that ended (its serial is shown), from AttemptOfJob.
    std::optional<TS_STATION_END> End(int port, const TS_STATION_RESULT& result, int64_t attempt);
    bool Waiting(int port, bool away);
    bool Refused(int port, const std::string& reason);
    bool PortState(int port, TE_STATION_PORT_STATE state);
    // The record store as the engine found it (false: nothing changes). While it is unreachable no
    // new handset is taken; the station goes on by itself once it is back.
    bool StoreState(TE_STATION_STORE state, const std::string& reason);
    TE_STATION_STORE Store() const { return m_storeState; }
    const std::string& StoreReason() const { return m_storeReason; }

    const std::vector<TS_PORT_TILE>& Ports() const { return m_ports; }

    // ---- the tallies
    int Passed() const { return m_passed; }
    int Failed() const { return m_failed; }
    void ResetTally();
    const TS_TODAY_TALLY& Today() const { return m_today; }
    // The job's tally of today again, from the store, on the caller's thread.
    void CountToday();
    // The same question to ask on any thread (it holds the store while it runs): empty without a
    // job. Its answer goes to SetToday on the UI thread.
    std::function<TS_TODAY_TALLY()> TodayQuery() const;
    void SetToday(const TS_TODAY_TALLY& today) { m_today = today; }

private:
    TS_PORT_TILE* PortAt(int port);

    std::string m_jobPath;
    std::shared_ptr<TS_LINE_JOB> m_job;
    std::shared_ptr<IRecordStore> m_store; // shared with a question of today's tally under way
    std::string m_operator;
    std::unique_ptr<CLineSession> m_line;
    std::vector<TS_PORT_TILE> m_ports;
    // each written by its port's thread only, sized before the engine starts
    std::vector<int64_t> m_seenAttempt;
    std::vector<int64_t> m_jobAttempt;
    std::vector<std::string> m_files; // of the run in progress
    std::vector<std::string> m_paths;
    int m_passed = 0;
    int m_failed = 0;
    TS_TODAY_TALLY m_today;
    TE_STATION_STORE m_storeState = STATION_STORE_OK;
    std::string m_storeReason;
    // last: it goes first, before the line session its ports call
    std::unique_ptr<CStationEngine> m_engine;
};
