#include "CliCommands.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "CliExitStatus.h"
#include "CliJson.h"
#include "CliOptions.h"
#include "CliOutput.h"
#include "FlashFileCheck.h"
#include "SavedSettings.h"
#include "app/AppSettings.h"
#include "app/ComPortMap.h"
#include "app/DownloadRuns.h"
#include "download/CompressFlashFile.h"
#include "download/DownloadSession.h"
#include "download/FlashFile.h"
#include "download/OstraAreaTable.h"
#include "download/RecordReader.h"
#include "download/TargetConnection.h"
#include "platform/RegistryStore.h"
#include "platform/SettingsStore.h"
#include "quillet/PortMap.h"
#include "quillet/UsbDevices.h"
#include "station/SerialNames.h"
#include "station/StationEngine.h"
#include "tools/DumpToFile.h"
#include "tools/EraseJob.h"
#include "tools/FlashIdentification.h"
#include "tools/MemoryDump.h"
#include "tools/WrittenRanges.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsbDeviceName = "\\\\.\\Csr0";

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The view of a download session: the progress line, and the ranges the target acknowledged.
class CSessionObserver final : public IJobObserver {
public:
    CSessionObserver(CProgressLine& line, CWrittenRanges& written) : m_line(line), m_written(written) {}
    void SetCaption(const std::string& text) override { m_line.SetCaption(text); }
    void SetStatus(const std::string& text) override { m_line.SetStatus(text); }
    void SetProgressText(const std::string& text) override { m_line.SetProgressText(text); }
    void SetProgressRange(uint32_t low, uint32_t high) override { m_line.SetProgressRange(low, high); }
    void SetProgressPos(uint32_t pos) override { m_line.SetProgressPos(pos); }
    void StepProgress() override {}
    void SetEraseAnimation(bool on, const std::string& message) override {
        if (on) {
            m_erased = true;
        }
        m_line.SetEraseAnimation(on, message);
    }
    void OnBlockWritten(uint32_t address, uint32_t length) override {
        m_written.Add(address, length);
        m_line.OnBlockWritten(address, length);
    }
    bool EraseStarted() const { return m_erased; }

private:
    CProgressLine& m_line;
    CWrittenRanges& m_written;
    bool m_erased = false;
};

enum class EPhase { Idle, Poll, Send, Read };

class CCli final : public IRunHost {
public:
    CCli(const TS_CLI_OPTIONS& options, CCliOutput& out, CStopSignals& signals)
        : m_o(options), m_out(out), m_signals(signals), m_progress(out), m_list(),
          m_runs(m_list, out, *this) {
        m_signals.SetInterruptHook([this] { OnInterrupt(); });
    }
    ~CCli() override {
        m_signals.SetInterruptHook({});
        CloseLink();
    }

    int Run();

    // IRunHost
    TS_SESSION_OUTCOME RunDownloadSession(int32_t mode, const std::string& path,
                                          COstraMonitor* monitor) override;
    void ShowFileMessage(const std::string& text, const std::string& path, int errnum) override {
        std::string line = OneLine(TerminalText(text));
        if (errnum != 0) {
            line += " (" + path + ": " + std::strerror(errnum) + ")";
        }
        m_out.Error(line);
    }

private:
    // ---- the link ----
    int ResolvePort();
    int Connect(bool sendWriter);
    int SendFlashWriter();
    void CloseLink();
    void OnInterrupt();
    std::string PortLabel() const;
    int Interrupted(const std::string& what);
    // --json: the error code and name the next error is reported with
    void ErrorKind(TE_STATION_ERROR error) { m_out.JsonErrorKind(error, StationErrorName(error)); }
    // --json: the label of the port, as the station names it
    std::string JsonPortLabel() const;
    int RunCommand();

    // ---- commands ----
    int Status();
    int FlashId();
    int Erase();
    int Download();
    int Dump();
    int DumpScreen();
    int DumpFile();
    int Compress();
    int Ports();
    void PrintUsbDevices();
    int UdevRule();

    const TS_CLI_OPTIONS& m_o;
    CCliOutput& m_out;
    CStopSignals& m_signals;
    CProgressLine m_progress;
    TS_SAVED m_saved;
    TS_PORT_CONFIG m_config{};
    std::string m_devicePath; // what the port name resolves to

    std::mutex m_linkMutex; // the link against the signal watcher
    CTargetConnection m_link;
    std::atomic<EPhase> m_phase{EPhase::Idle};

    CPathList m_list;
    CDownloadRuns m_runs;
    // what the downloads found, for the exit status and the messages
    std::string m_interruptText;
    bool m_fileError = false; // a file turned out invalid while it was prepared
    bool m_verifyFailed = false;
    std::string m_failText; // the last failure, one line
    uint64_t m_verifiedBytes = 0;
    bool m_writerSent = false;
    std::string m_jsonSummary; // ports: what it found
};

// ---- the link ----

std::string CCli::PortLabel() const {
    if (m_config.PortType == PORT_USB) {
        return "the USB device " + m_devicePath;
    }
    return "COM" + std::to_string(m_config.Port + 1) + " (" + m_devicePath + ")";
}

int CCli::ResolvePort() {
    m_saved = ReadSavedSettings();
    ApplyComPortMap(m_saved.map);
    m_config = m_saved.loaded.Settings.PortConfig;
    switch (m_o.PortChoice) {
    case ECliPortChoice::Path:
        // the path beats everything, VANDREL_COM1 included
        m_config.PortType = PORT_UART;
        m_config.Port = 0;
        ::setenv("VANDREL_COM1", m_o.PortPath.c_str(), 1);
        break;
    case ECliPortChoice::Com:
        m_config.PortType = PORT_UART;
        m_config.Port = m_o.ComNumber - 1;
        break;
    case ECliPortChoice::Usb:
        m_config.PortType = PORT_USB;
        if (!m_o.PortPath.empty()) {
            ::setenv("VANDREL_USB_DEVICE", m_o.PortPath.c_str(), 1);
        }
        break;
    case ECliPortChoice::Saved:
        break;
    }
    if (m_o.BaudIndex >= 0) {
        m_config.Baud = m_o.BaudIndex;
    }
    if (m_config.PortType == PORT_UART) {
        if (m_config.Port < 0 || m_config.Port > 3) {
            m_out.Error("the saved port COM" + std::to_string(m_config.Port + 1) +
                        " is not one of COM1..COM4: give --port PATH, --com N or --usb");
            return EXIT_USAGE;
        }
        m_devicePath = QuilletResolveDevice("COM" + std::to_string(m_config.Port + 1));
    } else if (m_config.PortType == PORT_USB) {
        m_devicePath = QuilletResolveDevice(kUsbDeviceName);
        TS_USB_DEVICE_TEXT device;
        std::string problem;
        if (QuilletIsUsbDeviceText(m_devicePath) &&
            !QuilletParseUsbDeviceText(m_devicePath, device, problem)) {
            m_out.Error(problem);
            return EXIT_USAGE;
        }
    } else {
        m_out.Error("the saved port type " + std::to_string(m_config.PortType) +
                    " opens nothing: give --port PATH, --com N or --usb");
        return EXIT_USAGE;
    }
    if (m_config.Baud < 0 || m_config.Baud >= static_cast<int>(kBaudTable.size())) {
        m_out.Error("the saved baud rate index " + std::to_string(m_config.Baud) +
                    " is not in the baud table: give --baud BPS (" + BaudTableText() + ")");
        return EXIT_USAGE;
    }
    return EXIT_OK;
}

void CCli::OnInterrupt() {
    // on the signal watcher's thread
    m_runs.CancelRun();
    std::lock_guard lock(m_linkMutex);
    COstraMonitor* monitor = m_link.Monitor();
    if (!monitor) {
        return;
    }
    // A block on the wire is waited for (the next block boundary ends the session); any other
    // wait (the target poll, an erase, a memory read) can be given up at once.
    const EPhase phase = m_phase.load();
    if (phase != EPhase::Send || m_progress.Erasing()) {
        monitor->CancelWaits(true);
    }
}

void CCli::CloseLink() {
    std::lock_guard lock(m_linkMutex);
    m_link.CloseTargetLink();
    m_runs.SetMonitor(nullptr);
}

int CCli::Interrupted(const std::string& what) {
    ErrorKind(STATION_ERR_STOPPED);
    CloseLink();
    m_out.Error(what.empty() ? std::string("stopped") : what);
    return m_signals.ExitStatus();
}

int CCli::Connect(bool sendWriter) {
    using Clock = std::chrono::steady_clock;
    const auto limit = std::chrono::milliseconds(static_cast<int64_t>(m_o.WaitSeconds * 1000.0));
    const Clock::time_point start = Clock::now();
    const auto timeLeft = [&] { return limit.count() == 0 || Clock::now() - start < limit; };
    m_out.JsonBegin(m_devicePath, "dump");
    m_out.JsonPhase("connect");

    if (m_config.PortType == PORT_USB && !QuilletIsUsbDeviceText(m_devicePath)) {
        // as the connect dialog does: wait until the device (or the handset's socket) is there.
        // A libusb device is opened at once: its open says what is missing and what to do.
        struct stat st {};
        bool announced = false;
        while (::stat(m_devicePath.c_str(), &st) != 0) {
            if (m_signals.Stopped()) {
                return Interrupted("stopped while waiting for " + PortLabel() + "; nothing was sent");
            }
            if (!timeLeft()) {
                char seconds[32];
                std::snprintf(seconds, sizeof seconds, "%g", m_o.WaitSeconds);
                ErrorKind(STATION_ERR_PORT_OPEN);
                m_out.Error(PortLabel() + " did not appear within " + seconds + " s");
                return EXIT_TARGET;
            }
            if (!announced) {
                m_out.Note("Waiting for " + PortLabel() + " ...");
                announced = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    bool open = false;
    {
        std::lock_guard lock(m_linkMutex);
        m_link.CloseTargetLink();
        open = m_link.OpenTargetLink(m_config);
    }
    if (!open) {
        // the link's reason names the port and the device: "COM1 (/dev/ttyUSB0): ... (error 2)"
        const std::string reason = m_link.PortErrorText();
        std::string line =
            "cannot open " + (reason.empty() ? PortLabel() + ": " + m_link.StatusText() : reason);
        if (m_link.PortLastError() == 5) {
            const std::string hint = PermissionHint(m_devicePath);
            if (!hint.empty()) {
                line += "\n  " + hint;
            }
        } else if (m_link.PortLastError() == 2 && m_config.PortType == PORT_UART) {
            line += "\n  'vandrel-cli ports' lists the serial devices and how COM1..COM4 map to them";
        }
        CloseLink();
        ErrorKind(STATION_ERR_PORT_OPEN);
        m_out.Error(line);
        return EXIT_USAGE;
    }
    m_runs.SetMonitor(m_link.Monitor());
    m_out.Note("Port: " + m_link.StatusText() + " on " + m_devicePath);

    StartTargetLog(m_out, ModuleFileVersion());
    m_phase = EPhase::Poll;
    std::chrono::milliseconds remaining{0};
    if (limit.count() > 0) {
        remaining =
            std::max(std::chrono::milliseconds(1),
                     limit - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start));
    }
    const TS_TARGET_POLL answer =
        WaitForTargetAnswer(*m_link.Monitor(), m_out, remaining, &m_signals.StopFlag());
    m_phase = EPhase::Idle;
    switch (answer.answer) {
    case ANSWER_READY:
        break;
    case ANSWER_CANCELLED:
        return Interrupted("stopped while waiting for the target's answer; nothing was sent");
    case ANSWER_NO_ANSWER: {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", m_o.WaitSeconds);
        CloseLink();
        ErrorKind(STATION_ERR_NO_ANSWER);
        m_out.Error("no answer from the target on " + PortLabel() + " within " + seconds +
                    " s: is the handset on and the cable in?");
        return EXIT_TARGET;
    }
    case ANSWER_NOT_POSSIBLE:
    case ANSWER_UNKNOWN:
        CloseLink();
        ErrorKind(STATION_ERR_NOT_POSSIBLE);
        m_out.Error("the target on " + PortLabel() + " answered that a download is not possible (result " +
                    std::to_string(answer.result) + ")");
        return EXIT_TARGET;
    default:
        CloseLink();
        m_out.Error("the link on " + PortLabel() +
                    " failed while waiting for the target: " + StatusCodeText(answer.status));
        return EXIT_TARGET;
    }

    int runner = -1;
    const signed char status = ReportTargetStatus(*m_link.Monitor(), m_out, runner);
    if (m_signals.Stopped()) {
        return Interrupted("stopped after the target answered; nothing was sent");
    }
    if (status < 0) {
        CloseLink();
        m_out.Error("the target on " + PortLabel() +
                    " did not say which program runs: " + StatusCodeText(status));
        return EXIT_TARGET;
    }
    if (sendWriter && NeedsFlashWriter(status, runner)) {
        m_out.JsonPhase("writer");
        return SendFlashWriter();
    }
    return EXIT_OK;
}

int CCli::SendFlashWriter() {
    std::string writer = m_o.WriterPath;
    if (writer.empty()) {
        writer = m_saved.loaded.Settings.FlashWriterPath[m_config.PortType == PORT_USB ? 1 : 0];
    }
    if (writer.empty()) {
        CloseLink();
        ErrorKind(STATION_ERR_FILE);
        m_out.Error(
            std::string("the boot loader runs and no flash writer is set: give --writer FILE, or set the ") +
            (m_config.PortType == PORT_USB ? "USB" : "UART") +
            "-FlashWriter path in the program's Global Settings");
        return EXIT_USAGE;
    }
    if (const std::string problem = CheckFlashFile(writer, false); !problem.empty()) {
        CloseLink();
        ErrorKind(STATION_ERR_FILE);
        m_out.Error("flash writer: " + problem);
        return EXIT_USAGE;
    }
    m_signals.AddCleanupSource(writer);
    CDownloadRuns::TS_WRITER_STARTED after;
    const bool sent = m_runs.FlashWriterDownload(writer, &after);
    if (m_signals.Stopped()) {
        return Interrupted(m_interruptText);
    }
    if (!sent) {
        CloseLink();
        ErrorKind(m_fileError ? STATION_ERR_FILE : STATION_ERR_WRITER);
        m_out.Error("the flash writer " + writer + " was not sent: " + m_failText);
        return m_fileError ? EXIT_USAGE : EXIT_TARGET;
    }
    // The writer proves itself by reporting that it runs. Its RAM is its own once it runs (data,
    // stack), so reading the image back from there proves nothing.
    const int expected = m_config.PortType == PORT_USB ? RUNNER_FLASH_WRITER_USB : RUNNER_FLASH_WRITER_UART;
    if (!after.asked || after.status < 0 || after.runner != expected) {
        std::string seen;
        if (!after.asked || after.status < 0) {
            seen = "the target did not say which program runs: " + StatusCodeText(after.status);
        } else {
            seen = "the target reports runner " + std::to_string(after.runner) + " (" +
                   OneLine(TerminalText(RunnerLine(after.runner, after.version))) + ")";
        }
        CloseLink();
        ErrorKind(STATION_ERR_WRITER);
        m_out.Error("the flash writer " + writer +
                    " was sent, but it does not report itself running (runner " + std::to_string(expected) +
                    " expected): " + seen);
        return EXIT_TARGET;
    }
    m_out.Note("flash writer running, version " + after.version);
    m_writerSent = true;
    return EXIT_OK;
}

// ---- one download session ----

TS_SESSION_OUTCOME CCli::RunDownloadSession(int32_t mode, const std::string& path, COstraMonitor* monitor) {
    CWrittenRanges written;
    CSessionObserver observer(m_progress, written);
    CDownloadSession session(mode, path, monitor, &observer);
    session.SetStopFlag(&m_signals.StopFlag());
    m_progress.Begin(BaseName(path));
    m_phase = EPhase::Send;
    const bool sent = session.RunSession();
    m_phase = EPhase::Idle;
    m_progress.End();
    if (!sent) {
        m_failText = OneLine(TerminalText(session.GetErrorText()));
        if (m_signals.Stopped()) {
            char text[256];
            if (session.AnyBlockWritten()) {
                std::snprintf(text, sizeof text, "' reached address 0x%08X (%" PRIu64 " bytes written)",
                              session.NextAddress(), session.BytesWritten());
                m_interruptText = "stopped: '" + path + text + "; the flash there is incomplete";
            } else if (observer.EraseStarted()) {
                m_interruptText = "stopped while the flash was being erased for '" + path +
                                  "': nothing of it was written; the flash there is incomplete";
            } else {
                m_interruptText = "stopped before '" + path + "' was erased or written";
            }
        } else {
            const std::string error = session.GetErrorText();
            m_fileError = error.rfind(sessiontext::ERR_COMPRESS, 0) == 0 ||
                          error.rfind(sessiontext::ERR_UNKNOWN_FORMAT, 0) == 0;
        }
        return {false, session.GetErrorText()};
    }
    if (!session.AnyBlockWritten()) {
        // a success by the session's rules, but the user should know
        m_out.Error("'" + path + "' held no data record: nothing was written");
    }
    if (!m_o.Verify || !monitor || mode == MODE_WRITER_CODE) {
        // the flash writer is not read back: SendFlashWriter asks whether it runs
        return {true, {}};
    }

    TS_IMAGE_BYTES image;
    std::string problem;
    if (!ReadImageBytes(session.PreparedPath(), true, image, problem)) {
        m_fileError = true;
        m_failText = "cannot read back what was sent: " + problem;
        return {false, "\r\n" + m_failText + "\r\n"};
    }
    m_progress.Begin(BaseName(path));
    m_progress.SetBytesFromPosition(true);
    m_phase = EPhase::Read;
    const TS_VERIFY_RESULT verify =
        VerifyWrittenRanges(*monitor, written, image, &m_progress, &m_signals.StopFlag());
    m_phase = EPhase::Idle;
    m_progress.End();
    m_progress.SetBytesFromPosition(false);
    if (verify.stopped || m_signals.Stopped()) {
        m_interruptText = "stopped while '" + path + "' was being verified (it was written in full)";
        return {false, "\r\nVerification of '" + path + "' stopped.\r\n"};
    }
    if (!verify.ok) {
        m_verifyFailed = true;
        m_failText = verify.text;
        return {false, "\r\n" + verify.text + " ('" + path + "')\r\n"};
    }
    m_verifiedBytes += verify.bytesCompared;
    m_out.Note(verify.text + " of '" + path + "'");
    return {true, {}};
}

// ---- commands ----

int CCli::Status() {
    if (const int rc = Connect(false); rc != EXIT_OK) {
        return rc;
    }
    TE_TARGET_RUNNER_TYPES runner{};
    std::string version;
    // the status the log shows was asked once; the result line repeats its answer
    const signed char status = m_link.Monitor()->QueryTargetRunner(runner, version);
    CloseLink();
    if (status < 0) {
        m_out.Error("the target did not say which program runs: " + StatusCodeText(status));
        return EXIT_TARGET;
    }
    m_out.Result("status: " + OneLine(TerminalText(RunnerLine(runner, version))));
    return EXIT_OK;
}

int CCli::FlashId() {
    if (const int rc = Connect(true); rc != EXIT_OK) {
        return rc;
    }
    m_phase = EPhase::Read;
    const auto answers = GetFlashId(*m_link.Monitor(), m_out);
    m_phase = EPhase::Idle;
    if (m_signals.Stopped()) {
        return Interrupted("stopped while the flash parts were being asked");
    }
    CloseLink();
    std::string line = "flash-id:";
    bool allAnswered = true;
    for (std::size_t cs = 0; cs < answers.size(); ++cs) {
        line += (cs ? ", CS#" : " CS#") + std::to_string(cs) + " ";
        if (answers[cs].answered) {
            line += FlashPartName(answers[cs].id);
        } else {
            line += "error " + StatusCodeText(answers[cs].status);
            allAnswered = false;
        }
    }
    m_out.Result(line);
    if (!allAnswered) {
        m_out.Error("not every chip select answered");
        return EXIT_TARGET;
    }
    return EXIT_OK;
}

int CCli::Erase() {
    if (const int rc = Connect(true); rc != EXIT_OK) {
        return rc;
    }
    TS_JOB_HOOKS hooks;
    hooks.Observer = &m_progress;
    hooks.Log = &m_out;
    hooks.Stop = &m_signals.StopFlag();
    CEraseJob job(*m_link.Monitor(), hooks);
    m_phase = EPhase::Read;
    const TS_FLASH_QUERY query = job.RunQuery();
    m_phase = EPhase::Idle;
    if (query.Stopped || m_signals.Stopped()) {
        return Interrupted("stopped before anything was erased");
    }
    CEraseSelection selection;
    if (std::string problem; !SelectEraseItems(m_o.EraseItems, query, selection, problem)) {
        CloseLink();
        m_out.Error(problem);
        return EXIT_TARGET;
    }

    m_progress.Begin("");
    m_phase = EPhase::Read;
    const TS_ERASE_RESULT result = job.RunErase(selection);
    m_phase = EPhase::Idle;
    m_progress.End();
    if (result.Outcome == ERASE_STOPPED || m_signals.Stopped()) {
        // the command whose wait was given up may still be erasing in the handset
        std::string incomplete;
        std::string notErased;
        for (const TS_ERASE_STEP_RESULT& step : result.Steps) {
            if (!step.Sent) {
                notErased += (notErased.empty() ? "" : ", ") + std::string(step.Step.Name);
            } else if (step.Status < 0) {
                incomplete += (incomplete.empty() ? "" : ", ") + std::string(step.Step.Name);
            }
        }
        std::string text = "stopped while erasing:";
        if (!incomplete.empty()) {
            text += " " + incomplete + " is incomplete";
        }
        if (!notErased.empty()) {
            text += (incomplete.empty() ? " " : "; ") + notErased + " not erased";
        }
        return Interrupted(text);
    }
    CloseLink();
    std::string done;
    for (const TS_ERASE_STEP_RESULT& step : result.Steps) {
        if (step.Sent && step.Status >= 0) {
            char range[48] = "";
            if (!step.Step.WholeChip) {
                std::snprintf(range, sizeof range, " [0x%08X-0x%08X]", step.Step.Start, step.Step.End);
            }
            done += (done.empty() ? "" : ", ") + std::string(step.Step.Name) + range;
        }
    }
    if (result.Outcome != ERASE_DONE) {
        m_out.Error(OneLine(result.Message));
        if (!done.empty()) {
            m_out.Result("erase: erased " + done);
        }
        return result.Outcome == ERASE_NOTHING_SELECTED ? EXIT_USAGE : EXIT_TARGET;
    }
    m_out.Result("erase: erased " + done);
    return EXIT_OK;
}

int CCli::Download() {
    for (const std::string& file : m_o.Files) {
        if (const std::string problem = CheckFlashFile(file, true); !problem.empty()) {
            m_out.Error(problem);
            return EXIT_USAGE;
        }
    }
    if (!m_o.WriterPath.empty()) {
        if (const std::string problem = CheckFlashFile(m_o.WriterPath, false); !problem.empty()) {
            m_out.Error("flash writer: " + problem);
            return EXIT_USAGE;
        }
    }
    if (const int rc = Connect(true); rc != EXIT_OK) {
        return rc;
    }
    m_list.SetPaths(m_o.Files);
    const TS_RUN_SUMMARY summary = m_runs.AllRun();
    if (m_signals.Stopped()) {
        if (m_interruptText.empty()) {
            // between two files: what was sent is complete
            m_interruptText = "stopped after " + std::to_string(summary.sent) + " of " +
                              std::to_string(m_o.Files.size()) +
                              " files were sent in full; the rest were not sent";
        }
        return Interrupted(m_interruptText);
    }
    CloseLink();
    if (summary.failed > 0) {
        const std::string file = m_runs.CurrentFilePath();
        m_out.Error("download of '" + file + "' failed: " + m_failText);
        std::size_t failedAt = 0;
        while (failedAt < m_o.Files.size() && m_o.Files[failedAt] != file) {
            ++failedAt;
        }
        if (failedAt + 1 < m_o.Files.size()) {
            const std::size_t notSent = m_o.Files.size() - failedAt - 1;
            m_out.Error(std::to_string(notSent) + " file" + (notSent == 1 ? " was" : "s were") +
                        " not attempted after it");
        }
        return m_fileError && !m_verifyFailed ? EXIT_USAGE : EXIT_TARGET;
    }
    if (summary.skipped > 0) {
        return EXIT_USAGE;
    }
    std::string line =
        "download: " + std::to_string(summary.sent) + " file" + (summary.sent == 1 ? "" : "s") + " sent";
    if (m_writerSent) {
        line += " after the flash writer";
    }
    if (m_o.Verify) {
        line += ", verified " + std::to_string(m_verifiedBytes) + " bytes";
    }
    m_out.Result(line);
    return EXIT_OK;
}

int CCli::Dump() {
    return m_o.DumpEnd ? DumpFile() : DumpScreen();
}

int CCli::DumpScreen() {
    const auto unit = static_cast<TE_DUMP_UNIT>(m_o.DumpUnit);
    const uint32_t unitBytes = UnitBytes(unit);
    const uint32_t size = m_o.DumpSize.value_or(256 / unitBytes);
    const uint64_t bytes = uint64_t{size} * unitBytes;
    if (bytes > (16u << 20)) {
        m_out.Error("a dump to the screen reads at most 16 MiB; use --end ADDR -o FILE.bin for more");
        return EXIT_USAGE;
    }
    if (uint64_t{m_o.DumpStart} + bytes > 0x100000000ull) {
        m_out.Error("the dump from " + Hex32(m_o.DumpStart) + " runs past 0xFFFFFFFF");
        return EXIT_USAGE;
    }
    if (const int rc = Connect(true); rc != EXIT_OK) {
        return rc;
    }
    std::vector<uint8_t> data;
    m_out.JsonPhase("dump");
    m_out.JsonProgress(0, bytes);
    m_phase = EPhase::Read;
    const TS_MEMORY_READ read =
        DumpToScreen(*m_link.Monitor(), m_o.DumpStart, size, unit, data, &m_signals.StopFlag());
    m_phase = EPhase::Idle;
    if (read.Stopped || m_signals.Stopped()) {
        return Interrupted("stopped while reading memory; nothing was changed");
    }
    CloseLink();
    if (!read.Ok()) {
        ErrorKind(STATION_ERR_LINK);
        m_out.Error(ScreenDumpErrorText(read) + " reading " + Hex32(read.FailedAddress) + " (" +
                    StatusCodeText(read.Status) + ")");
        return EXIT_TARGET;
    }
    // rows of 16 bytes: address, bytes, characters
    for (std::size_t row = 0; row < data.size(); row += 16) {
        char text[128];
        int n = std::snprintf(text, sizeof text, "%08X ", static_cast<uint32_t>(m_o.DumpStart + row));
        std::string ascii;
        for (std::size_t k = 0; k < 16; ++k) {
            if (k == 8) {
                n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), " ");
            }
            if (row + k < data.size()) {
                const uint8_t b = data[row + k];
                n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), " %02X", b);
                ascii += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
            } else {
                n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "   ");
            }
        }
        m_out.Result(std::string(text) + "  |" + ascii + "|");
    }
    if (m_out.Json()) {
        m_out.JsonProgress(data.size(), bytes);
        m_out.JsonEnd(EXIT_OK, data.size(),
                      "dump: " + std::to_string(data.size()) + " bytes from " + Hex32(m_o.DumpStart),
                      ",\"start\":" + std::to_string(m_o.DumpStart));
    }
    return EXIT_OK;
}

int CCli::DumpFile() {
    const std::string& path = m_o.DumpOutput;
    {
        // the file must be writable before the target is asked
        const fs::path parent =
            fs::path(path).has_parent_path() ? fs::path(path).parent_path() : fs::path(".");
        std::error_code ec;
        if (fs::is_directory(path, ec)) {
            m_out.Error(path + ": is a folder, not a file");
            return EXIT_USAGE;
        }
        if (::access(parent.c_str(), W_OK) != 0) {
            m_out.Error("cannot write " + path + ": " + std::strerror(errno));
            return EXIT_USAGE;
        }
        if (fs::exists(path, ec) && ::access(path.c_str(), W_OK) != 0) {
            m_out.Error("cannot write " + path + ": " + std::strerror(errno));
            return EXIT_USAGE;
        }
    }
    if (const int rc = Connect(true); rc != EXIT_OK) {
        return rc;
    }
    TS_JOB_HOOKS hooks;
    hooks.Observer = &m_progress;
    hooks.Log = &m_out;
    hooks.Stop = &m_signals.StopFlag();
    m_out.JsonPhase("dump");
    m_progress.Begin(BaseName(path));
    m_progress.SetBytesFromPosition(true);
    m_progress.SetJsonTotal(uint64_t{*m_o.DumpEnd} - m_o.DumpStart);
    m_phase = EPhase::Read;
    const TS_DUMP_FILE_RESULT result =
        DumpToFile(*m_link.Monitor(), path, m_o.DumpStart, *m_o.DumpEnd, hooks);
    m_phase = EPhase::Idle;
    m_progress.End();
    if (result.Outcome == DUMP_FILE_STOPPED || m_signals.Stopped()) {
        return Interrupted(OneLine(result.Detail.empty() ? result.StatusText : result.Detail));
    }
    CloseLink();
    switch (result.Outcome) {
    case DUMP_FILE_CREATED:
        m_out.Result("dump: " + result.StatusText + ": " + result.FileInfo + " from " + Hex32(m_o.DumpStart) +
                     " to " + Hex32(*m_o.DumpEnd));
        m_out.JsonEnd(EXIT_OK, result.BytesWritten, {},
                      ",\"file\":" + JsonString(path) + ",\"start\":" + std::to_string(m_o.DumpStart) +
                          ",\"end\":" + std::to_string(*m_o.DumpEnd));
        return EXIT_OK;
    case DUMP_FILE_READ_ERROR:
        ErrorKind(STATION_ERR_LINK);
        m_out.Error(OneLine(result.Detail.empty() ? result.StatusText : result.Detail));
        return EXIT_TARGET;
    default:
        ErrorKind(STATION_ERR_FILE);
        m_out.Error(OneLine(result.Detail.empty() ? result.MessageBox : result.Detail));
        return EXIT_USAGE;
    }
}

int CCli::Compress() {
    for (const std::string& file : m_o.Files) {
        m_out.JsonBegin(file, "compress");
        m_out.JsonPhase("compress");
        ErrorKind(STATION_ERR_FILE);
        if (GetFileKind(file) != KIND_M0) {
            m_out.Error(file + ": compress takes an .m0 file");
            return EXIT_USAGE;
        }
        // the compression itself checks every record
        if (const std::string problem = CheckFlashFile(file, false, false); !problem.empty()) {
            m_out.Error(problem);
            return EXIT_USAGE;
        }
        TS_AREA_MARKS marks;
        TS_COMPRESS_HOOKS hooks;
        hooks.MarkArea = [&marks](uint32_t address) { marks.MarkArea(address); };
        hooks.Stop = &m_signals.StopFlag();
        std::string output;
        std::string problem;
        // the counts come from the compression: the .cp64 is not read back
        TS_COMPRESS_COUNTS counts;
        if (!CompressFlashFile(file, output, hooks, &problem, &counts)) {
            if (m_signals.Stopped()) {
                return Interrupted("stopped while compressing '" + file + "': no .cp64 was left");
            }
            m_out.Error(OneLine(problem)); // it names the file
            return EXIT_USAGE;
        }
        const auto names = [](int32_t flags, const COstraAreaTable& table) {
            std::string text;
            for (const TS_OSTRA_AREA& area : table.Areas()) {
                if (flags & area.flag) {
                    char range[40];
                    std::snprintf(range, sizeof range, " [0x%08X-0x%08X]", area.start, area.end);
                    text += (text.empty() ? "" : ", ") + std::string(area.displayName) + range;
                }
            }
            return text.empty() ? std::string("no Ostra area") : text;
        };
        // --json: [{"name":..., "start":..., "end":...}, ...]
        const auto jsonAreas = [](int32_t flags, const COstraAreaTable& table) {
            std::string text;
            for (const TS_OSTRA_AREA& area : table.Areas()) {
                if (flags & area.flag) {
                    text += (text.empty() ? "{\"name\":" : ",{\"name\":") + JsonString(area.displayName) +
                            ",\"start\":" + std::to_string(area.start) +
                            ",\"end\":" + std::to_string(area.end) + "}";
                }
            }
            return "[" + text + "]";
        };
        COstraAreaTable defaults;
        COstraAreaTable moved;
        moved.RemapForFlashType(FLASH_TYPE_MOVED_LAYOUT);
        m_out.Result("compress: " + output + ": " + std::to_string(counts.DataBytes) + " data bytes in " +
                     std::to_string(counts.Blocks) + " block" + (counts.Blocks == 1 ? "" : "s"));
        m_out.Result("  areas: " + names(marks.defaultFlags, defaults));
        if (marks.movedFlags != marks.defaultFlags) {
            m_out.Result("  areas with CS#0 flash part 19: " + names(marks.movedFlags, moved));
        }
        m_out.JsonEnd(EXIT_OK, counts.DataBytes, {},
                      ",\"file\":" + JsonString(output) + ",\"dataBytes\":" +
                          std::to_string(counts.DataBytes) + ",\"blocks\":" + std::to_string(counts.Blocks) +
                          ",\"areas\":" + jsonAreas(marks.defaultFlags, defaults) +
                          (marks.movedFlags != marks.defaultFlags
                               ? ",\"movedAreas\":" + jsonAreas(marks.movedFlags, moved)
                               : std::string()));
    }
    return EXIT_OK;
}

int CCli::Ports() {
    m_out.JsonBegin("", "ports");
    TS_SAVED saved = ReadSavedSettings();
    ApplyComPortMap(saved.map);
    if (m_o.PortChoice == ECliPortChoice::Path) {
        ::setenv("VANDREL_COM1", m_o.PortPath.c_str(), 1);
    } else if (m_o.PortChoice == ECliPortChoice::Usb && !m_o.PortPath.empty()) {
        ::setenv("VANDREL_USB_DEVICE", m_o.PortPath.c_str(), 1);
    }
    const auto state = [](const std::string& path) -> std::string {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            return "  (missing)";
        }
        if (::access(path.c_str(), R_OK | W_OK) != 0) {
            const group* g = ::getgrgid(st.st_gid);
            return std::string("  (no permission; group ") + (g ? g->gr_name : std::to_string(st.st_gid)) +
                   ")";
        }
        return "";
    };
    m_out.Result("Serial devices:");
    const auto devices = QuilletListSerialDevices();
    m_jsonSummary = std::to_string(devices.size()) + " serial device" + (devices.size() == 1 ? "" : "s");
    for (const std::string& device : devices) {
        m_out.Result("  " + device + state(device) + StableSerialNamesText(device));
    }
    if (devices.empty()) {
        m_out.Result("  (none)");
    }
    PrintUsbDevices();
    m_out.Result("Port map (VANDREL_COMn, then the saved map, then the default):");
    for (int n = 1; n <= 4; ++n) {
        const std::string env = "VANDREL_COM" + std::to_string(n);
        const char* value = std::getenv(env.c_str());
        std::string source = value && *value                                                 ? env
                             : !saved.map.ComDevice[static_cast<std::size_t>(n - 1)].empty() ? "saved map"
                                                                                             : "default";
        if (n == 1 && m_o.PortChoice == ECliPortChoice::Path) {
            source = "--port";
        }
        const std::string path = QuilletResolveDevice("COM" + std::to_string(n));
        m_out.Result("  COM" + std::to_string(n) + " -> " + (path.empty() ? "(none)" : path) + "  [" +
                     source + "]" + (path.empty() ? "" : state(path)));
    }
    const char* usbEnv = std::getenv("VANDREL_USB_DEVICE");
    const std::string usbSource = m_o.PortChoice == ECliPortChoice::Usb && !m_o.PortPath.empty() ? "--usb"
                                  : usbEnv && *usbEnv            ? "VANDREL_USB_DEVICE"
                                  : !saved.map.UsbDevice.empty() ? "saved map"
                                                                 : "default";
    const std::string usb = QuilletResolveDevice(kUsbDeviceName);
    m_out.Result("  USB  -> " + usb + "  [" + usbSource + "]" +
                 (QuilletIsUsbDeviceText(usb) ? (QuilletUsbDevicePresent(usb) ? "" : "  (not connected)")
                                              : state(usb)));
    const AppSettings& s = saved.loaded.Settings;
    const int baud = s.PortConfig.Baud;
    m_out.Result("Saved settings: " +
                 std::string(s.PortConfig.PortType == PORT_USB
                                 ? "USB"
                                 : "RS232 on COM" + std::to_string(s.PortConfig.Port + 1)) +
                 (baud >= 0 && baud < static_cast<int>(kBaudTable.size())
                      ? ", " + std::to_string(kBaudTable[static_cast<std::size_t>(baud)]) + " bit/s"
                      : std::string()));
    m_out.Result("  UART flash writer: " +
                 (s.FlashWriterPath[0].empty() ? "(not set)" : s.FlashWriterPath[0]));
    m_out.Result("  USB flash writer:  " +
                 (s.FlashWriterPath[1].empty() ? "(not set)" : s.FlashWriterPath[1]));
    m_out.JsonEnd(EXIT_OK, 0, m_jsonSummary);
    return EXIT_OK;
}

// The USB devices present (nothing opened, nothing claimed): the device text that names each,
// its strings when readable, and whether it has the bulk pair the link needs.
void CCli::PrintUsbDevices() {
    m_out.Result(
        "USB devices (give one as --usb usb:VVVV:PPPP, or usb:VVVV:PPPP@BUS-PORT when several match):");
    const std::vector<TS_USB_DEVICE_INFO> devices = QuilletListUsbDevices();
    m_jsonSummary += ", " + std::to_string(devices.size()) + " USB device" + (devices.size() == 1 ? "" : "s");
    for (const TS_USB_DEVICE_INFO& d : devices) {
        std::string names = d.Manufacturer;
        if (!d.ProductName.empty()) {
            names += (names.empty() ? "" : " ") + d.ProductName;
        }
        const bool readable = ::access(d.Node.c_str(), R_OK | W_OK) == 0;
        m_out.Result("  " + QuilletUsbDeviceText(d) + "  " + d.Node + (names.empty() ? "" : "  " + names) +
                     (d.BulkInterface >= 0 ? "  bulk pair on interface " + std::to_string(d.BulkInterface)
                                           : "  no bulk pair") +
                     (readable ? "" : "  (no permission: see 'vandrel-cli udev-rule')"));
    }
    if (devices.empty()) {
        m_out.Result("  (none)");
    }
}

int CCli::UdevRule() {
    TS_USB_DEVICE_TEXT device;
    std::string problem;
    QuilletParseUsbDeviceText(m_o.UsbDeviceText, device, problem); // checked with the options
    const std::string rule = QuilletUdevRule(device);
    m_out.JsonBegin(m_o.UsbDeviceText, "udev-rule");
    for (size_t start = 0; start < rule.size();) {
        const size_t end = rule.find('\n', start);
        m_out.Result(rule.substr(start, end - start));
        start = end == std::string::npos ? rule.size() : end + 1;
    }
    m_out.JsonEnd(EXIT_OK, 0, "udev rule for " + m_o.UsbDeviceText, ",\"rule\":" + JsonString(rule));
    return EXIT_OK;
}

std::string CCli::JsonPortLabel() const {
    for (const TS_CLI_PORT& port : m_o.Ports) {
        if (!port.Path.empty()) {
            return port.Path;
        }
    }
    if (m_config.PortType == PORT_USB) {
        return "usb";
    }
    return "COM" + std::to_string(m_config.Port + 1);
}

int CCli::Run() {
    const int rc = RunCommand();
    if (m_out.Json()) {
        m_out.JsonEnd(rc, 0);
        m_out.JsonSummary();
    }
    return rc;
}

int CCli::RunCommand() {
    switch (m_o.Command) {
    case ECliCommand::Compress:
        return Compress();
    case ECliCommand::Ports:
        return Ports();
    case ECliCommand::UdevRule:
        return UdevRule();
    default:
        break;
    }
    if (const int rc = ResolvePort(); rc != EXIT_OK) {
        return rc;
    }
    if (m_out.Json()) {
        m_out.EnableJson(JsonPortLabel());
    }
    switch (m_o.Command) {
    case ECliCommand::Status:
        return Status();
    case ECliCommand::FlashId:
        return FlashId();
    case ECliCommand::Erase:
        return Erase();
    case ECliCommand::Download:
        return Download();
    case ECliCommand::Dump:
        return Dump();
    default:
        return EXIT_USAGE;
    }
}

} // namespace

std::string PermissionHint(const std::string& devicePath) {
    struct stat st {};
    if (devicePath.empty() || ::stat(devicePath.c_str(), &st) != 0) {
        return {};
    }
    const group* g = ::getgrgid(st.st_gid);
    const std::string name = g ? g->gr_name : std::to_string(st.st_gid);
    return "you lack permission to open " + devicePath + "; it belongs to the group '" + name +
           "': join it with 'sudo usermod -aG " + name +
           " $USER', then log in again (\"Device access\" in 'man vandrel-cli' and in the README)";
}

int RunPortCommand(const TS_CLI_OPTIONS& options, CStopSignals& signals, std::FILE* out, std::FILE* err,
                   bool interactive) {
    std::string error;
    CCliOutput output(out, err, options.Quiet, interactive);
    if (options.Json) {
        output.EnableJson(""); // dump names its port once it is known
    }
    if (!options.LogPath.empty() && !output.OpenLogFile(options.LogPath, error)) {
        output.Error(error);
        return EXIT_USAGE;
    }
    CCli cli(options, output, signals);
    return cli.Run();
}
