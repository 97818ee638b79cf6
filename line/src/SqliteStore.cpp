// The record store in one SQLite file: WAL mode (readers and one writer at once, several
// processes on one host), a busy time-out instead of failing on a lock, the schema version in
// PRAGMA user_version with numbered migrations, one transaction per unit of work, and statements
// with bound parameters only.
#include <sqlite3.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "RecordRows.h"
#include "line/RecordStore.h"

namespace {

constexpr int kBusyTimeoutMs = 15000;

// The migrations, in order: migration n takes user_version n - 1 to n.
const char* const kMigrations[] = {
    // 1: attempts and serials
    "CREATE TABLE attempts("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, job TEXT NOT NULL, job_sha256 TEXT NOT NULL DEFAULT '',"
    " station TEXT NOT NULL DEFAULT '', operator TEXT NOT NULL DEFAULT '', port TEXT NOT NULL DEFAULT '',"
    " device TEXT NOT NULL DEFAULT '', started TEXT NOT NULL, ended TEXT NOT NULL DEFAULT '',"
    " flash_parts TEXT NOT NULL DEFAULT '', runners TEXT NOT NULL DEFAULT '', files TEXT NOT NULL DEFAULT "
    "'[]',"
    " serial TEXT NOT NULL DEFAULT '', serial_how TEXT NOT NULL DEFAULT '', verify TEXT NOT NULL DEFAULT '',"
    " result TEXT NOT NULL, reason TEXT NOT NULL DEFAULT '', phases TEXT NOT NULL DEFAULT '{}',"
    " log TEXT NOT NULL DEFAULT '', owner TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX attempts_started ON attempts(started);"
    "CREATE INDEX attempts_open ON attempts(result) WHERE result = 'open';"
    "CREATE TABLE serials("
    " job TEXT NOT NULL, idx INTEGER NOT NULL, text TEXT NOT NULL, attempt INTEGER NOT NULL,"
    " state TEXT NOT NULL, issued TEXT NOT NULL, PRIMARY KEY(job, idx));"
    "CREATE UNIQUE INDEX serials_text ON serials(job, text);",
    // 2: serials belong to a pool; a text is issued once only in its pool. The counters of each job
    // become the pools "job:NAME", carried over to a job's pool when it first draws.
    "CREATE TABLE pools(name TEXT PRIMARY KEY, definition TEXT NOT NULL, next_idx INTEGER NOT NULL);"
    "INSERT INTO pools(name, definition, next_idx) SELECT 'job:' || job, '', MAX(idx) + 1 FROM serials"
    " GROUP BY job;"
    "CREATE TABLE pool_serials(pool TEXT NOT NULL, idx INTEGER NOT NULL, text TEXT NOT NULL, job TEXT NOT "
    "NULL,"
    " attempt INTEGER NOT NULL, state TEXT NOT NULL, issued TEXT NOT NULL, PRIMARY KEY(pool, idx),"
    " UNIQUE(pool, text));"
    "INSERT INTO pool_serials SELECT 'job:' || job, idx, text, job, attempt, state, issued FROM serials;"
    "DROP TABLE serials;"
    "ALTER TABLE pool_serials RENAME TO serials;"
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
    // 4: every filter of the history answered by an index, in the records' order within it (the
    // rowid ends every index, so ORDER BY started, id needs no sort)
    "DROP INDEX attempts_serial;"
    "DROP INDEX attempts_job;"
    "CREATE INDEX attempts_serial ON attempts(serial, started);"
    "CREATE INDEX attempts_job ON attempts(job, started);"
    "CREATE INDEX attempts_pool ON attempts(pool, started);"
    "CREATE INDEX attempts_port ON attempts(port, started);"
    "CREATE INDEX attempts_station ON attempts(station, started);"
    "CREATE INDEX attempts_result ON attempts(result, started);",
    // 5: a failed attempt's typed error (the failures counted by kind, not by their text)
    "ALTER TABLE attempts ADD COLUMN error TEXT NOT NULL DEFAULT '';",
};
constexpr int kSchemaVersion = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);

class CStatement {
public:
    CStatement(sqlite3* db, const char* sql) {
        m_ok = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) == SQLITE_OK;
    }
    ~CStatement() { sqlite3_finalize(m_stmt); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;
    bool Ok() const { return m_ok; }
    CStatement& Bind(const std::string& text) {
        sqlite3_bind_text(m_stmt, ++m_bound, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // The values of "$1", "$2", ... by their names (a statement may use one more than once).
    CStatement& BindNamed(const std::vector<std::string>& values) {
        for (std::size_t k = 0; k < values.size(); ++k) {
            const int at = sqlite3_bind_parameter_index(m_stmt, ("$" + std::to_string(k + 1)).c_str());
            if (at > 0) {
                sqlite3_bind_text(m_stmt, at, values[k].c_str(), static_cast<int>(values[k].size()),
                                  SQLITE_TRANSIENT);
            }
        }
        return *this;
    }
    CStatement& Bind(int64_t value) {
        sqlite3_bind_int64(m_stmt, ++m_bound, value);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error
    int Step() { return sqlite3_step(m_stmt); }
    std::string Text(int column) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column)))
                 : std::string();
    }
    // The same, into a string that keeps its capacity.
    void TextInto(int column, std::string& text) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
        text.assign(p ? p : "", p ? static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column)) : 0);
    }
    int64_t Int(int column) const { return sqlite3_column_int64(m_stmt, column); }
    int Columns() const { return sqlite3_column_count(m_stmt); }

private:
    sqlite3_stmt* m_stmt = nullptr;
    bool m_ok = false;
    int m_bound = 0;
};

bool MakeFolders(const std::string& path, std::string& error) {
    // both separators on Windows ("C:\\Users\\...\\records.db")
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::error_code failed;
    if (!folder.empty() && !std::filesystem::create_directories(folder, failed) && failed) {
        error = "cannot make the folder " + folder.string() + ": " + failed.message();
        return false;
    }
    return true;
}

class CSqliteStore final : public CRecordSqlStore {
public:
    ~CSqliteStore() override { sqlite3_close(m_db); }

    // archive: the file is (or becomes) an archive of records, which only an archive's writer
    // writes; any other writer is refused
    bool Open(const std::string& path, TE_STORE_OPEN mode, bool& missing, std::string& error,
              bool archive = false) {
        m_path = path;
        m_archive = archive;
        m_readOnly = mode == STORE_READ;
        missing = false;
        struct stat info {};
        if (mode != STORE_CREATE && ::stat(path.c_str(), &info) != 0) {
            missing = true;
            error = "no record store at " + Describe();
            return false;
        }
        if (mode == STORE_CREATE && !MakeFolders(path, error)) {
            return false;
        }
        const int flags = mode == STORE_READ     ? SQLITE_OPEN_READONLY
                          : mode == STORE_CREATE ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                                 : SQLITE_OPEN_READWRITE;
        // every use of the connection holds the store's mutex; a reader's connection takes no
        // mutex of its own on each column read besides
        const int threads = mode == STORE_READ ? SQLITE_OPEN_NOMUTEX : SQLITE_OPEN_FULLMUTEX;
        if (sqlite3_open_v2(path.c_str(), &m_db, flags | threads, nullptr) != SQLITE_OK) {
            error = Fail("cannot open");
            return false;
        }
        sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
        const int version = UserVersion();
        if (version < 0) {
            error = Fail("cannot read");
            return false;
        }
        if (version == 0 && mode != STORE_CREATE) {
            missing = true;
            error = "no record store at " + Describe() + " (the file holds none)";
            return false;
        }
        if (mode == STORE_READ) {
            if (version != kSchemaVersion) {
                error = "the store " + Describe() + " has the schema " + std::to_string(version) +
                        (version < kSchemaVersion
                             ? ", older than this program's " + std::to_string(kSchemaVersion) +
                                   ": a station or `store init` brings it up to date"
                             : ", newer than this program's " + std::to_string(kSchemaVersion));
                return false;
            }
            return true;
        }
        if (!UseWal(error) || !Exec("PRAGMA synchronous=FULL", error) ||
            !Exec("PRAGMA foreign_keys=ON", error) || !Migrate(error)) {
            return false;
        }
        if (archive) {
            // the mark of an archive, with the time it was made
            if (!Exec("CREATE TABLE IF NOT EXISTS archive(made TEXT NOT NULL)", error) ||
                !Run({"INSERT INTO archive(made) SELECT $1 WHERE NOT EXISTS (SELECT 1 FROM archive)",
                      {UtcNow()}},
                     nullptr, nullptr)) {
                error = error.empty() ? Fail("cannot mark the archive") : error;
                return false;
            }
        } else if (IsArchive()) {
            error = Describe() + " is an archive of records: it is read only (history --store FILE reads it)";
            return false;
        }
        m_owner = ProcessOwnerToken();
        return CloseInterrupted(error);
    }

    std::string Describe() const override { return "sqlite:" + m_path; }
    int InterruptedAtOpen() const override { return m_interrupted; }

    // A reader's store: one statement stepped to its end, in one read transaction (a snapshot of
    // the file, which a checkpoint does not pass meanwhile), each row filled into the same record in
    // place. A station's store reads in batches, so that its ports never wait for an export.
    bool StreamRecords(const TS_HISTORY_FILTER& filter,
                       const std::function<bool(const TS_ATTEMPT_RECORD&)>& each,
                       std::string& error) override {
        if (!m_readOnly) {
            return IRecordStore::StreamRecords(filter, each, error);
        }
        std::lock_guard lock(m_mutex);
        const TS_RECORD_SQL sql = QuerySql(filter);
        CStatement st(m_db, sql.Text.c_str());
        st.BindNamed(sql.Values);
        if (!st.Ok()) {
            error = Fail("cannot read the records");
            return false;
        }
        TS_ATTEMPT_RECORD record;
        const std::array<std::string*, kRecordTextColumns> fields = RecordTextFields(record);
        int rc = 0;
        while ((rc = st.Step()) == SQLITE_ROW) {
            record.Id = st.Int(0);
            for (int k = 0; k < kRecordTextColumns; ++k) {
                st.TextInto(k + 1, *fields[static_cast<std::size_t>(k)]);
            }
            if (!each(record)) {
                return true;
            }
        }
        if (rc != SQLITE_DONE) {
            error = Fail("cannot read the records");
            return false;
        }
        return true;
    }

    bool PutRecords(const std::vector<TS_ATTEMPT_RECORD>& records, std::string& error) override {
        if (!m_archive) {
            return IRecordStore::PutRecords(records, error);
        }
        return PutRecordsIn(records, error);
    }

private:
    std::string OwnerColumn() const override { return "owner"; }
    std::string Owner() const override { return m_owner; }
    // the transaction holds the whole file: no row to hold
    const char* LockRow() const override { return ""; }
    // IMMEDIATE: the write lock is taken first, so two processes never read the same counter
    bool Begin() override {
        return sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    bool Commit() override { return sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK; }
    void Rollback() override { sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr); }

    bool Run(const TS_RECORD_SQL& sql, std::vector<std::vector<std::string>>* rows,
             int64_t* changed) override {
        CStatement st(m_db, sql.Text.c_str());
        st.BindNamed(sql.Values);
        if (!st.Ok()) {
            return false;
        }
        if (rows) {
            rows->clear();
        }
        int rc = 0;
        while ((rc = st.Step()) == SQLITE_ROW) {
            if (rows) {
                rows->emplace_back();
                for (int k = 0; k < st.Columns(); ++k) {
                    rows->back().push_back(st.Text(k));
                }
            }
        }
        if (changed) {
            *changed = sqlite3_changes(m_db);
        }
        return rc == SQLITE_DONE;
    }
    std::string Fail(const std::string& what) const override {
        return what + " (" + Describe() + "): " + (m_db ? sqlite3_errmsg(m_db) : "out of memory");
    }
    bool Exec(const char* sql, std::string& error) {
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            error = Fail(std::string("cannot run ") + sql);
            return false;
        }
        return true;
    }
    // Switching a new file to WAL needs the file to itself: where several processes make the same
    // store at once, SQLite answers "database is locked" at once rather than through the busy
    // handler, so the switch is tried again within the busy time-out.
    bool UseWal(std::string& error) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
        for (;;) {
            const int rc = sqlite3_exec(m_db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK) {
                return true;
            }
            if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || std::chrono::steady_clock::now() >= until) {
                error = Fail("cannot run PRAGMA journal_mode=WAL");
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    bool Rollback(const std::string& what, std::string& error) {
        error = Fail(what);
        Rollback();
        return false;
    }
    bool IsArchive() {
        CStatement st(m_db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'archive'");
        return st.Ok() && st.Step() == SQLITE_ROW;
    }
    int UserVersion() {
        CStatement st(m_db, "PRAGMA user_version");
        return st.Ok() && st.Step() == SQLITE_ROW ? static_cast<int>(st.Int(0)) : -1;
    }
    bool Migrate(std::string& error) {
        if (UserVersion() == kSchemaVersion) {
            return true;
        }
        if (!Exec("BEGIN IMMEDIATE", error)) {
            return false;
        }
        const int version = UserVersion(); // again, under the lock: another process may have done it
        if (version > kSchemaVersion) {
            return Rollback("the store's schema " + std::to_string(version) +
                                " is newer than this program's " + std::to_string(kSchemaVersion),
                            error);
        }
        for (int n = version; n < kSchemaVersion; ++n) {
            if (sqlite3_exec(m_db, kMigrations[n], nullptr, nullptr, nullptr) != SQLITE_OK) {
                return Rollback("cannot migrate the schema to version " + std::to_string(n + 1), error);
            }
        }
        const std::string pragma = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
        if (!Exec(pragma.c_str(), error)) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
        return Exec("COMMIT", error) || Rollback("cannot commit the schema", error);
    }
    bool CloseInterrupted(std::string& error) {
        std::lock_guard lock(m_mutex);
        if (!Exec("BEGIN IMMEDIATE", error)) {
            return false;
        }
        std::vector<int64_t> dead;
        {
            CStatement st(m_db, "SELECT id, owner FROM attempts WHERE result = 'open'");
            while (st.Ok() && st.Step() == SQLITE_ROW) {
                if (!OwnerAlive(st.Text(1))) {
                    dead.push_back(st.Int(0));
                }
            }
        }
        const std::string now = UtcNow();
        for (const int64_t id : dead) {
            CStatement a(m_db, "UPDATE attempts SET result = ?, ended = ?, reason = ? WHERE id = ?");
            a.Bind(std::string(RESULT_INTERRUPTED)).Bind(now);
            a.Bind(std::string("the station's process ended during the attempt")).Bind(id);
            CStatement s(m_db, "UPDATE serials SET state = 'void' WHERE attempt = ?");
            s.Bind(id);
            if (!a.Ok() || a.Step() != SQLITE_DONE || !s.Ok() || s.Step() != SQLITE_DONE) {
                return Rollback("cannot close the interrupted attempts", error);
            }
        }
        m_interrupted = static_cast<int>(dead.size());
        return Exec("COMMIT", error) || Rollback("cannot close the interrupted attempts", error);
    }

    sqlite3* m_db = nullptr;
    bool m_archive = false;
    bool m_readOnly = false;
    std::string m_path;
    std::string m_owner;
    int m_interrupted = 0;
};

} // namespace

std::unique_ptr<IRecordStore> OpenSqliteStore(const std::string& path, TE_STORE_OPEN mode, bool& missing,
                                              std::string& error) {
    auto store = std::make_unique<CSqliteStore>();
    if (!store->Open(path, mode, missing, error)) {
        return nullptr;
    }
    return store;
}

std::unique_ptr<IRecordStore> OpenArchiveWriter(const std::string& path, std::string& error) {
    auto store = std::make_unique<CSqliteStore>();
    bool missing = false;
    if (!store->Open(path, STORE_CREATE, missing, error, true)) {
        return nullptr;
    }
    return store;
}
