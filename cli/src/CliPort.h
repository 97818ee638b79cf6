// vandrel-cli's single-port runner (private to cli/): the port it resolves, the connect
// sequence as the command-line tool runs and words it (CliConnect.cpp), the jobs on the port
// (CliPortJobs.cpp) and the commands that open no port (CliLocalCommands.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "CliCommands.h"
#include "CliExitStatus.h"
#include "CliOptions.h"
#include "CliOutput.h"
#include "CliSignals.h"
#include "SavedSettings.h"
#include "app/DownloadRuns.h"
#include "download/ConnectSequence.h"
#include "download/TargetConnection.h"
#include "station/StationEngine.h"

namespace cliport {

// What the command-line tool does with an outcome: its exit status and the JSON error code.
inline constexpr int kExitOfSignal = -1; // the exit status of the signal that stopped it
inline constexpr int kNoErrorKind = -1;  // no code of its own: the one of the exit status
struct TS_CLI_DECISION {
    int Exit;
    int Code; // a TE_STATION_ERROR, or kNoErrorKind
};
// The decision for an outcome of the connect sequence (the station's: StationErrorFor).
TS_CLI_DECISION CliConnectDecision(const TS_JOB_OUTCOME& outcome);

inline constexpr const char* kUsbDeviceName = "\\\\.\\Csr0";

inline std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

inline std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

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
    // The words, exit status and JSON error of an outcome of the connect sequence.
    int ConnectFailed(const TS_JOB_OUTCOME& outcome, const std::string& writer);
    // The connect sequence's writer step: checked, sent with its log block, and asked about.
    TS_WRITER_SENT SendFlashWriter(const std::string& writer);
    // --writer, or the saved writer of the port type.
    std::string WriterPath() const;
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
    TS_JOB_OUTCOME m_sessionOutcome; // of the last download session
    std::string m_jsonSummary;       // ports: what it found
};

} // namespace cliport
