// The production station: one job per port, every port on a thread of its own, on the engines
// the single link uses (connection, flash writer, download session, verify, erase, flash id).
//
//   TS_STATION_JOB job;                           // what every port does
//   job.Command = STATION_DOWNLOAD;
//   job.Files = {"vmain.m0"};
//   job.WriterPath = "vwriter.m0";
//   job.Verify = true;
//   std::vector<TS_STATION_PORT> ports = {StationUartPort("/dev/ttyUSB0", 12),
//                                          StationUsbPort("/run/r3700.sock")};
//   CStationEngine station(job, ports, observer); // observer: an IStationObserver of yours
//   station.Start(false);                         // true: the watch loop, one handset after another
//   ...                                           // observer calls arrive on the ports' threads
//   station.StopAll();                            // Ctrl-C, a Stop button: next block boundary
//   station.Wait();                               // every port's thread has ended
//   TS_STATION_TALLY tally = station.Tally();
//
// Ports share no link: each job has its own monitor (opened on its own device path, whatever the
// process-wide port map says), its own log, its own stop flag. What they share is read-only: each
// image is prepared (compressed, read for verify) once, by the first port that needs it. A port
// that fails, hangs, loses its handset or whose thread throws never stops or slows another. No Qt,
// no process-wide state is changed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quillet/QuilletTypes.h"
#include "tools/EraseSelection.h"

// What every port of the station does.
enum TE_STATION_COMMAND {
    STATION_DOWNLOAD, // connect, flash writer when the boot loader runs, the files in order, verify
    STATION_STATUS,   // connect, which program runs
    STATION_FLASH_ID, // connect, flash writer, the part on each chip select
    STATION_ERASE,    // connect, flash writer, query, erase the items
};

// The phases a job goes through, in order; the names are those of StationPhaseName.
enum TE_STATION_PHASE {
    STATION_PHASE_CONNECT,    // "connect": open the port, wait for the target's answer, status
    STATION_PHASE_WRITER,     // "writer": the flash writer goes to the boot loader
    STATION_PHASE_COMPRESS,   // "compress": a file is prepared (.m0 to .cp64)
    STATION_PHASE_ERASE,      // "erase": the areas a file touches are erased
    STATION_PHASE_PROGRAM,    // "program": a file's blocks are sent
    STATION_PHASE_VERIFY,     // "verify": what was written is read back and compared
    STATION_PHASE_DUMP,       // "dump": memory is read (reserved: the station runs no dump)
    STATION_PHASE_ERASE_CHIP, // "erase-chip": the erase command's query and erase
    STATION_PHASE_FLASH_ID,   // "flash-id": the four chip selects are asked
};
const char* StationPhaseName(TE_STATION_PHASE phase);

// Why a job failed; the names are those of StationErrorName. Stable numbers.
enum TE_STATION_ERROR {
    STATION_OK = 0,
    STATION_ERR_USAGE = 1,        // "usage": nothing to do, a port given twice
    STATION_ERR_FILE = 2,         // "file": a flash file (or the writer) does not read or is not set
    STATION_ERR_PORT_OPEN = 3,    // "port-open": the port did not open
    STATION_ERR_NO_ANSWER = 4,    // "no-answer": the target stayed silent within the wait
    STATION_ERR_NOT_POSSIBLE = 5, // "not-possible": the target said a download is not possible
    STATION_ERR_LINK = 6,         // "link": a command failed on the link
    STATION_ERR_DISCONNECTED = 7, // "disconnected": the device went away during the job
    STATION_ERR_WRITER = 8,       // "writer": the flash writer was not taken
    STATION_ERR_DOWNLOAD = 9,     // "download": a file's session failed
    STATION_ERR_VERIFY = 10,      // "verify": what was read back differs
    STATION_ERR_ERASE = 11,       // "erase": an erase command failed, or an item has no flash part
    STATION_ERR_FLASH_ID = 12,    // "flash-id": a chip select did not answer
    STATION_ERR_STOPPED = 13,     // "stopped": stopped by StopAll / Stop
    STATION_ERR_INTERNAL = 14,    // "internal": the port's thread failed (out of memory, a system
                                  // error...); the message names it, the other ports go on
    STATION_ERR_SERIAL = 15,      // "serial": no serial left for the handset
    STATION_ERR_RECORD = 16,      // "record": the record store was not written (the station was
                                  // stopped while it waited for the store)
};
const char* StationErrorName(TE_STATION_ERROR error);

// The life of a port in watch mode, one state after another; the names are those of
// StationPortStateName. A lost link or a failed open, in any state, goes back to NO_DEVICE.
enum TE_STATION_PORT_STATE {
    STATION_PORT_NO_DEVICE, // "no-device": the device is not there (or did not open); looked for again
    STATION_PORT_OPENING,   // "opening": the device is there, the port is being opened
    STATION_PORT_ANSWER,    // "answer": open, waiting for the handset's answer
    STATION_PORT_JOB,       // "job": a handset answered, the job runs
    STATION_PORT_REMOVAL,   // "removal": the job has ended, waiting for the handset to be taken away
    STATION_PORT_ENDED,     // "ended": the port's thread has ended (stopped, or it failed)
};
const char* StationPortStateName(TE_STATION_PORT_STATE state);

// The record store as the station finds it (a production line's station only); the names are those
// of StationStoreStateName.
enum TE_STATION_STORE {
    STATION_STORE_OK,          // "ok": records are written
    STATION_STORE_UNREACHABLE, // "unreachable": a record could not be written: no new handset is
                               // taken, a handset whose record is pending waits; the ports try the
                               // store again until it answers, then go on by themselves
};
const char* StationStoreStateName(TE_STATION_STORE state);

// A file without an end record was sent in full, and no end command went out: the download counts
// as a success, but the image may have been cut short. Views show this text with the file.
inline constexpr const char* STATION_NO_END_RECORD = "no end record: the image may be truncated";

// One port of the station.
struct TS_STATION_PORT {
    std::string Label;      // how the port is shown: "COM1", "/dev/ttyUSB0", "usb:1-2"
    std::string DevicePath; // what opens (a tty, a USB packet device or socket, a usb: device text)
    TS_PORT_CONFIG Config{PORT_UART, 0, 12, 3, 0, 0, 0}; // port type and line settings
    std::string WriterPath; // the flash writer of this port (by port type); empty: the job's
};
// A serial port at a rate of the baud table (12: 115200 bit/s), 8N1, no flow control; and the
// USB device at a path. The label is the path unless given.
TS_STATION_PORT StationUartPort(const std::string& path, int baudIndex, const std::string& label = {});
TS_STATION_PORT StationUsbPort(const std::string& path, const std::string& label = {});

struct TS_STATION_JOB {
    TE_STATION_COMMAND Command = STATION_DOWNLOAD;
    std::vector<std::string> Files;        // download: application images (.m0, .cp64), in order
    bool Verify = false;                   // download: read each file back after it was written
    std::string WriterPath;                // the flash writer sent when the boot loader answers
    std::vector<TE_ERASE_ITEM> EraseItems; // erase
    double WaitSeconds = 30;               // for the target's answer (and the USB device); 0: no limit
};

// How a job ended.
struct TS_STATION_RESULT {
    bool Ok = false;
    TE_STATION_ERROR Error = STATION_OK;
    std::string Message; // one line: why it failed; empty when Ok
    std::string Summary; // one line on success: "2 files sent, verified 98304 bytes", the status...
    uint64_t Bytes = 0;  // payload bytes the target acknowledged
    double Seconds = 0;  // from the begin of the job to its end
    // The files of a download that have no end record ("S7"), sent in full (see
    // STATION_NO_END_RECORD); they do not make the job fail. Also on a failed job, for the files
    // that were sent before the failure.
    std::vector<std::string> NoEndRecord;
};

// Every call comes on the thread of the port that reports it (several ports call at once): an
// implementation locks what it shares, and returns quickly (it holds up that port's job only).
class IStationObserver {
public:
    virtual ~IStationObserver() = default;
    // A job starts on a port (in watch mode: a handset answered). devicePath: what was opened.
    virtual void OnBegin(int port, const std::string& devicePath) = 0;
    virtual void OnPhase(int port, TE_STATION_PHASE phase) = 0;
    // Bytes of the phase done out of total (total 0: not known). At most ten times a second per
    // port, and always once at 100 %.
    virtual void OnProgress(int port, uint64_t done, uint64_t total) = 0;
    // A text of the job's log, as the GUI's log shows it (lines end with "\r\n" inside the text).
    virtual void OnLog(int port, const std::string& text) = 0;
    virtual void OnEnd(int port, const TS_STATION_RESULT& result) = 0;
    // Watch mode: the port waits for a handset (away false), or for the last one to go away
    // (away true).
    virtual void OnWaiting(int port, bool away) {
        (void)port;
        (void)away;
    }
    // Watch mode: the port went into another state of its life (once per change).
    virtual void OnPortState(int port, TE_STATION_PORT_STATE state) {
        (void)port;
        (void)state;
    }
    // Watch mode: the port cannot reach a handset, and why: "no device at /dev/ttyUSB0", "cannot
    // open COM1 (/dev/ttyUSB0): permission denied (error 5)", "... 2 devices match ...". Said once
    // each time the reason changes, not at every retry; once the port has opened, the next refusal
    // is said again. (A handset that answers "download not possible" is a failed row, OnEnd, not
    // a refusal.)
    virtual void OnRefused(int port, const std::string& reason) {
        (void)port;
        (void)reason;
    }
    // The record store went from one state to the other (once per change, on the thread of the
    // port that found it). reason: why it cannot be written, for people to read (empty when OK).
    virtual void OnStoreState(TE_STATION_STORE state, const std::string& reason) {
        (void)state;
        (void)reason;
    }
};

struct TS_STATION_TALLY {
    int Succeeded = 0;
    int Failed = 0;
    int Running = 0; // jobs in progress now
};

class CStationPort;
struct TS_PREPARED_FILE;
class IHandsetDataSource;
class IAttemptRecorder;
class IFilePins;
struct TS_LINE_HOOKS;

class CStationEngine {
public:
    // ports: at least one; the observer must outlive the engine.
    CStationEngine(TS_STATION_JOB job, std::vector<TS_STATION_PORT> ports, IStationObserver& observer);
    // Stops every port and waits for them.
    ~CStationEngine();
    CStationEngine(const CStationEngine&) = delete;
    CStationEngine& operator=(const CStationEngine&) = delete;

    // Starts one thread per port. watch false: each port runs the job once. watch true: each port
    // goes through the states of TE_STATION_PORT_STATE until stopped: it waits for a handset (the
    // device appears, opens and the target answers), runs the job, waits for the handset to be
    // taken away (on evidence: the device goes, the link is lost, or several polls fail over at
    // least a second), and arms again. A lost link or a failed open, in any state, goes back to
    // looking for the device, so a port never waits for good on a link that cannot answer.
    void Start(bool watch);
    // Thread-safe, async-signal-unsafe. A download ends at its next block boundary, an erase or a
    // read gives up its wait, a port that waits for a handset stops waiting; every job then ends
    // with STATION_ERR_STOPPED (or its result, when it had already ended).
    void StopAll();
    void Stop(int port);
    bool StopRequested() const { return m_stopAll.load(); }
    // Blocks until every port's thread has ended (after a Start(false): all jobs have ended).
    void Wait();
    // Whether a port's thread still runs.
    bool Running() const;

    int PortCount() const { return static_cast<int>(m_ports.size()); }
    const TS_STATION_PORT& Port(int port) const;
    const TS_STATION_JOB& Job() const { return m_job; }
    // Jobs ended and in progress, over all ports (watch mode: since the start).
    TS_STATION_TALLY Tally() const;
    // The last result of a port (Ok false and Error STATION_OK before its first end).
    TS_STATION_RESULT LastResult(int port) const;

    // Any thread: a device may have appeared (a hot-plug watcher saw an arrival). The ports that
    // look for their device look again now instead of at their next retry.
    void DeviceMayHaveAppeared();

    // How many flash files this engine compressed: each .m0 (the job's files and the flash
    // writers) once, by the first port that needs it; the other ports send and verify the same
    // prepared image.
    int Compressions() const;

    // A production line's hooks (station/LineHooks.h): the data of each handset (a serial number)
    // and the record of every attempt of a download. Set before Start; they must outlive the
    // engine.
    void SetLineHooks(const TS_LINE_HOOKS& hooks);

    // The record store's state, as last found by a port.
    TE_STATION_STORE StoreState() const;
    // How often a port waiting for its store tries it again (1 s by default). Set before Start.
    void SetStoreRetry(std::chrono::milliseconds interval) { m_storeRetry = interval; }

    // Test seam: called on a port's thread as each job begins (after its OnBegin); what it throws
    // ends that port as a failed row. Set before Start.
    void SetJobHook(std::function<void(int port)> hook) { m_jobHook = std::move(hook); }

    // The label of a port given twice (the same label, or device paths that are the same file once
    // symbolic links are followed); empty when none is.
    static std::string RepeatedPort(const std::vector<TS_STATION_PORT>& ports);

private:
    friend class CStationPort;
    void Ended(int port, const TS_STATION_RESULT& result);
    // A port found the store unwritable (reason), or written again: said to the observer once per
    // change.
    void StoreFound(bool written, const std::string& reason);
    // The prepared form of a job file, made once (by the calling port when it is the first);
    // with its data records when the job verifies. Null with the failure set when it could not
    // be made or the port was stopped meanwhile (STATION_ERR_STOPPED).
    std::shared_ptr<const TS_PREPARED_FILE> Prepare(CStationPort& port, const std::string& path,
                                                    TE_STATION_ERROR& error, std::string& message);

    const TS_STATION_JOB m_job;
    IStationObserver& m_observer;
    std::vector<std::unique_ptr<CStationPort>> m_ports;
    std::atomic<bool> m_stopAll{false};
    mutable std::mutex m_mutex;
    TS_STATION_TALLY m_tally;
    std::vector<TS_STATION_RESULT> m_last;
    const std::string m_version; // of the program, for the log's banner
    std::function<void(int port)> m_jobHook;
    IHandsetDataSource* m_lineData = nullptr;
    IAttemptRecorder* m_recorder = nullptr;
    IFilePins* m_pins = nullptr;
    TE_STATION_STORE m_store = STATION_STORE_OK; // under m_mutex
    std::mutex m_storeSaid;                      // one change said at a time, in order
    std::chrono::milliseconds m_storeRetry{1000};
    // Arrivals and removals of USB devices, while a watching port waits for a usb: device.
    std::shared_ptr<void> m_usbArrivals;

    // the job's files, prepared once for every port
    struct TS_PREPARING;
    mutable std::mutex m_prepareMutex;
    std::condition_variable m_prepared;
    std::map<std::string, std::shared_ptr<TS_PREPARING>> m_files;
    int m_compressions = 0;
};
