#include "line/LineSession.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "LineHost.h"
#include "download/TargetConnection.h"
#include "line/Sha256.h"
#include "tools/FlashIdentification.h"

std::string FlashPartMismatch(const std::array<int, 4>& expected, const std::array<int, 4>& found) {
    for (std::size_t cs = 0; cs < 4; ++cs) {
        if (expected[cs] >= 0 && found[cs] != expected[cs]) {
            const std::string holds = found[cs] < 0 ? "did not answer" : "holds " + FlashPartName(found[cs]);
            return "the handset's CS#" + std::to_string(cs) + " " + holds + "; the job expects " +
                   FlashPartName(expected[cs]);
        }
    }
    return {};
}

namespace {
// "vandrel-cli 1.4.0": the program's file name and its version block
std::string ProgramText() {
    const std::string name = ProgramFileName();
    const std::string version = ModuleFileVersion();
    return version.empty() ? name : name + " " + version;
}
} // namespace

CLineSession::CLineSession(const TS_LINE_JOB& job, IRecordStore& store, std::string station,
                           std::string operatorName)
    : m_job(job), m_store(store), m_station(std::move(station)), m_operator(std::move(operatorName)),
      m_program(ProgramText()) {}

TS_SERIAL_POOL CLineSession::Pool() const {
    TS_SERIAL_POOL pool;
    if (m_job.HasSerial) {
        pool.Name = m_job.SerialPool;
        pool.Definition = m_job.Serial.PoolDefinition();
        pool.Count = m_job.Serial.Count();
        pool.Job = m_job.Name;
    }
    return pool;
}

TS_STATION_JOB CLineSession::StationJob() const {
    TS_STATION_JOB job;
    job.Command = STATION_DOWNLOAD;
    for (const TS_JOB_FILE& image : m_job.Images) {
        job.Files.push_back(image.Path);
    }
    job.Verify = m_job.Verify;
    job.WriterPath = m_job.WriterUart.Path.empty() ? m_job.WriterUsb.Path : m_job.WriterUart.Path;
    return job;
}

std::string CLineSession::WriterFor(int portType) const {
    return portType == 1 ? m_job.WriterUsb.Path : m_job.WriterUart.Path;
}

int64_t CLineSession::CurrentAttempt(int port) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_current.find(port);
    return it == m_current.end() ? 0 : it->second;
}

std::string CLineSession::SerialOf(int64_t attempt) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_serials.find(attempt);
    return it == m_serials.end() ? std::string() : it->second.first;
}

bool CLineSession::SerialKept(int64_t attempt) const {
    const std::string how = SerialHow(attempt);
    return how == SERIAL_KEPT || how == SERIAL_ADOPTED;
}

std::string CLineSession::SerialHow(int64_t attempt) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_serials.find(attempt);
    return it == m_serials.end() ? std::string() : it->second.second;
}

std::string CLineSession::PinnedSha256(const std::string& path) const {
    for (const TS_JOB_FILE* file : {&m_job.WriterUart, &m_job.WriterUsb}) {
        if (!file->Path.empty() && file->Path == path) {
            return file->Sha256;
        }
    }
    for (const TS_JOB_FILE& image : m_job.Images) {
        if (image.Path == path) {
            return image.Sha256;
        }
    }
    return {};
}

std::string CLineSession::Sha256Of(const std::string& bytes) const {
    return Sha256Hex(bytes);
}

void CLineSession::Prepared(const std::string& path, const std::string& sha256) {
    std::lock_guard lock(m_mutex);
    m_sent[path] = sha256;
}

uint32_t CLineSession::FieldAddress() const {
    return m_job.HasSerial ? m_job.Serial.Address() : 0;
}
std::size_t CLineSession::FieldLength() const {
    return m_job.HasSerial ? m_job.Serial.Length() : 0;
}

bool CLineSession::TakeData(int64_t attempt, const TS_HANDSET_FACTS& facts, TS_HANDSET_DATA& data,
                            TE_STATION_ERROR& error, std::string& reason) {
    data = {};
    if (const std::string mismatch = FlashPartMismatch(m_job.ExpectedParts, facts.FlashParts);
        !mismatch.empty()) {
        error = STATION_ERR_FLASH_ID;
        reason = mismatch;
        return false;
    }
    if (!m_job.HasSerial) {
        return true;
    }
    const CSerialPlan& plan = m_job.Serial;
    data.Present = true;
    data.Address = plan.Address();
    if (facts.FieldRead) {
        if (const int64_t index = plan.IndexOf(facts.Field); index >= 0) {
            // rework: the handset keeps the serial it holds, when this store issued it (or adopts it)
            bool known = false;
            std::string how;
            std::string problem;
            const auto keep = [&] {
                return m_store.KeepSerial(attempt, Pool(), index, plan.Text(index), m_adopt, known, how,
                                          problem);
            };
            const EAsked asked = keep() ? EAsked::Given : known ? EAsked::Failed : AskAgain(keep);
            if (asked != EAsked::Given) {
                error = asked == EAsked::Refused ? STATION_ERR_SERIAL : STATION_ERR_RECORD;
                reason = problem;
                return false;
            }
            data.Bytes = plan.Bytes(index);
            data.Text = plan.Text(index);
            data.Kept = true;
            std::lock_guard lock(m_mutex);
            m_serials[attempt] = {data.Text, how};
            return true;
        }
    }
    TS_SERIAL_ISSUE issue;
    bool exhausted = false;
    std::string problem;
    // a store that fails (or times out on the pool's row) is a record failure, which the station
    // waits out: the serial is asked again once the store answers
    if (!m_store.IssueSerial(
            attempt, Pool(), [&plan](int64_t k) { return plan.Text(k); }, issue, exhausted, problem)) {
        error = exhausted ? STATION_ERR_SERIAL : STATION_ERR_RECORD;
        reason = exhausted ? "serials " + plan.RangeText() + " are all issued" : problem;
        return false;
    }
    data.Bytes = plan.Bytes(issue.Index);
    data.Text = issue.Text;
    std::lock_guard lock(m_mutex);
    m_serials[attempt] = {data.Text, SERIAL_ISSUED};
    return true;
}

CLineSession::EAsked CLineSession::AskAgain(const std::function<bool()>& ask) {
    // once the store answers a plain read, the question is asked once more: a second no from a
    // store that still answers is its answer
    std::string text;
    std::string error;
    if (!m_store.JobText(m_job.Sha256, text, error)) {
        return EAsked::Failed;
    }
    if (ask()) {
        return EAsked::Given;
    }
    return m_store.JobText(m_job.Sha256, text, error) ? EAsked::Refused : EAsked::Failed;
}

bool CLineSession::BeginAttempt(int port, const std::string& portLabel, const std::string& devicePath,
                                int64_t& attempt, std::string& reason) {
    TS_ATTEMPT_RECORD record;
    record.Job = m_job.Name;
    record.JobSha256 = m_job.Sha256;
    record.Pool = m_job.HasSerial ? m_job.SerialPool : std::string();
    record.Station = m_station;
    record.Operator = m_operator;
    record.Port = portLabel;
    record.Device = devicePath;
    record.Started = UtcNow();
    record.Host = HostName();
    record.Program = m_program;
    // the job's text, once per store and session: the record's job_sha256 finds it
    if (!m_jobKept.exchange(true) && !m_store.KeepJobText(m_job.Sha256, m_job.Text, reason)) {
        m_jobKept = false;
        return false;
    }
    if (!m_store.BeginAttempt(record, attempt, reason)) {
        return false;
    }
    std::lock_guard lock(m_mutex);
    m_current[port] = attempt;
    return true;
}

bool CLineSession::EndAttempt(int64_t attempt, const TS_ATTEMPT_OUTCOME& outcome, std::string& reason) {
    try {
        return End(attempt, outcome, reason);
    } catch (const std::exception& e) {
        // never the port's thread: the attempt's end fails with the reason
        reason = std::string("cannot record the attempt's end: ") + e.what();
        return false;
    }
}

bool CLineSession::End(int64_t attempt, const TS_ATTEMPT_OUTCOME& outcome, std::string& reason) {
    TS_ATTEMPT_RECORD record;
    record.Id = attempt;
    record.Ended = UtcNow();
    std::string parts;
    for (std::size_t cs = 0; cs < 4; ++cs) {
        parts += (cs ? ", CS#" : "CS#") + std::to_string(cs) + " " +
                 (outcome.Facts.FlashParts[cs] < 0 ? std::string("-")
                                                   : FlashPartName(outcome.Facts.FlashParts[cs]));
    }
    record.FlashParts = outcome.Facts.FlashParts[0] < 0 && outcome.Facts.FlashParts[2] < 0 ? "" : parts;
    record.Runners = outcome.Facts.Runners;
    nlohmann::json files = nlohmann::json::array();
    for (const TS_ATTEMPT_FILE& file : outcome.Files) {
        std::string sha; // of the bytes the preparation read, checked and sent
        {
            std::lock_guard lock(m_mutex);
            const auto it = m_sent.find(file.Path);
            sha = it == m_sent.end() ? std::string() : it->second;
        }
        files.push_back(
            {{"role", file.Role}, {"path", EscapedUtf8(file.Path)}, {"sha256", sha}, {"bytes", file.Bytes}});
    }
    record.Files = files.dump();
    if (const std::string serial = SerialOf(attempt); !serial.empty()) {
        record.Serial = serial; // issued or kept, whatever the station made of it: the record keeps it
        record.SerialHow = SerialHow(attempt);
    } else if (outcome.Data.Present) {
        record.Serial = outcome.Data.Text;
        record.SerialHow = outcome.Data.Kept ? SERIAL_KEPT : SERIAL_ISSUED;
    }
    record.Verify = outcome.Verify;
    record.Result = outcome.Result.Ok ? RESULT_PASSED : RESULT_FAILED;
    record.Reason = outcome.Result.Ok ? outcome.Result.Summary : outcome.Result.Message;
    record.Error = outcome.Result.Ok ? std::string() : StationErrorName(outcome.Result.Error);
    nlohmann::json phases = nlohmann::json::object();
    for (const auto& [name, seconds] : outcome.Phases) {
        // to the millisecond: a phase that comes again (one per image) adds up
        phases[name] = std::round((phases.value(name, 0.0) + seconds) * 1000.0) / 1000.0;
    }
    record.Phases = phases.dump();
    record.Log = outcome.Log;
    // the port's attempt stays current until its next one begins: the views ask for it at the end
    return m_store.EndAttempt(record, reason);
}
