// A production line at work: one job, one record store, the hooks the station engine calls.
//
//   CLineSession line(job, *store, "station-3", "alice");
//   CStationEngine station(line.StationJob(), ports, observer);
//   station.SetLineHooks(line.Hooks());
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>

#include "line/JobFile.h"
#include "line/RecordStore.h"
#include "station/LineHooks.h"

class CLineSession final : public IHandsetDataSource, public IAttemptRecorder, public IFilePins {
public:
    CLineSession(const TS_LINE_JOB& job, IRecordStore& store, std::string station, std::string operatorName);

    TS_LINE_HOOKS Hooks() { return {this, this, this}; }
    // The pool the job's serials come from (Name empty: the job issues none).
    TS_SERIAL_POOL Pool() const;
    // The station job the line's job makes: download the images in order, verify as pinned, the
    // writer of the first link given (a port's own writer comes from WriterFor).
    TS_STATION_JOB StationJob() const;
    // The flash writer of a port type; empty when the job has none for it.
    std::string WriterFor(int portType) const;

    // The attempt in progress on a port (0: none), and the serial of an attempt (empty: none yet).
    int64_t CurrentAttempt(int port) const;
    std::string SerialOf(int64_t attempt) const;
    bool SerialKept(int64_t attempt) const;
    // SERIAL_ISSUED, SERIAL_KEPT, SERIAL_ADOPTED, or empty (none yet).
    std::string SerialHow(int64_t attempt) const;
    // Rework on a line that moved from another store: a handset's well-formed serial of the pool that
    // this store never issued is adopted (recorded as "adopted") instead of failing the attempt.
    void SetAdoptSerials(bool adopt) { m_adopt = adopt; }

    // IHandsetDataSource
    uint32_t FieldAddress() const override;
    std::size_t FieldLength() const override;
    bool TakeData(int64_t attempt, const TS_HANDSET_FACTS& facts, TS_HANDSET_DATA& data,
                  TE_STATION_ERROR& error, std::string& reason) override;
    // IAttemptRecorder
    bool BeginAttempt(int port, const std::string& portLabel, const std::string& devicePath, int64_t& attempt,
                      std::string& reason) override;
    bool EndAttempt(int64_t attempt, const TS_ATTEMPT_OUTCOME& outcome, std::string& reason) override;
    // IFilePins: the job's images and writers
    std::string PinnedSha256(const std::string& path) const override;
    std::string Sha256Of(const std::string& bytes) const override;
    void Prepared(const std::string& path, const std::string& sha256) override;

private:
    // Rework: a serial the store did not keep (ask failed): a store that fails says nothing of the
    // serial, so the question is asked again once the store answers. Refused: the store, answering, said
    // no (the handset fails, nothing erased); Failed: the store did not answer (a record failure,
    // which the station waits out).
    enum class EAsked { Given, Refused, Failed };
    EAsked AskAgain(const std::function<bool()>& ask);
    bool End(int64_t attempt, const TS_ATTEMPT_OUTCOME& outcome, std::string& reason);

    const TS_LINE_JOB& m_job;
    IRecordStore& m_store;
    const std::string m_station;
    const std::string m_operator;
    mutable std::mutex m_mutex;
    std::map<int, int64_t> m_current;                                 // port -> attempt
    std::map<int64_t, std::pair<std::string, std::string>> m_serials; // attempt -> serial, how
    bool m_adopt = false;
    const std::string m_program;
    std::atomic<bool> m_jobKept{false};
    std::map<std::string, std::string> m_sent; // path -> SHA-256 of the bytes prepared and sent
};

// "the handset's CS#0 holds X; the job expects Y", or empty when the parts are as the job pins.
std::string FlashPartMismatch(const std::array<int, 4>& expected, const std::array<int, 4>& found);
