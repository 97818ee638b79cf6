// The link to the handset: opening and closing it, waiting for the target's answer, the log
// banner and the target status report. No window: the connect dialog calls PollTargetAnswer from
// its 50 ms timer, the command-line tool calls WaitForTargetAnswer with a limit and a cancel flag.
//
//   CTargetConnection link;
//   link.CloseTargetLink();                          // any earlier link
//   if (!link.OpenTargetLink(settings.PortConfig))   // status line: link.StatusText()
//       ... link.PortErrorText() says why ...
//   StartTargetLog(log, ModuleFileVersion());        // empty log, banner, "Waiting response ..."
//   TS_TARGET_POLL answer = WaitForTargetAnswer(*link.Monitor(), log, 30s, &ctrlC);
//   if (answer.answer == ANSWER_READY) {
//       int runner = -1;
//       if (NeedsFlashWriter(ReportTargetStatus(*link.Monitor(), log, runner), runner)) ...
//   }
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "download/JobObserver.h"
#include "quillet/OstraMonitor.h"

namespace linktext {
inline constexpr const char* FAIL_TO_OPEN = "Fail to open ";
inline constexpr const char* PORT_NOT_OPENED = "Port is not opened";
inline constexpr const char* WAITING = "\r\nWaiting response from the target.";
inline constexpr const char* ANSWER_POSSIBLE =
    "\r\n\r\n>>>>> Target is ready => Download is possible <<<<<\r\n";
inline constexpr const char* ANSWER_NOT_POSSIBLE =
    "\r\n\r\n>>>>> Target is ready => Download is not possible <<<<<\r\n";
inline constexpr const char* ANSWER_UNKNOWN = "\r\n\r\n>>>>> Target is not ready(unknown status) <<<<<\r\n";
inline constexpr const char* STATUS_LABEL = "\r\n\xE2\x97\x88 Target status : ";
inline constexpr const char* RUNNER_UNKNOWN = "Cannot confirm the target work manager!!";
} // namespace linktext

// A message text on one line: line breaks (and the gaps they leave) become single spaces.
std::string OneLine(const std::string& text);
// A monitor status as "code[-103] TM_ERR_TIMEOUT" (the name when the status has one).
std::string StatusCodeText(int status);

// The status line of a port that did not open: "Fail to open COM1 port", "Fail to open USB port",
// or "Fail to open " for a port type that opens nothing.
std::string FailToOpenText(const TS_PORT_CONFIG& config);

// The name the link's texts give a port opened with this configuration and device path, as its
// error texts begin with it: "COM1 (/dev/ttyUSB0)", "\\.\Csr0 (/run/r3700.sock)", "COM2".
std::string PortTextName(const TS_PORT_CONFIG& config, const std::string& devicePath);

// Owns the one monitor of the program while a link exists.
class CTargetConnection {
public:
    CTargetConnection() = default;
    ~CTargetConnection() { CloseTargetLink(); }
    CTargetConnection(const CTargetConnection&) = delete;
    CTargetConnection& operator=(const CTargetConnection&) = delete;

    // Creates the monitor from the configuration and opens its port. True when the port is open
    // (the port-open flag). The monitor stays even when the port did not open: the next
    // CloseTargetLink destroys it. Call CloseTargetLink first when a link may exist. devicePath,
    // when given, is opened instead of what the port name resolves to through the port map.
    bool OpenTargetLink(const TS_PORT_CONFIG& config, const std::string& devicePath = {});
    // Quits and destroys the monitor, if any; clears the port-open flag and the status line.
    void CloseTargetLink();

    COstraMonitor* Monitor() const { return m_monitor.get(); }
    bool IsPortOpen() const { return m_portOpen; }
    // Whether the commands that need a link (Get Flash ID, Erase Flash, Download) are enabled: a
    // monitor exists and its port is open.
    bool CommandsEnabled() const { return m_monitor && m_monitor->IsSerialOpen(); }
    // The status line: the port's settings once open, the "Fail to open" text after a failure,
    // empty after CloseTargetLink.
    const std::string& StatusText() const { return m_statusText; }
    // Why the port did not open ("COM1 (/dev/ttyUSB0): permission denied (error 5)"); empty when
    // it opened or when no monitor exists.
    std::string PortErrorText() const;
    // The port's error code (0, 2, 5, ...) of the failed open.
    unsigned int PortLastError() const;

private:
    std::unique_ptr<COstraMonitor> m_monitor;
    bool m_portOpen = false;
    std::string m_statusText;
};

// Whether the USB device can be opened now (the connect dialog polls this before it opens the
// link): the device path the link library resolves for "\\.\Csr0" opens for reading and writing,
// or, for a socket, accepts a connection; a libusb device text ("usb:1234:5678") names a device
// that is plugged in. Nothing stays open.
bool UsbDevicePresent();

// The "FileVersion" of the running program's version block; empty without one.
std::string ModuleFileVersion(const std::string& modulePath = "/proc/self/exe");

// The seven banner lines, in order.
std::vector<std::string> BannerLines(const std::string& version);
void AppendBanner(ILogSink& log, const std::string& version);
// What the log gets when the link has opened: emptied, then the banner, then the waiting line.
void StartTargetLog(ILogSink& log, const std::string& version);

// ---- waiting for the target's answer ----

enum TE_TARGET_ANSWER {
    ANSWER_READY,        // result 0: a download is possible (the connect dialog ends with OK)
    ANSWER_NOT_POSSIBLE, // result 1 (Cancel)
    ANSWER_UNKNOWN,      // any other result (Cancel)
    ANSWER_KEEP_WAITING, // no reply within the time-out (-103): ask again
    ANSWER_FAILED,       // any other negative status: the link is closed, nothing is logged
    ANSWER_CANCELLED,    // WaitForTargetAnswer: the cancel flag was set
    ANSWER_NO_ANSWER,    // WaitForTargetAnswer: the time limit ran out while the target was silent
};

struct TS_TARGET_POLL {
    TE_TARGET_ANSWER answer = ANSWER_KEEP_WAITING;
    signed char status = 0; // of the last RequestAndWaitConfirmatonForFlashWrite
    int result = -1;        // its result, when status is 0 or more
    int polls = 0;          // WaitForTargetAnswer: how many requests were made
};

// How a status and result of RequestAndWaitConfirmatonForFlashWrite are judged, and the log line
// each answer writes (nullptr for the answers that write none).
TE_TARGET_ANSWER ClassifyTargetAnswer(signed char status, int result);
const char* TargetAnswerLine(TE_TARGET_ANSWER answer);

// One request (at most its 50 ms time-out); appends the answer line, if any.
TS_TARGET_POLL PollTargetAnswer(COstraMonitor& monitor, ILogSink& log);

// Polls every 50 ms until the target answers, the status is a failure, the cancel flag is set, or
// the limit runs out (zero: no limit). Checks the cancel flag at least every 10 ms. A lost link
// (the port's GetPortLastError set while it is open) ends the wait at once with ANSWER_FAILED and
// the poll's status: the port's error text says why.
TS_TARGET_POLL WaitForTargetAnswer(COstraMonitor& monitor, ILogSink& log, std::chrono::milliseconds limit,
                                   const std::atomic<bool>* cancel = nullptr);

// ---- which program runs ----

// The line for a runner type and version text: "Boot loader is running[UART - 1.0.0]\r\n", ...
std::string RunnerLine(int runnerType, const std::string& version);
// Asks which program runs and logs "\r\n◈ Target status : " and its line (or the error line).
// runnerType (and version, when given) are written only on success; preset runnerType to -1.
// Returns the monitor's status.
signed char ReportTargetStatus(COstraMonitor& monitor, ILogSink& log, int& runnerType,
                               std::string* version = nullptr);
// After a connection: whether the flash writer is to be sent (a boot loader answered).
bool NeedsFlashWriter(signed char status, int runnerType);
