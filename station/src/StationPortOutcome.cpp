// The port's outcome: the phases and progress it reports, a job run and ended as one result,
// the failure a typed outcome becomes, and the record of the attempt.
#include "StationPort.h"

#include "download/DownloadSession.h"
#include "station/StationOutcome.h"

namespace {

using Clock = stationport::Clock;

constexpr auto kProgressInterval = std::chrono::milliseconds(100); // ten reports a second at most

} // namespace

TE_STATION_ERROR StationErrorFor(const TS_JOB_OUTCOME& o) {
    switch (o.Class) {
    case OUTCOME_OK:
        return STATION_OK;
    case OUTCOME_CANCELLED:
        return STATION_ERR_STOPPED;
    case OUTCOME_OPEN_REFUSED:
        return STATION_ERR_PORT_OPEN;
    case OUTCOME_NO_ANSWER:
        return STATION_ERR_NO_ANSWER;
    case OUTCOME_LINK_LOST:
        return STATION_ERR_DISCONNECTED;
    case OUTCOME_FILE_ERROR:
        return STATION_ERR_FILE;
    case OUTCOME_VERIFY_MISMATCH:
        return STATION_ERR_VERIFY;
    case OUTCOME_INTERNAL:
        return STATION_ERR_INTERNAL;
    case OUTCOME_TARGET_REFUSED:
        break;
    }
    switch (o.Step) {
    case STEP_ANSWER:
        return o.Status >= 0 ? STATION_ERR_NOT_POSSIBLE : STATION_ERR_LINK;
    case STEP_WRITER:
    case STEP_WRITER_START:
        return STATION_ERR_WRITER;
    case STEP_FLASH_ID:
        return STATION_ERR_FLASH_ID;
    case STEP_COMPRESS:
    case STEP_ERASE:
    case STEP_PROGRAM:
        return STATION_ERR_DOWNLOAD;
    case STEP_VERIFY:
        return STATION_ERR_VERIFY;
    default:
        return STATION_ERR_LINK;
    }
}

void CStationPort::AppendLog(const std::string& text) {
    if (m_holdLog) {
        m_heldLog += text;
    } else {
        if (m_attempt != 0) {
            m_attemptLog += text;
        }
        m_engine.m_observer.OnLog(m_index, text);
    }
}

void CStationPort::OnJobPhase(TE_JOB_PHASE phase) {
    switch (phase) {
    case JOB_PHASE_CONNECT:
        Phase(STATION_PHASE_CONNECT);
        break;
    case JOB_PHASE_WRITER:
        Phase(STATION_PHASE_WRITER);
        break;
    case JOB_PHASE_ERASE:
        Phase(STATION_PHASE_ERASE);
        break;
    case JOB_PHASE_PROGRAM:
        Phase(STATION_PHASE_PROGRAM);
        m_sending.store(true);
        break;
    case JOB_PHASE_FLASH_ID:
        Phase(STATION_PHASE_FLASH_ID);
        break;
    default: // the station prepares its files, verifies and reads on its own
        break;
    }
}

void CStationPort::OnTargetRunner(int status, int runner, const std::string& version) {
    if (m_attempt == 0) {
        return;
    }
    // the record: the programs that answered, as the log says them
    std::string line = status < 0 ? ErrorCodeText(status) : RunnerLine(runner, version);
    line = line.substr(0, line.find_first_of("\r\n"));
    m_runners += (m_runners.empty() ? "" : "; ") + line;
}

void CStationPort::Phase(TE_STATION_PHASE phase) {
    if (m_attempt != 0) {
        m_phaseMarks.emplace_back(StationPhaseName(phase), Clock::now());
    }
    m_engine.m_observer.OnPhase(m_index, phase);
    m_lastProgress = {};
    m_reported = false;
}

void CStationPort::Progress(uint64_t done, bool forced) {
    const Clock::time_point now = Clock::now();
    if ((!forced && now - m_lastProgress < kProgressInterval && done < m_total) ||
        (m_reported && done == m_reportedDone)) {
        return;
    }
    m_lastProgress = now;
    m_reported = true;
    m_reportedDone = done;
    m_engine.m_observer.OnProgress(m_index, done, m_total);
}

TS_FAILURE CStationPort::LinkFailure(TE_STATION_ERROR error, const std::string& message, bool lost) {
    if (Stopped()) {
        return {STATION_ERR_STOPPED, "stopped: " + message};
    }
    if (lost) {
        return {STATION_ERR_DISCONNECTED, DisconnectedText(message)};
    }
    return {error, message};
}

std::string CStationPort::DisconnectedText(const std::string& message) const {
    // The port's text begins with the name the link was opened under (COM1 for every serial
    // port of the station), which says nothing here: the port's label does. The message may
    // carry the port's text already (a session's error text does).
    const std::string name = PortTextName(m_port.Config, m_port.DevicePath) + ": ";
    std::string reason = m_link.Monitor() ? m_link.Monitor()->GetPortErrorText() : std::string();
    if (reason.compare(0, name.size(), name) == 0) {
        reason.erase(0, name.size());
    }
    const std::string why = OneLine(reason);
    std::string text = message;
    for (std::size_t k = text.find(name); k != std::string::npos; k = text.find(name, k)) {
        text.erase(k, name.size());
    }
    if (why.empty() || text.find(why) != std::string::npos) {
        return text;
    }
    return text + ": " + why;
}

TS_STATION_RESULT CStationPort::RunJob(bool answered) {
    const Clock::time_point start = Clock::now();
    m_busy.store(true);
    m_answered = answered;
    m_writerSent = false;
    m_writerPath.clear();
    m_noEndRecord.clear();
    m_bytes = 0;
    m_verified = 0;
    m_sending.store(false);
    m_erasing.store(false);
    if (m_engine.m_jobHook) {
        m_engine.m_jobHook(m_index);
    }
    TS_STATION_RESULT result;
    TS_FAILURE failure{STATION_OK, {}};
    if (!m_recordFailure.empty()) {
        failure = {STATION_ERR_RECORD, m_recordFailure}; // nothing is touched without a record
    } else {
        switch (m_engine.m_job.Command) {
        case STATION_DOWNLOAD:
            failure = Download(result.Summary);
            break;
        case STATION_STATUS:
            failure = Status(result.Summary);
            break;
        case STATION_FLASH_ID:
            failure = FlashId(result.Summary);
            break;
        case STATION_ERASE:
            failure = Erase(result.Summary);
            break;
        }
    }
    result.Ok = failure.error == STATION_OK;
    result.Error = failure.error;
    result.Message = failure.message;
    if (!result.Ok) {
        result.Summary.clear();
    }
    result.Bytes = m_bytes;
    result.NoEndRecord = m_noEndRecord;
    result.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

void CStationPort::Begin() {
    m_begun = true;
    m_attempt = 0;
    m_recordFailure.clear();
    m_attemptLog.clear();
    m_phaseMarks.clear();
    m_facts = {};
    m_data = {};
    m_dataSent.clear();
    m_verifyResult.clear();
    m_attemptFiles.clear();
    m_runners.clear();
    if (m_engine.m_recorder && m_engine.m_job.Command == STATION_DOWNLOAD) {
        // the record is opened before the port touches the handset: while the store cannot be
        // written, the handset waits untouched
        std::string reason;
        while (
            !m_engine.m_recorder->BeginAttempt(m_index, m_port.Label, m_port.DevicePath, m_attempt, reason)) {
            m_attempt = 0;
            if (!WaitForStore(reason)) {
                m_recordFailure = "stopped while the record store could not be written; the handset was "
                                  "not touched: " +
                                  reason;
                break;
            }
        }
        if (m_recordFailure.empty()) {
            StoreWritten();
        }
    }
    m_engine.m_observer.OnBegin(m_index, m_port.DevicePath);
}

void CStationPort::Finish(const TS_STATION_RESULT& ended) {
    TS_STATION_RESULT result = ended;
    if (m_attempt != 0) {
        TS_ATTEMPT_OUTCOME outcome;
        outcome.Result = result;
        outcome.Facts = m_facts;
        outcome.Facts.Port = m_index;
        outcome.Data = m_data;
        outcome.Verify = m_verifyResult;
        outcome.Files = m_attemptFiles;
        const Clock::time_point end = Clock::now();
        for (std::size_t k = 0; k < m_phaseMarks.size(); ++k) {
            const Clock::time_point next = k + 1 < m_phaseMarks.size() ? m_phaseMarks[k + 1].second : end;
            outcome.Phases.emplace_back(m_phaseMarks[k].first,
                                        std::chrono::duration<double>(next - m_phaseMarks[k].second).count());
        }
        if (!m_runners.empty()) {
            outcome.Facts.Runners += (outcome.Facts.Runners.empty() ? "" : "; ") + m_runners;
        }
        outcome.Log.swap(m_attemptLog);
        // the end is reported once it is recorded: while the store cannot be written, the port
        // waits for it and takes no new handset
        std::string reason;
        bool recorded = false;
        while (!(recorded = m_engine.m_recorder->EndAttempt(m_attempt, outcome, reason)) &&
               WaitForStore(reason)) {
        }
        if (recorded) {
            StoreWritten();
        } else {
            // the handset may be good, but without its record it does not count as such
            result.Ok = false;
            result.Error = STATION_ERR_RECORD;
            result.Message = "stopped before the attempt's record was written; the handset does not count "
                             "as passed: " +
                             reason;
            result.Summary.clear();
        }
        m_attempt = 0;
    }
    m_begun = false;
    m_engine.Ended(m_index, result);
    m_busy.store(false);
    m_engine.m_observer.OnEnd(m_index, result);
}

bool CStationPort::WaitForStore(const std::string& reason) {
    if (Stopped()) {
        return false;
    }
    if (!m_storeWaitSaid) {
        m_storeWaitSaid = true;
        AppendLog("\r\n" + std::string(LOG_MARK) + " The record store cannot be written (" + reason +
                  "); waiting for it\r\n");
    }
    m_engine.StoreFound(false, reason);
    return Sleep(m_engine.m_storeRetry);
}

void CStationPort::StoreWritten() {
    m_storeWaitSaid = false;
    m_engine.StoreFound(true, {});
}

void CStationPort::FailedRow(TE_STATION_ERROR error, const std::string& message) {
    if (!m_begun) {
        Begin();
    }
    TS_STATION_RESULT result;
    result.Error = error;
    result.Message = message;
    Finish(result);
}
