#include "CliStation.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "CliConsole.h"
#include "CliExitStatus.h"
#include "CliJson.h"
#include "CliOutput.h"
#include "FlashFileCheck.h"
#include "SavedSettings.h"
#include "StationEventQueue.h"
#include "app/AppSettings.h"
#include "app/ComPortMap.h"
#include "platform/Files.h"
#include "quillet/PortMap.h"
#include "station/StationEngine.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUsbDeviceName = "\\\\.\\Csr0";

int64_t NowMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Fixed(double value, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Pad(std::string text, std::size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

// "1m05s", "42s"
std::string Span(double seconds) {
    const auto s = static_cast<int64_t>(seconds + 0.5);
    return s >= 60 ? std::to_string(s / 60) + "m" + (s % 60 < 10 ? "0" : "") + std::to_string(s % 60) + "s"
                   : std::to_string(s) + "s";
}

const char* CommandName(TE_STATION_COMMAND command) {
    switch (command) {
    case STATION_DOWNLOAD:
        return "download";
    case STATION_STATUS:
        return "status";
    case STATION_FLASH_ID:
        return "flash-id";
    case STATION_ERASE:
        return "erase";
    }
    return "";
}

// A port's state as the views show it.
struct TS_PORT_VIEW {
    std::string state = "starting"; // a phase name, "waiting for a handset", "ok", "failed" ...
    bool phaseKnown = false;
    TE_STATION_PHASE phase = STATION_PHASE_CONNECT;
    uint64_t done = 0;
    uint64_t total = 0;
    Clock::time_point phaseStart{};
    int lastDecile = -1;
    TE_STATION_PORT_STATE portState = STATION_PORT_NO_DEVICE;
    std::string refusal;     // why the port cannot reach a handset now (watch), shown as its state
    std::string log;         // the job's log, for the --log file
    std::string partialLine; // a log line not yet ended, for the pipe view
};

struct TS_ROW {
    int index; // of the port
    std::string port;
    std::string device;
    TS_STATION_RESULT result;
};

// The station's three views (terminal, pipe, --json) and the --log file, written by one writer
// thread. The ports' threads only hand their events to the queue (CStationEventQueue, which says
// what a stalled reader costs); everything below Writer() runs on the writer thread alone.
class CStationView final : public IStationObserver {
public:
    CStationView(const TS_CLI_OPTIONS& options, std::FILE* out, std::FILE* err, std::FILE* log,
                 bool interactive, TE_STATION_COMMAND command, const TS_STATION_LINE* line)
        : m_o(options), m_out(out), m_err(err), m_log(log), m_command(command), m_line(line),
          m_mode(options.Json                    ? EMode::Json
                 : interactive && !options.Quiet ? EMode::Terminal
                                                 : EMode::Pipe) {}
    ~CStationView() override { Close(); }

    void SetPorts(const std::vector<TS_STATION_PORT>& ports) {
        m_ports = ports;
        m_views.assign(ports.size(), {});
        m_queue = std::make_unique<CStationEventQueue>(static_cast<int>(ports.size()));
    }
    // The writer thread starts; events may come from now on.
    void Start() {
        m_writer = std::thread([this] { Writer(); });
    }
    // Every port has ended: the writer writes what is left (it may wait for a stalled reader
    // here, with no handset held up any more) and ends.
    void Close() {
        if (m_queue) {
            m_queue->Close();
        }
        if (m_writer.joinable()) {
            m_writer.join();
        }
    }

    // IStationObserver (the ports' threads): handed over, never written here
    void OnBegin(int port, const std::string& devicePath) override {
        Post(EStationEvent::Begin, port, [&](TS_STATION_EVENT& e) {
            e.Text = devicePath;
            e.Extra = m_line && m_line->JsonFields ? m_line->JsonFields(port, false) : std::string();
        });
    }
    void OnPhase(int port, TE_STATION_PHASE phase) override {
        Post(EStationEvent::Phase, port, [&](TS_STATION_EVENT& e) { e.Phase = phase; });
    }
    void OnProgress(int port, uint64_t done, uint64_t total) override {
        Post(EStationEvent::Progress, port, [&](TS_STATION_EVENT& e) {
            e.Done = done;
            e.Total = total;
        });
    }
    void OnLog(int port, const std::string& text) override {
        Post(EStationEvent::Log, port, [&](TS_STATION_EVENT& e) { e.Text = text; });
    }
    void OnEnd(int port, const TS_STATION_RESULT& result) override {
        Post(EStationEvent::End, port, [&](TS_STATION_EVENT& e) {
            e.Result = result;
            e.Extra = m_line && m_line->JsonFields ? m_line->JsonFields(port, true) : std::string();
        });
    }
    void OnWaiting(int port, bool away) override {
        Post(EStationEvent::Waiting, port, [&](TS_STATION_EVENT& e) { e.Away = away; });
    }
    void OnPortState(int port, TE_STATION_PORT_STATE state) override {
        Post(EStationEvent::PortState, port, [&](TS_STATION_EVENT& e) { e.State = state; });
    }
    void OnRefused(int port, const std::string& reason) override {
        Post(EStationEvent::Refusal, port, [&](TS_STATION_EVENT& e) { e.Text = reason; });
    }

    // The end, after Close: the last terminal state, the table and the summary (or the summary
    // object).
    void Finish() {
        int succeeded = 0;
        int failed = 0;
        for (const TS_ROW& row : m_rows) {
            (row.result.Ok ? succeeded : failed)++;
        }
        if (m_mode == EMode::Json) {
            std::fprintf(m_out,
                         "{\"schema\":1,\"ts\":\"%s\",\"port\":\"*\",\"event\":\"summary\",\"succeeded\":%d,"
                         "\"failed\":%d}\n",
                         JsonTimestamp(NowMilliseconds()).c_str(), succeeded, failed);
            std::fflush(m_out);
            return;
        }
        if (m_mode == EMode::Terminal) {
            Draw();
        }
        // in the order the ports were given; with --watch each port's jobs in the order they ended
        std::stable_sort(m_rows.begin(), m_rows.end(),
                         [](const TS_ROW& a, const TS_ROW& b) { return a.index < b.index; });
        std::size_t portWidth = 4;
        std::size_t deviceWidth = 6;
        for (const TS_ROW& row : m_rows) {
            portWidth = std::max(portWidth, row.port.size());
            deviceWidth = std::max(deviceWidth, row.device.size());
        }
        std::string table = Pad("PORT", portWidth) + "  " + Pad("DEVICE", deviceWidth) +
                            "  RESULT  BYTES      TIME     REASON\n";
        for (const TS_ROW& row : m_rows) {
            table += Pad(row.port, portWidth) + "  " + Pad(row.device, deviceWidth) + "  " +
                     Pad(row.result.Ok ? "ok" : "failed", 6) + "  " +
                     Pad(std::to_string(row.result.Bytes), 9) + "  " +
                     Pad(Fixed(row.result.Seconds, 1) + " s", 7) + "  " + ResultText(row.result) + "\n";
        }
        table +=
            "summary: " + std::to_string(succeeded) + " succeeded, " + std::to_string(failed) + " failed\n";
        std::fputs(table.c_str(), m_out);
        std::fflush(m_out);
        if (m_log) {
            std::fputs(table.c_str(), m_log);
            std::fflush(m_log);
        }
    }

    // After Close.
    int Failed() const {
        int failed = 0;
        for (const TS_ROW& row : m_rows) {
            failed += row.result.Ok ? 0 : 1;
        }
        return failed;
    }

private:
    enum class EMode { Terminal, Pipe, Json };

    template <typename Fill>
    void Post(EStationEvent kind, int port, Fill fill) noexcept {
        // A port thread must never fail for its view: an event that cannot even be made (out of
        // memory) is left out.
        try {
            TS_STATION_EVENT event;
            event.Kind = kind;
            event.Port = port;
            fill(event);
            m_queue->Push(std::move(event));
        } catch (...) {
        }
    }

    // ---- the writer thread ----

    void Writer() noexcept {
        std::vector<TS_STATION_EVENT> events;
        Clock::time_point lastDraw{};
        for (;;) {
            bool more = true;
            try {
                more = m_queue->Take(events, std::chrono::milliseconds(200));
                bool ended = false;
                for (const TS_STATION_EVENT& event : events) {
                    Handle(event);
                    ended = ended || event.Kind == EStationEvent::End;
                }
                if (m_mode == EMode::Terminal &&
                    (ended || Clock::now() - lastDraw >= std::chrono::milliseconds(200))) {
                    Draw();
                    lastDraw = Clock::now();
                }
            } catch (const std::exception& e) {
                Failure(e.what());
            } catch (...) {
                Failure("unknown exception");
            }
            if (!more) {
                return;
            }
        }
    }
    // The output itself failed (out of memory, say): said once on stderr; the writer goes on
    // taking events, so that the queue never grows because of it.
    void Failure(const char* what) noexcept {
        if (!m_failed) {
            m_failed = true;
            std::fprintf(m_err, "vandrel-cli: the station's output failed: %s; some lines are missing\n",
                         what);
            std::fflush(m_err);
        }
    }

    void Handle(const TS_STATION_EVENT& e) {
        const auto port = static_cast<std::size_t>(e.Port);
        TS_PORT_VIEW& v = m_views[port];
        if (e.Dropped > 0) {
            const std::string note = std::to_string(e.Dropped) + " log line" + (e.Dropped == 1 ? "" : "s") +
                                     " not shown: the output was not read in time";
            v.log += "[" + note + "]\n";
            LogLine(e, note);
        }
        switch (e.Kind) {
        case EStationEvent::Begin:
            v = TS_PORT_VIEW{};
            v.state = "connect";
            ++m_begun;
            if (m_mode == EMode::Json) {
                Json(e, "begin",
                     ",\"device\":" + JsonString(e.Text) + ",\"command\":\"" + CommandName(m_command) + "\"" +
                         e.Extra);
            } else if (m_mode == EMode::Pipe && !m_o.Quiet) {
                Line(e.Port, "begin on " + e.Text);
            }
            break;
        case EStationEvent::Phase:
            v.phaseKnown = true;
            v.phase = e.Phase;
            v.state = StationPhaseName(e.Phase);
            v.done = 0;
            v.total = 0;
            v.lastDecile = -1;
            v.phaseStart = e.At;
            if (m_mode == EMode::Json) {
                Json(e, "phase", std::string(",\"phase\":\"") + StationPhaseName(e.Phase) + "\"");
            } else if (m_mode == EMode::Pipe && !m_o.Quiet) {
                Line(e.Port, StationPhaseName(e.Phase));
            }
            break;
        case EStationEvent::Progress:
            v.done = e.Done;
            v.total = e.Total;
            if (m_mode == EMode::Json) {
                Json(e, "progress",
                     std::string(",\"phase\":\"") + StationPhaseName(v.phase) +
                         "\",\"done\":" + std::to_string(e.Done) + ",\"total\":" + std::to_string(e.Total));
            } else if (m_mode == EMode::Pipe && !m_o.Quiet && e.Total > 0) {
                const int decile = static_cast<int>(e.Done * 10 / e.Total);
                if (decile != v.lastDecile) {
                    v.lastDecile = decile;
                    Line(e.Port, std::string(StationPhaseName(v.phase)) + " " + std::to_string(decile * 10) +
                                     "% (" + FormatBytes(e.Done) + " of " + FormatBytes(e.Total) + ")");
                }
            }
            break;
        case EStationEvent::Log: {
            const std::string plain = TerminalText(e.Text);
            v.log += plain;
            // one line at a time, blank lines left out
            v.partialLine += plain;
            std::size_t start = 0;
            for (std::size_t nl; (nl = v.partialLine.find('\n', start)) != std::string::npos;
                 start = nl + 1) {
                LogLine(e, v.partialLine.substr(start, nl - start));
            }
            v.partialLine.erase(0, start);
            break;
        }
        case EStationEvent::End:
            End(e, v);
            break;
        case EStationEvent::Waiting:
            v.state = e.Away ? v.state + " - take the handset away" : std::string("waiting for a handset");
            if (m_mode == EMode::Pipe && !m_o.Quiet) {
                Line(e.Port, e.Away ? "take the handset away" : "waiting for a handset");
            }
            break;
        case EStationEvent::PortState:
            v.portState = e.State;
            if (m_mode == EMode::Json) {
                Json(e, "port-state", std::string(",\"state\":\"") + StationPortStateName(e.State) + "\"");
            }
            if (e.State == STATION_PORT_ANSWER) {
                v.refusal.clear(); // it opened: a later refusal is a new one
            } else if (e.State == STATION_PORT_NO_DEVICE && !v.refusal.empty()) {
                v.state = v.refusal;
            }
            break;
        case EStationEvent::Refusal:
            // said once per change of the reason by the engine: a line, an event of its own
            v.refusal = e.Text;
            v.state = e.Text;
            if (m_mode == EMode::Json) {
                Json(e, "refused", ",\"reason\":" + JsonString(e.Text));
            } else if (m_mode == EMode::Pipe) {
                Line(e.Port, e.Text); // with --quiet too: the operator must see why nothing happens
            }
            if (m_log) {
                std::fprintf(m_log, "%s (%s): %s\n", m_ports[port].Label.c_str(),
                             m_ports[port].DevicePath.c_str(), e.Text.c_str());
                std::fflush(m_log);
            }
            break;
        }
    }

    void End(const TS_STATION_EVENT& e, TS_PORT_VIEW& v) {
        const TS_STATION_RESULT& result = e.Result;
        const TS_STATION_PORT& p = m_ports[static_cast<std::size_t>(e.Port)];
        if (!v.partialLine.empty()) {
            LogLine(e, v.partialLine);
            v.partialLine.clear();
        }
        // A file without an end record: the engine's log has said so (a log line, and the job's
        // block of the --log file); the row, the pipe's end line and the JSON end say it again.
        v.state = result.Ok ? "ok" : std::string("failed: ") + result.Message;
        v.refusal.clear();
        ++m_ended;
        m_rows.push_back({e.Port, p.Label, p.DevicePath, result});
        if (m_log) {
            const std::string text = (result.Ok ? "ok: " : "failed: ") + ResultText(result);
            std::fprintf(m_log, "==== %s (%s): %s ====\n%s%s==== %s: %s ====\n", p.Label.c_str(),
                         p.DevicePath.c_str(), CommandName(m_command), v.log.c_str(),
                         v.log.empty() || v.log.back() == '\n' ? "" : "\n", p.Label.c_str(), text.c_str());
            std::fflush(m_log);
        }
        v.log.clear();
        if (m_mode == EMode::Json) {
            std::string fields = std::string(",\"result\":\"") + (result.Ok ? "ok" : "failed") +
                                 "\",\"bytes\":" + std::to_string(result.Bytes) +
                                 ",\"seconds\":" + Fixed(result.Seconds, 3);
            if (result.Ok) {
                fields += ",\"summary\":" + JsonString(result.Summary);
            } else {
                fields += ",\"error\":{\"code\":" + std::to_string(static_cast<int>(result.Error)) +
                          ",\"name\":\"" + StationErrorName(result.Error) +
                          "\",\"message\":" + JsonString(result.Message) + "}";
            }
            if (!result.NoEndRecord.empty()) {
                std::string files;
                for (const std::string& file : result.NoEndRecord) {
                    files += (files.empty() ? "" : ",") + JsonString(file);
                }
                fields += ",\"noEndRecord\":[" + files + "]";
            }
            Json(e, "end", fields + e.Extra);
        } else if (m_mode == EMode::Pipe) {
            Line(e.Port, (result.Ok ? "ok: " : "failed: ") + ResultText(result));
        }
    }

    // The text of a result in a row: the summary or the reason, and the files without an end
    // record.
    static std::string ResultText(const TS_STATION_RESULT& result) {
        std::string text = result.Ok ? result.Summary : result.Message;
        for (const std::string& file : result.NoEndRecord) {
            text += "; '" + file + "': " + STATION_NO_END_RECORD;
        }
        return text;
    }

    void LogLine(const TS_STATION_EVENT& e, const std::string& line) {
        if (line.find_first_not_of(" \t\r") == std::string::npos || m_mode == EMode::Terminal ||
            (m_mode == EMode::Pipe && m_o.Quiet)) {
            return;
        }
        if (m_mode == EMode::Json) {
            Json(e, "log", ",\"text\":" + JsonString(line));
        } else {
            Line(e.Port, line);
        }
    }
    void Json(const TS_STATION_EVENT& e, const char* event, const std::string& fields) {
        std::fprintf(m_out, "{\"schema\":1,\"ts\":\"%s\",\"port\":%s,\"event\":\"%s\"%s}\n",
                     JsonTimestamp(e.UnixMilliseconds).c_str(),
                     JsonString(m_ports[static_cast<std::size_t>(e.Port)].Label).c_str(), event,
                     fields.c_str());
        std::fflush(m_out);
    }
    void Line(int port, const std::string& text) {
        std::fprintf(m_out, "%s: %s\n", m_ports[static_cast<std::size_t>(port)].Label.c_str(), text.c_str());
        std::fflush(m_out);
    }

    int Columns() const {
        const int columns = ConsoleColumns(m_out);
        return columns > 0 ? columns : 80;
    }
    std::string PortLine(std::size_t k, std::size_t labelWidth) const {
        const TS_PORT_VIEW& v = m_views[k];
        std::string line = Pad(m_ports[k].Label, labelWidth) + "  " + v.state;
        if (v.phaseKnown && v.total > 0 && v.state == StationPhaseName(v.phase)) {
            const double seconds = std::chrono::duration<double>(Clock::now() - v.phaseStart).count();
            line += " " + std::to_string(v.done * 100 / v.total) + "%";
            if (seconds > 0.5 && v.done > 0) {
                const double rate = static_cast<double>(v.done) / seconds;
                line += "  " + FormatBytes(static_cast<uint64_t>(rate)) + "/s  " +
                        Span(static_cast<double>(v.total - v.done) / rate) + " left";
            }
        }
        return line;
    }
    void Draw() {
        std::size_t labelWidth = 0;
        for (const TS_STATION_PORT& p : m_ports) {
            labelWidth = std::max(labelWidth, p.Label.size());
        }
        const auto columns = static_cast<std::size_t>(std::max(20, Columns() - 1));
        std::string screen;
        if (m_drawn) {
            screen += "\x1b[" + std::to_string(m_ports.size() + 1) + "A";
        }
        for (std::size_t k = 0; k < m_ports.size(); ++k) {
            std::string line = PortLine(k, labelWidth);
            if (line.size() > columns) {
                line.resize(columns);
            }
            screen += "\r\x1b[2K" + line + "\n";
        }
        int succeeded = 0;
        int failed = 0;
        for (const TS_ROW& row : m_rows) {
            (row.result.Ok ? succeeded : failed)++;
        }
        screen += "\r\x1b[2K" + std::to_string(succeeded) + " succeeded, " + std::to_string(failed) +
                  " failed, " + std::to_string(m_begun - m_ended) + " running\n";
        std::fputs(screen.c_str(), m_out);
        std::fflush(m_out);
        m_drawn = true;
    }

    const TS_CLI_OPTIONS& m_o;
    std::FILE* m_out;
    std::FILE* m_err;
    std::FILE* m_log;
    const TE_STATION_COMMAND m_command;
    const TS_STATION_LINE* m_line;
    const EMode m_mode;
    std::vector<TS_STATION_PORT> m_ports;
    std::unique_ptr<CStationEventQueue> m_queue;
    std::thread m_writer;
    // the writer thread's own (read by Finish and Failed after Close)
    std::vector<TS_PORT_VIEW> m_views;
    std::vector<TS_ROW> m_rows;
    int m_begun = 0;
    int m_ended = 0;
    bool m_drawn = false;
    bool m_failed = false;
};

} // namespace

int RunStation(const TS_CLI_OPTIONS& o, CStopSignals& signals, std::FILE* out, std::FILE* err,
               bool interactive, const TS_STATION_LINE* line) {
    const auto usage = [err](const std::string& line) {
        std::fprintf(err, "vandrel-cli: %s\n", line.c_str());
        return EXIT_USAGE;
    };
    TS_STATION_JOB job;
    switch (o.Command) {
    case ECliCommand::Status:
        job.Command = STATION_STATUS;
        break;
    case ECliCommand::FlashId:
        job.Command = STATION_FLASH_ID;
        break;
    case ECliCommand::Erase:
        job.Command = STATION_ERASE;
        break;
    default:
        job.Command = STATION_DOWNLOAD;
        break;
    }
    job.Files = o.Files;
    job.Verify = o.Verify;
    job.EraseItems = o.EraseItems;
    job.WaitSeconds = o.WaitSeconds;
    job.WriterPath = o.WriterPath;

    // the ports: the saved one when none was given
    const TS_SAVED saved = ReadSavedSettings();
    ApplyComPortMap(saved.map);
    const TS_PORT_CONFIG savedConfig = saved.loaded.Settings.PortConfig;
    std::vector<TS_CLI_PORT> given = o.Ports;
    if (given.empty()) {
        TS_CLI_PORT port;
        port.Choice = savedConfig.PortType == PORT_USB ? ECliPortChoice::Usb : ECliPortChoice::Com;
        port.ComNumber = savedConfig.Port + 1;
        if (port.Choice == ECliPortChoice::Com && (port.ComNumber < 1 || port.ComNumber > 4)) {
            return usage("the saved port COM" + std::to_string(port.ComNumber) +
                         " is not one of COM1..COM4: give --port PATH, --com N or --usb");
        }
        given.push_back(port);
    }
    const int baud = o.BaudIndex >= 0 ? o.BaudIndex : savedConfig.Baud;
    if (baud < 0 || baud >= static_cast<int>(kBaudTable.size())) {
        return usage("the saved baud rate index " + std::to_string(baud) +
                     " is not in the baud table: give --baud BPS (" + BaudTableText() + ")");
    }
    std::vector<TS_STATION_PORT> ports;
    for (const TS_CLI_PORT& p : given) {
        TS_STATION_PORT port;
        switch (p.Choice) {
        case ECliPortChoice::Usb:
            port = StationUsbPort(p.Path.empty() ? QuilletResolveDevice(kUsbDeviceName) : p.Path,
                                  p.Path.empty() ? "usb" : p.Path);
            break;
        case ECliPortChoice::Com: {
            const std::string com = "COM" + std::to_string(p.ComNumber);
            port = StationUartPort(QuilletResolveDevice(com), baud, com);
            break;
        }
        default:
            port = StationUartPort(p.Path, baud);
            break;
        }
        port.Config.Baud = baud;
        if (line && line->WriterFor) {
            port.WriterPath = line->WriterFor(port.Config.PortType); // the job pins it, per link
        } else if (o.WriterPath.empty()) {
            port.WriterPath = saved.loaded.Settings.FlashWriterPath[port.Config.PortType == PORT_USB ? 1 : 0];
        }
        if (!port.WriterPath.empty()) {
            signals.AddCleanupSource(port.WriterPath);
        }
        ports.push_back(port);
    }
    if (const std::string repeated = CStationEngine::RepeatedPort(ports); !repeated.empty()) {
        return usage(repeated + ": the port is named twice");
    }
    if (job.Command == STATION_DOWNLOAD) {
        for (const std::string& file : o.Files) {
            if (const std::string problem = CheckFlashFile(file, true); !problem.empty()) {
                return usage(problem);
            }
        }
    }
    for (const TS_STATION_PORT& port : ports) {
        const std::string& writer = port.WriterPath.empty() ? o.WriterPath : port.WriterPath;
        if (job.Command != STATION_STATUS && !writer.empty()) {
            if (const std::string problem = CheckFlashFile(writer, false); !problem.empty()) {
                return usage("flash writer: " + problem);
            }
        }
    }
    std::FILE* log = nullptr;
    if (!o.LogPath.empty()) {
        log = platform::OpenAppendStream(o.LogPath);
        if (!log) {
            return usage("cannot open the log file " + o.LogPath + ": " + std::strerror(errno));
        }
    }

    CStationView view(o, out, err, log, interactive, job.Command, line);
    view.SetPorts(ports);
    int status = EXIT_OK;
    view.Start();
    {
        CStationEngine station(job, ports, view);
        if (line) {
            station.SetLineHooks(line->Hooks);
        }
        signals.SetInterruptHook([&station] { station.StopAll(); });
        // the hook goes before the engine does, whatever ends this block
        struct TS_HOOK_GUARD {
            CStopSignals& signals;
            ~TS_HOOK_GUARD() { signals.SetInterruptHook({}); }
        } guard{signals};
        station.Start(o.Watch);
        if (signals.Stopped()) {
            // the signal came before the hook was set (while the program started): it was not
            // lost, the station stops now
            station.StopAll();
        }
        station.Wait();
    }
    view.Close();
    view.Finish();
    if (log) {
        std::fclose(log);
    }
    if (signals.Stopped() && !o.Watch) {
        status = signals.ExitStatus();
    } else {
        status = view.Failed() > 0 ? EXIT_TARGET : EXIT_OK;
    }
    return status;
}
