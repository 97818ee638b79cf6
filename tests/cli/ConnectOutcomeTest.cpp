// The connect sequence's outcomes and what each front end decides from them.
//
// ConnectOutcome.EachHandsetGivesOneClassAndReasonEverywhere: one row per handset behaviour; the
// sequence itself, the station and vandrel-cli (single port, --json) run against it, and the
// class, the station's row error, the CLI's exit status and JSON error code, and the reason they
// print are checked against the row.
//
// ConnectOutcome.DecisionsComeFromTheOutcomeAlone: the outcome-to-decision table. Each outcome
// (as values, with texts that say nothing) gives the station's error and the CLI's exit status
// and JSON code of the row.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <regex>

#include "CliPort.h"
#include "CliRunner.h"
#include "SimHarness.h"
#include "TempDir.h"
#include "download/ConnectSequence.h"
#include "download/DownloadSession.h"
#include "station/StationEngine.h"
#include "station/StationOutcome.h"
#include "tools/FlashIdentification.h"

using clitest::CCliRunner;
using clitest::TS_CLI_RESULT;
using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

const std::string kSamples = std::string(VANDREL_SOURCE_DIR) + "/samples";

struct TS_SILENT final : ILogSink, CQuietJobObserver {
    void AppendLog(const std::string& text) override { log += text; }
    void OnJobPhase(TE_JOB_PHASE phase) override { phases.push_back(phase); }
    std::string log;
    std::vector<TE_JOB_PHASE> phases;
};

class CEnds final : public IStationObserver {
public:
    void OnBegin(int, const std::string&) override {}
    void OnPhase(int, TE_STATION_PHASE phase) override {
        std::lock_guard lock(m_mutex);
        phases.push_back(StationPhaseName(phase));
    }
    void OnProgress(int, uint64_t, uint64_t) override {}
    void OnLog(int, const std::string& text) override {
        std::lock_guard lock(m_mutex);
        log += text;
    }
    void OnEnd(int, const TS_STATION_RESULT& r) override {
        std::lock_guard lock(m_mutex);
        result = r;
    }
    std::mutex m_mutex;
    std::vector<std::string> phases;
    std::string log;
    TS_STATION_RESULT result;
};

int JsonErrorCode(const std::string& out) {
    std::smatch m;
    static const std::regex code("\"error\":\\{\"code\":([0-9]+)");
    return std::regex_search(out, m, code) ? std::stoi(m[1]) : 0;
}

} // namespace

TEST(ConnectOutcome, EachHandsetGivesOneClassAndReasonEverywhere) {
    CTempDir dir;
    for (const char* name : {"vwriter.m0", "vmain.m0"}) {
        std::filesystem::copy_file(kSamples + "/" + name, dir.File(name));
    }
    const std::string writer = dir.File("vwriter.m0");
    const std::string image = dir.File("vmain.m0");
    struct TS_ROW {
        const char* name;
        std::function<void(vsim::CSimulatorHost&)> handset;
        bool flashId; // the job asks for the flash parts (else: a download)
        TE_OUTCOME_CLASS outcome;
        TE_JOB_STEP step;
        TE_STATION_ERROR station; // the row's error
        int cliExit;
        int cliCode;        // the single-port CLI's JSON error code (0: none, or it succeeded)
        const char* reason; // in the station's message and on the CLI's error output
    };
    const std::vector<TS_ROW> rows = {
        {"answers late",
         [](vsim::CSimulatorHost& h) {
             h.SetLateReplies({{.cid = 0x41, .minMs = 70}, {.cid = 0x42, .minMs = 700}});
         },
         true, OUTCOME_OK, STEP_NONE, STATION_OK, 0, 0, ""},
        {"never answers",
         [](vsim::CSimulatorHost& h) { h.SetFault(vsim::EFault::DropReply, {.times = 100000, .cid = 0x41}); },
         false, OUTCOME_NO_ANSWER, STEP_ANSWER, STATION_ERR_NO_ANSWER, 1, 4, "no answer from the target"},
        {"boot loader then writer", [](vsim::CSimulatorHost&) {}, true, OUTCOME_OK, STEP_NONE, STATION_OK, 0,
         0, ""},
        {"writer accepted, never runs",
         [](vsim::CSimulatorHost& h) { h.SetFault(vsim::EFault::WriterNoStart, {.times = 100}); }, false,
         OUTCOME_TARGET_REFUSED, STEP_WRITER_START, STATION_ERR_WRITER, 1, 8,
         "was sent, but it does not report itself running (runner 1 expected): the target reports runner 0 "
         "(Boot loader is running[UART - 1.0.0])"},
        {"download not possible",
         [](vsim::CSimulatorHost& h) {
             h.SetFault(vsim::EFault::FlashWriteAnswer, {.times = 100000, .value = 1});
         },
         false, OUTCOME_TARGET_REFUSED, STEP_ANSWER, STATION_ERR_NOT_POSSIBLE, 1, 5,
         "answered that a download is not possible (result 1)"},
        // the single-port CLI reports a chip select that did not answer with the code of its exit
        // status ("link"), the station as "flash-id": as they always did
        {"flash id refused",
         [](vsim::CSimulatorHost& h) { h.SetFault(vsim::EFault::DropReply, {.times = 100000, .cid = 0x11}); },
         true, OUTCOME_TARGET_REFUSED, STEP_FLASH_ID, STATION_ERR_FLASH_ID, 1, 6,
         "not every chip select answered"},
    };
    for (const TS_ROW& row : rows) {
        SCOPED_TRACE(row.name);
        // the sequence itself
        {
            CSimHarness sim(ESimLink::Uart);
            row.handset(sim.Host());
            CTargetConnection link;
            TS_SILENT view;
            TS_CONNECT_PLAN plan;
            plan.DevicePath = sim.Path();
            plan.Wait = std::chrono::milliseconds(1500);
            plan.SendWriter = true;
            plan.WriterPath = writer;
            plan.Writer = [&](COstraMonitor& monitor) {
                CDownloadSession session(MODE_WRITER_CODE, writer, &monitor, nullptr);
                TS_WRITER_SENT sent;
                session.RunSession();
                sent.Outcome = session.Outcome();
                return sent;
            };
            if (row.flashId) {
                plan.FlashId = [&](COstraMonitor& monitor) {
                    TS_JOB_OUTCOME outcome;
                    for (const auto& answer : GetFlashId(monitor, view)) {
                        if (!answer.answered) {
                            outcome.Class = OUTCOME_TARGET_REFUSED;
                            outcome.Status = answer.status;
                        }
                    }
                    return outcome;
                };
            }
            CConnectSequence connect(link, view, &view, plan);
            const TS_JOB_OUTCOME outcome = connect.Run();
            EXPECT_EQ(OutcomeClassName(outcome.Class), std::string(OutcomeClassName(row.outcome)))
                << view.log;
            EXPECT_EQ(outcome.Step, row.step);
            EXPECT_EQ(StationErrorFor(outcome), row.station);
            const cliport::TS_CLI_DECISION cli = cliport::CliConnectDecision(outcome);
            if (row.step != STEP_FLASH_ID) { // the CLI asks the flash parts after its connect
                EXPECT_EQ(cli.Exit, row.cliExit);
                EXPECT_EQ(cli.Code == cliport::kNoErrorKind ? 0 : cli.Code, row.cliCode);
            }
        }
        // the station
        {
            CSimHarness sim(ESimLink::Uart);
            row.handset(sim.Host());
            TS_STATION_JOB job;
            job.Command = row.flashId ? STATION_FLASH_ID : STATION_DOWNLOAD;
            job.Files = {image};
            job.WriterPath = writer;
            job.WaitSeconds = 1.5;
            CEnds ends;
            CStationEngine station(job, {StationUartPort(sim.Path(), 12)}, ends);
            station.Start(false);
            station.Wait();
            EXPECT_EQ(StationErrorName(ends.result.Error), std::string(StationErrorName(row.station)))
                << ends.result.Message;
            EXPECT_NE(ends.result.Message.find(row.reason), std::string::npos) << ends.result.Message;
            EXPECT_EQ(std::count(ends.phases.begin(), ends.phases.end(), "erase"), 0)
                << "nothing is erased after a failed connect";
            if (row.step == STEP_WRITER_START) {
                EXPECT_EQ(ends.log.find("Download : "), std::string::npos)
                    << "no image after a writer that did not start";
            }
        }
        // vandrel-cli, single port
        // vandrel-cli: a single port (its exit status and words), and with --json (the station's
        // JSON Lines: the row's error code)
        for (const bool json : {false, true}) {
            SCOPED_TRACE(json ? "--json" : "single port");
            CSimHarness sim(ESimLink::Uart);
            row.handset(sim.Host());
            const CCliRunner cli(dir.File("config"));
            std::vector<std::string> args = {"--port", sim.Path(), "--writer", writer, "--wait", "1.5"};
            if (json) {
                args.push_back("--json");
            }
            if (row.flashId) {
                args.push_back("flash-id");
            } else {
                args.insert(args.end(), {"download", image});
            }
            const TS_CLI_RESULT r = cli.Run(args);
            EXPECT_EQ(r.status, json && row.cliExit != 0 ? 1 : row.cliExit) << r.err << r.out;
            if (json) {
                EXPECT_EQ(JsonErrorCode(r.out), static_cast<int>(row.station)) << r.out;
            }
            EXPECT_NE((r.err + r.out).find(row.reason), std::string::npos) << r.err << r.out;
        }
    }
}

TEST(ConnectOutcome, DecisionsComeFromTheOutcomeAlone) {
    // texts that say nothing: no decision may depend on them
    const auto outcome = [](TE_OUTCOME_CLASS c, TE_JOB_STEP step, int status = -103, int result = -1,
                            TE_FILE_PROBLEM file = FILE_PROBLEM_NONE) {
        TS_JOB_OUTCOME o;
        o.Class = c;
        o.Step = step;
        o.Status = status;
        o.Result = result;
        o.File = file;
        o.Text = "xyzzy";
        o.Reason = "plugh";
        return o;
    };
    const int none = cliport::kNoErrorKind;
    const int signal = cliport::kExitOfSignal;
    const struct {
        TS_JOB_OUTCOME o;
        TE_STATION_ERROR station;
        int cliExit;
        int cliCode;
    } table[] = {
        {outcome(OUTCOME_OK, STEP_NONE, 0), STATION_OK, 0, STATION_OK},
        {outcome(OUTCOME_CANCELLED, STEP_ANSWER), STATION_ERR_STOPPED, signal, STATION_ERR_STOPPED},
        {outcome(OUTCOME_CANCELLED, STEP_WRITER), STATION_ERR_STOPPED, signal, STATION_ERR_STOPPED},
        {outcome(OUTCOME_OPEN_REFUSED, STEP_DEVICE), STATION_ERR_PORT_OPEN, 1, STATION_ERR_PORT_OPEN},
        {outcome(OUTCOME_OPEN_REFUSED, STEP_OPEN), STATION_ERR_PORT_OPEN, 2, STATION_ERR_PORT_OPEN},
        {outcome(OUTCOME_NO_ANSWER, STEP_ANSWER), STATION_ERR_NO_ANSWER, 1, STATION_ERR_NO_ANSWER},
        {outcome(OUTCOME_TARGET_REFUSED, STEP_ANSWER, 0, 1), STATION_ERR_NOT_POSSIBLE, 1,
         STATION_ERR_NOT_POSSIBLE},
        {outcome(OUTCOME_TARGET_REFUSED, STEP_ANSWER, 0, 7), STATION_ERR_NOT_POSSIBLE, 1,
         STATION_ERR_NOT_POSSIBLE},
        {outcome(OUTCOME_TARGET_REFUSED, STEP_ANSWER, -104), STATION_ERR_LINK, 1, none},
        {outcome(OUTCOME_LINK_LOST, STEP_ANSWER), STATION_ERR_DISCONNECTED, 1, none},
        {outcome(OUTCOME_TARGET_REFUSED, STEP_STATUS), STATION_ERR_LINK, 1, none},
        {outcome(OUTCOME_LINK_LOST, STEP_STATUS), STATION_ERR_DISCONNECTED, 1, none},
        {outcome(OUTCOME_FILE_ERROR, STEP_WRITER, 0, -1, FILE_PROBLEM_NOT_SET), STATION_ERR_FILE, 2,
         STATION_ERR_FILE},
        {outcome(OUTCOME_FILE_ERROR, STEP_WRITER, 0, -1, FILE_PROBLEM_COMPRESS), STATION_ERR_FILE, 2,
         STATION_ERR_FILE},
        {outcome(OUTCOME_FILE_ERROR, STEP_WRITER, 0, -1, FILE_PROBLEM_FORMAT), STATION_ERR_FILE, 2,
         STATION_ERR_FILE},
        {outcome(OUTCOME_TARGET_REFUSED, STEP_WRITER), STATION_ERR_WRITER, 1, STATION_ERR_WRITER},
        {outcome(OUTCOME_LINK_LOST, STEP_WRITER), STATION_ERR_DISCONNECTED, 1, STATION_ERR_WRITER},
        {outcome(OUTCOME_TARGET_REFUSED, STEP_WRITER_START, 0), STATION_ERR_WRITER, 1, STATION_ERR_WRITER},
        {outcome(OUTCOME_TARGET_REFUSED, STEP_WRITER_START), STATION_ERR_WRITER, 1, STATION_ERR_WRITER},
        {outcome(OUTCOME_TARGET_REFUSED, STEP_PROGRAM), STATION_ERR_DOWNLOAD, 1, none},
        {outcome(OUTCOME_TARGET_REFUSED, STEP_ERASE), STATION_ERR_DOWNLOAD, 1, none},
        {outcome(OUTCOME_VERIFY_MISMATCH, STEP_VERIFY), STATION_ERR_VERIFY, 1, none},
        {outcome(OUTCOME_INTERNAL, STEP_NONE), STATION_ERR_INTERNAL, 1, none},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(std::string(OutcomeClassName(row.o.Class)) + " at step " + std::to_string(row.o.Step));
        EXPECT_EQ(StationErrorFor(row.o), row.station);
        const cliport::TS_CLI_DECISION cli = cliport::CliConnectDecision(row.o);
        EXPECT_EQ(cli.Exit, row.cliExit);
        EXPECT_EQ(cli.Code, row.cliCode);
    }
}
