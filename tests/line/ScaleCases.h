// Cases of the stores at scale that both stores must pass alike: the cursor reads what one query
// reads, the filters are answered by indexes, retention moves records and never a serial.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "RecordRows.h"
#include "line/RecordArchive.h"
#include "line/RecordStore.h"

namespace scale {

constexpr const char* kPoolDefinition = "A{serial} 0..99";

inline TS_SERIAL_POOL Pool() {
    return {"line", kPoolDefinition, 100, "job-a"};
}

// A store of 14 ended attempts and one open: two jobs, three ports, two stations, every result;
// some started at the same instant (their order is by id); reasons that CSV must quote. Those of
// 2025 draw serials from the pool "line". Gives the records as Query reads them.
inline std::vector<TS_ATTEMPT_RECORD> Fill(IRecordStore& store) {
    const char* const reasons[] = {"", "erase failed, block 3", "said \"no\"", "line one\nline two", ""};
    const char* const results[] = {RESULT_PASSED, RESULT_FAILED, RESULT_FAILED, RESULT_INTERRUPTED,
                                   RESULT_PASSED};
    std::string error;
    EXPECT_TRUE(store.KeepJobText(std::string(64, 'a'), "[job]\nname = \"job-a\"\n", error)) << error;
    for (int k = 0; k < 15; ++k) {
        const bool old = k < 8;
        TS_ATTEMPT_RECORD r;
        r.Job = k % 2 ? "job-b" : "job-a";
        r.JobSha256 = std::string(64, k % 2 ? 'b' : 'a');
        r.Station = k % 3 ? "st-1" : "st-2";
        r.Port = "p" + std::to_string(k % 3);
        // pairs that started at the same instant
        r.Started = std::string(old ? "2025-06-" : "2026-02-") + (k / 2 < 5 ? "0" : "") +
                    std::to_string(k / 2 + 1) + "T08:00:00.000Z";
        r.Log = "log of attempt " + std::to_string(k) + "\r\nwith a, comma";
        int64_t id = 0;
        EXPECT_TRUE(store.BeginAttempt(r, id, error)) << error;
        r.Id = id;
        if (old && k % 2 == 0) {
            TS_SERIAL_ISSUE issue;
            bool exhausted = false;
            EXPECT_TRUE(store.IssueSerial(
                id, Pool(), [](int64_t n) { return "A" + std::to_string(n); }, issue, exhausted, error))
                << error;
            r.Serial = issue.Text;
            r.SerialHow = SERIAL_ISSUED;
            r.Pool = "line";
        }
        if (k == 7) {
            continue; // left open
        }
        r.Result = results[k % 5];
        r.Reason = reasons[k % 5];
        r.Ended = r.Started.substr(0, 11) + "09:00:00.000Z";
        EXPECT_TRUE(store.EndAttempt(r, error)) << error;
    }
    std::vector<TS_ATTEMPT_RECORD> all;
    EXPECT_TRUE(store.Query({}, all, error)) << error;
    EXPECT_EQ(all.size(), 15u);
    return all;
}

inline TS_HISTORY_FILTER Filter(const std::function<void(TS_HISTORY_FILTER&)>& set) {
    TS_HISTORY_FILTER f;
    set(f);
    return f;
}

// The filters of the history, one or several at once.
inline std::vector<std::pair<const char*, TS_HISTORY_FILTER>> Filters() {
    return {
        {"all", {}},
        {"job", Filter([](auto& f) { f.Job = "job-a"; })},
        {"serial", Filter([](auto& f) { f.Serial = "A1"; })},
        {"port", Filter([](auto& f) { f.Port = "p1"; })},
        {"station", Filter([](auto& f) { f.Station = "st-2"; })},
        {"pool", Filter([](auto& f) { f.Pool = "line"; })},
        {"result", Filter([](auto& f) { f.Result = RESULT_FAILED; })},
        {"since", Filter([](auto& f) { f.Since = "2025-06-03"; })},
        {"until", Filter([](auto& f) { f.Until = "2026-02-02"; })},
        {"port in a week", Filter([](auto& f) {
             f.Port = "p0";
             f.Since = "2025-06-01";
             f.Until = "2026-02-03";
         })},
        {"ended", Filter([](auto& f) { f.Ended = true; })},
        {"limit", Filter([](auto& f) { f.Limit = 5; })},
        {"offset", Filter([](auto& f) {
             f.Offset = 3;
             f.Limit = 7;
         })},
        {"logs", Filter([](auto& f) { f.WithLog = true; })},
    };
}

// The cursor, whatever its batch, reads the rows one query reads, in the same order (ties of the
// same instant included), and the CSV written a line at a time is the CSV of the whole; so does
// an export's streamed reading, by the station's store (in batches) and by a reader's (one
// statement). openReader opens the store to read.
inline void ExpectCursorReadsAsQuery(IRecordStore& store,
                                     const std::function<std::unique_ptr<IRecordStore>()>& openReader) {
    const std::vector<TS_ATTEMPT_RECORD> all = Fill(store);
    const std::unique_ptr<IRecordStore> reader = openReader();
    ASSERT_TRUE(reader);
    for (std::size_t k = 1; k < all.size(); ++k) {
        EXPECT_TRUE(all[k - 1].Started > all[k].Started ||
                    (all[k - 1].Started == all[k].Started && all[k - 1].Id > all[k].Id));
    }
    std::string error;
    for (auto [name, filter] : Filters()) {
        filter.WithLog = std::string(name) == "logs";
        std::vector<TS_ATTEMPT_RECORD> whole;
        ASSERT_TRUE(store.Query(filter, whole, error)) << name << ": " << error;
        EXPECT_FALSE(whole.empty()) << name;
        for (const int batch : {1, 2, 5, 1000}) {
            std::vector<TS_ATTEMPT_RECORD> read;
            ASSERT_TRUE(EachRecord(
                store, filter,
                [&read](const TS_ATTEMPT_RECORD& r) {
                    read.push_back(r);
                    return true;
                },
                error, batch))
                << error;
            EXPECT_EQ(read, whole) << name << ", batches of " << batch;
            std::string csv = AttemptsCsvHeader(filter.WithLog);
            for (const TS_ATTEMPT_RECORD& r : read) {
                csv += AttemptCsvLine(r, filter.WithLog);
            }
            EXPECT_EQ(csv, AttemptsCsv(whole, filter.WithLog)) << name;
        }
        // the export's reading: the same rows in the same order
        for (IRecordStore* by : {&store, reader.get()}) {
            std::vector<TS_ATTEMPT_RECORD> streamed;
            ASSERT_TRUE(by->StreamRecords(
                filter,
                [&streamed](const TS_ATTEMPT_RECORD& r) {
                    streamed.push_back(r);
                    return true;
                },
                error))
                << name << ": " << error;
            EXPECT_EQ(streamed, whole) << name << (by == &store ? ", the station's" : ", a reader's");
        }
    }
    // a stream stopped by its reader leaves the store as it was: the next reading reads them all
    for (IRecordStore* by : {&store, reader.get()}) {
        int streamed = 0;
        ASSERT_TRUE(by->StreamRecords(
            {}, [&streamed](const TS_ATTEMPT_RECORD&) { return ++streamed < 2; }, error))
            << error;
        EXPECT_EQ(streamed, 2);
        std::vector<TS_ATTEMPT_RECORD> again;
        ASSERT_TRUE(by->Query({}, again, error)) << error;
        EXPECT_EQ(again, all);
    }
    // a stop from the reader ends the reading
    int seen = 0;
    ASSERT_TRUE(EachRecord(
        store, {}, [&seen](const TS_ATTEMPT_RECORD&) { return ++seen < 3; }, error, 2));
    EXPECT_EQ(seen, 3);
    // quoting: a comma, a quote, a line end, also after a NUL byte; nothing else quoted
    const std::pair<std::string, std::string> reasons[] = {
        {"said \"no\", then\nstopped", "\"said \"\"no\"\", then\nstopped\""},
        {"a\rb", "\"a\rb\""},
        {std::string("nul\0,x", 6), std::string("\"nul\0,x\"", 8)},
        {std::string("nul\0x", 5), std::string("nul\0x", 5)},
        {"tab\there; semicolon 'single' \xC3\xA4", "tab\there; semicolon 'single' \xC3\xA4"},
    };
    for (const auto& [reason, field] : reasons) {
        TS_ATTEMPT_RECORD quoted;
        quoted.Id = 9;
        quoted.Reason = reason;
        quoted.Log = "a,b";
        EXPECT_EQ(AttemptCsvLine(quoted, true), "9,,,,,,,,,,,,,open," + field + ",,\"a,b\"\n") << reason;
    }
}

// Retention. A child process opens the store and archives, killed (SIGKILL) at killAt (nullptr:
// not killed); then the store holds every record or none of the moved ones, and the archive whole
// records. The archive run again completes: the attempts of 2025 that ended are in the archive
// with every field, readable as a store, and gone from the store; the open one stays; the serials
// they were issued stay taken (the pool goes on after them, never reissues them).
inline void ExpectArchiveMoves(const std::string& where, const std::string& archive, const char* killAt) {
    std::string error;
    std::vector<TS_ATTEMPT_RECORD> all;
    {
        auto store = OpenRecordStore(where, error, STORE_CREATE);
        ASSERT_TRUE(store) << error;
        all = Fill(*store);
    }
    std::vector<TS_ATTEMPT_RECORD> moving;
    std::vector<TS_ATTEMPT_RECORD> staying;
    for (const TS_ATTEMPT_RECORD& r : all) {
        (r.Started < "2026" && r.Result != RESULT_OPEN ? moving : staying).push_back(r);
    }
    ASSERT_EQ(moving.size(), 7u);
    const std::string before = "2026-01-01T00:00:00";
    if (killAt) {
#ifdef _WIN32
        return; // a process killed mid-archive is made with fork(): not on Windows
#else
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            auto store = OpenRecordStore(where, error);
            TS_ARCHIVE_RESULT result;
            const bool done =
                store && ArchiveRecords(*store, before, archive, result, error, [killAt](const char* step) {
                    if (std::string(step) == killAt) {
                        ::raise(SIGKILL);
                    }
                });
            ::_exit(done ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << killAt;
        auto store = OpenRecordStore(where, error, STORE_READ);
        ASSERT_TRUE(store) << error;
        std::vector<TS_ATTEMPT_RECORD> now;
        ASSERT_TRUE(store->Query({}, now, error)) << error;
        EXPECT_EQ(now.size(), all.size()) << "killed at " << killAt << ": nothing removed yet";
        if (std::filesystem::exists(archive)) {
            auto copy = OpenRecordStore("sqlite:" + archive, error, STORE_READ);
            ASSERT_TRUE(copy) << error;
            std::vector<TS_ATTEMPT_RECORD> copied;
            ASSERT_TRUE(copy->Query({}, copied, error)) << error;
            for (const TS_ATTEMPT_RECORD& r : copied) {
                EXPECT_NE(std::find(moving.begin(), moving.end(), r), moving.end()) << r.Id;
            }
        }
#endif
    }
    auto store = OpenRecordStore(where, error);
    ASSERT_TRUE(store) << error;
    TS_ARCHIVE_RESULT result;
    ASSERT_TRUE(ArchiveRecords(*store, before, archive, result, error)) << error;
    EXPECT_EQ(result.Moved, 7);
    EXPECT_EQ(result.JobTexts, 1); // job-b's text was never kept
    std::vector<TS_ATTEMPT_RECORD> left;
    ASSERT_TRUE(store->Query({}, left, error)) << error;
    EXPECT_EQ(left, staying);

    auto copy = OpenRecordStore("sqlite:" + archive, error, STORE_READ);
    ASSERT_TRUE(copy) << error;
    std::vector<TS_ATTEMPT_RECORD> archived;
    TS_HISTORY_FILTER withLogs;
    ASSERT_TRUE(copy->Query(withLogs, archived, error)) << error;
    EXPECT_EQ(archived, moving);
    std::string text;
    ASSERT_TRUE(copy->JobText(std::string(64, 'a'), text, error)) << error;
    EXPECT_EQ(text, "[job]\nname = \"job-a\"\n");
    EXPECT_FALSE(OpenRecordStore("sqlite:" + archive, error)) << "an archive is not a station's store";
    EXPECT_NE(error.find("archive"), std::string::npos) << error;

    // nothing older is left: a second run moves nothing
    ASSERT_TRUE(ArchiveRecords(*store, before, archive, result, error)) << error;
    EXPECT_EQ(result.Moved, 0);
    // the pool never gives the archived serials again; a handset holding one is known to it
    std::vector<TS_POOL_SERIAL> serials;
    ASSERT_TRUE(store->PoolSerials("line", serials, error)) << error;
    EXPECT_EQ(serials.size(), 4u);
    TS_ATTEMPT_RECORD r;
    r.Job = "job-a";
    int64_t id = 0;
    ASSERT_TRUE(store->BeginAttempt(r, id, error)) << error;
    TS_SERIAL_ISSUE issue;
    bool exhausted = false;
    ASSERT_TRUE(store->IssueSerial(
        id, Pool(), [](int64_t n) { return "A" + std::to_string(n); }, issue, exhausted, error))
        << error;
    EXPECT_EQ(issue.Text, "A4");
    bool known = false;
    std::string how;
    EXPECT_TRUE(store->KeepSerial(id, Pool(), 0, "A0", false, known, how, error)) << error;
    EXPECT_TRUE(known);
    EXPECT_EQ(how, SERIAL_KEPT);
}

} // namespace scale
