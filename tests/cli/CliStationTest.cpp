// vandrel-cli on several virtual handsets at once (pseudo-terminals and USB sockets), run as a
// child process: every port succeeds with --verify; one of four fails while three succeed (exit
// 1, the table, the summary line); one is unplugged in the middle; every --json line is checked
// against the schema of docs/JSON.md; --watch takes one handset after another on the same port;
// a port named twice is refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "CliRunner.h"
#include "SimHarness.h"
#include "TempDir.h"
#include "tools/WrittenRanges.h"

using clitest::CCliRunner;
using clitest::Contains;
using clitest::TS_CLI_RESULT;
using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

const std::string kSamples = std::string(VANDREL_SOURCE_DIR) + "/samples";

enum class EFaultKind { None, BitFlip, Unplug };

struct TS_BED {
    CTempDir dir;
    std::string writer, main;
    std::vector<std::unique_ptr<CSimHarness>> sims;
    std::vector<std::string> portArgs;

    explicit TS_BED(const std::vector<std::pair<ESimLink, EFaultKind>>& handsets) {
        for (const char* name : {"vwriter.m0", "vmain.m0"}) {
            std::filesystem::copy_file(kSamples + "/" + name, dir.File(name));
        }
        writer = dir.File("vwriter.m0");
        main = dir.File("vmain.m0");
        for (const auto& [link, fault] : handsets) {
            auto sim = std::make_unique<CSimHarness>(link);
            if (fault == EFaultKind::BitFlip) {
                sim->Host().SetFault(vsim::EFault::BitFlip, {.after = 2, .times = 1});
            } else if (fault == EFaultKind::Unplug) {
                sim->Host().SetFault(vsim::EFault::HangUp, {.after = 2, .times = 1});
            }
            portArgs.push_back(link == ESimLink::Usb ? "--usb" : "--port");
            portArgs.push_back(sim->Path());
            sims.push_back(std::move(sim));
        }
    }
    CCliRunner Cli() const { return CCliRunner(dir.File("config")); }
    std::vector<std::string> Args(std::vector<std::string> front,
                                  const std::vector<std::string>& command) const {
        front.insert(front.end(), portArgs.begin(), portArgs.end());
        front.insert(front.end(), {"--writer", writer});
        front.insert(front.end(), command.begin(), command.end());
        return front;
    }
};

std::vector<uint8_t> ImageBytes(const std::string& path, uint32_t address, uint32_t length) {
    TS_IMAGE_BYTES image;
    std::string error;
    EXPECT_TRUE(ReadImageBytes(path, false, image, error)) << error;
    std::vector<uint8_t> bytes(length);
    for (uint32_t k = 0; k < length; ++k) {
        EXPECT_TRUE(image.Lookup(address + k, bytes[k]));
    }
    return bytes;
}

// Checks one line against the schema of docs/JSON.md; empty when it holds, else what is wrong.
std::string SchemaProblem(const nlohmann::json& j) {
    static const std::regex ts(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z$)");
    static const std::set<std::string> phases = {"connect", "writer",     "compress", "erase", "program",
                                                 "verify",  "erase-chip", "flash-id", "dump"};
    static const std::set<std::string> errors = {
        "usage",  "file",     "port-open", "no-answer", "not-possible", "link",    "disconnected",
        "writer", "download", "verify",    "erase",     "flash-id",     "stopped", "internal"};
    if (!j.is_object() || j.value("schema", 0) != 1 || !j.contains("ts") || !j["ts"].is_string() ||
        !std::regex_match(j["ts"].get<std::string>(), ts) || !j.contains("port") || !j["port"].is_string() ||
        !j.contains("event") || !j["event"].is_string()) {
        return "common fields";
    }
    const std::string event = j["event"];
    const auto isString = [&](const char* key) { return j.contains(key) && j[key].is_string(); };
    const auto isCount = [&](const char* key) { return j.contains(key) && j[key].is_number_unsigned(); };
    if (event == "begin") {
        return isString("device") && isString("command") ? "" : "begin fields";
    }
    if (event == "phase") {
        return isString("phase") && phases.count(j["phase"]) ? "" : "phase name";
    }
    if (event == "progress") {
        return isString("phase") && isCount("done") && isCount("total") && j["done"] <= j["total"]
                   ? ""
                   : "progress fields";
    }
    if (event == "log") {
        return isString("text") ? "" : "log text";
    }
    if (event == "end") {
        if (!isString("result") || !isCount("bytes") || !j.contains("seconds") || !j["seconds"].is_number()) {
            return "end fields";
        }
        if (j.contains("lines") &&
            (!j["lines"].is_array() ||
             !std::all_of(j["lines"].begin(), j["lines"].end(),
                          [](const nlohmann::json& line) { return line.is_string(); }))) {
            return "end lines";
        }
        if (j.contains("noEndRecord") &&
            (!j["noEndRecord"].is_array() ||
             !std::all_of(j["noEndRecord"].begin(), j["noEndRecord"].end(),
                          [](const nlohmann::json& file) { return file.is_string(); }))) {
            return "end noEndRecord";
        }
        if (j["result"] == "ok") {
            return isString("summary") && !j.contains("error") ? "" : "ok end";
        }
        const auto& e = j.value("error", nlohmann::json());
        return j["result"] == "failed" && e.is_object() && e.contains("code") &&
                       e["code"].is_number_integer() && e.contains("name") && e["name"].is_string() &&
                       errors.count(e["name"]) && e.contains("message") && e["message"].is_string()
                   ? ""
                   : "failed end";
    }
    if (event == "port-state") {
        static const std::set<std::string> states = {"no-device", "opening", "answer",
                                                     "job",       "removal", "ended"};
        return isString("state") && states.count(j["state"]) ? "" : "port state";
    }
    if (event == "refused") {
        return isString("reason") ? "" : "refusal reason";
    }
    if (event == "store") {
        const bool waits = j.value("state", "") == "unreachable";
        return j["port"] == "*" && (waits || j.value("state", "") == "ok") && waits == isString("reason")
                   ? ""
                   : "store fields";
    }
    if (event == "summary") {
        return j["port"] == "*" && isCount("succeeded") && isCount("failed") ? "" : "summary fields";
    }
    return "unknown event";
}

// Parses a --json stream line by line; every line must hold the schema, and the last is the summary.
std::vector<nlohmann::json> ParseStream(const std::string& out) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << "not JSON: " << line;
        EXPECT_EQ(SchemaProblem(j), "") << line;
        lines.push_back(std::move(j));
    }
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
        EXPECT_EQ(lines.back().value("event", ""), "summary");
    }
    return lines;
}

// The table row of a port: the line that starts with its label.
std::string Row(const std::string& out, const std::string& label) {
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(label + " ", 0) == 0 && (Contains(line, "  ok  ") || Contains(line, "  failed  "))) {
            return line;
        }
    }
    return {};
}

} // namespace

TEST(CliStation, SeveralHandsetsAtOnceTableSummaryAndJson) {
    using F = EFaultKind;
    struct TS_CASE {
        const char* name;
        std::vector<std::pair<ESimLink, EFaultKind>> handsets;
        int status;
        const char* summary;
        const char* error;  // the failing handset's error name in its end object
        const char* reason; // and in its table row
    };
    const std::vector<TS_CASE> cases = {
        {"four succeed",
         {{ESimLink::Uart, F::None},
          {ESimLink::Usb, F::None},
          {ESimLink::Uart, F::None},
          {ESimLink::Usb, F::None}},
         0,
         "summary: 4 succeeded, 0 failed",
         nullptr,
         nullptr},
        {"one of four fails",
         {{ESimLink::Uart, F::None},
          {ESimLink::Uart, F::BitFlip},
          {ESimLink::Usb, F::None},
          {ESimLink::Uart, F::None}},
         1,
         "summary: 3 succeeded, 1 failed",
         "verify",
         "verification failed at 0x"},
        {"one unplugged",
         {{ESimLink::Usb, F::Unplug}, {ESimLink::Uart, F::None}},
         1,
         "summary: 1 succeeded, 1 failed",
         "disconnected",
         "disconnected"},
    };
    for (const TS_CASE& c : cases) {
        for (const bool json : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (json ? " --json" : ""));
            TS_BED bed(c.handsets);
            const TS_CLI_RESULT r =
                bed.Cli().Run(bed.Args(json ? std::vector<std::string>{"--json"} : std::vector<std::string>{},
                                       {"download", "--verify", bed.main}),
                              std::chrono::seconds(240));
            EXPECT_EQ(r.status, c.status) << r.out << r.err;
            std::map<std::string, std::string> results; // label -> ok, or the error name
            if (json) {
                for (const nlohmann::json& j : ParseStream(r.out)) {
                    if (j["event"] == "end") {
                        results[j["port"]] =
                            j["result"] == "ok" ? "ok" : j["error"]["name"].get<std::string>();
                    }
                }
            }
            if (!json) {
                EXPECT_TRUE(Contains(r.out, std::string("\n") + c.summary + "\n")) << r.out;
            }
            for (std::size_t k = 0; k < c.handsets.size(); ++k) {
                const std::string label = bed.sims[k]->Path();
                const bool fails = c.handsets[k].second != F::None;
                if (json) {
                    EXPECT_EQ(results[label], fails ? c.error : "ok") << r.out;
                    continue;
                }
                const std::string row = Row(r.out, label);
                EXPECT_TRUE(Contains(row, fails ? "  failed  " : "  ok  ")) << row << "\n" << r.out;
                if (fails) {
                    EXPECT_TRUE(Contains(row, c.reason)) << row;
                } else {
                    EXPECT_TRUE(Contains(row, "98304")) << row;
                }
            }
        }
    }
}

TEST(CliStation, WatchTakesASecondHandsetOnTheSamePortAfterTheFirstWentAway) {
    TS_BED bed({});
    const std::string fixture = bed.dir.File("fixture");
    std::thread operatorHand;
    int flashed = 0;
    const TS_CLI_RESULT r = bed.Cli().Run(
        {"--json", "--watch", "--port", fixture, "--writer", bed.writer, "download", "--verify", bed.main},
        std::chrono::seconds(120), [&](pid_t pid) {
            operatorHand = std::thread([&, pid] {
                for (int handset = 0; handset < 2; ++handset) {
                    CSimHarness sim(ESimLink::Uart);
                    std::filesystem::create_symlink(sim.Path(), fixture);
                    // done once the verify's reads are over and the station asks whether the
                    // handset is still there
                    const bool done = sim.Host().WaitUntil(
                        [](const vsim::SHandsetSnapshot& s) {
                            bool read = false;
                            bool askedAfter = false;
                            for (const auto& command : s.commands) {
                                askedAfter =
                                    (askedAfter || (read && command.cid == 0x42)) && command.cid != 0x51;
                                read = read || command.cid == 0x51;
                            }
                            return askedAfter;
                        },
                        std::chrono::seconds(40));
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                    flashed += done ? 1 : 0;
                    std::filesystem::remove(fixture); // taken off the fixture
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                ::kill(pid, SIGINT);
            });
        });
    operatorHand.join();
    EXPECT_EQ(flashed, 2);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    int begins = 0;
    int ok = 0;
    for (const nlohmann::json& j : ParseStream(r.out)) {
        begins += j["event"] == "begin" ? 1 : 0;
        ok += j["event"] == "end" && j["result"] == "ok" ? 1 : 0;
        if (j["event"] == "summary") {
            EXPECT_EQ(j["succeeded"], 2);
            EXPECT_EQ(j["failed"], 0);
        }
    }
    EXPECT_EQ(begins, 2);
    EXPECT_EQ(ok, 2);
}

TEST(CliStation, APortNamedTwiceIsRefused) {
    TS_BED bed({{ESimLink::Uart, EFaultKind::None}});
    const std::string alias = bed.dir.File("by-id-handset");
    std::filesystem::create_symlink(bed.sims[0]->Path(), alias);
    const TS_CLI_RESULT r = bed.Cli().Run({"--port", bed.sims[0]->Path(), "--port", alias, "status"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err, alias + ": the port is named twice")) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(bed.sims[0]->Host().Snapshot().commands.empty()) << "nothing was sent";
}

TEST(CliStation, CtrlCStopsEveryPortAtABlockBoundary) {
    // SIGHUP (the terminal closed, the SSH session dropped) stops as Ctrl-C and SIGTERM do
    for (const int signal : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGHUP");
        vsim::SSimulatorOptions paced;
        paced.lineRate = 115200; // a block of the image takes seconds on the line
        TS_BED bed({});
        std::vector<std::string> args = {"--baud", "115200", "--writer", bed.writer};
        for (int k = 0; k < 2; ++k) {
            bed.sims.push_back(std::make_unique<CSimHarness>(ESimLink::Uart, paced));
            args.insert(args.end(), {"--port", bed.sims.back()->Path()});
        }
        args.insert(args.end(), {"download", bed.main});
        const TS_CLI_RESULT r = bed.Cli().Run(args, std::chrono::seconds(120), [&](pid_t pid) {
            // both have written the image's first block and are sending the next: stop
            for (auto& sim : bed.sims) {
                sim->Host().WaitUntil(
                    [](const vsim::SHandsetSnapshot& s) {
                        return std::any_of(s.commands.begin(), s.commands.end(),
                                           [](const vsim::SCommandRecord& c) { return c.cid == 0x31; });
                    },
                    std::chrono::seconds(60));
            }
            ::kill(pid, signal);
        });
        EXPECT_EQ(r.status, 128 + signal) << r.out << r.err;
        for (auto& sim : bed.sims) {
            const std::string row = Row(r.out, sim->Path());
            // the block on the wire was finished: the row says how far the image got
            EXPECT_TRUE(Contains(row, "  failed  ") && Contains(row, "' reached address 0x")) << row << "\n"
                                                                                              << r.out;
        }
        EXPECT_TRUE(Contains(r.out, "\nsummary: 0 succeeded, 2 failed\n")) << r.out;
    }
}

// --json on the commands outside the station (dump to the screen and to a file, compress, ports,
// udev-rule), failing and succeeding: every line holds the schema, with the port, the phases and
// the end object's own fields the command's text output has.
TEST(CliStation, EveryCommandWritesJsonLines) {
    struct TS_CASE {
        std::vector<std::string> args; // $PORT: the handset's pty, $DIR: the bed's folder
        int status;
        const char* port; // the label every object carries
        const char* phases;
        const char* result; // "ok" or the error name
        const char* field;  // of the end object
    };
    const std::vector<TS_CASE> cases = {
        {{"--port", "$PORT", "dump", "6000", "--size", "8", "--unit", "dword"},
         0,
         "$PORT",
         "connect writer dump",
         "ok",
         "start"},
        {{"--port", "$PORT", "dump", "0", "--end", "40000", "-o", "$DIR/out.bin"},
         0,
         "$PORT",
         "connect writer dump",
         "ok",
         "file"},
        {{"--port", "$DIR/none", "dump", "6000"}, 2, "$DIR/none", "connect", "port-open", "error"},
        {{"compress", "$DIR/vmain.m0"}, 0, "", "compress", "ok", "areas"},
        {{"compress", "$DIR/vmain.bin"}, 2, "", "compress", "file", "error"},
        {{"ports"}, 0, "", "", "ok", "lines"},
        {{"udev-rule", "usb:1234:5678"}, 0, "", "", "ok", "rule"},
    };
    for (const TS_CASE& c : cases) {
        TS_BED bed({{ESimLink::Uart, EFaultKind::None}});
        const auto fill = [&](std::string text) {
            const std::string dir = std::filesystem::path(bed.writer).parent_path().string();
            for (const auto& [key, value] :
                 {std::pair<std::string, std::string>{"$PORT", bed.sims[0]->Path()}, {"$DIR", dir}}) {
                if (const std::size_t at = text.find(key); at != std::string::npos) {
                    text.replace(at, key.size(), value);
                }
            }
            return text;
        };
        std::vector<std::string> args = {"--json", "--writer", bed.writer};
        for (const std::string& arg : c.args) {
            args.push_back(fill(arg));
        }
        SCOPED_TRACE(args.back());
        const TS_CLI_RESULT r = bed.Cli().Run(args, std::chrono::seconds(60));
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        std::string phases;
        nlohmann::json end;
        nlohmann::json progress;
        for (const nlohmann::json& j : ParseStream(r.out)) {
            if (j["event"] != "summary") {
                EXPECT_EQ(j["port"], fill(c.port)) << j;
            }
            if (j["event"] == "phase") {
                phases += (phases.empty() ? "" : " ") + j["phase"].get<std::string>();
            }
            if (j["event"] == "progress") {
                progress = j;
            }
            if (j["event"] == "end") {
                end = j;
            }
        }
        EXPECT_EQ(phases, c.phases);
        ASSERT_TRUE(end.is_object()) << r.out;
        EXPECT_EQ(end["result"] == "ok" ? "ok" : end["error"]["name"].get<std::string>(), c.result) << end;
        EXPECT_TRUE(end.contains(c.field)) << end;
        if (c.status == 0 && std::string(c.phases).find("dump") != std::string::npos) {
            // the last progress object: the whole range
            EXPECT_EQ(progress.value("done", 0u), end["bytes"]) << progress;
            EXPECT_EQ(progress.value("total", 0u), end["bytes"]) << progress;
        }
    }
}

// A terminal stopped with Ctrl-S and a --json pipe that nobody reads hold up the output alone:
// both paced handsets receive the whole image while not one byte of the output is read. What is
// read afterwards is complete and in order.
TEST(CliStation, AStalledReaderHoldsUpNoHandset) {
    for (const bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal stopped with Ctrl-S" : "--json pipe not read");
        vsim::SSimulatorOptions paced;
        paced.lineRate = 115200;
        paced.startRunner = vsim::ERunner::FlashWriter;
        TS_BED bed({});
        std::vector<std::string> args = {"--baud", "115200"};
        if (!terminal) {
            args.push_back("--json");
        }
        for (int k = 0; k < 2; ++k) {
            bed.sims.push_back(std::make_unique<CSimHarness>(ESimLink::Uart, paced));
            args.insert(args.end(), {"--port", bed.sims.back()->Path()});
        }
        args.insert(args.end(), {"download", bed.main});
        int readEnd = -1;
        int childEnd = -1;
        if (terminal) {
            ASSERT_EQ(::openpty(&readEnd, &childEnd, nullptr, nullptr, nullptr), 0);
        } else {
            int p[2];
            ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
            readEnd = p[0];
            childEnd = p[1];
            ::fcntl(readEnd, F_SETPIPE_SZ, 4096); // fills within the first seconds
        }
        CCliRunner cli = bed.Cli();
        cli.SetStdout(childEnd);
        std::string out;
        bool held = false;
        std::size_t unread = 0;
        const TS_CLI_RESULT r = cli.Run(args, std::chrono::seconds(300), [&](pid_t) {
            ::close(childEnd);
            if (terminal) {
                ASSERT_EQ(::write(readEnd, "\x13", 1), 1); // Ctrl-S: the terminal stops
            }
            held = true;
            for (auto& sim : bed.sims) {
                held =
                    sim->Host().WaitUntil(
                        [](const vsim::SHandsetSnapshot& s) {
                            return std::any_of(s.commands.begin(), s.commands.end(),
                                               [](const vsim::SCommandRecord& c) { return c.cid == 0x32; });
                        },
                        std::chrono::seconds(200)) &&
                    held;
            }
            int queued = 0;
            ::ioctl(readEnd, FIONREAD, &queued);
            unread = static_cast<std::size_t>(queued);
            if (terminal) {
                ASSERT_EQ(::write(readEnd, "\x11", 1), 1); // Ctrl-Q
            }
            char buffer[4096];
            for (ssize_t n; (n = ::read(readEnd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);) {
                out.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            }
        });
        ::close(readEnd);
        EXPECT_TRUE(held) << "a handset did not get its image while the output was stalled";
        EXPECT_EQ(r.status, 0) << out << r.err;
        for (auto& sim : bed.sims) {
            EXPECT_EQ(sim->Host().ReadMemory(0x00006000, 98304), ImageBytes(bed.main, 0x00006000, 98304));
        }
        if (terminal) {
            EXPECT_TRUE(Contains(out, "summary: 2 succeeded, 0 failed")) << out;
            continue;
        }
        // full: no further line fits (a line is written whole)
        EXPECT_GT(unread, 4096u - 512u) << "the pipe was full: the writer was held";
        // every port: begin, then its phases in order, progress never going back within a phase
        // and ending at the total, then one end; the summary last
        std::map<std::string, std::string> order;
        std::map<std::string, uint64_t> lastDone;
        for (const nlohmann::json& j : ParseStream(out)) {
            const std::string port = j["port"];
            const std::string event = j["event"];
            if (event == "progress") {
                EXPECT_GE(j["done"].get<uint64_t>(), lastDone[port]) << j;
                lastDone[port] = j["done"];
                if (j["done"] == j["total"] && j["phase"] == "program") {
                    order[port] += " 100%";
                }
            } else if (event != "log") {
                order[port] += " " + (event == "phase" ? j["phase"].get<std::string>() : event);
                lastDone[port] = 0;
            }
        }
        for (auto& sim : bed.sims) {
            EXPECT_EQ(order[sim->Path()], " begin connect compress erase program 100% end") << out;
        }
        EXPECT_EQ(order["*"], " summary");
    }
}

// What the station's engine reports besides the jobs reaches every view: a port that cannot reach
// a handset says why once (a refused object of its own, not one every retry), a handset that
// answers "download not possible" is a failed row, and a file without an end record keeps its
// success but says the image may be truncated (end field, table row, --log file).
TEST(CliStation, RefusalsNotPossibleAndNoEndRecordReachTheViews) {
    TS_BED bed({{ESimLink::Uart, EFaultKind::None}});
    {
        std::ifstream in(bed.main);
        std::ofstream out(bed.dir.File("vnoend.m0"));
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("S7", 0) != 0) {
                out << line << "\n";
            }
        }
    }
    const std::string noEnd = bed.dir.File("vnoend.m0");
    const std::string log = bed.dir.File("run.log");
    vsim::SSimulatorOptions notPossible;
    notPossible.flashWriteAnswer = 1;
    bed.sims.push_back(std::make_unique<CSimHarness>(ESimLink::Uart, notPossible));
    const std::string none = bed.dir.File("none");
    const struct {
        const char* name;
        std::vector<std::string> args;
        bool interrupt;               // --watch: Ctrl-C once the port has looked for its device a few times
        std::vector<std::string> out; // in the output
        std::vector<std::string> logFile; // in the --log file
        int refusals;                     // refused objects, -1: not counted
    } cases[] = {
        {"refused once",
         {"--json", "--watch", "--port", none, "status"},
         true,
         {"\"event\":\"refused\",\"reason\":\"no device at " + none + "\""},
         {none + " (" + none + "): no device at " + none},
         1},
        {"not possible",
         {"--port", bed.sims[1]->Path(), "--port", bed.sims[0]->Path(), "status"},
         false,
         {"failed  0", "a download is not possible"},
         {"failed: the target answered that a download is not possible"},
         -1},
        {"no end record",
         {"--json", "--port", bed.sims[0]->Path(), "--writer", bed.writer, "download", noEnd},
         false,
         {"\"noEndRecord\":[\"" + noEnd + "\"]", "no end record: the image may be truncated"},
         {"no end record: the image may be truncated ===="},
         -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(log);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), {"--log", log});
        const TS_CLI_RESULT r = bed.Cli().Run(args, std::chrono::seconds(60), [&](pid_t pid) {
            if (c.interrupt) {
                std::this_thread::sleep_for(std::chrono::seconds(2)); // ten looks at 200 ms
                ::kill(pid, SIGINT);
            }
        });
        EXPECT_FALSE(r.timedOut) << r.err;
        if (c.args.front() == "--json") {
            ParseStream(r.out);
        }
        for (const std::string& part : c.out) {
            EXPECT_TRUE(Contains(r.out, part)) << part << "\n" << r.out << r.err;
        }
        std::ifstream in(log);
        const std::string logText((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (const std::string& part : c.logFile) {
            EXPECT_TRUE(Contains(logText, part)) << part << "\n" << logText;
        }
        if (c.refusals >= 0) {
            int refusals = 0;
            for (std::size_t at = 0; (at = r.out.find("\"event\":\"refused\"", at)) != std::string::npos;
                 ++at) {
                ++refusals;
            }
            EXPECT_EQ(refusals, c.refusals) << r.out;
        }
    }
}
