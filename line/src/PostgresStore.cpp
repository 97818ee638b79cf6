// The record store on a PostgreSQL server, for several stations: libpq with PQexecParams and
// parameters only (no SQL is ever built from values), the schema created and versioned by the
// program (table vandrel_schema, migrations under an advisory lock), serials issued under
// SELECT ... FOR UPDATE of the pool's row. The connection's text (and so any password in
// it) is never put in a message: libpq's own messages do not carry it either.
#include <libpq-fe.h>
#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/select.h>
#endif

#include <array>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "RecordRows.h"
#include "line/LineBoard.h"
#include "line/RecordStore.h"

namespace {

// libpq's messages run over several lines, the later ones indented with a tab: one line here,
// each run of blanks one space, as the records and logs show a reason.
std::string OneLine(const char* message) {
    std::string text;
    for (const char* c = message; *c; ++c) {
        const bool blank = *c == '\n' || *c == '\t' || *c == '\r' || *c == ' ';
        if (!blank) {
            text += *c;
        } else if (!text.empty() && text.back() != ' ') {
            text += ' ';
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

// Whether a connection text (or PGSSLMODE) asks for a TLS session: sslmode require, verify-ca or
// verify-full. A client library built without TLS (the Windows build's) refuses those with a
// libpq text that does not say why.
bool AsksForTls(const std::string& url) {
    std::string mode;
    if (const char* env = std::getenv("PGSSLMODE")) {
        mode = env;
    }
    if (PQconninfoOption* options = PQconninfoParse(url.c_str(), nullptr)) {
        for (const PQconninfoOption* o = options; o->keyword; ++o) {
            if (std::string(o->keyword) == "sslmode" && o->val) {
                mode = o->val;
            }
        }
        PQconninfoFree(options);
    }
    return mode == "require" || mode == "verify-ca" || mode == "verify-full";
}

constexpr int kLockClass = 0x56414E44; // the first key of the program's advisory locks
constexpr int kMigrationLock = 1;      // its second key while the schema is migrated
// A station refreshes its heartbeat row this often, and counts as dead (its open attempts closed
// as interrupted by another station) only when the row is older than the limit: a session that
// dropped once and comes back is not dead.
constexpr int kBeatSeconds = 10;
constexpr int kDeadAfterSeconds = 60;

// A station never waits for good on its store. Defaults that the URL's own parameters override:
// the connect time-out and TCP keepalives (a dead network is noticed in about 25 s). Each session
// then sets a statement time-out, a lock time-out, and ends itself when it sits in a transaction
// (a station stopped while it holds a pool's row): the row is free again well within the lock
// time-out of the other stations.
const char* const kConnectKeys[] = {"connect_timeout",     "keepalives",       "keepalives_idle",
                                    "keepalives_interval", "keepalives_count", "dbname"};
const char* const kConnectDefaults[] = {"10", "1", "10", "5", "3"};
// The channel on which a station says that it published its state (the payload: its owner key).
constexpr const char* kLineChannel = "vandrel_line";
// The program's statements are index reads, short writes and exports: compiling a plan never
// pays for them (a quarter of a second at a year's export).
constexpr const char* kSessionSetup =
    "SET client_min_messages = warning; SET statement_timeout = '30s';"
    " SET lock_timeout = '15s'; SET idle_in_transaction_session_timeout = '5s'; SET jit = off";
// A reader's session, in the same round trip: read-only, and no statement time-out (it holds no
// lock another station waits for, and an export of a year into a slow pipe may take minutes).
constexpr const char* kReaderSetup =
    "SET client_min_messages = warning; SET statement_timeout = 0; SET lock_timeout = '15s';"
    " SET idle_in_transaction_session_timeout = '5s'; SET jit = off; SET default_transaction_read_only = on";

const char* const kMigrations[] = {
    // 1: attempts, serials and the counter of each job
    "CREATE TABLE attempts("
    " id BIGSERIAL PRIMARY KEY, job TEXT NOT NULL, job_sha256 TEXT NOT NULL DEFAULT '',"
    " station TEXT NOT NULL DEFAULT '', operator TEXT NOT NULL DEFAULT '', port TEXT NOT NULL DEFAULT '',"
    " device TEXT NOT NULL DEFAULT '', started TEXT NOT NULL, ended TEXT NOT NULL DEFAULT '',"
    " flash_parts TEXT NOT NULL DEFAULT '', runners TEXT NOT NULL DEFAULT '', files TEXT NOT NULL DEFAULT "
    "'[]',"
    " serial TEXT NOT NULL DEFAULT '', serial_how TEXT NOT NULL DEFAULT '', verify TEXT NOT NULL DEFAULT '',"
    " result TEXT NOT NULL, reason TEXT NOT NULL DEFAULT '', phases TEXT NOT NULL DEFAULT '{}',"
    " log TEXT NOT NULL DEFAULT '', owner_key INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX attempts_started ON attempts(started);"
    "CREATE TABLE serial_counters(job TEXT PRIMARY KEY, next_idx BIGINT NOT NULL);"
    "CREATE TABLE serials(job TEXT NOT NULL, idx BIGINT NOT NULL, text TEXT NOT NULL,"
    " attempt BIGINT NOT NULL, state TEXT NOT NULL, issued TEXT NOT NULL, PRIMARY KEY(job, idx),"
    " UNIQUE(job, text));",
    // 2: serials belong to a pool; a text is issued once only in its pool. The counters of each job
    // become the pools "job:NAME", carried over to a job's pool when it first draws.
    "CREATE TABLE pools(name TEXT PRIMARY KEY, definition TEXT NOT NULL, next_idx BIGINT NOT NULL);"
    "INSERT INTO pools(name, definition, next_idx) SELECT 'job:' || job, '', next_idx FROM serial_counters;"
    "DROP TABLE serial_counters;"
    "ALTER TABLE serials ADD COLUMN pool TEXT;"
    "UPDATE serials SET pool = 'job:' || job;"
    "ALTER TABLE serials ALTER COLUMN pool SET NOT NULL;"
    "ALTER TABLE serials DROP CONSTRAINT serials_pkey;"
    "ALTER TABLE serials DROP CONSTRAINT serials_job_text_key;"
    "ALTER TABLE serials ADD PRIMARY KEY(pool, idx);"
    "ALTER TABLE serials ADD CONSTRAINT serials_pool_text UNIQUE(pool, text);"
    "CREATE INDEX serials_attempt ON serials(attempt);"
    "ALTER TABLE attempts ADD COLUMN pool TEXT NOT NULL DEFAULT '';",
    // 3: each record names the program and the host; a late end of an attempt closed as interrupted
    // is kept; the job files' texts, once per SHA-256; indexes for the history's filters
    "ALTER TABLE attempts ADD COLUMN program TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE attempts ADD COLUMN host TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE attempts ADD COLUMN late TEXT NOT NULL DEFAULT '';"
    "CREATE TABLE job_texts(sha256 TEXT PRIMARY KEY, text TEXT NOT NULL);"
    "CREATE INDEX attempts_serial ON attempts(serial);"
    "CREATE INDEX attempts_job ON attempts(job);"
    "CREATE INDEX serials_by_text ON serials(text);",
    // 4: each station's heartbeat
    "CREATE TABLE stations(owner_key INTEGER PRIMARY KEY, host TEXT NOT NULL, beat TIMESTAMPTZ NOT NULL);",
    // 5: every filter of the history answered by an index, in the records' order within it
    "DROP INDEX attempts_serial;"
    "DROP INDEX attempts_job;"
    "DROP INDEX attempts_started;"
    "CREATE INDEX attempts_started ON attempts(started, id);"
    "CREATE INDEX attempts_serial ON attempts(serial, started, id);"
    "CREATE INDEX attempts_job ON attempts(job, started, id);"
    "CREATE INDEX attempts_pool ON attempts(pool, started, id);"
    "CREATE INDEX attempts_port ON attempts(port, started, id);"
    "CREATE INDEX attempts_station ON attempts(station, started, id);"
    "CREATE INDEX attempts_result ON attempts(result, started, id);",
    // 6: the line view: a station's state as it publishes it (NULL: it publishes none), and where
    // its dashboard is
    "ALTER TABLE stations ADD COLUMN url TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE stations ADD COLUMN state TEXT;",
    // 7: a failed attempt's typed error (the failures counted by kind, not by their text)
    "ALTER TABLE attempts ADD COLUMN error TEXT NOT NULL DEFAULT '';",
};
constexpr int kSchemaVersion = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);

struct TS_RESULT_FREE {
    void operator()(PGresult* r) const { PQclear(r); }
};
using ResultPtr = std::unique_ptr<PGresult, TS_RESULT_FREE>;

// A session with the program's connect defaults; the URL's own parameters win.
PGconn* ConnectStore(const std::string& url) {
    const char* values[] = {kConnectDefaults[0],
                            kConnectDefaults[1],
                            kConnectDefaults[2],
                            kConnectDefaults[3],
                            kConnectDefaults[4],
                            url.c_str(),
                            nullptr};
    const char* keys[] = {kConnectKeys[0], kConnectKeys[1], kConnectKeys[2], kConnectKeys[3],
                          kConnectKeys[4], kConnectKeys[5], nullptr};
    return PQconnectdbParams(keys, values, 1); // the URL last: its own values win
}

class CPostgresStore final : public CRecordSqlStore {
public:
    ~CPostgresStore() override {
        {
            std::lock_guard lock(m_mutex);
            m_closing = true;
        }
        m_beatWake.notify_all();
        if (m_heart.joinable()) {
            m_heart.join();
        }
        PQfinish(m_conn);
    }

    bool Open(const std::string& url, TE_STORE_OPEN mode, bool& missing, std::string& error) {
        missing = false;
        if (AsksForTls(url) && !PQsslAttribute(nullptr, "library")) {
            error = "cannot connect to the record store " + RedactStoreText(url) +
                    ": it asks for TLS (sslmode), and this build's PostgreSQL client has none";
            return false;
        }
        m_conn = ConnectStore(url);
        m_readOnly = mode == STORE_READ;
        if (!m_conn || PQstatus(m_conn) != CONNECTION_OK ||
            !Ok(ResultPtr(PQexec(m_conn, m_readOnly ? kReaderSetup : kSessionSetup)), PGRES_COMMAND_OK)) {
            error = "cannot connect to the record store " + RedactStoreText(url) + ": " + Message();
            return false;
        }
        const char* host = PQhost(m_conn);
        // a Unix socket's folder is named as libpq takes it, so that the text can be used again
        const bool socket = host && (host[0] == '/' || host[0] == '@');
        m_describe = socket ? "postgresql:///" + std::string(PQdb(m_conn)) + "?host=" + host +
                                  "&port=" + PQport(m_conn)
                            : "postgresql://" + std::string(host ? host : "localhost") + ":" +
                                  PQport(m_conn) + "/" + PQdb(m_conn);
        // the schema's version in one round trip; no such table: no store there
        int version = 0;
        bool none = false;
        if (!SchemaVersion(version, none)) {
            error = Fail("cannot read the schema version");
            return false;
        }
        if (none && mode != STORE_CREATE) {
            missing = true;
            error = "no record store at " + m_describe + " (the database holds none)";
            return false;
        }
        if (m_readOnly) {
            return ReadOnly(version, error);
        }
        std::random_device random;
        m_ownerKey = static_cast<int>(random() & 0x7FFFFFFF) | 1;
        if (!Ok(Exec("SELECT pg_advisory_lock($1, $2)",
                     {std::to_string(kLockClass), std::to_string(m_ownerKey)}),
                PGRES_TUPLES_OK)) {
            error = Fail("cannot take the station's lock");
            return false;
        }
        // a store of this program's schema has nothing to migrate: no transaction and no lock for it
        if ((version != kSchemaVersion && !Migrate(error)) ||
            !Ok(Exec("INSERT INTO stations(owner_key, host, beat) VALUES($1, $2, now())"
                     " ON CONFLICT (owner_key) DO UPDATE SET host = $2, beat = now()",
                     {std::to_string(m_ownerKey), HostName()}),
                PGRES_COMMAND_OK)) {
            if (error.empty()) {
                error = Fail("cannot record the station's heartbeat");
            }
            return false;
        }
        m_heart = std::thread([this] { Beats(); });
        return CloseInterrupted(error);
    }

    std::string Describe() const override { return m_describe; }
    int InterruptedAtOpen() const override { return m_interrupted; }

    // A reader's session: one statement whose rows come one at a time (libpq's single-row mode)
    // as the server reads them, so that the server reads ahead into the socket while the caller
    // writes, instead of both taking turns on a query per batch (the session has no statement
    // time-out: an export of a year may take minutes into a slow pipe); a reader that stops early
    // cancels the rest. A station's session reads in batches: its heartbeat and its ports never
    // wait for an export.
    bool StreamRecords(const TS_HISTORY_FILTER& filter,
                       const std::function<bool(const TS_ATTEMPT_RECORD&)>& each,
                       std::string& error) override {
        if (!m_readOnly) {
            return IRecordStore::StreamRecords(filter, each, error);
        }
        std::lock_guard lock(m_mutex);
        const TS_RECORD_SQL sql = QuerySql(filter);
        std::vector<const char*> values;
        for (const std::string& v : sql.Values) {
            values.push_back(v.c_str());
        }
        TS_ATTEMPT_RECORD record;
        const std::array<std::string*, kRecordTextColumns> fields = RecordTextFields(record);
        bool delivered = false; // a row given to each: the statement is not tried again after that
        auto read = [&] {
            if (PQsendQueryParams(m_conn, sql.Text.c_str(), static_cast<int>(values.size()), nullptr,
                                  values.data(), nullptr, nullptr, 0) != 1 ||
                PQsetSingleRowMode(m_conn) != 1) {
                return false;
            }
            bool reading = true;
            bool failed = false;
            for (ResultPtr res; (res = ResultPtr(PQgetResult(m_conn)));) {
                const ExecStatusType status = PQresultStatus(res.get());
                if (status == PGRES_SINGLE_TUPLE && reading) {
                    PGresult* row = res.get();
                    record.Id = std::strtoll(PQgetvalue(row, 0, 0), nullptr, 10);
                    for (int k = 0; k < kRecordTextColumns; ++k) {
                        fields[static_cast<std::size_t>(k)]->assign(
                            PQgetvalue(row, 0, k + 1), static_cast<std::size_t>(PQgetlength(row, 0, k + 1)));
                    }
                    delivered = true;
                    if (!each(record)) {
                        reading = false; // the rest is not wanted: the server stops sending it
                        if (PGcancel* cancel = PQgetCancel(m_conn)) {
                            char why[256];
                            PQcancel(cancel, why, sizeof why);
                            PQfreeCancel(cancel);
                        }
                    }
                } else if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK && reading) {
                    failed = true;
                }
            }
            return !failed;
        };
        // a session found dropped before the first row is made again, and the statement tried once
        // more (as Exec does)
        const bool idle = PQtransactionStatus(m_conn) == PQTRANS_IDLE || PQstatus(m_conn) == CONNECTION_BAD;
        bool ok = read();
        if (!ok && !delivered && idle && PQstatus(m_conn) == CONNECTION_BAD && Reconnect()) {
            ok = read();
        }
        if (!ok) {
            error = Fail("cannot read the records");
        }
        return ok;
    }

    // ---- the line view (line/LineBoard.h): this station's state on its heartbeat row ----

    bool PublishLineState(const std::string& url, const std::string& state, std::string& error) {
        std::lock_guard lock(m_mutex);
        const std::string key = std::to_string(m_ownerKey);
        // a row of this station from an earlier session (one that could not leave the line when
        // the server went away) is this station no more
        if (!Ok(Exec("UPDATE stations SET state = NULL WHERE host = $2 AND url = $3 AND owner_key <> $1"
                     " AND state IS NOT NULL",
                     {key, HostName(), url}),
                PGRES_COMMAND_OK) ||
            !Ok(Exec("INSERT INTO stations(owner_key, host, beat, url, state) VALUES($1, $2, now(), $3, $4)"
                     " ON CONFLICT (owner_key) DO UPDATE SET url = $3, state = $4, beat = now()",
                     {key, HostName(), url, state}),
                PGRES_COMMAND_OK) ||
            !Ok(Exec("SELECT pg_notify($1, $2)", {kLineChannel, key}), PGRES_TUPLES_OK)) {
            error = Fail("cannot publish the station's state");
            return false;
        }
        return true;
    }

    bool LineStations(std::vector<TS_LINE_STATION>& stations, std::string& error) {
        std::lock_guard lock(m_mutex);
        stations.clear();
        ResultPtr res = Exec("SELECT owner_key, host, url, state,"
                             " to_char(beat AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'),"
                             " EXTRACT(EPOCH FROM now() - beat) FROM stations"
                             " WHERE state IS NOT NULL AND beat > now() - make_interval(secs => $1) ORDER BY "
                             "host, url, owner_key",
                             {std::to_string(kDeadAfterSeconds)});
        if (!Ok(res, PGRES_TUPLES_OK)) {
            error = Fail("cannot read the line's stations");
            return false;
        }
        for (int row = 0; row < PQntuples(res.get()); ++row) {
            TS_LINE_STATION station;
            station.Self = std::stoll(PQgetvalue(res.get(), row, 0)) == m_ownerKey;
            station.Host = PQgetvalue(res.get(), row, 1);
            station.Url = PQgetvalue(res.get(), row, 2);
            station.State = PQgetvalue(res.get(), row, 3);
            station.Updated = PQgetvalue(res.get(), row, 4);
            station.Age = std::strtod(PQgetvalue(res.get(), row, 5), nullptr);
            stations.push_back(std::move(station));
        }
        return true;
    }

    // The key its notifications carry.
    std::string LineKey() const { return std::to_string(m_ownerKey); }

    // The station leaves the line view (its row stays for its heartbeat).
    void LeaveLine() {
        std::lock_guard lock(m_mutex);
        const std::string key = std::to_string(m_ownerKey);
        Exec("UPDATE stations SET state = NULL WHERE owner_key = $1", {key});
        Exec("SELECT pg_notify($1, $2)", {kLineChannel, key});
    }

private:
    std::string OwnerColumn() const override { return "owner_key"; }
    std::string Owner() const override { return std::to_string(m_ownerKey); }
    // the pool's row is held to the commit: another station waits, then reads the new value
    const char* LockRow() const override { return "FOR UPDATE"; }
    bool Begin() override { return Ok(Exec("BEGIN", {}), PGRES_COMMAND_OK); }
    bool Commit() override { return Ok(Exec("COMMIT", {}), PGRES_COMMAND_OK); }
    void Rollback() override { Exec("ROLLBACK", {}); }

    bool Run(const TS_RECORD_SQL& sql, std::vector<std::vector<std::string>>* rows,
             int64_t* changed) override {
        ResultPtr res = Exec(sql.Text.c_str(), sql.Values);
        const ExecStatusType status = res ? PQresultStatus(res.get()) : PGRES_FATAL_ERROR;
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            return false;
        }
        if (rows) {
            rows->clear();
            for (int row = 0; row < PQntuples(res.get()); ++row) {
                rows->emplace_back();
                for (int k = 0; k < PQnfields(res.get()); ++k) {
                    rows->back().emplace_back(PQgetvalue(res.get(), row, k));
                }
            }
        }
        if (changed) {
            const char* n = PQcmdTuples(res.get());
            *changed = n && *n ? std::stoll(n) : 0;
        }
        return true;
    }
    std::string Message() const { return OneLine(m_conn ? PQerrorMessage(m_conn) : "out of memory"); }
    std::string Fail(const std::string& what) const override {
        return what + " (" + m_describe + "): " + Message();
    }
    // A statement; when the connection was found dropped outside a transaction, it is made again
    // (the session's settings and the station's lock with it) and the statement tried once more.
    ResultPtr Exec(const char* sql, const std::vector<std::string>& params) {
        std::vector<const char*> values;
        for (const std::string& p : params) {
            values.push_back(p.c_str());
        }
        const bool idle = PQtransactionStatus(m_conn) == PQTRANS_IDLE || PQstatus(m_conn) == CONNECTION_BAD;
        auto run = [&] {
            return ResultPtr(PQexecParams(m_conn, sql, static_cast<int>(values.size()), nullptr,
                                          values.data(), nullptr, nullptr, 0));
        };
        ResultPtr res = run();
        if (idle && PQstatus(m_conn) == CONNECTION_BAD && Reconnect()) {
            res = run();
        }
        return res;
    }
    bool Reconnect() {
        PQreset(m_conn);
        if (PQstatus(m_conn) != CONNECTION_OK ||
            !Ok(ResultPtr(PQexec(m_conn, m_readOnly ? kReaderSetup : kSessionSetup)), PGRES_COMMAND_OK)) {
            return false;
        }
        ++m_reconnects;
        if (m_readOnly || m_ownerKey == 0) {
            return true;
        }
        // the station's lock again: the same key, so its open attempts stay its own
        const std::string lock =
            "SELECT pg_advisory_lock(" + std::to_string(kLockClass) + ", " + std::to_string(m_ownerKey) + ")";
        return Ok(ResultPtr(PQexec(m_conn, lock.c_str())), PGRES_TUPLES_OK);
    }
    static bool Ok(const ResultPtr& res, ExecStatusType want) {
        return res && PQresultStatus(res.get()) == want;
    }
    bool Rollback(const std::string& what, std::string& error) {
        error = Fail(what);
        Exec("ROLLBACK", {});
        return false;
    }
    // The version of the schema (0: none recorded), or none: the database has no table of it.
    bool SchemaVersion(int& version, bool& none) {
        ResultPtr res = Exec("SELECT COALESCE(MAX(version), 0) FROM vandrel_schema", {});
        const char* state = res ? PQresultErrorField(res.get(), PG_DIAG_SQLSTATE) : nullptr;
        none = !Ok(res, PGRES_TUPLES_OK) && state && std::string(state) == "42P01"; // undefined_table
        if (!none && !Ok(res, PGRES_TUPLES_OK)) {
            return false;
        }
        version = none ? 0 : std::stoi(PQgetvalue(res.get(), 0, 0));
        return true;
    }
    // A reader's session (read-only since its setup): the schema must be this program's.
    bool ReadOnly(int version, std::string& error) {
        if (version != kSchemaVersion) {
            error =
                "the store " + m_describe + " has the schema " + std::to_string(version) +
                (version < kSchemaVersion ? ", older than this program's " + std::to_string(kSchemaVersion) +
                                                ": a station or `store init` brings it up to date"
                                          : ", newer than this program's " + std::to_string(kSchemaVersion));
            return false;
        }
        return true;
    }
    bool Migrate(std::string& error) {
        const std::string lockClass = std::to_string(kLockClass);
        if (!Ok(Exec("BEGIN", {}), PGRES_COMMAND_OK) ||
            !Ok(Exec("SELECT pg_advisory_xact_lock($1, $2)", {lockClass, std::to_string(kMigrationLock)}),
                PGRES_TUPLES_OK) ||
            !Ok(Exec("CREATE TABLE IF NOT EXISTS vandrel_schema(version INTEGER NOT NULL)", {}),
                PGRES_COMMAND_OK)) {
            return Rollback("cannot create the schema", error);
        }
        ResultPtr res = Exec("SELECT COALESCE(MAX(version), 0) FROM vandrel_schema", {});
        if (!Ok(res, PGRES_TUPLES_OK)) {
            return Rollback("cannot read the schema version", error);
        }
        const int version = std::stoi(PQgetvalue(res.get(), 0, 0));
        if (version > kSchemaVersion) {
            return Rollback("the store's schema " + std::to_string(version) +
                                " is newer than this program's " + std::to_string(kSchemaVersion),
                            error);
        }
        for (int n = version; n < kSchemaVersion; ++n) {
            // a migration holds several statements: the simple query protocol runs them, and there
            // are no parameters in them
            ResultPtr m(PQexec(m_conn, kMigrations[n]));
            if (!Ok(m, PGRES_COMMAND_OK)) {
                return Rollback("cannot migrate the schema to version " + std::to_string(n + 1), error);
            }
        }
        if (version < kSchemaVersion &&
            (!Ok(Exec("DELETE FROM vandrel_schema", {}), PGRES_COMMAND_OK) ||
             !Ok(Exec("INSERT INTO vandrel_schema(version) VALUES($1)", {std::to_string(kSchemaVersion)}),
                 PGRES_COMMAND_OK))) {
            return Rollback("cannot record the schema version", error);
        }
        if (!Ok(Exec("COMMIT", {}), PGRES_COMMAND_OK)) {
            return Rollback("cannot commit the schema", error);
        }
        return true;
    }
    void Beats() {
        std::unique_lock lock(m_mutex);
        while (!m_closing) {
            m_beatWake.wait_for(lock, std::chrono::seconds(kBeatSeconds));
            if (!m_closing) {
                Exec("UPDATE stations SET beat = now() WHERE owner_key = $1", {std::to_string(m_ownerKey)});
            }
        }
    }
    bool CloseInterrupted(std::string& error) {
        std::lock_guard lock(m_mutex);
        // a station with a heartbeat is dead when the beat is old; one of an older program (no
        // beat) when its session lock is free
        ResultPtr owners = Exec(
            "SELECT DISTINCT a.owner_key, s.beat IS NOT NULL FROM attempts a"
            " LEFT JOIN stations s ON s.owner_key = a.owner_key WHERE a.result = 'open' AND a.owner_key <> $1"
            " AND (s.beat IS NULL OR s.beat < now() - make_interval(secs => $2))",
            {std::to_string(m_ownerKey), std::to_string(kDeadAfterSeconds)});
        if (!Ok(owners, PGRES_TUPLES_OK)) {
            error = Fail("cannot read the open attempts");
            return false;
        }
        const std::string lockClass = std::to_string(kLockClass);
        for (int row = 0; row < PQntuples(owners.get()); ++row) {
            const std::string key = PQgetvalue(owners.get(), row, 0);
            const bool beats = std::string(PQgetvalue(owners.get(), row, 1)) == "t";
            // without a beat: the lock is free only when the session of the attempt's process ended
            ResultPtr got = beats ? nullptr : Exec("SELECT pg_try_advisory_lock($1, $2)", {lockClass, key});
            if (!beats && (!Ok(got, PGRES_TUPLES_OK) || std::string(PQgetvalue(got.get(), 0, 0)) != "t")) {
                continue;
            }
            // a dead station's attempts and their serials, in one transaction
            ResultPtr closed;
            if (Ok(Exec("BEGIN", {}), PGRES_COMMAND_OK) &&
                Ok(closed = Exec(
                       "UPDATE attempts SET result = $1, ended = $2, reason = $3"
                       " WHERE result = 'open' AND owner_key = $4 RETURNING id",
                       {RESULT_INTERRUPTED, UtcNow(), "the station's process ended during the attempt", key}),
                   PGRES_TUPLES_OK) &&
                Ok(Exec("UPDATE serials SET state = 'void' WHERE state = 'issued' AND attempt IN"
                        " (SELECT id FROM attempts WHERE owner_key = $1 AND result = 'interrupted')",
                        {key}),
                   PGRES_COMMAND_OK) &&
                Ok(Exec("COMMIT", {}), PGRES_COMMAND_OK)) {
                m_interrupted += PQntuples(closed.get());
            } else {
                Exec("ROLLBACK", {});
            }
            if (!beats) {
                Exec("SELECT pg_advisory_unlock($1, $2)", {lockClass, key});
            }
        }
        return true;
    }

    PGconn* m_conn = nullptr;
    std::string m_describe;
    int m_ownerKey = 0;
    int m_interrupted = 0;
    int m_reconnects = 0;
    bool m_readOnly = false;
    bool m_closing = false;
    std::condition_variable m_beatWake;
    std::thread m_heart; // the heartbeat
};

// The line's board on a PostgreSQL store: a station's session (its heartbeat row, the schema
// brought up to date) to publish and read, and a session of its own that listens.
class CPostgresLineBoard final : public ILineBoard {
public:
    ~CPostgresLineBoard() override {
        if (m_opened) {
            m_store->LeaveLine();
        }
        if (m_listen) {
            PQfinish(m_listen);
        }
    }

    bool Open(const std::string& url, std::string& error) {
        bool missing = false;
        m_store = std::make_unique<CPostgresStore>();
        if (!m_store->Open(url, STORE_WRITE, missing, error)) {
            return false;
        }
        m_opened = true;
        m_url = url;
        m_key = m_store->LineKey();
        if (!Listen()) {
            error = "cannot listen for the line's stations (" + m_store->Describe() + "): " + ListenMessage();
            return false;
        }
        return true;
    }

    bool Publish(const std::string& url, const std::string& state, std::string& error) override {
        return m_store->PublishLineState(url, state, error);
    }
    bool Stations(std::vector<TS_LINE_STATION>& stations, std::string& error) override {
        return m_store->LineStations(stations, error);
    }

    bool WaitForChange(std::chrono::milliseconds timeout) override {
        if (PQstatus(m_listen) != CONNECTION_OK) {
            // the server went away: try again after a while, and have the caller read the line
            // (which says what is wrong)
            std::this_thread::sleep_for(timeout);
            PQfinish(m_listen);
            m_listen = nullptr;
            Listen();
            return true;
        }
        if (Notified()) {
            return true;
        }
        const int socket = PQsocket(m_listen);
        fd_set readable;
        FD_ZERO(&readable);
#ifdef _WIN32
        FD_SET(static_cast<SOCKET>(socket), &readable);
#else
        FD_SET(socket, &readable);
#endif
        timeval wait{};
        wait.tv_sec = static_cast<long>(timeout.count() / 1000);
        wait.tv_usec = static_cast<long>(timeout.count() % 1000) * 1000;
        if (::select(socket + 1, &readable, nullptr, nullptr, &wait) <= 0) {
            return false;
        }
        if (PQconsumeInput(m_listen) == 0) {
            return true; // dropped: the next wait makes the session again
        }
        return Notified();
    }

private:
    bool Listen() {
        m_listen = ConnectStore(m_url);
        if (!m_listen || PQstatus(m_listen) != CONNECTION_OK) {
            return false;
        }
        const std::string listen = std::string("LISTEN ") + kLineChannel;
        PGresult* res = PQexec(m_listen, listen.c_str());
        const bool ok = res && PQresultStatus(res) == PGRES_COMMAND_OK;
        PQclear(res);
        return ok;
    }
    std::string ListenMessage() const {
        return OneLine(m_listen ? PQerrorMessage(m_listen) : "out of memory");
    }
    // Whether another station published (this one's own notifications are not news to it).
    bool Notified() {
        bool any = false;
        for (PGnotify* n; (n = PQnotifies(m_listen)) != nullptr; PQfreemem(n)) {
            any = any || m_key != n->extra;
        }
        return any;
    }

    std::unique_ptr<CPostgresStore> m_store;
    bool m_opened = false;
    std::string m_url;
    std::string m_key;
    PGconn* m_listen = nullptr;
};

} // namespace

std::unique_ptr<IRecordStore> OpenPostgresStore(const std::string& url, TE_STORE_OPEN mode, bool& missing,
                                                std::string& error) {
    auto store = std::make_unique<CPostgresStore>();
    if (!store->Open(url, mode, missing, error)) {
        return nullptr;
    }
    return store;
}

std::unique_ptr<ILineBoard> OpenPostgresLineBoard(const std::string& url, std::string& error) {
    auto board = std::make_unique<CPostgresLineBoard>();
    if (!board->Open(url, error)) {
        return nullptr;
    }
    return board;
}
