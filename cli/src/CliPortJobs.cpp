// The command-line tool's jobs on a port: status, flash id, erase, download (with verify) and
// dump, each after the connect sequence; and the runner that picks the command.
#include "CliPort.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "CliExitStatus.h"
#include "CliJson.h"
#include "CliOutput.h"
#include "FlashFileCheck.h"
#include "app/DownloadRuns.h"
#include "download/DownloadSession.h"
#include "download/TargetConnection.h"
#include "quillet/UsbDevices.h"
#include "station/StationEngine.h"
#include "tools/DumpToFile.h"
#include "tools/EraseJob.h"
#include "tools/FlashIdentification.h"
#include "tools/MemoryDump.h"
#include "tools/WrittenRanges.h"

namespace fs = std::filesystem;

namespace cliport {

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

TS_SESSION_OUTCOME CCli::RunDownloadSession(int32_t mode, const std::string& path, COstraMonitor* monitor) {
    CWrittenRanges written;
    CSessionObserver observer(m_progress, written);
    CDownloadSession session(mode, path, monitor, &observer);
    session.SetStopFlag(&m_signals.StopFlag());
    m_progress.Begin(BaseName(path));
    m_phase = EPhase::Send;
    const bool sent = session.RunSession();
    m_sessionOutcome = session.Outcome();
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
            const TS_JOB_OUTCOME& outcome = session.Outcome();
            m_fileError = outcome.Class == OUTCOME_FILE_ERROR &&
                          (outcome.File == FILE_PROBLEM_COMPRESS || outcome.File == FILE_PROBLEM_FORMAT);
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
        const std::string parent =
            fs::path(path).has_parent_path() ? fs::path(path).parent_path().string() : std::string(".");
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

} // namespace cliport

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
    cliport::CCli cli(options, output, signals);
    return cli.Run();
}
