// vandrel-cli's production line end to end against in-process virtual handsets (ptys, and a USB
// socket in the first test): a job run on several handsets (one failing) leaves a record each,
// the serials in the handsets' flash and one void; rework keeps a serial; a used-up range fails
// clearly; two vandrel-cli processes share one store (SQLite, and a PostgreSQL server the test
// starts) with 16 handsets between them and never issue a serial twice; kill -9 of a station
// mid-run, then a restart: the open attempt is closed as interrupted and its serial is not issued
// again.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "../line/PgServer.h"
#include "CliRunner.h"
#include "SimHarness.h"
#include "TempDir.h"
#include "line/RecordJson.h"
#include "line/RecordStore.h"
#include "line/Sha256.h"

using clitest::CCliRunner;
using clitest::TS_CLI_RESULT;
using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

constexpr uint32_t kSerialAddress = 0x0037F000;
constexpr std::size_t kSerialLength = 14; // "R3700-00001000"

// A job over copies of the sample images, the serials first..last, the store where.
struct TS_LINE_BED {
    CTempDir dir;
    std::string job;
    std::vector<std::unique_ptr<CSimHarness>> sims;
    std::vector<std::string> links; // --port or --usb, per handset

    // usb: the handsets that are on a USB socket instead of a pty
    TS_LINE_BED(int handsets, int64_t first, int64_t last, const std::string& store,
                const vsim::SSimulatorOptions& options = {}, const std::set<int>& usb = {}) {
        const std::string samples = std::string(VANDREL_SOURCE_DIR) + "/samples";
        std::ifstream in(samples + "/r3700-line.toml");
        std::stringstream text;
        text << in.rdbuf();
        std::string toml = text.str();
        toml.replace(toml.find("first = 1000"), 12, "first = " + std::to_string(first));
        toml.replace(toml.find("last = 1999"), 11, "last = " + std::to_string(last));
        toml.insert(toml.find("\n[writer]"), "\nstore = \"" + store + "\"\n");
        for (const char* name : {"vwriter.m0", "vmain.m0", "vdrive.m0"}) {
            std::filesystem::copy_file(samples + "/" + name, dir.File(name));
        }
        job = dir.File("line.toml");
        std::ofstream(job) << toml;
        // the store is made on purpose, as on a line
        const std::string where = store.rfind("postgres", 0) == 0 ? store : dir.File(store);
        const TS_CLI_RESULT init = Cli().Run({"store", "init", where});
        EXPECT_EQ(init.status, 0) << init.err;
        for (int k = 0; k < handsets; ++k) {
            sims.push_back(
                std::make_unique<CSimHarness>(usb.count(k) ? ESimLink::Usb : ESimLink::Uart, options));
            links.push_back(usb.count(k) ? "--usb" : "--port");
        }
    }
    CCliRunner Cli() const {
        CCliRunner cli(dir.File("config"));
        cli.SetEnv("XDG_DATA_HOME", dir.File("data"));
        return cli;
    }
    // --job JOB --port ... (of sims [from, to)) --json run
    std::vector<std::string> Run(std::size_t from, std::size_t to) const {
        std::vector<std::string> args{"--job", job, "--json"};
        for (std::size_t k = from; k < to; ++k) {
            args.insert(args.end(), {links[k], sims[k]->Path()});
        }
        args.push_back("run");
        return args;
    }
    std::string Held(std::size_t k) const {
        const std::vector<uint8_t> bytes = sims[k]->Host().ReadMemory(kSerialAddress, kSerialLength);
        return std::string(bytes.begin(), bytes.end());
    }
};

std::vector<nlohmann::json> Events(const std::string& out, const std::string& event) {
    std::vector<nlohmann::json> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_object() && j.value("event", "") == event) {
            events.push_back(j);
        }
    }
    return events;
}

std::vector<TS_ATTEMPT_RECORD> Records(const std::string& store) {
    std::string error;
    std::unique_ptr<IRecordStore> s = OpenRecordStore(store, error);
    EXPECT_TRUE(s) << error;
    std::vector<TS_ATTEMPT_RECORD> records;
    if (s) {
        EXPECT_TRUE(s->Query({}, records, error)) << error;
    }
    return records;
}

// Two vandrel-cli processes on one store, each with half of the bed's handsets at once: every
// handset ends with a serial of its own, in its flash and in its record. A handset that could not
// be connected (a loaded machine makes the target's answer late; the link's own matter) takes no
// serial and is run again, alone, up to twice.
void TwoStations(TS_LINE_BED& bed, const std::string& store) {
    const std::size_t half = bed.sims.size() / 2;
    TS_CLI_RESULT results[2];
    std::thread second(
        [&] { results[1] = bed.Cli().Run(bed.Run(half, bed.sims.size()), std::chrono::seconds(300)); });
    results[0] = bed.Cli().Run(bed.Run(0, half), std::chrono::seconds(300));
    second.join();
    std::set<std::string> passedPorts;
    const auto collect = [&](const TS_CLI_RESULT& r) {
        for (const nlohmann::json& end : Events(r.out, "end")) {
            if (end.value("result", "") == "ok") {
                passedPorts.insert(end.value("port", ""));
            } else {
                const std::string name = end["error"].value("name", "");
                EXPECT_TRUE(name == "link" || name == "no-answer") << end.dump(); // the connect, nothing else
                EXPECT_TRUE(end["serial"].is_null()) << end.dump();
            }
        }
    };
    collect(results[0]);
    collect(results[1]);
    for (int round = 0; round < 2 && passedPorts.size() < bed.sims.size(); ++round) {
        for (std::size_t k = 0; k < bed.sims.size(); ++k) {
            if (!passedPorts.count(bed.sims[k]->Path())) {
                collect(bed.Cli().Run(bed.Run(k, k + 1), std::chrono::seconds(120)));
            }
        }
    }
    EXPECT_EQ(passedPorts.size(), bed.sims.size());
    std::set<std::string> held;
    for (std::size_t k = 0; k < bed.sims.size(); ++k) {
        held.insert(bed.Held(k));
    }
    EXPECT_EQ(held.size(), bed.sims.size());
    std::set<std::string> recorded;
    for (const TS_ATTEMPT_RECORD& r : Records(store)) {
        if (r.Result == RESULT_PASSED) {
            EXPECT_TRUE(recorded.insert(r.Serial).second) << r.Serial << " twice";
        } else {
            EXPECT_TRUE(r.Serial.empty()) << r.Reason;
        }
    }
    EXPECT_EQ(recorded, held);
}

} // namespace

TEST(CliLine, FourHandsetsOneFailingThenRework) {
    TS_LINE_BED bed(4, 1000, 1004, "records.db", {}, {2}); // the third on the USB socket
    bed.sims[3]->Host().SetFault(vsim::EFault::BitFlip, {.after = 2, .times = 1}); // fails its verify
    const CCliRunner cli = bed.Cli();
    const TS_CLI_RESULT check = cli.Run({"job", "check", bed.job});
    ASSERT_EQ(check.status, 0) << check.err;
    EXPECT_NE(check.out.find("store: sqlite:" + bed.dir.File("records.db") +
                             "\npool: R3700-{serial:08} 1000..1004\nserial range left: "
                             "R3700-00001000..R3700-00001004 (5 of 5)"),
              std::string::npos)
        << check.out;

    const TS_CLI_RESULT run = cli.Run(bed.Run(0, 4), std::chrono::seconds(180));
    EXPECT_EQ(run.status, 1) << run.err << run.out.substr(0, 4000);
    EXPECT_NE(run.err.find("pool: R3700-{serial:08} 1000..1004\nserial range left:"), std::string::npos)
        << run.err;
    const auto begins = Events(run.out, "begin");
    const auto ends = Events(run.out, "end");
    ASSERT_EQ(begins.size(), 4u);
    ASSERT_EQ(ends.size(), 4u);
    std::map<std::string, std::string> serialOfPort;
    for (const nlohmann::json& end : ends) {
        EXPECT_EQ(end.value("job", ""), "R3700 sample line");
        EXPECT_TRUE(end["attempt"].is_number_integer());
        ASSERT_TRUE(end["serial"].is_string()) << end.dump();
        serialOfPort[end["port"]] = end["serial"];
    }
    for (const nlohmann::json& begin : begins) {
        EXPECT_TRUE(begin["attempt"].is_number_integer()) << begin.dump();
    }
    std::set<std::string> distinct;
    for (std::size_t k = 0; k < 4; ++k) {
        distinct.insert(serialOfPort[bed.sims[k]->Path()]);
        if (k < 3) {
            EXPECT_EQ(bed.Held(k), serialOfPort[bed.sims[k]->Path()]) << "handset " << k;
        }
    }
    EXPECT_EQ(distinct.size(), 4u);

    const TS_CLI_RESULT csv = cli.Run({"--store", bed.dir.File("records.db"), "history", "--csv"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    std::istringstream rows(csv.out);
    std::string row;
    std::getline(rows, row);
    EXPECT_EQ(row.rfind("attempt,started,ended,job,", 0), 0u) << row;
    int passed = 0;
    int failed = 0;
    while (std::getline(rows, row)) {
        passed += row.find(",passed,") != std::string::npos ? 1 : 0;
        failed += row.find(",failed,") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(passed, 3);
    EXPECT_EQ(failed, 1);
    const std::vector<TS_ATTEMPT_RECORD> records = Records("sqlite:" + bed.dir.File("records.db"));
    ASSERT_EQ(records.size(), 4u);
    // the exports, written as they are read, are those of the records read at once
    EXPECT_EQ(csv.out, AttemptsCsv(records));
    const TS_CLI_RESULT logs =
        cli.Run({"--store", bed.dir.File("records.db"), "history", "--csv", "--with-logs"});
    EXPECT_EQ(logs.out, AttemptsCsv(records, true));
    const TS_CLI_RESULT jsonLogs =
        cli.Run({"--store", bed.dir.File("records.db"), "history", "--json", "--with-logs"});
    std::string lines;
    for (const TS_ATTEMPT_RECORD& r : records) {
        lines += RecordJson(r, true).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    }
    EXPECT_EQ(jsonLogs.out, lines);
    std::string mainSha, error;
    ASSERT_TRUE(Sha256OfFile(bed.dir.File("vmain.m0"), mainSha, error));
    for (const auto& entry : std::filesystem::directory_iterator(bed.dir.File(""))) {
        EXPECT_EQ(entry.path().string().find(".pinned-"), std::string::npos)
            << entry.path(); // copies removed
    }
    for (const TS_ATTEMPT_RECORD& r : records) {
        EXPECT_NE(r.Files.find("\"sha256\":\"" + mainSha + "\""), std::string::npos) << r.Files; // as sent
        EXPECT_EQ(r.SerialHow, SERIAL_ISSUED);
        EXPECT_NE(r.Log.find("Serial : " + r.Serial), std::string::npos);
        EXPECT_NE(r.Files.find("vmain.m0"), std::string::npos);
        EXPECT_NE(r.FlashParts.find("CS#0 FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM"), std::string::npos);
        EXPECT_EQ(r.Verify, r.Result == RESULT_PASSED ? "passed" : "failed");
    }

    // what a quality engineer asks: the job that ran, every attempt of one unit, the pool's serials
    const std::string db = bed.dir.File("records.db");
    const TS_CLI_RESULT show = cli.Run({"--store", db, "history", "--show", std::to_string(records[0].Id)});
    EXPECT_NE(
        show.out.find("---- job file (sha256 " + records[0].JobSha256 + ") ----\n# A production-line job"),
        std::string::npos)
        << show.out;
    EXPECT_NE(show.out.find("program: vandrel-cli"), std::string::npos) << show.out;
    const TS_CLI_RESULT unit = cli.Run({"--store", db, "history", "--serial", records[0].Serial, "--json"});
    EXPECT_EQ(std::count(unit.out.begin(), unit.out.end(), '\n'), 1) << unit.out; // one attempt of that unit
    const TS_CLI_RESULT pool = cli.Run({"--store", db, "history", "--pool", "R3700-{serial:08} 1000..1004"});
    EXPECT_EQ(pool.out.rfind("pool,index,serial,state,job,attempt,issued\n", 0), 0u) << pool.out;
    const std::string states[] = {",used,", ",void,"};
    EXPECT_EQ(std::count(pool.out.begin(), pool.out.end(), '\n'), 5) << pool.out;
    for (const std::string& state : states) {
        std::size_t n = 0;
        for (std::size_t at = pool.out.find(state); at != std::string::npos;
             at = pool.out.find(state, at + 1)) {
            ++n;
        }
        EXPECT_EQ(n, state == ",used," ? 3u : 1u) << pool.out;
    }

    // rework: the first handset again keeps its serial
    const TS_CLI_RESULT rework = cli.Run(bed.Run(0, 1), std::chrono::seconds(120));
    EXPECT_EQ(rework.status, 0) << rework.err;
    const auto again = Events(rework.out, "end");
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].value("serial", ""), serialOfPort[bed.sims[0]->Path()]);
    EXPECT_EQ(again[0].value("serialHow", ""), "kept");
    EXPECT_EQ(bed.Held(0), serialOfPort[bed.sims[0]->Path()]);
}

TEST(CliLine, ARangeUsedUpFailsClearlyBeforeAnythingIsErased) {
    TS_LINE_BED bed(2, 7, 7, "records.db"); // one serial, two handsets
    const TS_CLI_RESULT run = bed.Cli().Run(bed.Run(0, 2), std::chrono::seconds(120));
    EXPECT_EQ(run.status, 1) << run.err;
    const auto ends = Events(run.out, "end");
    ASSERT_EQ(ends.size(), 2u);
    int ok = 0;
    for (const nlohmann::json& end : ends) {
        if (end.value("result", "") == "ok") {
            ++ok;
            EXPECT_EQ(end["serial"], "R3700-00000007");
        } else {
            EXPECT_TRUE(end["serial"].is_null());
            EXPECT_EQ(end["error"].value("name", ""), "serial");
            EXPECT_EQ(end["error"].value("message", ""),
                      "serials R3700-00000007..R3700-00000007 are all issued");
            const std::size_t k = end.value("port", "") == bed.sims[0]->Path() ? 0 : 1;
            EXPECT_EQ(bed.Held(k), std::string(kSerialLength, '\xFF')); // nothing erased, nothing written
            EXPECT_EQ(bed.sims[k]->Host().ReadMemory(0x00006000, 1)[0], 0xFF);
        }
    }
    EXPECT_EQ(ok, 1);
    const TS_CLI_RESULT check = bed.Cli().Run({"job", "check", bed.job});
    EXPECT_NE(
        check.out.find("serial range left: none: serials R3700-00000007..R3700-00000007 are all issued"),
        std::string::npos)
        << check.out;
}

TEST(CliLine, AJobThatDoesNotLoadIsAUsageError) {
    TS_LINE_BED bed(0, 1, 9, "records.db");
    std::ofstream(bed.dir.File("bad.toml")) << "name = \"x\"\nverfy = true\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"job", "check", bed.dir.File("bad.toml")},
          std::vector<std::string>{"--job", bed.dir.File("bad.toml"), "--port", "/dev/null", "run"}}) {
        const TS_CLI_RESULT r = bed.Cli().Run(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(bed.dir.File("bad.toml") + ":2:1: unknown key 'verfy'"), std::string::npos)
            << r.err;
        EXPECT_FALSE(std::filesystem::exists(bed.dir.File("data"))); // no store was even opened
    }
    const TS_CLI_RESULT unreachable = bed.Cli().Run(
        {"--job", bed.job, "--store", "postgresql://someone:s3cret@/x?host=/nonexistent", "run"});
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_NE(unreachable.err.find("no handset was touched"), std::string::npos) << unreachable.err;
    EXPECT_EQ(unreachable.err.find("s3cret"), std::string::npos) << unreachable.err;
}

// A store is made on purpose: a mistyped store is refused by history, job check and a run with
// serials, and none of them makes it; `store init` or --create-store does; a job without serials
// starts the default store itself.
TEST(CliLine, StoresAreMadeOnPurpose) {
    TS_LINE_BED bed(0, 1, 9, "records.db");
    const std::string typo = bed.dir.File("recrods.db");
    std::string plain = bed.job + ".plain.toml"; // the job without its serial and store
    {
        std::ifstream in(bed.job);
        std::stringstream text;
        text << in.rdbuf();
        std::string toml = text.str();
        toml.erase(toml.find("\n[serial]"));
        toml.erase(toml.find("store = "), toml.find('\n', toml.find("store = ")) - toml.find("store = "));
        std::ofstream(plain) << toml << "\n";
    }
    const std::string hint = "; make it with `vandrel-cli store init " + typo + "`";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;  // in stderr
        std::string made; // the store it makes; empty: none
    } cases[] = {
        {{"history", "--store", typo}, 1, "no record store at sqlite:" + typo, ""},
        {{"job", "check", bed.job, "--store", typo}, 1, "no record store at sqlite:" + typo + hint, ""},
        {{"--job", bed.job, "--store", typo, "--port", "/dev/null", "run"},
         1,
         "no record store at sqlite:" + typo + hint +
             " (or run once with --create-store); no handset was touched",
         ""},
        {{"--job", plain, "--store", typo, "--port", "/dev/null", "run"}, 1, "no record store at", ""},
        {{"store", "init", typo}, 0, "", typo},
        {{"store", "archive", "--before", "2026-01-01", "--store", typo, bed.dir.File("old.db")},
         1,
         "no record store at sqlite:" + typo,
         ""},
        {{"store", "archive", bed.dir.File("old.db")}, 2, "store archive takes --before DATE", ""},
        {{"store", "archive", "--before", "last year", bed.dir.File("old.db")},
         2,
         "--before takes a date",
         ""},
        {{"--job", plain, "--port", bed.dir.File("none"), "run"},
         1,
         "",
         bed.dir.File("data/vandrel/records.db")},
    };
    for (const auto& c : cases) {
        const TS_CLI_RESULT r = bed.Cli().Run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0] << ": " << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args[0] << ": " << r.err;
        EXPECT_EQ(std::filesystem::exists(typo), c.made == typo) << c.args[0];
        if (!c.made.empty()) {
            EXPECT_TRUE(std::filesystem::exists(c.made)) << c.args[0] << ": " << r.err;
        }
        if (c.made == typo) {
            std::filesystem::remove(typo); // each case starts without it
        }
    }
    const TS_CLI_RESULT created = bed.Cli().Run(
        {"--job", bed.job, "--store", typo, "--create-store", "--port", bed.dir.File("none"), "run"});
    EXPECT_TRUE(std::filesystem::exists(typo)) << created.err;
}

// Rework asks the store: a handset flashed on another store's line holds a serial this store never
// issued; it fails before anything is erased, until --adopt-serials adopts it; then it is kept.
TEST(CliLine, AForeignSerialFailsUntilAdopted) {
    TS_LINE_BED bed(1, 1000, 1004, "records.db");
    ASSERT_EQ(bed.Cli().Run(bed.Run(0, 1), std::chrono::seconds(120)).status, 0);
    const std::string held = bed.Held(0);
    const std::string other = bed.dir.File("other.db");
    ASSERT_EQ(bed.Cli().Run({"store", "init", other}).status, 0);
    std::vector<std::string> run = bed.Run(0, 1);
    run.insert(run.begin(), {"--store", other});
    const struct {
        bool adopt;
        int status;
        std::string how; // serialHow, or the end's error message
    } cases[] = {
        {false, 1, "the handset holds the serial " + held + ", which this store never issued"},
        {true, 0, "adopted"},
        {false, 0, "kept"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = run;
        if (c.adopt) {
            args.insert(args.begin(), "--adopt-serials");
        }
        const TS_CLI_RESULT r = bed.Cli().Run(args, std::chrono::seconds(120));
        EXPECT_EQ(r.status, c.status) << r.err;
        const auto ends = Events(r.out, "end");
        ASSERT_EQ(ends.size(), 1u) << r.out;
        if (c.status == 0) {
            EXPECT_EQ(ends[0].value("serialHow", ""), c.how) << ends[0].dump();
        } else {
            EXPECT_NE(ends[0]["error"].value("message", "").find(c.how), std::string::npos) << ends[0].dump();
            EXPECT_EQ(ends[0].value("bytes", -1), 0) << ends[0].dump(); // nothing written, nothing erased
        }
        EXPECT_EQ(bed.Held(0), held);
    }
    const std::vector<TS_ATTEMPT_RECORD> records = Records("sqlite:" + other);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].SerialHow, SERIAL_ADOPTED);
    EXPECT_EQ(records[1].Serial, held);
}

// An image changed on disk after the job was loaded (a --watch run, before the first handset
// arrives): the handset fails before anything is erased, naming the file and both digests, and
// the station stops.
TEST(CliLine, AFileChangedAfterLoadStopsTheLine) {
    TS_LINE_BED bed(1, 1000, 1004, "records.db");
    const std::string later = bed.dir.File("later"); // the port's device appears later
    TS_CLI_RESULT r;
    std::thread station([&] {
        r = bed.Cli().Run({"--job", bed.job, "--json", "--watch", "--port", later, "run"},
                          std::chrono::seconds(120));
    });
    // the job is loaded and its store open once the store's write-ahead log is there
    for (int k = 0; k < 1200 && !std::filesystem::exists(bed.dir.File("records.db-wal")); ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string image = bed.dir.File("vmain.m0");
    std::string pinned, changed, error;
    ASSERT_TRUE(Sha256OfFile(image, pinned, error)) << error;
    std::ofstream(image, std::ios::app) << "S5030000FC\r\n"; // one record more: another digest
    ASSERT_TRUE(Sha256OfFile(image, changed, error)) << error;
    std::filesystem::create_symlink(bed.sims[0]->Path(), later);
    station.join();
    EXPECT_EQ(r.status, 1) << r.err;
    const auto ends = Events(r.out, "end");
    ASSERT_EQ(ends.size(), 1u) << r.out;
    EXPECT_NE(ends[0]["error"]
                  .value("message", "")
                  .find("'" + image + "' changed since the job was loaded: its SHA-256 is " + changed +
                        ", not the " + pinned + " the job pins"),
              std::string::npos)
        << ends[0].dump();
    EXPECT_EQ(bed.Held(0), std::string(kSerialLength, '\xFF')); // nothing erased, nothing written
    EXPECT_EQ(bed.sims[0]->Host().ReadMemory(0x00006000, 1)[0], 0xFF);
}

TEST(CliLine, TwoStationsShareOneSqliteFile) {
    TS_LINE_BED bed(16, 1000, 1999, "records.db");
    TwoStations(bed, "sqlite:" + bed.dir.File("records.db"));
}

TEST(CliLine, TwoStationsShareOnePostgresServer) {
    CPgServer server;
    if (!server.Started()) {
        GTEST_SKIP() << server.Problem();
    }
    TS_LINE_BED bed(16, 1000, 1999, server.Url());
    TwoStations(bed, server.Url());
}

TEST(CliLine, AStationKilledMidRunThenRestarted) {
    vsim::SSimulatorOptions slow;
    slow.lineRate = 115200; // 180 KiB take some seconds: time to kill the station in the middle
    TS_LINE_BED bed(1, 1000, 1999, "records.db");
    TS_LINE_BED paced(1, 1000, 1999, "records.db", slow);
    const std::string store = "sqlite:" + bed.dir.File("records.db");
    paced.job = bed.job; // the same job and store, on the paced handset
    pid_t pid = 0;
    TS_CLI_RESULT killed;
    std::thread station([&] {
        killed = bed.Cli().Run(paced.Run(0, 1), std::chrono::seconds(120), [&pid](pid_t p) { pid = p; });
    });
    // kill -9 once the attempt holds its serial and the download runs
    bool issued = false;
    for (int k = 0; k < 600 && !issued; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (std::filesystem::exists(bed.dir.File("records.db"))) {
            for (const TS_ATTEMPT_RECORD& r : Records(store)) {
                issued = issued || (!r.Serial.empty() && r.Result == RESULT_OPEN);
            }
        }
    }
    ASSERT_TRUE(issued);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::kill(pid, SIGKILL);
    station.join();
    EXPECT_EQ(killed.status, 128 + SIGKILL);

    const TS_CLI_RESULT restart = bed.Cli().Run(bed.Run(0, 1), std::chrono::seconds(120));
    EXPECT_EQ(restart.status, 0) << restart.err;
    const std::vector<TS_ATTEMPT_RECORD> records = Records(store);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].Result, RESULT_INTERRUPTED); // oldest last
    EXPECT_EQ(records[1].Serial, "R3700-00001000");
    EXPECT_EQ(records[0].Result, RESULT_PASSED);
    EXPECT_EQ(records[0].Serial, "R3700-00001001"); // the interrupted one's serial is not issued again
}
