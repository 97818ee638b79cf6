#include "download/TargetConnection.h"

#include <new>
#include <thread>

#include "UsbPacketDevice.h"
#include "download/DownloadSession.h"
#include "platform/VersionBlock.h"
#include "quillet/PortMap.h"
#include "quillet/UsbDevices.h"

namespace {
constexpr auto kPollPeriod = std::chrono::milliseconds(50);
constexpr auto kCancelCheck = std::chrono::milliseconds(10);
} // namespace

std::string FailToOpenText(const TS_PORT_CONFIG& config) {
    std::string text = linktext::FAIL_TO_OPEN;
    if (config.PortType == PORT_UART) {
        text += "COM" + std::to_string(config.Port + 1) + " port";
    } else if (config.PortType == PORT_USB) {
        text += "USB port";
    }
    return text;
}

std::string PortTextName(const TS_PORT_CONFIG& config, const std::string& devicePath) {
    std::string name = config.PortType == PORT_UART  ? "COM" + std::to_string(config.Port + 1)
                       : config.PortType == PORT_USB ? std::string("\\\\.\\Csr0")
                                                     : std::string();
    if (!devicePath.empty() && devicePath != name) {
        name += " (" + devicePath + ")";
    }
    return name;
}

bool CTargetConnection::OpenTargetLink(const TS_PORT_CONFIG& config, const std::string& devicePath) {
    m_monitor.reset(new (std::nothrow) COstraMonitor(config));
    m_portOpen = false;
    if (!m_monitor) {
        return false;
    }
    m_monitor->SetDevicePath(devicePath);
    m_monitor->Initialize(); // the open is judged by IsSerialOpen
    if (m_monitor->IsSerialOpen()) {
        m_statusText = m_monitor->GetSerialPortConnectStatusString();
        m_portOpen = true;
    } else {
        m_statusText = FailToOpenText(config);
    }
    return m_portOpen;
}

void CTargetConnection::CloseTargetLink() {
    if (m_monitor) {
        m_monitor->Quit();
        m_monitor.reset();
    }
    m_portOpen = false;
    m_statusText.clear();
}

std::string CTargetConnection::PortErrorText() const {
    return m_monitor ? m_monitor->GetPortErrorText() : std::string();
}

unsigned int CTargetConnection::PortLastError() const {
    return m_monitor ? m_monitor->GetPortLastError() : 0u;
}

bool UsbDevicePresent() {
    const std::string path = QuilletResolveDevice("\\\\.\\Csr0");
    if (QuilletIsUsbDeviceText(path)) {
        // Listed by libusb, nothing opened: the open says what else is wrong (several match,
        // permission, busy).
        return QuilletUsbDevicePresent(path);
    }
    return !path.empty() && UsbPacketDeviceThere(path);
}

std::string OneLine(const std::string& text) {
    std::string line;
    bool gap = false;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            gap = !line.empty();
            continue;
        }
        if (gap) {
            line += ' ';
            gap = false;
        }
        line += c;
    }
    return line;
}

std::string StatusCodeText(int status) {
    std::string text = "code[" + std::to_string(status) + "]";
    if (const char* name = TmStatusName(status)) {
        text += " " + std::string(name);
    }
    return text;
}

std::string ModuleFileVersion(const std::string& modulePath) {
    const auto block = platform::ReadVersionBlock(modulePath);
    return block ? block->FileVersion : std::string();
}

std::vector<std::string> BannerLines(const std::string& version) {
    return {
        "\r\n",
        "**************************************\r\n",
        "*\t\t                                                 *\r\n",
        "*                    Vandrel for R3700      \t\t *\r\n",
        std::string("*                        ") + "Version " + version + "            \t\t *\r\n",
        "*\t\t                                                 *\r\n",
        "**************************************\r\n",
    };
}

void AppendBanner(ILogSink& log, const std::string& version) {
    for (const std::string& line : BannerLines(version)) {
        log.AppendLog(line);
    }
}

void StartTargetLog(ILogSink& log, const std::string& version) {
    log.ClearLog();
    AppendBanner(log, version);
    log.AppendLog(linktext::WAITING);
}

TE_TARGET_ANSWER ClassifyTargetAnswer(signed char status, int result) {
    if (status >= 0) {
        return result == FLASH_WRITE_POSSIBLE       ? ANSWER_READY
               : result == FLASH_WRITE_NOT_POSSIBLE ? ANSWER_NOT_POSSIBLE
                                                    : ANSWER_UNKNOWN;
    }
    return status == TM_ERR_TIMEOUT ? ANSWER_KEEP_WAITING : ANSWER_FAILED;
}

const char* TargetAnswerLine(TE_TARGET_ANSWER answer) {
    switch (answer) {
    case ANSWER_READY:
        return linktext::ANSWER_POSSIBLE;
    case ANSWER_NOT_POSSIBLE:
        return linktext::ANSWER_NOT_POSSIBLE;
    case ANSWER_UNKNOWN:
        return linktext::ANSWER_UNKNOWN;
    default:
        return nullptr;
    }
}

TS_TARGET_POLL PollTargetAnswer(COstraMonitor& monitor, ILogSink& log) {
    TS_TARGET_POLL poll;
    TE_REQ_FLASH_WRITE_RESULT result = static_cast<TE_REQ_FLASH_WRITE_RESULT>(-1);
    poll.status = monitor.RequestAndWaitConfirmatonForFlashWrite(result);
    poll.result = poll.status >= 0 ? static_cast<int>(result) : -1;
    poll.answer = ClassifyTargetAnswer(poll.status, poll.result);
    poll.polls = 1;
    if (const char* line = TargetAnswerLine(poll.answer)) {
        log.AppendLog(line);
    }
    return poll;
}

TS_TARGET_POLL WaitForTargetAnswer(COstraMonitor& monitor, ILogSink& log, std::chrono::milliseconds limit,
                                   const std::atomic<bool>* cancel) {
    using Clock = std::chrono::steady_clock;
    const auto cancelled = [cancel] { return cancel && cancel->load(std::memory_order_relaxed); };
    const Clock::time_point start = Clock::now();
    TS_TARGET_POLL last;
    int polls = 0;
    for (;;) {
        if (cancelled()) {
            last.answer = ANSWER_CANCELLED;
            break;
        }
        const Clock::time_point tick = Clock::now();
        last = PollTargetAnswer(monitor, log);
        last.polls = ++polls;
        if (last.answer != ANSWER_KEEP_WAITING) {
            return last;
        }
        if (monitor.IsSerialOpen() && monitor.GetPortLastError() != 0) {
            // the link is lost (the device went away): every later poll would time out at once
            last.answer = ANSWER_FAILED;
            return last;
        }
        // the next tick 50 ms after this one, the cancel flag looked at meanwhile
        const Clock::time_point next = tick + kPollPeriod;
        while (Clock::now() < next && !cancelled()) {
            std::this_thread::sleep_for(std::min<Clock::duration>(kCancelCheck, next - Clock::now()));
        }
        if (limit.count() > 0 && Clock::now() - start >= limit) {
            last.answer = cancelled() ? ANSWER_CANCELLED : ANSWER_NO_ANSWER;
            break;
        }
    }
    last.polls = polls;
    return last;
}

std::string RunnerLine(int runnerType, const std::string& version) {
    switch (runnerType) {
    case RUNNER_BOOT_LOADER_UART:
        return "Boot loader is running[UART - " + version + "]\r\n";
    case RUNNER_FLASH_WRITER_UART:
        return "Flash writer is running[UART - " + version + "]\r\n";
    case RUNNER_BOOT_LOADER_USB:
        return "Boot loader is running[USB - " + version + "]\r\n";
    case RUNNER_FLASH_WRITER_USB:
        return "Flash writer is running[USB - " + version + "]\r\n";
    default:
        return linktext::RUNNER_UNKNOWN;
    }
}

signed char ReportTargetStatus(COstraMonitor& monitor, ILogSink& log, int& runnerType, std::string* version) {
    log.AppendLog(linktext::STATUS_LABEL);
    TE_TARGET_RUNNER_TYPES runner = static_cast<TE_TARGET_RUNNER_TYPES>(-1);
    std::string text;
    const signed char status = monitor.QueryTargetRunner(runner, text);
    if (status < 0) {
        log.AppendLog(ErrorCodeText(status));
    } else {
        runnerType = static_cast<int>(runner);
        log.AppendLog(RunnerLine(runnerType, text));
        if (version) {
            *version = text;
        }
    }
    return status;
}

bool NeedsFlashWriter(signed char status, int runnerType) {
    return status >= 0 && (runnerType == RUNNER_BOOT_LOADER_UART || runnerType == RUNNER_BOOT_LOADER_USB);
}
