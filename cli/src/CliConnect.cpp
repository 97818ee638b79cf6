// The command-line tool's connect: the port it resolves, the connect sequence run whole with
// Ctrl-C as its cancel flag, and its words for each outcome.
#include "CliPort.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "CliDeviceAccess.h"
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
#include "platform/Files.h"
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

namespace cliport {

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
        platform::SetEnvironment("VANDREL_COM1", m_o.PortPath);
        break;
    case ECliPortChoice::Com:
        m_config.PortType = PORT_UART;
        m_config.Port = m_o.ComNumber - 1;
        break;
    case ECliPortChoice::Usb:
        m_config.PortType = PORT_USB;
        if (!m_o.PortPath.empty()) {
            platform::SetEnvironment("VANDREL_USB_DEVICE", m_o.PortPath);
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

namespace {

// The connect sequence's view: the JSON phase of the flash writer.
class CConnectView final : public CQuietJobObserver {
public:
    explicit CConnectView(CCliOutput& out) : m_out(out) {}
    void OnJobPhase(TE_JOB_PHASE phase) override {
        if (phase == JOB_PHASE_WRITER) {
            m_out.JsonPhase("writer");
        }
    }

private:
    CCliOutput& m_out;
};

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

} // namespace

TS_CLI_DECISION CliConnectDecision(const TS_JOB_OUTCOME& o) {
    switch (o.Class) {
    case OUTCOME_OK:
        return {EXIT_OK, STATION_OK};
    case OUTCOME_CANCELLED:
        return {kExitOfSignal, STATION_ERR_STOPPED};
    case OUTCOME_OPEN_REFUSED:
        // a device that did not appear is the target's matter; a port that does not open, usage
        return {o.Step == STEP_DEVICE ? EXIT_TARGET : EXIT_USAGE, STATION_ERR_PORT_OPEN};
    case OUTCOME_NO_ANSWER:
        return {EXIT_TARGET, STATION_ERR_NO_ANSWER};
    default:
        break;
    }
    switch (o.Step) {
    case STEP_ANSWER:
        if (o.Class == OUTCOME_TARGET_REFUSED && o.Status >= 0) {
            return {EXIT_TARGET, STATION_ERR_NOT_POSSIBLE};
        }
        return {EXIT_TARGET, kNoErrorKind};
    case STEP_WRITER:
        if (o.Class == OUTCOME_FILE_ERROR &&
            (o.File == FILE_PROBLEM_NOT_SET || o.File == FILE_PROBLEM_COMPRESS ||
             o.File == FILE_PROBLEM_FORMAT)) {
            return {EXIT_USAGE, STATION_ERR_FILE};
        }
        return {EXIT_TARGET, STATION_ERR_WRITER};
    case STEP_WRITER_START:
        return {EXIT_TARGET, STATION_ERR_WRITER};
    default:
        return {EXIT_TARGET, kNoErrorKind};
    }
}

std::string CCli::WriterPath() const {
    std::string writer = m_o.WriterPath;
    if (writer.empty()) {
        writer = m_saved.loaded.Settings.FlashWriterPath[m_config.PortType == PORT_USB ? 1 : 0];
    }
    return writer;
}

int CCli::Connect(bool sendWriter) {
    m_out.JsonBegin(m_devicePath, "dump");
    m_out.JsonPhase("connect");
    TS_CONNECT_PLAN plan;
    plan.Config = m_config;
    plan.Wait = std::chrono::milliseconds(static_cast<int64_t>(m_o.WaitSeconds * 1000.0));
    if (m_config.PortType == PORT_USB && !QuilletIsUsbDeviceText(m_devicePath)) {
        // as the connect dialog does: wait until the device (or the handset's socket) is there.
        // A libusb device is opened at once: its open says what is missing and what to do.
        plan.WaitPath = m_devicePath;
    }
    plan.Version = ModuleFileVersion();
    plan.LinkMutex = &m_linkMutex;
    plan.DeviceMissing = [this] { m_out.Note("Waiting for " + PortLabel() + " ..."); };
    plan.Opened = [this] {
        m_runs.SetMonitor(m_link.Monitor());
        m_out.Note("Port: " + m_link.StatusText() + " on " + m_devicePath);
        m_phase = EPhase::Poll;
    };
    plan.SendWriter = sendWriter;
    plan.WriterPath = WriterPath();
    plan.Writer = [this, writer = plan.WriterPath](COstraMonitor&) { return SendFlashWriter(writer); };
    CConnectView view(m_out);
    CConnectSequence connect(m_link, m_out, &view, plan);
    const TS_JOB_OUTCOME& outcome = connect.Run(&m_signals.StopFlag());
    m_phase = EPhase::Idle;
    if (outcome.Ok()) {
        if (connect.WriterSent()) {
            m_out.Note("flash writer running, version " + connect.RunnerVersion());
            m_writerSent = true;
        }
        return EXIT_OK;
    }
    return ConnectFailed(outcome, plan.WriterPath);
}

int CCli::ConnectFailed(const TS_JOB_OUTCOME& o, const std::string& writer) {
    const TS_CLI_DECISION decision = CliConnectDecision(o);
    if (decision.Exit == kExitOfSignal) {
        switch (o.Step) {
        case STEP_DEVICE:
            return Interrupted("stopped while waiting for " + PortLabel() + "; nothing was sent");
        case STEP_OPEN:
        case STEP_ANSWER:
            return Interrupted("stopped while waiting for the target's answer; nothing was sent");
        case STEP_STATUS:
            return Interrupted("stopped after the target answered; nothing was sent");
        default:
            return Interrupted(o.Text);
        }
    }
    CloseLink();
    std::string line;
    switch (o.Step) {
    case STEP_DEVICE:
        line = PortLabel() + " did not appear within " + Seconds(m_o.WaitSeconds) + " s";
        break;
    case STEP_OPEN:
        // the link's reason names the port and the device: "COM1 (/dev/ttyUSB0): ... (error 2)"
        line = "cannot open " + (o.Reason.empty() ? PortLabel() + ": " + o.Text : o.Reason);
        if (const std::string advice = PortOpenAdvice(m_devicePath, o.SystemError); !advice.empty()) {
            line += "\n  " + advice;
        } else if (o.SystemError == 2 && m_config.PortType == PORT_UART) {
            line += "\n  'vandrel-cli ports' lists the serial devices and how COM1..COM4 map to them";
        }
        break;
    case STEP_ANSWER:
        if (o.Class == OUTCOME_NO_ANSWER) {
            line = "no answer from the target on " + PortLabel() + " within " + Seconds(m_o.WaitSeconds) +
                   " s: is the handset on and the cable in?";
        } else if (decision.Code == STATION_ERR_NOT_POSSIBLE) {
            line = "the target on " + PortLabel() + " answered that a download is not possible (result " +
                   std::to_string(o.Result) + ")";
        } else {
            line = "the link on " + PortLabel() +
                   " failed while waiting for the target: " + StatusCodeText(o.Status);
        }
        break;
    case STEP_STATUS:
        line =
            "the target on " + PortLabel() + " did not say which program runs: " + StatusCodeText(o.Status);
        break;
    case STEP_WRITER:
        if (o.File == FILE_PROBLEM_NOT_SET) {
            m_out.JsonPhase("writer"); // said as the writer was found missing
            line = std::string(
                       "the boot loader runs and no flash writer is set: give --writer FILE, or set the ") +
                   (m_config.PortType == PORT_USB ? "USB" : "UART") +
                   "-FlashWriter path in the program's Global Settings";
        } else {
            line = o.Text;
        }
        break;
    case STEP_WRITER_START: {
        const std::string seen =
            o.Runner < 0 ? "the target did not say which program runs: " + StatusCodeText(o.Status)
                         : "the target reports runner " + std::to_string(o.Runner) + " (" +
                               OneLine(TerminalText(RunnerLine(o.Runner, o.Version))) + ")";
        line = "the flash writer " + writer + " was sent, but it does not report itself running (runner " +
               std::to_string(o.ExpectedRunner) + " expected): " + seen;
        break;
    }
    default:
        line = o.Text;
        break;
    }
    if (decision.Code != kNoErrorKind) {
        ErrorKind(static_cast<TE_STATION_ERROR>(decision.Code));
    }
    m_out.Error(line);
    return decision.Exit;
}

TS_WRITER_SENT CCli::SendFlashWriter(const std::string& writer) {
    TS_WRITER_SENT sent;
    if (const std::string problem = CheckFlashFile(writer, false); !problem.empty()) {
        sent.Outcome.Class = OUTCOME_FILE_ERROR;
        sent.Outcome.File = FILE_PROBLEM_FORMAT;
        sent.Outcome.Text = "flash writer: " + problem;
        return sent;
    }
    m_signals.AddCleanupSource(writer);
    m_sessionOutcome = {};
    CDownloadRuns::TS_WRITER_STARTED after;
    const bool ok = m_runs.FlashWriterDownload(writer, &after);
    if (m_signals.Stopped()) {
        sent.Outcome.Class = OUTCOME_CANCELLED;
        sent.Outcome.Text = m_interruptText;
        return sent;
    }
    if (!ok) {
        sent.Outcome = m_sessionOutcome;
        if (sent.Outcome.Ok()) { // no session ran: the file did not open
            sent.Outcome.Class = OUTCOME_FILE_ERROR;
            sent.Outcome.File = FILE_PROBLEM_OPEN;
        }
        sent.Outcome.Text = "the flash writer " + writer + " was not sent: " + m_failText;
        return sent;
    }
    sent.Asked = after.asked;
    sent.Status = after.status;
    sent.Runner = after.runner;
    sent.Version = after.version;
    return sent;
}

} // namespace cliport
