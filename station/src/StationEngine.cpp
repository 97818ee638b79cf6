#include "station/StationEngine.h"

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "download/DownloadSession.h"
#include "download/FlashFile.h"
#include "download/TargetConnection.h"
#include "quillet/UsbDevices.h"
#include "tools/EraseJob.h"
#include "tools/FlashIdentification.h"
#include "tools/WrittenRanges.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kProgressInterval = std::chrono::milliseconds(100); // ten reports a second at most
constexpr auto kRetryInterval = std::chrono::milliseconds(200);    // watch: the device is not there
constexpr auto kAwayInterval = std::chrono::milliseconds(500);     // watch: is the handset still there

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

uint64_t ImagePayload(const std::string& path) {
    TS_IMAGE_BYTES image;
    std::string problem;
    uint64_t bytes = 0;
    if (ReadImageBytes(path, GetFileKind(path) == KIND_CP64, image, problem)) {
        for (const auto& [address, data] : image.blocks) {
            bytes += data.size();
        }
    }
    return bytes;
}

struct TS_FAILURE {
    TE_STATION_ERROR error;
    std::string message;
};

} // namespace

const char* StationPhaseName(TE_STATION_PHASE phase) {
    switch (phase) {
    case STATION_PHASE_CONNECT:
        return "connect";
    case STATION_PHASE_WRITER:
        return "writer";
    case STATION_PHASE_COMPRESS:
        return "compress";
    case STATION_PHASE_ERASE:
        return "erase";
    case STATION_PHASE_PROGRAM:
        return "program";
    case STATION_PHASE_VERIFY:
        return "verify";
    case STATION_PHASE_DUMP:
        return "dump";
    case STATION_PHASE_ERASE_CHIP:
        return "erase-chip";
    case STATION_PHASE_FLASH_ID:
        return "flash-id";
    }
    return "unknown";
}

const char* StationErrorName(TE_STATION_ERROR error) {
    switch (error) {
    case STATION_OK:
        return "ok";
    case STATION_ERR_USAGE:
        return "usage";
    case STATION_ERR_FILE:
        return "file";
    case STATION_ERR_PORT_OPEN:
        return "port-open";
    case STATION_ERR_NO_ANSWER:
        return "no-answer";
    case STATION_ERR_NOT_POSSIBLE:
        return "not-possible";
    case STATION_ERR_LINK:
        return "link";
    case STATION_ERR_DISCONNECTED:
        return "disconnected";
    case STATION_ERR_WRITER:
        return "writer";
    case STATION_ERR_DOWNLOAD:
        return "download";
    case STATION_ERR_VERIFY:
        return "verify";
    case STATION_ERR_ERASE:
        return "erase";
    case STATION_ERR_FLASH_ID:
        return "flash-id";
    case STATION_ERR_STOPPED:
        return "stopped";
    case STATION_ERR_SERIAL:
        return "serial";
    case STATION_ERR_RECORD:
        return "record";
    }
    return "unknown";
}

TS_STATION_PORT StationUartPort(const std::string& path, int baudIndex, const std::string& label) {
    TS_STATION_PORT port;
    port.Label = label.empty() ? path : label;
    port.DevicePath = path;
    port.Config = TS_PORT_CONFIG{PORT_UART, 0, baudIndex, 3, 0, 0, 0};
    return port;
}

TS_STATION_PORT StationUsbPort(const std::string& path, const std::string& label) {
    TS_STATION_PORT port;
    port.Label = label.empty() ? path : label;
    port.DevicePath = path;
    port.Config = TS_PORT_CONFIG{PORT_USB, 0, 12, 3, 0, 0, 0};
    return port;
}

// ---- one port ----

class CStationPort final : public ILogSink, public IJobObserver {
public:
    CStationPort(CStationEngine& engine, int index, TS_STATION_PORT port)
        : m_engine(engine), m_index(index), m_port(std::move(port)) {}
    ~CStationPort() override { Join(); }

    void Start(bool watch) {
        m_running.store(true); // Running() holds from Start on, not from when the thread is scheduled
        m_thread = std::thread([this, watch] { watch ? Watch() : Once(); });
    }
    void Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    bool Running() const { return m_running.load(); }
    bool Busy() const { return m_busy.load(); }
    const TS_STATION_PORT& Port() const { return m_port; }

    // Any thread: a download ends at its next block; any other wait is given up at once.
    void RequestStop() {
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

    // ILogSink
    void AppendLog(const std::string& text) override {
        if (m_holdLog) {
            m_heldLog += text;
        } else {
            m_engine.m_observer.OnLog(m_index, text);
        }
    }

    // IJobObserver: the engines' views of a download session, an erase, a read
    void SetCaption(const std::string& text) override {
        if (text == sessiontext::CAPTION_ERASE) {
            Phase(STATION_PHASE_ERASE);
        } else if (text == sessiontext::CAPTION_SEND) {
            Phase(STATION_PHASE_PROGRAM);
            m_sending.store(true);
        }
    }
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
    void OnBlockWritten(uint32_t address, uint32_t length) override {
        m_written.Add(address, length);
        m_fileBytes += length;
        m_bytes += length;
        if (!m_positionBytes) {
            Progress(m_fileBytes, false);
        }
    }

private:
    void Phase(TE_STATION_PHASE phase) {
        m_engine.m_observer.OnPhase(m_index, phase);
        m_lastProgress = {};
        m_reported = false;
    }
    // done out of m_total; forced: the last report of a phase, whatever the time
    void Progress(uint64_t done, bool forced) {
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
    bool Stopped() const { return m_stop.load() || m_engine.m_stopAll.load(); }
    COstraMonitor& Monitor() { return *m_link.Monitor(); }
    void CloseLink() {
        std::lock_guard lock(m_linkMutex);
        m_link.CloseTargetLink();
    }
    // Sleeps, unless stopped first; false when stopped.
    bool Sleep(Clock::duration span) {
        std::unique_lock lock(m_waitMutex);
        return !m_wake.wait_for(lock, span, [this] { return Stopped(); });
    }
    // The link failed under a command: the device went away, or the command failed.
    TS_FAILURE LinkFailure(TE_STATION_ERROR error, const std::string& message) {
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

    // ---- the steps of a job; each returns the failure, or nullopt-like STATION_OK ----
    // banner: the log starts as the GUI's does when a link opens
    TS_FAILURE OpenLink(bool banner);
    TS_FAILURE WaitForAnswer(double limitSeconds);
    TS_FAILURE Connect(bool sendWriter, bool answered);
    TS_FAILURE SendFlashWriter();
    TS_FAILURE Download(std::string& summary);
    TS_FAILURE DownloadFile(const std::string& path);
    TS_FAILURE Status(std::string& summary);
    TS_FAILURE FlashId(std::string& summary);
    TS_FAILURE Erase(std::string& summary);

    TS_STATION_RESULT RunJob(bool answered);
    void Finish(const TS_STATION_RESULT& result);
    void Once();
    void Watch();
    bool WaitForHandset();
    void WaitUntilAway();

    CStationEngine& m_engine;
    const int m_index;
    const TS_STATION_PORT m_port;
    std::thread m_thread;
    std::atomic<bool> m_running{false}; // the thread runs
    std::atomic<bool> m_busy{false};    // a job is in progress
    std::atomic<bool> m_stop{false};
    std::mutex m_waitMutex;
    std::condition_variable m_wake;

    std::mutex m_linkMutex; // the link against RequestStop
    CTargetConnection m_link;
    std::atomic<bool> m_sending{false};
    std::atomic<bool> m_erasing{false};

    // the job in progress (its own thread only)
    bool m_holdLog = false; // watch: the log of a wait is kept until a handset answers
    std::string m_heldLog;
    bool m_answered = false; // watch: the target answered before the job began
    bool m_writerSent = false;
    CWrittenRanges m_written;
    uint64_t m_bytes = 0;     // acknowledged in the job
    uint64_t m_fileBytes = 0; // acknowledged for the file in progress
    uint64_t m_verified = 0;
    uint64_t m_total = 0;         // of the phase's progress
    bool m_positionBytes = false; // progress from positions (a read), not from written blocks
    uint32_t m_low = 0;
    uint32_t m_high = 0;
    Clock::time_point m_lastProgress{};
    bool m_reported = false; // a progress of the phase was reported, with m_reportedDone
    uint64_t m_reportedDone = 0;
};

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
        const std::string reason = m_link.PortErrorText();
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
    CDownloadSession session(MODE_WRITER_CODE, writer, m_link.Monitor(), nullptr);
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
    m_total = m_engine.m_payload.count(path) ? m_engine.m_payload.at(path) : ImagePayload(path);
    if (GetFileKind(path) == KIND_M0) {
        Phase(STATION_PHASE_COMPRESS);
    }
    AppendLog("\r\n" + std::string(LOG_MARK) + " Download : '" + path + "'\r\n");
    CDownloadSession session(MODE_APP_CODE, path, m_link.Monitor(), this);
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
        const std::string& error = session.GetErrorText();
        if (error.rfind(sessiontext::ERR_COMPRESS, 0) == 0 ||
            error.rfind(sessiontext::ERR_UNKNOWN_FORMAT, 0) == 0) {
            return {STATION_ERR_FILE, "'" + path + "': " + OneLine(error)};
        }
        return LinkFailure(STATION_ERR_DOWNLOAD, "download of '" + path + "' failed: " + OneLine(error));
    }
    Progress(m_fileBytes, true);
    if (!m_engine.m_job.Verify) {
        return {STATION_OK, {}};
    }
    Phase(STATION_PHASE_VERIFY);
    TS_IMAGE_BYTES image;
    std::string problem;
    if (!ReadImageBytes(session.PreparedPath(), true, image, problem)) {
        return {STATION_ERR_FILE, "cannot read back what was sent: " + OneLine(problem)};
    }
    m_total = m_written.TotalBytes();
    m_positionBytes = true;
    const TS_VERIFY_RESULT verify = VerifyWrittenRanges(Monitor(), m_written, image, this, &m_stop);
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
    m_bytes = 0;
    m_verified = 0;
    m_sending.store(false);
    m_erasing.store(false);
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
    result.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

void CStationPort::Finish(const TS_STATION_RESULT& result) {
    m_engine.Ended(m_index, result);
    m_busy.store(false);
    m_engine.m_observer.OnEnd(m_index, result);
}

void CStationPort::Once() {
    m_running.store(true);
    m_engine.m_observer.OnBegin(m_index, m_port.DevicePath);
    const TS_STATION_RESULT result = RunJob(false);
    CloseLink();
    Finish(result);
    m_running.store(false);
}

bool CStationPort::WaitForHandset() {
    m_engine.m_observer.OnWaiting(m_index, false);
    while (!Stopped()) {
        if (!DevicePresent(m_port.DevicePath)) {
            Sleep(kRetryInterval);
            continue;
        }
        m_holdLog = true;
        m_heldLog.clear();
        if (OpenLink(true).error != STATION_OK) {
            m_holdLog = false;
            Sleep(kRetryInterval);
            continue;
        }
        // no limit: the operator may take a while to seat the handset
        const TS_FAILURE answer = WaitForAnswer(0);
        m_holdLog = false;
        if (answer.error == STATION_OK) {
            return true;
        }
        CloseLink();
        if (answer.error != STATION_ERR_STOPPED) {
            Sleep(kRetryInterval);
        }
    }
    return false;
}

void CStationPort::WaitUntilAway() {
    m_engine.m_observer.OnWaiting(m_index, true);
    // a link that is still open tells by failing; without one the device must answer again
    while (!Stopped()) {
        if (!DevicePresent(m_port.DevicePath)) {
            return;
        }
        if (!m_link.Monitor() || !m_link.IsPortOpen()) {
            if (OpenLink(false).error != STATION_OK) {
                return;
            }
        }
        TE_TARGET_RUNNER_TYPES runner{};
        std::string version;
        if (Monitor().QueryTargetRunner(runner, version) < 0) {
            return; // silent, or the link is lost
        }
        Sleep(kAwayInterval);
    }
}

void CStationPort::Watch() {
    m_running.store(true);
    while (!Stopped()) {
        if (!WaitForHandset()) {
            break;
        }
        m_engine.m_observer.OnBegin(m_index, m_port.DevicePath);
        {
            std::string held;
            held.swap(m_heldLog);
            AppendLog(held);
        }
        const TS_STATION_RESULT result = RunJob(true);
        Finish(result);
        if (Stopped()) {
            break;
        }
        WaitUntilAway();
        CloseLink();
    }
    CloseLink();
    m_running.store(false);
}

// ---- the engine ----

CStationEngine::CStationEngine(TS_STATION_JOB job, std::vector<TS_STATION_PORT> ports,
                               IStationObserver& observer)
    : m_job(std::move(job)), m_observer(observer), m_last(ports.size()), m_version(ModuleFileVersion()) {
    // read once for every port: the version block of a large program file takes a while to find,
    // and so does the size of an image
    for (const std::string& file : m_job.Files) {
        m_payload[file] = ImagePayload(file);
    }
    for (std::size_t k = 0; k < ports.size(); ++k) {
        m_ports.push_back(std::make_unique<CStationPort>(*this, static_cast<int>(k), std::move(ports[k])));
    }
}

CStationEngine::~CStationEngine() {
    StopAll();
    Wait();
}

void CStationEngine::Start(bool watch) {
    for (auto& port : m_ports) {
        port->Start(watch);
    }
}

void CStationEngine::StopAll() {
    m_stopAll.store(true);
    for (auto& port : m_ports) {
        port->RequestStop();
    }
}

void CStationEngine::Stop(int port) {
    if (port >= 0 && port < PortCount()) {
        m_ports[static_cast<std::size_t>(port)]->RequestStop();
    }
}

void CStationEngine::Wait() {
    for (auto& port : m_ports) {
        port->Join();
    }
}

bool CStationEngine::Running() const {
    for (const auto& port : m_ports) {
        if (port->Running()) {
            return true;
        }
    }
    return false;
}

const TS_STATION_PORT& CStationEngine::Port(int port) const {
    return m_ports.at(static_cast<std::size_t>(port))->Port();
}

TS_STATION_TALLY CStationEngine::Tally() const {
    std::lock_guard lock(m_mutex);
    TS_STATION_TALLY tally = m_tally;
    tally.Running = 0;
    for (const auto& port : m_ports) {
        tally.Running += port->Busy() ? 1 : 0;
    }
    return tally;
}

TS_STATION_RESULT CStationEngine::LastResult(int port) const {
    std::lock_guard lock(m_mutex);
    return m_last.at(static_cast<std::size_t>(port));
}

void CStationEngine::Ended(int port, const TS_STATION_RESULT& result) {
    std::lock_guard lock(m_mutex);
    (result.Ok ? m_tally.Succeeded : m_tally.Failed)++;
    m_last[static_cast<std::size_t>(port)] = result;
}

std::string CStationEngine::RepeatedPort(const std::vector<TS_STATION_PORT>& ports) {
    // a stable name (/dev/serial/by-id/...) and the tty it points to are the same port
    std::vector<std::string> real;
    for (const TS_STATION_PORT& port : ports) {
        char* resolved = ::realpath(port.DevicePath.c_str(), nullptr);
        real.emplace_back(resolved ? resolved : port.DevicePath);
        std::free(resolved);
    }
    for (std::size_t a = 0; a < ports.size(); ++a) {
        for (std::size_t b = 0; b < a; ++b) {
            if (ports[a].Label == ports[b].Label || real[a] == real[b]) {
                return ports[a].Label;
            }
        }
    }
    return {};
}
