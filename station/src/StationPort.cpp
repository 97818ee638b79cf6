#include "StationPort.h"

#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <new>
#include <system_error>

#include "download/DownloadSession.h"
#include "download/FlashFile.h"
#include "quillet/UsbDevices.h"
#include "tools/EraseJob.h"
#include "tools/FlashIdentification.h"

namespace {

using Clock = stationport::Clock;

constexpr auto kProgressInterval = std::chrono::milliseconds(100); // ten reports a second at most
constexpr auto kRetryInterval = std::chrono::milliseconds(200);    // watch: the device is not there
constexpr auto kAwayInterval = std::chrono::milliseconds(500);     // watch: is the handset still there
// Watch: a seated handset counts as taken away after this many failed polls in a row spread over
// at least kAwaySpan (or at once on a lost link or a device that went). One failed query (a
// checksum error, a lost reply) is not evidence: a handset that loses every fourth reply stays.
constexpr int kAwayFailures = 3;
constexpr auto kAwaySpan = std::chrono::seconds(1);

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The device node or socket is there, or the libusb device is plugged in.
bool DevicePresent(const std::string& path) {
    return QuilletIsUsbDeviceText(path) ? QuilletUsbDevicePresent(path) : PathExists(path);
}

} // namespace

void CStationPort::Start(bool watch) {
    m_running.store(true); // Running() holds from Start on, not from when the thread is scheduled
    try {
        m_thread = std::thread([this, watch] { Run(watch); });
    } catch (const std::system_error& e) {
        // no thread (the process is out of them): this port ends at once, on the caller's thread
        ThreadFailed(std::string("its thread did not start: ") + e.what());
        m_running.store(false);
    }
}

void CStationPort::RequestStop() {
    {
        std::lock_guard lock(m_waitMutex);
        m_stop.store(true);
    }
    m_wake.notify_all();
    std::lock_guard lock(m_linkMutex);
    if (COstraMonitor* monitor = m_link.Monitor(); monitor && (!m_sending.load() || m_erasing.load())) {
        monitor->CancelWaits(true);
    }
}

void CStationPort::LookAgain() {
    {
        std::lock_guard lock(m_waitMutex);
        m_lookAgain = true;
    }
    m_wake.notify_all();
}

void CStationPort::AppendLog(const std::string& text) {
    if (m_holdLog) {
        m_heldLog += text;
    } else {
        m_engine.m_observer.OnLog(m_index, text);
    }
}

void CStationPort::SetCaption(const std::string& text) {
    if (text == sessiontext::CAPTION_ERASE) {
        Phase(STATION_PHASE_ERASE);
    } else if (text == sessiontext::CAPTION_SEND) {
        Phase(STATION_PHASE_PROGRAM);
        m_sending.store(true);
    }
}

void CStationPort::OnBlockWritten(uint32_t address, uint32_t length) {
    m_written.Add(address, length);
    m_fileBytes += length;
    m_bytes += length;
    if (!m_positionBytes) {
        Progress(m_fileBytes, false);
    }
}

void CStationPort::Phase(TE_STATION_PHASE phase) {
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

void CStationPort::CloseLink() {
    std::lock_guard lock(m_linkMutex);
    m_link.CloseTargetLink();
}

bool CStationPort::Sleep(Clock::duration span) {
    std::unique_lock lock(m_waitMutex);
    return !m_wake.wait_for(lock, span, [this] { return Stopped(); });
}

void CStationPort::WaitForDevice(Clock::duration span) {
    std::unique_lock lock(m_waitMutex);
    m_wake.wait_for(lock, span, [this] { return Stopped() || m_lookAgain; });
    m_lookAgain = false;
}

bool CStationPort::LinkLost() const {
    const COstraMonitor* monitor = m_link.Monitor();
    return monitor && m_link.IsPortOpen() && monitor->GetPortLastError() != 0;
}

TS_FAILURE CStationPort::LinkFailure(TE_STATION_ERROR error, const std::string& message) {
    if (Stopped()) {
        return {STATION_ERR_STOPPED, "stopped: " + message};
    }
    const std::string reason = m_link.Monitor() ? m_link.Monitor()->GetPortErrorText() : std::string();
    if (const std::size_t at = reason.find("the device was disconnected"); at != std::string::npos) {
        // the port's text begins with the name the link was opened under (COM1 for every
        // serial port of the station), which says nothing here: the port's label does
        const std::string why = OneLine(reason.substr(at));
        std::string text = message;
        if (const std::string name = reason.substr(0, at); !name.empty()) {
            for (std::size_t k = text.find(name); k != std::string::npos; k = text.find(name, k)) {
                text.erase(k, name.size());
            }
        }
        if (text.find(why) != std::string::npos) {
            return {STATION_ERR_DISCONNECTED, text};
        }
        return {STATION_ERR_DISCONNECTED, text + ": " + why};
    }
    return {error, message};
}

TS_FAILURE CStationPort::OpenLink(bool banner) {
    bool open = false;
    {
        std::lock_guard lock(m_linkMutex);
        m_link.CloseTargetLink();
        open = m_link.OpenTargetLink(m_port.Config, m_port.DevicePath);
        if (open && m_stop.load()) {
            m_link.Monitor()->CancelWaits(true);
        }
    }
    if (!open) {
        std::string reason = m_link.PortErrorText();
        // "COM1 (/dev/ttyUSB0): ...": every serial port of the station opens under the name COM1,
        // which says nothing here; the device path does
        if (const std::string opened = " (" + m_port.DevicePath + ")";
            reason.find(opened) != std::string::npos) {
            reason.replace(0, reason.find(opened) + opened.size(), m_port.DevicePath);
        }
        CloseLink();
        return {STATION_ERR_PORT_OPEN,
                "cannot open " + (reason.empty() ? m_port.DevicePath : OneLine(reason))};
    }
    if (banner) {
        StartTargetLog(*this, m_engine.m_version);
    }
    return {STATION_OK, {}};
}

TS_FAILURE CStationPort::WaitForAnswer(double limitSeconds) {
    const auto limit = std::chrono::milliseconds(static_cast<int64_t>(limitSeconds * 1000.0));
    // a lost link ends the wait (ANSWER_FAILED): no reply can come on it
    const TS_TARGET_POLL answer = WaitForTargetAnswer(Monitor(), *this, limit, &m_stop);
    switch (answer.answer) {
    case ANSWER_READY:
        return {STATION_OK, {}};
    case ANSWER_CANCELLED:
        return {STATION_ERR_STOPPED, "stopped while waiting for the target's answer; nothing was sent"};
    case ANSWER_NO_ANSWER:
        return {STATION_ERR_NO_ANSWER, "no answer from the target within " + Seconds(limitSeconds) + " s"};
    case ANSWER_NOT_POSSIBLE:
    case ANSWER_UNKNOWN:
        return {STATION_ERR_NOT_POSSIBLE, "the target answered that a download is not possible (result " +
                                              std::to_string(answer.result) + ")"};
    default:
        return LinkFailure(STATION_ERR_LINK,
                           "the link failed while waiting for the target: " + StatusCodeText(answer.status));
    }
}

TS_FAILURE CStationPort::Connect(bool sendWriter, bool answered) {
    Phase(STATION_PHASE_CONNECT);
    if (!answered) {
        const double wait = m_engine.m_job.WaitSeconds;
        const Clock::time_point start = Clock::now();
        if (m_port.Config.PortType == PORT_USB && !QuilletIsUsbDeviceText(m_port.DevicePath)) {
            // a libusb device is opened at once: its open says what is missing
            // as the connect dialog does: wait until the device (or the handset's socket) is there
            while (!PathExists(m_port.DevicePath)) {
                if (Stopped()) {
                    return {STATION_ERR_STOPPED, "stopped while waiting for the device; nothing was sent"};
                }
                if (wait > 0 && Clock::now() - start > std::chrono::duration<double>(wait)) {
                    return {STATION_ERR_PORT_OPEN,
                            m_port.DevicePath + " did not appear within " + Seconds(wait) + " s"};
                }
                Sleep(std::chrono::milliseconds(50));
            }
        }
        if (TS_FAILURE f = OpenLink(true); f.error != STATION_OK) {
            return f;
        }
        const double left =
            wait <= 0 ? 0
                      : std::max(0.001, wait - std::chrono::duration<double>(Clock::now() - start).count());
        if (TS_FAILURE f = WaitForAnswer(left); f.error != STATION_OK) {
            if (f.error == STATION_ERR_NO_ANSWER) {
                f.message = "no answer from the target within " + Seconds(wait) + " s";
            }
            return f;
        }
    }
    int runner = -1;
    const signed char status = ReportTargetStatus(Monitor(), *this, runner);
    if (Stopped()) {
        return {STATION_ERR_STOPPED, "stopped after the target answered; nothing was sent"};
    }
    if (status < 0) {
        return LinkFailure(STATION_ERR_LINK,
                           "the target did not say which program runs: " + StatusCodeText(status));
    }
    if (sendWriter && NeedsFlashWriter(status, runner)) {
        return SendFlashWriter();
    }
    return {STATION_OK, {}};
}

TS_FAILURE CStationPort::SendFlashWriter() {
    const std::string& writer = m_port.WriterPath.empty() ? m_engine.m_job.WriterPath : m_port.WriterPath;
    if (writer.empty()) {
        return {STATION_ERR_FILE, "the boot loader runs and no flash writer is set"};
    }
    Phase(STATION_PHASE_WRITER);
    AppendLog("\r\n" + std::string(LOG_MARK) + " Flash writer : '" + writer + "'\r\n");
    TE_STATION_ERROR error = STATION_OK;
    std::string problem;
    const std::shared_ptr<const TS_PREPARED_FILE> prepared = m_engine.Prepare(*this, writer, error, problem);
    if (!prepared) {
        if (error == STATION_ERR_STOPPED) {
            return {STATION_ERR_STOPPED,
                    "stopped while the flash writer was being prepared; nothing was sent"};
        }
        return {error, "flash writer " + problem};
    }
    CDownloadSession session(MODE_WRITER_CODE, writer, m_link.Monitor(), nullptr);
    if (prepared->Compressed) {
        session.UsePrepared(prepared->SendPath, prepared->Marks);
    }
    session.SetStopFlag(&m_stop);
    m_sending.store(true);
    const bool sent = session.RunSession();
    m_sending.store(false);
    if (!sent) {
        AppendLog(session.GetErrorText());
        if (Stopped()) {
            return {STATION_ERR_STOPPED,
                    "stopped while the flash writer was being sent; nothing else was sent"};
        }
        const std::string& error = session.GetErrorText();
        if (error.rfind(sessiontext::ERR_COMPRESS, 0) == 0 ||
            error.rfind(sessiontext::ERR_UNKNOWN_FORMAT, 0) == 0 ||
            error.find("Cannot open") != std::string::npos) {
            return {STATION_ERR_FILE, "flash writer '" + writer + "': " + OneLine(error)};
        }
        return LinkFailure(STATION_ERR_WRITER, "the flash writer was not sent: " + OneLine(error));
    }
    m_writerSent = true;
    int runner = -1;
    ReportTargetStatus(Monitor(), *this, runner); // the writer now answers
    return {STATION_OK, {}};
}

TS_FAILURE CStationPort::DownloadFile(const std::string& path) {
    m_written.Clear();
    m_fileBytes = 0;
    m_positionBytes = false;
    if (GetFileKind(path) == KIND_M0) {
        Phase(STATION_PHASE_COMPRESS); // made by the first port that needs it, once for every port
    }
    TE_STATION_ERROR error = STATION_OK;
    std::string problem;
    const std::shared_ptr<const TS_PREPARED_FILE> prepared = m_engine.Prepare(*this, path, error, problem);
    if (!prepared) {
        if (error == STATION_ERR_STOPPED) {
            return {STATION_ERR_STOPPED, "stopped before '" + path + "' was written"};
        }
        return {error, problem};
    }
    m_total = prepared->Payload;
    AppendLog("\r\n" + std::string(LOG_MARK) + " Download : '" + path + "'\r\n");
    CDownloadSession session(MODE_APP_CODE, path, m_link.Monitor(), this);
    if (prepared->Compressed) {
        session.UsePrepared(prepared->SendPath, prepared->Marks);
    }
    session.SetStopFlag(&m_stop);
    const bool sent = session.RunSession();
    m_sending.store(false);
    m_erasing.store(false);
    if (!sent) {
        AppendLog(session.GetErrorText());
        if (Stopped()) {
            char text[160];
            if (session.AnyBlockWritten()) {
                std::snprintf(text, sizeof text, "' reached address 0x%08X; the flash there is incomplete",
                              session.NextAddress());
                return {STATION_ERR_STOPPED, "stopped: '" + path + text};
            }
            return {STATION_ERR_STOPPED, "stopped before '" + path + "' was written"};
        }
        const std::string& text = session.GetErrorText();
        if (text.rfind(sessiontext::ERR_COMPRESS, 0) == 0 ||
            text.rfind(sessiontext::ERR_UNKNOWN_FORMAT, 0) == 0) {
            return {STATION_ERR_FILE, "'" + path + "': " + OneLine(text)};
        }
        return LinkFailure(STATION_ERR_DOWNLOAD, "download of '" + path + "' failed: " + OneLine(text));
    }
    Progress(m_fileBytes, true);
    if (!prepared->HasEndRecord) {
        // sent in full, and no end command went out: the program's rule, but say it
        m_noEndRecord.push_back(path);
        AppendLog("\r\n'" + path + "': " + STATION_NO_END_RECORD + "\r\n");
    }
    if (!m_engine.m_job.Verify) {
        return {STATION_OK, {}};
    }
    Phase(STATION_PHASE_VERIFY);
    m_total = m_written.TotalBytes();
    m_positionBytes = true;
    const TS_VERIFY_RESULT verify = VerifyWrittenRanges(Monitor(), m_written, prepared->Image, this, &m_stop);
    m_positionBytes = false;
    if (verify.stopped || Stopped()) {
        return {STATION_ERR_STOPPED,
                "stopped while '" + path + "' was being verified (it was written in full)"};
    }
    if (!verify.ok) {
        AppendLog("\r\n" + verify.text + " ('" + path + "')\r\n");
        if (verify.readFailed) {
            return LinkFailure(STATION_ERR_VERIFY, verify.text + " ('" + path + "')");
        }
        return {STATION_ERR_VERIFY, verify.text + " ('" + path + "')"};
    }
    Progress(m_total, true);
    m_verified += verify.bytesCompared;
    AppendLog("\r\n" + verify.text + " of '" + path + "'\r\n");
    return {STATION_OK, {}};
}

TS_FAILURE CStationPort::Download(std::string& summary) {
    const std::vector<std::string>& files = m_engine.m_job.Files;
    if (files.empty()) {
        return {STATION_ERR_USAGE, "no flash files to download"};
    }
    if (TS_FAILURE f = Connect(true, m_answered); f.error != STATION_OK) {
        return f;
    }
    for (std::size_t k = 0; k < files.size(); ++k) {
        if (TS_FAILURE f = DownloadFile(files[k]); f.error != STATION_OK) {
            if (k + 1 < files.size()) {
                f.message += "; " + std::to_string(files.size() - k - 1) + " more not attempted";
            }
            return f;
        }
        if (Stopped()) {
            return {STATION_ERR_STOPPED, "stopped after " + std::to_string(k + 1) + " of " +
                                             std::to_string(files.size()) + " files were sent in full"};
        }
    }
    summary = std::to_string(files.size()) + " file" + (files.size() == 1 ? "" : "s") + " sent";
    if (m_writerSent) {
        summary += " after the flash writer";
    }
    if (m_engine.m_job.Verify) {
        summary += ", verified " + std::to_string(m_verified) + " bytes";
    }
    return {STATION_OK, {}};
}

TS_FAILURE CStationPort::Status(std::string& summary) {
    if (TS_FAILURE f = Connect(false, m_answered); f.error != STATION_OK) {
        return f;
    }
    TE_TARGET_RUNNER_TYPES runner{};
    std::string version;
    const signed char status = Monitor().QueryTargetRunner(runner, version);
    if (status < 0) {
        return LinkFailure(STATION_ERR_LINK,
                           "the target did not say which program runs: " + StatusCodeText(status));
    }
    summary = OneLine(RunnerLine(runner, version));
    return {STATION_OK, {}};
}

TS_FAILURE CStationPort::FlashId(std::string& summary) {
    if (TS_FAILURE f = Connect(true, m_answered); f.error != STATION_OK) {
        return f;
    }
    Phase(STATION_PHASE_FLASH_ID);
    const auto answers = GetFlashId(Monitor(), *this);
    if (Stopped()) {
        return {STATION_ERR_STOPPED, "stopped while the flash parts were being asked"};
    }
    bool allAnswered = true;
    for (std::size_t cs = 0; cs < answers.size(); ++cs) {
        summary += (cs ? ", CS#" : "CS#") + std::to_string(cs) + " ";
        if (answers[cs].answered) {
            summary += FlashPartName(answers[cs].id);
        } else {
            summary += "error " + StatusCodeText(answers[cs].status);
            allAnswered = false;
        }
    }
    if (!allAnswered) {
        return LinkFailure(STATION_ERR_FLASH_ID, "not every chip select answered: " + summary);
    }
    return {STATION_OK, {}};
}

TS_FAILURE CStationPort::Erase(std::string& summary) {
    if (TS_FAILURE f = Connect(true, m_answered); f.error != STATION_OK) {
        return f;
    }
    Phase(STATION_PHASE_ERASE_CHIP);
    TS_JOB_HOOKS hooks;
    hooks.Observer = this;
    hooks.Log = this;
    hooks.Stop = &m_stop;
    CEraseJob job(Monitor(), hooks);
    const TS_FLASH_QUERY query = job.RunQuery();
    if (query.Stopped || Stopped()) {
        return {STATION_ERR_STOPPED, "stopped before anything was erased"};
    }
    CEraseSelection selection;
    std::string problem;
    if (!SelectEraseItems(m_engine.m_job.EraseItems, query, selection, problem)) {
        return {STATION_ERR_ERASE, problem};
    }
    m_erasing.store(true); // every erase command's wait may be given up
    const TS_ERASE_RESULT result = job.RunErase(selection);
    m_erasing.store(false);
    if (result.Outcome == ERASE_STOPPED || Stopped()) {
        return {STATION_ERR_STOPPED, "stopped while erasing: " + OneLine(result.Message)};
    }
    for (const TS_ERASE_STEP_RESULT& step : result.Steps) {
        if (step.Sent && step.Status >= 0) {
            summary += (summary.empty() ? "erased " : ", ") + std::string(step.Step.Name);
        }
    }
    if (result.Outcome != ERASE_DONE) {
        return LinkFailure(result.Outcome == ERASE_NOTHING_SELECTED ? STATION_ERR_USAGE : STATION_ERR_ERASE,
                           OneLine(result.Message));
    }
    return {STATION_OK, {}};
}

TS_STATION_RESULT CStationPort::RunJob(bool answered) {
    const Clock::time_point start = Clock::now();
    m_busy.store(true);
    m_answered = answered;
    m_writerSent = false;
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
    m_engine.m_observer.OnBegin(m_index, m_port.DevicePath);
}

void CStationPort::Finish(const TS_STATION_RESULT& result) {
    m_begun = false;
    m_engine.Ended(m_index, result);
    m_busy.store(false);
    m_engine.m_observer.OnEnd(m_index, result);
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

void CStationPort::Run(bool watch) {
    // nothing may leave this thread: a failure ends this port alone, as a failed row
    try {
        if (watch) {
            Watch();
        } else {
            Once();
        }
    } catch (const std::bad_alloc& e) {
        ThreadFailed(std::string("out of memory (") + e.what() + ")");
    } catch (const std::system_error& e) {
        ThreadFailed(std::string("system error: ") + e.what());
    } catch (const std::exception& e) {
        ThreadFailed(e.what());
    } catch (...) {
        ThreadFailed("an unknown exception");
    }
    m_busy.store(false);
    m_running.store(false);
}

void CStationPort::ThreadFailed(const std::string& why) noexcept {
    try {
        m_holdLog = false;
        m_sending.store(false);
        m_erasing.store(false);
        CloseLink();
        FailedRow(STATION_ERR_INTERNAL, "the port failed and has stopped: " + why);
        SetState(STATION_PORT_ENDED);
    } catch (...) {
        // the report itself failed (out of memory again): the tally still counts the row
        m_engine.Ended(m_index, TS_STATION_RESULT{false, STATION_ERR_INTERNAL, {}, {}, 0, 0, {}});
    }
}

void CStationPort::Once() {
    Begin();
    const TS_STATION_RESULT result = RunJob(false);
    CloseLink();
    Finish(result);
}

void CStationPort::SetState(TE_STATION_PORT_STATE state) {
    if (m_stateSaid && state == m_state) {
        return;
    }
    m_state = state;
    m_stateSaid = true;
    m_engine.m_observer.OnPortState(m_index, state);
}

void CStationPort::Refused(const std::string& reason) {
    if (reason == m_refusal) {
        return;
    }
    m_refusal = reason;
    m_engine.m_observer.OnRefused(m_index, reason);
}

void CStationPort::WaitUntilAway() {
    int failures = 0;
    Clock::time_point firstFailure{};
    while (!Stopped()) {
        if (!DevicePresent(m_port.DevicePath) || LinkLost()) {
            return;
        }
        if (!m_link.Monitor() || !m_link.IsPortOpen()) {
            if (OpenLink(false).error != STATION_OK) {
                return; // a failed open: the port looks for its device again
            }
        }
        TE_TARGET_RUNNER_TYPES runner{};
        std::string version;
        if (Monitor().QueryTargetRunner(runner, version) >= 0) {
            failures = 0;
            Sleep(kAwayInterval);
            continue;
        }
        if (Stopped() || LinkLost()) {
            return;
        }
        if (failures++ == 0) {
            firstFailure = Clock::now();
        }
        if (failures >= kAwayFailures && Clock::now() - firstFailure >= kAwaySpan) {
            return; // silent for a while: taken away
        }
        Sleep(kRetryInterval); // the next poll soon: a silent handset is found within seconds
    }
}

void CStationPort::Watch() {
    // One loop over the states of the port's life. A lost link or a failed open, in any state,
    // goes back to STATION_PORT_NO_DEVICE, which looks for the device again: nothing waits for
    // good on a link that cannot answer.
    TE_STATION_PORT_STATE state = STATION_PORT_NO_DEVICE;
    bool waitingSaid = false; // OnWaiting(false) for the next handset
    while (!Stopped()) {
        SetState(state);
        switch (state) {
        case STATION_PORT_NO_DEVICE:
            CloseLink();
            if (!waitingSaid) {
                m_engine.m_observer.OnWaiting(m_index, false);
                waitingSaid = true;
            }
            if (DevicePresent(m_port.DevicePath)) {
                state = STATION_PORT_OPENING;
            } else {
                Refused("no device at " + m_port.DevicePath);
                WaitForDevice(kRetryInterval);
            }
            break;
        case STATION_PORT_OPENING: {
            m_holdLog = true;
            m_heldLog.clear();
            const TS_FAILURE open = OpenLink(true);
            if (open.error != STATION_OK) {
                m_holdLog = false;
                // a device that went between the look and the open is not there: no new reason
                Refused(DevicePresent(m_port.DevicePath) ? open.message
                                                         : "no device at " + m_port.DevicePath);
                WaitForDevice(kRetryInterval);
                state = STATION_PORT_NO_DEVICE;
            } else {
                m_refusal.clear(); // the next refusal is said again
                state = STATION_PORT_ANSWER;
            }
            break;
        }
        case STATION_PORT_ANSWER: {
            // no limit: the operator may take a while to seat the handset
            const TS_FAILURE answer = WaitForAnswer(0);
            m_holdLog = false;
            if (answer.error == STATION_OK) {
                state = STATION_PORT_JOB;
            } else if (answer.error == STATION_ERR_NOT_POSSIBLE) {
                // a handset that refuses is a failed row, once: then it has to be taken away
                Begin();
                std::string held;
                held.swap(m_heldLog);
                AppendLog(held);
                FailedRow(answer.error, answer.message);
                waitingSaid = false;
                state = STATION_PORT_REMOVAL;
            } else if (answer.error != STATION_ERR_STOPPED) {
                // the link was lost, or failed: look for the device again
                WaitForDevice(kRetryInterval);
                state = STATION_PORT_NO_DEVICE;
            }
            break;
        }
        case STATION_PORT_JOB: {
            Begin();
            {
                std::string held;
                held.swap(m_heldLog);
                AppendLog(held);
            }
            const TS_STATION_RESULT result = RunJob(true);
            Finish(result);
            waitingSaid = false;
            // a handset that went away during the job leaves nothing to wait for
            state = LinkLost() ? STATION_PORT_NO_DEVICE : STATION_PORT_REMOVAL;
            break;
        }
        case STATION_PORT_REMOVAL:
            m_engine.m_observer.OnWaiting(m_index, true);
            WaitUntilAway();
            state = STATION_PORT_NO_DEVICE;
            break;
        case STATION_PORT_ENDED:
            return;
        }
    }
    CloseLink();
    SetState(STATION_PORT_ENDED);
}
