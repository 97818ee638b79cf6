// Cases both record stores must pass alike: the same records, the same answers.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "line/RecordStore.h"

// Every field of a record comes back as it went in (texts with quotes, commas, line ends and
// non-ASCII), through BeginAttempt, EndAttempt and Query, by id and by each filter.
inline void ExpectRecordsRoundTrip(IRecordStore& store) {
    TS_ATTEMPT_RECORD r;
    r.Job = "round 'trip', \"job\"";
    r.Pool = "pool, 'p'";
    r.Host = "host-7";
    r.Program = "vandrel-cli 9.9";
    r.Program = "vandrel-cli 9.9";
    r.JobSha256 = std::string(64, 'a');
    r.Station = "st\u00e4tion-1";
    r.Operator = "o'p";
    r.Port = "COM7";
    r.Device = "/dev/ttyUSB0";
    r.Started = "2026-12-09T10:00:00.000Z";
    r.Files = "[{\"role\":\"image\"}]";
    r.Log = "line 1\r\nline 2";
    int64_t id = 0;
    std::string error;
    ASSERT_TRUE(store.BeginAttempt(r, id, error)) << error;
    r.Id = id;
    r.Ended = "2026-12-09T10:01:00.000Z";
    r.FlashParts = "CS#0 A, CS#1 -";
    r.Runners = "boot 1.0; writer 2.0";
    r.Serial = "R-1";
    r.SerialHow = SERIAL_KEPT;
    r.Verify = "passed";
    r.Result = RESULT_PASSED;
    r.Reason = "done, fine";
    r.Error = "verify";
    r.Phases = "{\"erase\":1.5}";
    r.Log += "\nend";
    ASSERT_TRUE(store.EndAttempt(r, error)) << error;
    TS_HISTORY_FILTER byId;
    byId.Id = id;
    TS_HISTORY_FILTER byJob;
    byJob.Job = r.Job;
    TS_HISTORY_FILTER bySerial;
    bySerial.Serial = r.Serial;
    TS_HISTORY_FILTER byPort;
    byPort.Port = r.Port;
    for (const TS_HISTORY_FILTER& filter : {byId, byJob, bySerial, byPort}) {
        std::vector<TS_ATTEMPT_RECORD> records;
        ASSERT_TRUE(store.Query(filter, records, error)) << error;
        ASSERT_EQ(records.size(), 1u);
        const TS_ATTEMPT_RECORD& b = records[0];
        const std::pair<std::string, std::string> fields[] = {
            {b.Pool, r.Pool},           {b.Host, r.Host},
            {b.Program, r.Program},     {b.Job, r.Job},
            {b.JobSha256, r.JobSha256}, {b.Station, r.Station},
            {b.Operator, r.Operator},   {b.Port, r.Port},
            {b.Device, r.Device},       {b.Started, r.Started},
            {b.Ended, r.Ended},         {b.FlashParts, r.FlashParts},
            {b.Runners, r.Runners},     {b.Files, r.Files},
            {b.Serial, r.Serial},       {b.SerialHow, r.SerialHow},
            {b.Verify, r.Verify},       {b.Result, r.Result},
            {b.Reason, r.Reason},       {b.Error, r.Error},
            {b.Phases, r.Phases},       {b.Log, r.Log}};
        for (const auto& [got, want] : fields) {
            EXPECT_EQ(got, want);
        }
        EXPECT_EQ(b.Id, id);
    }
}

// Pools, on a store whose job `legacy` was issued S0 and S1 before pools (migrated): that job's
// first draw in its pool carries its counter over; a renamed job and a second job on the same pool
// continue it; a text already issued in the pool is passed over; a pool drawn with another
// definition is refused; a pool used up says so.
inline void ExpectPoolsShared(IRecordStore& store, const std::string& legacy) {
    const std::string def = "S{serial} 0..9";
    const auto text = [](int64_t k) { return "S" + std::to_string(k); };
    const struct {
        std::string job;
        std::string pool;
        std::string definition;
        int64_t count;
        std::string issued; // empty: refused
        std::string reason;
    } cases[] = {
        {legacy, "line A", def, 10, "S2", ""},         // carried over from the job's counter
        {legacy + " v2", "line A", def, 10, "S3", ""}, // renamed: the same counter
        {"second job", "line A", def, 10, "S4", ""},
        {"second job", "line A", "S{serial} 0..99", 100, "", "the serial pool 'line A' holds S{serial} 0..9"},
        {"other", "line B", def, 10, "S0", ""}, // another pool: its own counter
        {"other", "line B", def, 10, "S1", ""},
        {"other", "line B", def, 2, "", "all issued"},
    };
    for (const auto& c : cases) {
        TS_ATTEMPT_RECORD record;
        record.Job = c.job;
        int64_t id = 0;
        std::string error;
        ASSERT_TRUE(store.BeginAttempt(record, id, error)) << error;
        TS_SERIAL_ISSUE issue;
        bool exhausted = false;
        const bool ok =
            store.IssueSerial(id, {c.pool, c.definition, c.count, c.job}, text, issue, exhausted, error);
        EXPECT_EQ(ok, !c.issued.empty()) << c.job << ": " << error;
        if (ok) {
            EXPECT_EQ(issue.Text, c.issued) << c.job;
        } else {
            EXPECT_NE(error.find(c.reason), std::string::npos) << error;
            EXPECT_EQ(exhausted, c.reason == "all issued");
        }
    }
    int64_t next = 0;
    int64_t left = 0;
    std::string error;
    ASSERT_TRUE(store.PoolLeft({"line A", def, 10, "x"}, next, left, error)) << error;
    EXPECT_EQ(next, 5);
    EXPECT_EQ(left, 5);
    // a job drawing the pool with another definition is refused before its first handset
    EXPECT_FALSE(store.PoolLeft({"line A", "S{serial} 0..99", 100, "x"}, next, left, error));
    EXPECT_NE(error.find("the serial pool 'line A' holds S{serial} 0..9"), std::string::npos) << error;
    std::vector<TS_ATTEMPT_RECORD> records;
    TS_HISTORY_FILTER serial;
    serial.Serial = "S3";
    ASSERT_TRUE(store.Query(serial, records, error)) << error;
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Pool, "line A");
}

// Rework asks the store: a held serial is kept only when the pool knows it; an unknown one fails
// unless adopted; a kept serial whose attempt passes becomes used; an adopted one is never issued.
inline void ExpectKeepAsksTheStore(IRecordStore& store) {
    const TS_SERIAL_POOL pool{"rework", "S{serial} 0..3", 4, "job"};
    const auto text = [](int64_t k) { return "S" + std::to_string(k); };
    auto begin = [&store]() {
        TS_ATTEMPT_RECORD record;
        record.Job = "job";
        int64_t id = 0;
        std::string error;
        EXPECT_TRUE(store.BeginAttempt(record, id, error)) << error;
        return id;
    };
    auto end = [&store](int64_t id, const char* result, const std::string& serial, const std::string& how) {
        TS_ATTEMPT_RECORD record;
        record.Id = id;
        record.Result = result;
        record.Serial = serial;
        record.SerialHow = how;
        std::string error;
        EXPECT_TRUE(store.EndAttempt(record, error)) << error;
    };
    std::string error;
    TS_SERIAL_ISSUE issue;
    bool exhausted = false;
    const int64_t first = begin();
    ASSERT_TRUE(store.IssueSerial(first, pool, text, issue, exhausted, error)) << error;
    end(first, RESULT_FAILED, "S0", SERIAL_ISSUED); // S0 void
    const struct {
        int64_t index;
        bool adopt;
        const char* result; // of the attempt
        bool kept;
        std::string how;   // or the reason of the refusal
        std::string state; // of the serial afterwards
    } cases[] = {
        {2, false, RESULT_PASSED, false, "which this store never issued", ""},
        {2, true, RESULT_FAILED, true, SERIAL_ADOPTED, "adopted"},
        {2, false, RESULT_PASSED, true, SERIAL_KEPT, "used"},
        {0, false, RESULT_PASSED, true, SERIAL_KEPT, "used"}, // void, now passed: used
        {3, true, RESULT_PASSED, true, SERIAL_ADOPTED, "used"},
    };
    for (const auto& c : cases) {
        const int64_t id = begin();
        bool known = false;
        std::string how;
        const bool kept = store.KeepSerial(id, pool, c.index, text(c.index), c.adopt, known, how, error);
        EXPECT_EQ(kept, c.kept) << c.index << ": " << error;
        EXPECT_EQ(known, c.kept);
        if (!kept) {
            EXPECT_NE(error.find("the handset holds the serial S" + std::to_string(c.index) + ", " + c.how),
                      std::string::npos)
                << error;
            end(id, RESULT_FAILED, "", "");
            continue;
        }
        EXPECT_EQ(how, c.how);
        end(id, c.result, text(c.index), how);
        std::vector<TS_POOL_SERIAL> serials;
        ASSERT_TRUE(store.PoolSerials(pool.Name, serials, error)) << error;
        for (const TS_POOL_SERIAL& s : serials) {
            if (s.Index == c.index) {
                EXPECT_EQ(s.State, c.state) << c.index;
            }
        }
    }
    // S2 and S3 are known (adopted): the counter passes over them
    const int64_t last = begin();
    ASSERT_TRUE(store.IssueSerial(last, pool, text, issue, exhausted, error)) << error;
    EXPECT_EQ(issue.Text, "S1");
    EXPECT_FALSE(store.IssueSerial(begin(), pool, text, issue, exhausted, error));
    EXPECT_TRUE(exhausted);
}

// An attempt's end that comes after another station closed its record as interrupted (close) is
// kept as the record's late result; the record stays interrupted; a passed one makes its serial used.
// An end tried again (the station's retry after a lost answer) leaves the first end as it was.
inline void ExpectALateEndIsKept(IRecordStore& store, const std::function<void(int64_t id)>& close) {
    TS_ATTEMPT_RECORD record;
    record.Job = "late";
    int64_t id = 0;
    std::string error;
    ASSERT_TRUE(store.BeginAttempt(record, id, error)) << error;
    TS_SERIAL_ISSUE issue;
    bool exhausted = false;
    const TS_SERIAL_POOL pool{"late", "L{serial} 0..9", 10, "late"};
    ASSERT_TRUE(store.IssueSerial(
        id, pool, [](int64_t k) { return "L" + std::to_string(k); }, issue, exhausted, error))
        << error;
    close(id);
    record.Id = id;
    record.Result = RESULT_PASSED;
    record.Reason = "done";
    record.Serial = issue.Text;
    record.SerialHow = SERIAL_ISSUED;
    ASSERT_TRUE(store.EndAttempt(record, error)) << error;
    std::vector<TS_ATTEMPT_RECORD> records;
    TS_HISTORY_FILTER filter;
    filter.Id = id;
    ASSERT_TRUE(store.Query(filter, records, error)) << error;
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Result, RESULT_INTERRUPTED);
    EXPECT_EQ(records[0].Late, "passed: done");
    std::vector<TS_POOL_SERIAL> serials;
    ASSERT_TRUE(store.PoolSerials("late", serials, error)) << error;
    ASSERT_EQ(serials.size(), 1u);
    EXPECT_EQ(serials[0].State, "used");
    // an end tried again after its first try was written but its answer lost: done, the first kept
    TS_ATTEMPT_RECORD twice;
    twice.Job = "late";
    ASSERT_TRUE(store.BeginAttempt(twice, twice.Id, error)) << error;
    twice.Result = RESULT_PASSED;
    twice.Reason = "first try";
    ASSERT_TRUE(store.EndAttempt(twice, error)) << error;
    twice.Reason = "second try";
    EXPECT_TRUE(store.EndAttempt(twice, error)) << error;
    filter.Id = twice.Id;
    ASSERT_TRUE(store.Query(filter, records, error)) << error;
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Reason, "first try");
    EXPECT_EQ(records[0].Late, "");
    record.Id = twice.Id + 1000; // no such record: an end that finds nothing is an error
    EXPECT_FALSE(store.EndAttempt(record, error));
}
