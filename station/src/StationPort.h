// One port of the station (private to station/): its thread, its link, its job, and in watch mode
// the loop over the states of its life (TE_STATION_PORT_STATE).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "download/ConnectSequence.h"
#include "download/JobObserver.h"
#include "download/OstraAreaTable.h"
#include "download/TargetConnection.h"
#include "station/LineHooks.h"
#include "station/StationEngine.h"
#include "tools/WrittenRanges.h"

namespace stationport {
using Clock = std::chrono::steady_clock;
} // namespace stationport

// Why a step failed; STATION_OK when it did not.
struct TS_FAILURE {
    TE_STATION_ERROR error;
    std::string message;
};

// A job file as every port sends it, made once per engine.
struct TS_PREPARED_FILE {
    std::string SendPath;      // what the session reads: the .cp64 made from an .m0, or the .cp64 given
    bool Compressed = false;   // SendPath was made here: the session takes Marks and compresses nothing
    TS_AREA_MARKS Marks;       // the areas the .m0's records touch, as the compression marked them
    TS_IMAGE_BYTES Image;      // the data records, for verify (empty when the job does not verify)
    uint64_t Payload = 0;      // data bytes
    bool HasEndRecord = false; // an "S7" record: the session sends the end command
};

class CStationPort final : public ILogSink, public IJobObserver {
public:
    using Clock = stationport::Clock;

    CStationPort(CStationEngine& engine, int index, TS_STATION_PORT port)
        : m_engine(engine), m_index(index), m_port(std::move(port)) {}
    ~CStationPort() override { Join(); }

    void Start(bool watch);
    void Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    bool Running() const { return m_running.load(); }
    bool Busy() const { return m_busy.load(); }
    const TS_STATION_PORT& Port() const { return m_port; }
    bool Stopped() const { return m_stop.load() || m_engine.m_stopAll.load(); }

    // Any thread: a download ends at its next block; any other wait is given up at once.
    void RequestStop();
    // Any thread: a port that looks for its device looks again now.
    void LookAgain();

    // ILogSink
    void AppendLog(const std::string& text) override;

    // IJobObserver: the engines' views of a download session, an erase, a read, a compression
    void SetCaption(const std::string&) override {}
    void OnJobPhase(TE_JOB_PHASE phase) override;
    void OnTargetRunner(int status, int runner, const std::string& version) override;
    void SetStatus(const std::string&) override {}
    void SetProgressText(const std::string&) override {}
    void SetProgressRange(uint32_t low, uint32_t high) override {
        m_low = low;
        m_high = high;
    }
    void SetProgressPos(uint32_t pos) override {
        if (m_positionBytes && m_high > m_low && pos >= m_low) {
            Progress(m_total * (pos - m_low) / (m_high - m_low), false);
        }
    }
    void StepProgress() override {}
    void SetEraseAnimation(bool on, const std::string&) override { m_erasing.store(on); }
    void OnBlockWritten(uint32_t address, uint32_t length) override;

private:
    void Phase(TE_STATION_PHASE phase);
    // done out of m_total; forced: the last report of a phase, whatever the time
    void Progress(uint64_t done, bool forced);
    COstraMonitor& Monitor() { return *m_link.Monitor(); }
    void CloseLink();
    // Sleeps, unless stopped first; false when stopped.
    bool Sleep(Clock::duration span);
    // Waits until a device may have appeared: at most span, less when LookAgain is called (a
    // hot-plug watcher's arrival) or the port is stopped. The seam for the arrivals of a hot-plug
    // watcher: today every caller also looks on its own after span.
    void WaitForDevice(Clock::duration span);
    // The open link was lost: the device went away (unplugged, re-enumerated, hung up).
    bool LinkLost() const;
    // The link failed under a command: the device went away (lost: the port's typed error), or
    // the command failed.
    TS_FAILURE LinkFailure(TE_STATION_ERROR error, const std::string& message, bool lost);
    TS_FAILURE LinkFailure(TE_STATION_ERROR error, const std::string& message) {
        return LinkFailure(error, message, LinkLost());
    }
    // The message of a lost link: the port's own name taken out, its reason said once.
    std::string DisconnectedText(const std::string& message) const;

    // ---- the steps of a job; each returns the failure, or STATION_OK ----
    // banner: the log starts as the GUI's does when a link opens
    TS_FAILURE OpenLink(bool banner);
    // Watch: the target's answer, without a limit.
    TS_FAILURE WaitForAnswer();
    // The connect sequence of a job (answered: the link is open and has answered); flashId: the
    // flash identification step, when the job asks for it.
    TS_FAILURE Connect(bool sendWriter, bool answered,
                       std::function<TS_JOB_OUTCOME(COstraMonitor&)> flashId = {});
    TS_CONNECT_PLAN Plan(TE_CONNECT_STEP first, TE_CONNECT_STEP last, bool banner);
    // The station's failure and words for an outcome of the connect sequence.
    TS_FAILURE ConnectFailure(const TS_JOB_OUTCOME& outcome, double waitSeconds);
    std::string OpenReason(const std::string& reason) const;
    // The connect sequence's writer step: prepared once, sent; its outcome's text is the message.
    TS_WRITER_SENT SendFlashWriter(const std::string& writer);
    TS_FAILURE Download(std::string& summary);
    TS_FAILURE DownloadFile(const std::string& path);
    TS_FAILURE Status(std::string& summary);
    TS_FAILURE FlashId(std::string& summary);
    TS_FAILURE Erase(std::string& summary);
    // A production line's part of a download (hooks set): the flash parts and the data field
    // read before anything is erased, then the handset's data taken.
    TS_FAILURE TakeHandsetData();
    // The bytes of the handset's data that no image carried, as blocks of their own, verified.
    TS_FAILURE WriteRestOfData();
    // The image's bytes with the handset's data in them, for verify.
    TS_IMAGE_BYTES PatchedImage(const TS_IMAGE_BYTES& image) const;

    TS_STATION_RESULT RunJob(bool answered);
    void Begin();
    void Finish(const TS_STATION_RESULT& result);
    // The record store cannot be written (reason): the station is told, the port waits one retry
    // interval; false when the port was stopped.
    bool WaitForStore(const std::string& reason);
    // A record was written: the port's wait (if any) is over.
    void StoreWritten();
    // A failed row without a job (a "download not possible" answer, a thread that failed).
    void FailedRow(TE_STATION_ERROR error, const std::string& message);
    void Run(bool watch);
    void Once();
    void Watch();
    void SetState(TE_STATION_PORT_STATE state);
    // Watch: said once each time the reason changes; cleared once the port opens.
    void Refused(const std::string& reason);
    // Watch: the handset of the last job (or answer) is still seated; returns once it was taken
    // away, on evidence: the device went, the link was lost, or kAwayFailures polls failed in a
    // row over at least kAwaySpan.
    void WaitUntilAway();
    void ThreadFailed(const std::string& why) noexcept;

    friend class CStationEngine;
    CStationEngine& m_engine;
    const int m_index;
    const TS_STATION_PORT m_port;
    std::thread m_thread;
    std::atomic<bool> m_running{false}; // the thread runs
    std::atomic<bool> m_busy{false};    // a job is in progress
    std::atomic<bool> m_stop{false};
    std::mutex m_waitMutex;
    std::condition_variable m_wake;
    bool m_lookAgain = false; // under m_waitMutex

    std::mutex m_linkMutex; // the link against RequestStop
    CTargetConnection m_link;
    std::atomic<bool> m_sending{false};
    std::atomic<bool> m_erasing{false};

    // the port's own thread only
    TE_STATION_PORT_STATE m_state = STATION_PORT_ENDED;
    bool m_stateSaid = false;
    std::string m_refusal;        // the last reason said by OnRefused; empty once the port opened
    bool m_begun = false;         // OnBegin was said and its OnEnd not yet
    bool m_storeWaitSaid = false; // the log said that this port waits for the record store
    // the attempt in progress, when a recorder is set (the port's own thread only)
    int64_t m_attempt = 0;
    std::string m_recordFailure; // the recorder refused the attempt's begin
    std::string m_attemptLog;
    std::vector<std::pair<std::string, Clock::time_point>> m_phaseMarks;
    TS_HANDSET_FACTS m_facts;
    TS_HANDSET_DATA m_data;
    std::vector<bool> m_dataSent; // bytes of m_data that went out with an image
    std::string m_verifyResult;
    std::vector<TS_ATTEMPT_FILE> m_attemptFiles;
    bool m_holdLog = false; // watch: the log of a wait is kept until a handset answers
    std::string m_heldLog;
    bool m_answered = false; // watch: the target answered before the job began
    bool m_writerSent = false;
    std::string m_writerPath; // the flash writer of the job's connect sequence
    std::string m_runners;    // the record: the programs that answered, "; " between
    CWrittenRanges m_written;
    std::vector<std::string> m_noEndRecord; // files of the job sent without an end record
    uint64_t m_bytes = 0;                   // acknowledged in the job
    uint64_t m_fileBytes = 0;               // acknowledged for the file in progress
    uint64_t m_verified = 0;
    uint64_t m_total = 0;         // of the phase's progress
    bool m_positionBytes = false; // progress from positions (a read), not from written blocks
    uint32_t m_low = 0;
    uint32_t m_high = 0;
    Clock::time_point m_lastProgress{};
    bool m_reported = false; // a progress of the phase was reported, with m_reportedDone
    uint64_t m_reportedDone = 0;
};
