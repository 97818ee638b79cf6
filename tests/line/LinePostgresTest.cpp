// The record store on a PostgreSQL server that the test starts itself: the schema made and
// versioned by the program, serials distinct across two processes (two stations) at once, a dead
// station's open attempt closed as interrupted by the next one, credentials kept out of messages.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

#include "PgServer.h"
#include "RecordCases.h"
#include "ScaleCases.h"
#include "line/RecordStore.h"

namespace {

CPgServer* g_server = nullptr;

class CPgEnvironment : public ::testing::Environment {
public:
    void SetUp() override { g_server = new CPgServer(); }
    void TearDown() override {
        delete g_server; // stops the server, also after a failed test
        g_server = nullptr;
    }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new CPgEnvironment);

#define REQUIRE_SERVER()                                                                                     \
    if (!g_server->Started()) {                                                                              \
        GTEST_SKIP() << g_server->Problem();                                                                 \
    }

bool IssueAndEnd(IRecordStore& store, const char* result, std::string& text, std::string& error) {
    TS_ATTEMPT_RECORD record;
    record.Job = "pg-job";
    int64_t id = 0;
    if (!store.BeginAttempt(record, id, error)) {
        return false;
    }
    TS_SERIAL_ISSUE issue;
    bool exhausted = false;
    if (!store.IssueSerial(
            id, {"pg-job", "P{serial} 0..999", 1000, "pg-job"},
            [](int64_t k) { return "P" + std::to_string(k); }, issue, exhausted, error)) {
        return false;
    }
    text = issue.Text;
    if (!result) {
        return true; // left open
    }
    record.Id = id;
    record.Result = result;
    record.Serial = text;
    record.SerialHow = SERIAL_ISSUED;
    return store.EndAttempt(record, error);
}

TS_HISTORY_FILTER JobFilter(const std::string& job) {
    TS_HISTORY_FILTER f;
    f.Job = job;
    return f;
}
TS_HISTORY_FILTER ResultFilter(const std::string& result) {
    TS_HISTORY_FILTER f;
    f.Result = result;
    return f;
}

} // namespace

TEST(PostgresStore, TwoStationsNeverShareASerial) {
    REQUIRE_SERVER();
    ASSERT_TRUE(g_server->CreateDatabase("two_stations"));
    const std::string url = g_server->Url("two_stations");
    constexpr int kStations = 2;
    constexpr int kEach = 20;
    std::vector<pid_t> children;
    for (int s = 0; s < kStations; ++s) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::string error;
            auto store =
                OpenRecordStore(url, error, STORE_CREATE); // both make the schema at once: one does it
            int done = 0;
            for (int k = 0; store && k < kEach; ++k) {
                std::string text;
                done += IssueAndEnd(*store, RESULT_PASSED, text, error) ? 1 : 0;
            }
            if (done != kEach) {
                std::fprintf(stderr, "station %d: %s\n", s, error.c_str());
            }
            ::_exit(done == kEach ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::string error;
    auto store = OpenRecordStore(url, error);
    ASSERT_TRUE(store) << error;
    std::vector<TS_ATTEMPT_RECORD> records;
    ASSERT_TRUE(store->Query(JobFilter("pg-job"), records, error)) << error;
    std::set<std::string> serials;
    for (const auto& r : records) {
        serials.insert(r.Serial);
    }
    EXPECT_EQ(records.size(), size_t{kStations * kEach});
    EXPECT_EQ(serials.size(), size_t{kStations * kEach});
    int64_t next = 0;
    int64_t left = 0;
    ASSERT_TRUE(store->PoolLeft({"pg-job", "P{serial} 0..999", 1000, "pg-job"}, next, left, error));
    EXPECT_EQ(next, kStations * kEach);
    // the schema's version is the program's
    PGconn* conn = PQconnectdb(url.c_str());
    PGresult* res = PQexec(conn, "SELECT version FROM vandrel_schema");
    ASSERT_EQ(PQresultStatus(res), PGRES_TUPLES_OK);
    EXPECT_EQ(std::string(PQgetvalue(res, 0, 0)), "7");
    PQclear(res);
    PQfinish(conn);
}

TEST(PostgresStore, ADeadStationsAttemptIsInterrupted) {
    REQUIRE_SERVER();
    ASSERT_TRUE(g_server->CreateDatabase("dead_station"));
    const std::string url = g_server->Url("dead_station");
    std::string error;
    auto alive =
        OpenRecordStore(url, error, STORE_CREATE); // a station that stays: its open attempt is left alone
    ASSERT_TRUE(alive) << error;
    std::string aliveSerial;
    ASSERT_TRUE(IssueAndEnd(*alive, nullptr, aliveSerial, error)) << error;
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::string e;
        auto store = OpenRecordStore(url, e);
        std::string text;
        ::_exit(store && IssueAndEnd(*store, nullptr, text, e) ? 0 : 1); // no end: as kill -9
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // a station is dead only when its heartbeat is older than the limit: not yet ...
    auto early = OpenRecordStore(url, error);
    ASSERT_TRUE(early) << error;
    EXPECT_EQ(early->InterruptedAtOpen(), 0);
    // ... then the dead one's beat is made old (as if the limit had passed)
    PGconn* conn = PQconnectdb(url.c_str());
    PQclear(PQexec(conn, "UPDATE stations SET beat = now() - interval '1 hour' WHERE owner_key IN"
                         " (SELECT owner_key FROM attempts WHERE serial = 'P1')"));
    PQfinish(conn);
    auto next = OpenRecordStore(url, error);
    ASSERT_TRUE(next) << error;
    const int interrupted = next->InterruptedAtOpen();
    EXPECT_EQ(interrupted, 1);
    std::vector<TS_ATTEMPT_RECORD> records;
    ASSERT_TRUE(alive->Query(ResultFilter(RESULT_INTERRUPTED), records, error)) << error;
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Serial, "P1");
    ASSERT_TRUE(alive->Query(ResultFilter(RESULT_OPEN), records, error)) << error;
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Serial, aliveSerial);
    std::string text;
    ASSERT_TRUE(IssueAndEnd(*alive, RESULT_PASSED, text, error)) << error;
    EXPECT_EQ(text, "P2"); // the void P1 is not issued again
}

TEST(PostgresStore, RefusalsNameNoCredentials) {
    REQUIRE_SERVER();
    std::string error;
    auto store = OpenRecordStore(g_server->Url("no_such_db").replace(13, 0, "someone:s3cret@"), error);
    EXPECT_FALSE(store);
    EXPECT_EQ(error.find("s3cret"), std::string::npos) << error;
    EXPECT_NE(error.find("cannot connect to the record store"), std::string::npos) << error;
    // libpq says why over two lines: one here, as the records and logs show a reason
    const std::string nowhere = "postgresql:///x?host=/nonexistent&port=5";
    for (const std::string& url : {nowhere, g_server->Url("no_such_db")}) {
        EXPECT_FALSE(OpenRecordStore(url, error));
        EXPECT_EQ(error.find_first_of("\n\t"), std::string::npos) << error;
    }
}

TEST(PostgresStore, RecordsRoundTrip) {
    REQUIRE_SERVER();
    ASSERT_TRUE(g_server->CreateDatabase("round_trip"));
    std::string error;
    auto store = OpenRecordStore(g_server->Url("round_trip"), error, STORE_CREATE);
    ASSERT_TRUE(store) << error;
    ExpectRecordsRoundTrip(*store);
}

TEST(PostgresStore, MadeOnPurposeOnly) {
    REQUIRE_SERVER();
    ASSERT_TRUE(g_server->CreateDatabase("on_purpose"));
    const std::string url = g_server->Url("on_purpose");
    bool there = false; // the schema is there
    for (const TE_STORE_OPEN mode : {STORE_READ, STORE_WRITE, STORE_CREATE, STORE_READ, STORE_WRITE}) {
        std::string error;
        bool missing = false;
        const bool made = mode == STORE_CREATE;
        auto store = OpenRecordStore(url, error, mode, &missing);
        EXPECT_EQ(store != nullptr, there || made) << mode << ": " << error;
        EXPECT_EQ(missing, !there && !made) << mode;
        if (missing) {
            EXPECT_NE(error.find("no record store at postgresql://"), std::string::npos) << error;
        }
        there = there || made;
        if (store) {
            // a socket's store is named by its folder and port, as libpq takes them again
            EXPECT_EQ(store->Describe(), url.substr(0, url.find("&user=")));
        }
        if (store && mode == STORE_READ) {
            TS_ATTEMPT_RECORD record;
            int64_t id = 0;
            EXPECT_FALSE(store->BeginAttempt(record, id, error)); // read-only
        }
    }
}

// A store of the schema before pools, with data, is migrated: the job's counter goes on in its
// pool; the schema refuses a text issued twice in a pool.
TEST(PostgresStore, PoolsMigratedWithTheirData) {
    REQUIRE_SERVER();
    ASSERT_TRUE(g_server->CreateDatabase("migrate"));
    const std::string url = g_server->Url("migrate");
    PGconn* conn = PQconnectdb(url.c_str());
    auto exec = [conn](const char* sql) {
        PGresult* res = PQexec(conn, sql);
        const bool ok = PQresultStatus(res) == PGRES_COMMAND_OK;
        PQclear(res);
        return ok;
    };
    ASSERT_TRUE(exec(
        "CREATE TABLE vandrel_schema(version INTEGER NOT NULL); INSERT INTO vandrel_schema VALUES(1);"
        "CREATE TABLE attempts(id BIGSERIAL PRIMARY KEY, job TEXT NOT NULL, job_sha256 TEXT NOT NULL DEFAULT "
        "'',"
        " station TEXT NOT NULL DEFAULT '', operator TEXT NOT NULL DEFAULT '', port TEXT NOT NULL DEFAULT '',"
        " device TEXT NOT NULL DEFAULT '', started TEXT NOT NULL, ended TEXT NOT NULL DEFAULT '',"
        " flash_parts TEXT NOT NULL DEFAULT '', runners TEXT NOT NULL DEFAULT '', files TEXT NOT NULL DEFAULT"
        " '[]', serial TEXT NOT NULL DEFAULT '', serial_how TEXT NOT NULL DEFAULT '', verify TEXT NOT NULL"
        " DEFAULT '', result TEXT NOT NULL, reason TEXT NOT NULL DEFAULT '', phases TEXT NOT NULL DEFAULT "
        "'{}',"
        " log TEXT NOT NULL DEFAULT '', owner_key INTEGER NOT NULL DEFAULT 0);"
        "CREATE INDEX attempts_started ON attempts(started);"
        "CREATE TABLE serial_counters(job TEXT PRIMARY KEY, next_idx BIGINT NOT NULL);"
        "CREATE TABLE serials(job TEXT NOT NULL, idx BIGINT NOT NULL, text TEXT NOT NULL, attempt BIGINT NOT"
        " NULL, state TEXT NOT NULL, issued TEXT NOT NULL, PRIMARY KEY(job, idx), UNIQUE(job, text));"
        "INSERT INTO attempts(job, started, result, serial, serial_how) VALUES"
        " ('old', '2026-01-01', 'passed', 'S0', 'issued'), ('old', '2026-01-02', 'failed', 'S1', 'issued');"
        "INSERT INTO serials VALUES ('old', 0, 'S0', 1, 'used', '2026-01-01'), ('old', 1, 'S1', 2, 'void',"
        " '2026-01-02');"
        "INSERT INTO serial_counters VALUES ('old', 2);"))
        << PQerrorMessage(conn);
    std::string error;
    auto store = OpenRecordStore(url, error);
    ASSERT_TRUE(store) << error;
    ExpectPoolsShared(*store, "old");
    EXPECT_FALSE(exec("INSERT INTO serials(pool, idx, text, job, attempt, state, issued)"
                      " VALUES('line A', 99, 'S0', 'x', 0, 'issued', '')")); // the schema's uniqueness rule
    PQfinish(conn);
}

TEST(PostgresStore, KeepAsksTheStore) {
    REQUIRE_SERVER();
    ASSERT_TRUE(g_server->CreateDatabase("keep"));
    std::string error;
    auto store = OpenRecordStore(g_server->Url("keep"), error, STORE_CREATE);
    ASSERT_TRUE(store) << error;
    ExpectKeepAsksTheStore(*store);
}

TEST(PostgresStore, ALateEndIsKept) {
    REQUIRE_SERVER();
    ASSERT_TRUE(g_server->CreateDatabase("late_end"));
    const std::string url = g_server->Url("late_end");
    std::string error;
    auto store = OpenRecordStore(url, error, STORE_CREATE);
    ASSERT_TRUE(store) << error;
    ExpectALateEndIsKept(*store, [&url](int64_t id) {
        PGconn* conn = PQconnectdb(url.c_str());
        PGresult* res = PQexec(
            conn, ("UPDATE attempts SET result = 'interrupted' WHERE id = " + std::to_string(id)).c_str());
        PQclear(res);
        PQfinish(conn);
    });
}

// A dropped session (the server ended it, as after a restart or a network cut): the next unit of
// work connects again with the station's lock, and goes on; its open attempt stays its own.
TEST(PostgresStore, ADroppedSessionReconnects) {
    REQUIRE_SERVER();
    ASSERT_TRUE(g_server->CreateDatabase("dropped"));
    const std::string url = g_server->Url("dropped");
    std::string error;
    auto store = OpenRecordStore(url, error, STORE_CREATE);
    ASSERT_TRUE(store) << error;
    std::string first;
    ASSERT_TRUE(IssueAndEnd(*store, nullptr, first, error)) << error; // left open
    PGconn* admin = PQconnectdb(url.c_str());
    PQclear(PQexec(admin, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                          " WHERE datname = 'dropped' AND pid <> pg_backend_pid()"));
    PQfinish(admin);
    // another station opens while the first one's session is gone: a session dropped once is not
    // a dead station (its heartbeat is recent); its open attempt stays open
    auto other = OpenRecordStore(url, error);
    ASSERT_TRUE(other) << error;
    EXPECT_EQ(other->InterruptedAtOpen(), 0);
    std::string text;
    EXPECT_TRUE(IssueAndEnd(*store, RESULT_PASSED, text, error)) << error;
    EXPECT_EQ(text, "P1");
    // an export by a reader's session and by a station's, each session dropped before it: made
    // again, every record read
    auto reader = OpenRecordStore(url, error, STORE_READ);
    ASSERT_TRUE(reader) << error;
    for (IRecordStore* s : {reader.get(), store.get()}) {
        admin = PQconnectdb(url.c_str());
        PQclear(PQexec(admin, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                              " WHERE datname = 'dropped' AND pid <> pg_backend_pid()"));
        PQfinish(admin);
        int rows = 0;
        EXPECT_TRUE(s->StreamRecords(
            {}, [&rows](const TS_ATTEMPT_RECORD&) { return ++rows > 0; }, error))
            << error;
        EXPECT_EQ(rows, 2);
    }
}

TEST(PostgresStore, CursorReadsAsQuery) {
    REQUIRE_SERVER();
    ASSERT_TRUE(g_server->CreateDatabase("cursor"));
    std::string error;
    auto store = OpenRecordStore(g_server->Url("cursor"), error, STORE_CREATE);
    ASSERT_TRUE(store) << error;
    scale::ExpectCursorReadsAsQuery(
        *store, [&] { return OpenRecordStore(g_server->Url("cursor"), error, STORE_READ); });
}

// Killed before the copy, after a batch copied, before the verification, before the removal; and
// not killed.
TEST(PostgresStore, ArchiveMovesRecordsNeverSerials) {
    REQUIRE_SERVER();
    int n = 0;
    for (const char* killAt : {static_cast<const char*>(nullptr), "copy", "copied", "verify", "remove"}) {
        SCOPED_TRACE(killAt ? killAt : "not killed");
        const std::string name = "archive" + std::to_string(n++);
        ASSERT_TRUE(g_server->CreateDatabase(name));
        const std::string archive = "/tmp/vandrel-pg-archive-" + std::to_string(::getpid()) + ".db";
        std::remove(archive.c_str());
        scale::ExpectArchiveMoves(g_server->Url(name), archive, killAt);
        for (const char* end : {"", "-wal", "-shm"}) {
            std::remove((archive + end).c_str());
        }
    }
}

// A store of the schema before (version 4) with records in it is brought up to date: the records
// stay as they were, and every filter of the history is then answered by an index, in the
// records' order without a sort.
TEST(PostgresStore, FiltersAnsweredByIndexesAfterMigration) {
    REQUIRE_SERVER();
    ASSERT_TRUE(g_server->CreateDatabase("indexes"));
    const std::string url = g_server->Url("indexes");
    std::string error;
    std::vector<TS_ATTEMPT_RECORD> before;
    {
        auto store = OpenRecordStore(url, error, STORE_CREATE);
        ASSERT_TRUE(store) << error;
        before = scale::Fill(*store);
    }
    PGconn* conn = PQconnectdb(url.c_str());
    PGresult* res = PQexec(
        conn,
        "DROP INDEX attempts_serial, attempts_job, attempts_pool, attempts_port,"
        " attempts_station, attempts_result, attempts_started;"
        " CREATE INDEX attempts_started ON attempts(started);"
        " CREATE INDEX attempts_serial ON attempts(serial);"
        " CREATE INDEX attempts_job ON attempts(job); ALTER TABLE attempts DROP COLUMN error;"
        " ALTER TABLE stations DROP COLUMN url, DROP COLUMN state; UPDATE vandrel_schema SET version = 4");
    ASSERT_EQ(PQresultStatus(res), PGRES_COMMAND_OK) << PQerrorMessage(conn);
    PQclear(res);
    {
        auto store = OpenRecordStore(url, error);
        ASSERT_TRUE(store) << error;
        std::vector<TS_ATTEMPT_RECORD> after;
        ASSERT_TRUE(store->Query({}, after, error)) << error;
        EXPECT_EQ(after, before);
    }
    // a small table is read whole by the planner: it is told to prefer the indexes it has
    PQclear(PQexec(conn, "SET enable_seqscan = off"));
    for (auto [name, filter] : scale::Filters()) {
        filter.BeforeStarted = name == std::string("all") ? "" : "2026-02-07T08:00:00.000Z"; // a later page
        filter.BeforeId = 12;
        const TS_RECORD_SQL sql = QuerySql(filter);
        std::vector<const char*> values;
        for (const std::string& v : sql.Values) {
            values.push_back(v.c_str());
        }
        res = PQexecParams(conn, ("EXPLAIN " + sql.Text).c_str(), static_cast<int>(values.size()), nullptr,
                           values.data(), nullptr, nullptr, 0);
        ASSERT_EQ(PQresultStatus(res), PGRES_TUPLES_OK) << PQerrorMessage(conn);
        std::string plan;
        for (int row = 0; row < PQntuples(res); ++row) {
            plan += std::string(PQgetvalue(res, row, 0)) + "; ";
        }
        PQclear(res);
        EXPECT_NE(plan.find("Index"), std::string::npos) << name << ": " << plan;
        EXPECT_EQ(plan.find("Sort"), std::string::npos) << name << ": " << plan;
    }
    PQfinish(conn);
}
