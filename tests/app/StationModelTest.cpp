// The station window's model without a window: opening a job (and what keeps the job in use when
// another is refused), what a Start runs or why it cannot, what each port's tile shows at the end
// of a handset (the serial of its attempt first) with the tallies of the shift and of today from
// the store, and how a port's line follows the engine's reports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "TempDir.h"
#include "app/StationModel.h"
#include "line/JobFile.h"
#include "line/LineSession.h"
#include "line/RecordStore.h"

namespace {

// The sample job without its flash parts (no handset here to name them), its records in dir.
// The job's store is made first (a job with serials never makes one), unless make is false.
std::string WriteJob(const CTempDir& dir, const std::string& store = "records.db",
                     const std::string& name = "job.toml", bool make = true) {
    for (const char* name : {"vwriter.m0", "vmain.m0", "vdrive.m0"}) {
        std::ifstream in(std::string(VANDREL_SOURCE_DIR) + "/samples/" + name, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        dir.Write(name, bytes.str());
    }
    std::ifstream in(std::string(VANDREL_SOURCE_DIR) + "/samples/r3700-line.toml");
    std::string text;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("[flash]", 0) != 0 && line.rfind("cs", 0) != 0) {
            text += line + "\n";
        }
    }
    const std::string path = dir.Write(name, "store = \"sqlite:" + store + "\"\n" + text);
    TS_LINE_JOB job;
    TS_JOB_ERROR error;
    std::string problem;
    if (make && LoadJobFile(path, job, error)) {
        OpenRecordStore(job.Store, problem, STORE_CREATE);
    }
    return path;
}

TS_STATION_CHOICE Choice(const std::string& label, const std::string& device) {
    return {label, device, false};
}

} // namespace

TEST(StationModel, OpenJobAndItsRefusals) {
    CTempDir dir;
    const std::string good = WriteJob(dir);
    dir.Write("file", "not a folder");
    const struct {
        std::string path;
        bool opens;
        std::string reason; // in the refusal
    } cases[] = {
        {dir.Write("bad.toml", "name = \"x\"\nverfy = true\n"), false, "bad.toml:2:1: unknown key 'verfy'"},
        {good, true, ""},
        // refused afterwards: the job in use stays
        {dir.Write("missing.toml", "name = \"x\"\n[[image]]\npath = \"vnone.m0\"\nsha256 = \"" +
                                       std::string(64, '0') + "\"\n"),
         false, "cannot read 'vnone.m0'"},
        {WriteJob(dir, dir.File("file") + "/records.db", "nostore.toml"), false, "file/records.db"},
        {WriteJob(dir, "unmade.db", "unmade.toml", false), false,
         "make it with `vandrel-cli store init sqlite:"},
    };
    CStationModel model;
    bool open = false;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string problem;
        EXPECT_EQ(model.OpenJob(c.path, problem), c.opens);
        EXPECT_NE(problem.find(c.reason), std::string::npos) << problem;
        open = open || c.opens;
        EXPECT_EQ(model.HasJob(), open);
        EXPECT_EQ(model.JobPath(), open ? good : std::string());
    }
    ASSERT_TRUE(model.Job());
    EXPECT_EQ(model.Job()->Name, "R3700 sample line");
    EXPECT_TRUE(model.Today().Known);
    model.CloseJob();
    EXPECT_FALSE(model.HasJob());
    EXPECT_FALSE(model.Today().Known);
    EXPECT_EQ(model.JobPath(), "");
}

TEST(StationModel, WhatAStartRunsOrWhyItCannot) {
    CTempDir dir;
    const std::string job = WriteJob(dir);
    AppSettings settings;
    settings.FlashWriterPath[0] = "/main/writer.m0";
    const std::vector<std::string> list = {"/main/a.m0"};
    const struct {
        const char* name;
        bool withJob;
        std::vector<TS_STATION_CHOICE> chosen;
        std::vector<std::string> files;
        TE_STATION_START_REFUSAL refusal;
        std::vector<std::string> jobFiles; // the engine's files; a job's are its images
        bool verify;                       // asked false: a job pins it on
        std::string writer;                // of the first port
    } cases[] = {
        {"no port", false, {}, list, START_NO_PORTS, {}, false, ""},
        {"no file", false, {Choice("COM1", "/dev/a")}, {}, START_NO_FILES, {}, false, ""},
        {"same device",
         false,
         {Choice("COM1", "/dev/a"), Choice("COM2", "/dev/a")},
         list,
         START_SAME_PORT,
         {},
         false,
         ""},
        {"the list", false, {Choice("COM1", "/dev/a")}, list, START_OK, list, false, "/main/writer.m0"},
        {"a job",
         true,
         {Choice("COM1", "/dev/a")},
         {},
         START_OK,
         {dir.File("vmain.m0"), dir.File("vdrive.m0")},
         true,
         dir.File("vwriter.m0")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CStationModel model;
        std::string problem;
        ASSERT_TRUE(!c.withJob || model.OpenJob(job, problem)) << problem;
        const TS_STATION_START start = model.PrepareStart(c.chosen, c.files, settings, false);
        EXPECT_EQ(start.Refusal, c.refusal);
        EXPECT_EQ(start.RepeatedPort.empty(), c.refusal != START_SAME_PORT);
        if (c.refusal == START_OK) {
            EXPECT_EQ(start.Job.Files, c.jobFiles);
            EXPECT_EQ(start.Job.Verify, c.verify);
            ASSERT_EQ(start.Ports.size(), c.chosen.size());
            EXPECT_EQ(start.Ports[0].WriterPath, c.writer);
        }
    }
}

// Each handset's end as its tile shows it: the serial of the attempt that ended (not of the next
// one, begun on the same port before the end is shown; none when the store refused the attempt).
TEST(StationModel, TheEndOfEachHandsetAndTheTallies) {
    CTempDir dir;
    CStationModel model;
    std::string problem;
    ASSERT_TRUE(model.OpenJob(WriteJob(dir), problem)) << problem;
    model.SetPorts({Choice("COM1", "/dev/a"), Choice("COM2", "/dev/b")});
    CLineSession& line = *model.Line();
    const auto result = [](bool ok, TE_STATION_ERROR error, std::vector<std::string> noEnd = {}) {
        TS_STATION_RESULT r;
        r.Ok = ok;
        r.Error = error;
        r.Summary = ok ? "2 files sent" : "";
        r.Message = ok ? "" : "download of '/x/vmain.m0' failed"; // no Start: no path is shortened
        r.NoEndRecord = std::move(noEnd);
        return r;
    };
    enum EAttempt { RECORDED, WITH_SERIAL, NEXT_BEGINS, REFUSED };
    const struct {
        int port;
        EAttempt attempt;
        TS_STATION_RESULT result;
        TE_TILE_LOOK look;
        std::string reason;
        bool chime;
        int passed, failed, todayPassed, todayFailed;
    } cases[] = {
        {0, NEXT_BEGINS, result(true, STATION_OK), TILE_PASS, "serial R3700-00001000; 2 files sent", true, 1,
         0, 1, 0},
        {1, WITH_SERIAL, result(false, STATION_ERR_DOWNLOAD), TILE_FAIL,
         "serial R3700-00001002 (void): download of '/x/vmain.m0' failed", true, 1, 1, 1, 1},
        {0, RECORDED, result(true, STATION_OK, {"/x/vdrive.m0"}), TILE_PASS,
         std::string(STATION_NO_END_RECORD) + " (vdrive.m0)", true, 2, 1, 2, 1},
        {1, RECORDED, result(false, STATION_ERR_STOPPED), TILE_STOPPED, "stopped by the operator", false, 2,
         1, 2, 2},
        {1, REFUSED, result(false, STATION_ERR_DOWNLOAD), TILE_FAIL, "download of '/x/vmain.m0' failed", true,
         2, 2, 2, 2},
    };
    const auto begin = [&](int port, bool serial) {
        int64_t attempt = 0;
        EXPECT_TRUE(line.BeginAttempt(port, "COM", "/dev/x", attempt, problem)) << problem;
        EXPECT_EQ(model.AttemptBegun(port), attempt);
        TS_HANDSET_DATA data;
        TE_STATION_ERROR error = STATION_OK;
        EXPECT_TRUE(!serial || line.TakeData(attempt, TS_HANDSET_FACTS{}, data, error, problem)) << problem;
        return attempt;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        ASSERT_TRUE(model.Begin(c.port));
        EXPECT_TRUE(model.Ports()[static_cast<std::size_t>(c.port)].Busy);
        if (c.attempt == REFUSED) {
            EXPECT_EQ(model.AttemptBegun(c.port), 0);
        } else {
            TS_ATTEMPT_OUTCOME outcome;
            outcome.Result = c.result;
            ASSERT_TRUE(line.EndAttempt(begin(c.port, c.attempt != RECORDED), outcome, problem)) << problem;
        }
        const int64_t ended = model.AttemptOfJob(c.port);
        if (c.attempt == NEXT_BEGINS) {
            begin(c.port, true);
        }
        const std::optional<TS_STATION_END> end = model.End(c.port, c.result, ended);
        ASSERT_TRUE(end);
        const TS_PORT_TILE& tile = model.Ports()[static_cast<std::size_t>(c.port)];
        EXPECT_EQ(tile.Look, c.look);
        EXPECT_EQ(tile.Reason, c.reason);
        EXPECT_FALSE(tile.Busy);
        EXPECT_EQ(end->Ok, c.result.Ok);
        EXPECT_EQ(end->Chime, c.chime);
        EXPECT_NE(end->LogBlock.find(c.port == 0 ? "COM1" : "COM2"), std::string::npos);
        EXPECT_EQ(model.Passed(), c.passed);
        EXPECT_EQ(model.Failed(), c.failed);
        model.CountToday(); // as the window asks after each end, off its thread
        EXPECT_EQ(model.Today().Passed, c.todayPassed);
        EXPECT_EQ(model.Today().Failed, c.todayFailed);
    }
    EXPECT_FALSE(model.End(2, result(true, STATION_OK), 0)); // no such port
    model.ResetTally();
    EXPECT_EQ(model.Passed() + model.Failed(), 0);
    EXPECT_EQ(model.Today().Passed, 2); // the store's, not the shift's
}

// Today begins at the local midnight, written as the store writes its times (UTC).
TEST(StationModel, TodayIsTheLocalDay) {
    const struct {
        const char* zone;
        std::time_t now;
        const char* start;
    } cases[] = {
        {"UTC0", 1796853600, "2026-12-09T00:00:00"},  // 2026-12-09 22:00 UTC
        {"JST-9", 1796853600, "2026-12-09T15:00:00"}, // 07:00 on the 10th in Tokyo
        {"EST5", 1796871600, "2026-12-09T05:00:00"},  // 2026-12-10 03:00 UTC: 22:00 on the 9th in New York
    };
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.zone);
        ::setenv("TZ", c.zone, 1);
        ::tzset();
        EXPECT_EQ(LocalDayStart(c.now), c.start);
    }
    saved ? ::setenv("TZ", before.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

// A port's line as the reports come: a refusal shows only while the port waits, and goes when the
// port answers or the station ends; a result stays until the handset is taken off.
TEST(StationModel, APortsLineFollowsTheReports) {
    enum EStep { WAIT, AWAY, REFUSED, ANSWER, BEGIN, PASS, ENDED };
    const struct {
        const char* name;
        std::vector<EStep> steps;
        TE_TILE_LOOK look;
        std::string reason;
        bool refused;
    } cases[] = {
        {"refused while waiting", {WAIT, REFUSED}, TILE_WAITING, "busy", true},
        {"the port answers", {WAIT, REFUSED, ANSWER}, TILE_WAITING, "", false},
        {"not while a handset works", {WAIT, BEGIN, REFUSED}, TILE_BUSY, "", false},
        {"the result stays", {WAIT, BEGIN, PASS, REFUSED}, TILE_PASS, "ok", false},
        {"take it off", {WAIT, BEGIN, PASS, AWAY}, TILE_PASS, "take the handset off", false},
        {"away while waiting", {WAIT, AWAY}, TILE_WAITING, "", false},
        {"waiting again", {WAIT, BEGIN, PASS, AWAY, WAIT}, TILE_WAITING, "", false},
        {"the station ends", {WAIT, REFUSED, ENDED}, TILE_IDLE, "", false},
        {"a result outlives it", {WAIT, BEGIN, PASS, ENDED}, TILE_PASS, "ok", false},
        {"a handset cut off", {WAIT, BEGIN, ENDED}, TILE_IDLE, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CStationModel model;
        model.SetPorts({Choice("USB", "/dev/u")});
        TS_STATION_RESULT ok;
        ok.Ok = true;
        ok.Summary = "ok";
        for (EStep step : c.steps) {
            switch (step) {
            case WAIT:
                EXPECT_TRUE(model.Waiting(0, false));
                break;
            case AWAY:
                model.Waiting(0, true);
                break;
            case REFUSED:
                model.Refused(0, "busy");
                break;
            case ANSWER:
                model.PortState(0, STATION_PORT_ANSWER);
                break;
            case BEGIN:
                model.Begin(0);
                break;
            case PASS:
                model.End(0, ok, 0);
                break;
            case ENDED:
                model.Ended();
                break;
            }
        }
        const TS_PORT_TILE& tile = model.Ports()[0];
        EXPECT_EQ(tile.Look, c.look);
        EXPECT_EQ(tile.Reason, c.reason);
        EXPECT_EQ(tile.Refused, c.refused);
        EXPECT_FALSE(model.Running());
    }
}
