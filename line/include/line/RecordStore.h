// The record store: every attempt at a handset is one record, opened when the attempt starts and
// completed when it ends; serial numbers are issued from it, one transaction each, never twice.
//
//   std::string error;
//   std::unique_ptr<IRecordStore> store = OpenRecordStore("", error);   // the default SQLite file
//   int64_t id = 0;
//   store->BeginAttempt(record, id, error);                             // the record is open
//   store->IssueSerial(id, pool, textOf, issue, exhausted, error);
//   ...
//   store->EndAttempt(record, error);                                   // passed, failed
//
// Which attempts belong to a dead process: every process that opens a store has an owner token.
// SQLite (one host): the token is host name, process id and the process's start time (the boot id
// and the start tick of /proc/PID/stat; on Windows the process's creation time); an open attempt whose owner
// is on this host and no longer runs under that token is closed as "interrupted" by the next process that
// opens the store. PostgreSQL (several hosts): every process refreshes a heartbeat row (every 10 s); an open
// attempt whose station's beat is older than 60 s belongs to a dead process, whatever host it ran
// on (a session that dropped once and came back is not dead). Attempts of a program without a
// heartbeat: dead when the session advisory lock on its token is free.
// An interrupted attempt's issued serial stays taken (void), never reissued.
//
// Every operation returns false with the reason when the store cannot be read or written.
// Credentials never appear in a reason or in Describe().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Results of an attempt, as the record keeps them.
inline constexpr const char* RESULT_OPEN = "open";
inline constexpr const char* RESULT_PASSED = "passed";
inline constexpr const char* RESULT_FAILED = "failed";
inline constexpr const char* RESULT_INTERRUPTED = "interrupted";
// How the attempt's serial came.
inline constexpr const char* SERIAL_ISSUED = "issued";
inline constexpr const char* SERIAL_KEPT = "kept";       // the store had issued it before
inline constexpr const char* SERIAL_ADOPTED = "adopted"; // taken over from another store

struct TS_ATTEMPT_RECORD {
    int64_t Id = 0;
    std::string Job;       // the job's name
    std::string Pool;      // the serial pool the job draws from; empty: none
    std::string JobSha256; // of the job file
    std::string Station;   // host name, or --station
    std::string Host;      // the host name, whatever the station is called
    std::string Program;   // the program and its version: "vandrel-cli 1.4.0"
    std::string Operator;
    std::string Port;    // the port's stable name
    std::string Device;  // the device path or USB path that opened
    std::string Started; // UTC, ISO 8601 "2026-12-09T17:50:01.234Z"
    std::string Ended;
    std::string FlashParts; // "CS#0 ..., CS#1 ..., ..."
    std::string Runners;    // the programs that answered: boot loader and flash writer versions
    std::string Files;      // JSON array: [{"role","path","sha256","bytes"}]
    std::string Serial;     // as people read it
    std::string SerialHow;  // SERIAL_ISSUED, SERIAL_KEPT or empty
    std::string Verify;     // "passed", "failed", "off", or empty when not reached
    std::string Result = RESULT_OPEN;
    std::string Reason;
    std::string Error;  // a failed attempt's typed error, as the station names it ("verify", ...)
    std::string Phases; // JSON object: phase name -> seconds
    std::string Log;    // the attempt's whole log text
    std::string Late;   // an end that came after the record was closed as interrupted: "passed: ..."

    bool operator==(const TS_ATTEMPT_RECORD&) const = default;
};

struct TS_HISTORY_FILTER {
    std::string Job;
    std::string Serial;
    std::string Port;
    std::string Result;
    std::string Station;
    std::string Pool;
    std::string Since;   // ISO 8601 (a date alone is its midnight, UTC)
    std::string Until;   // before this
    int64_t Id = 0;      // one record
    int Limit = 0;       // 0: all
    int64_t Offset = 0;  // the records skipped first (pages of Limit)
    bool WithLog = true; // false: Log left empty (a list of records reads no log)
    bool Ended = false;  // only attempts that ended (none open)
    // The page after a row already read: only records older than (BeforeStarted, BeforeId) in the
    // order of the records. Empty: from the newest.
    std::string BeforeStarted;
    int64_t BeforeId = 0;
};

// The serials a job draws from. Serials belong to a pool, not to a job: every job that names the
// same pool (a renamed job, a second job on the same range) continues one counter, and a text is
// issued once only in a pool, whichever job asks (a uniqueness rule of the schema).
struct TS_SERIAL_POOL {
    std::string Name;       // [serial] pool, else derived from the format and the source
    std::string Definition; // the format and the source; every job on a pool must draw the same
    int64_t Count = 0;      // the serials the source holds
    std::string Job;        // the job that draws (a store made before pools kept its counter by it)
};

// A serial of a pool as the store knows it.
struct TS_POOL_SERIAL {
    int64_t Index = 0;
    std::string Text;
    std::string State; // "issued" (in an attempt not ended yet), "used", "void", "adopted"
    std::string Job;
    int64_t Attempt = 0; // the last attempt that wrote it
    std::string Issued;  // when it was issued or adopted (UTC)
};

struct TS_SERIAL_ISSUE {
    int64_t Index = -1; // in the job's source
    std::string Text;
};

class IRecordStore {
public:
    virtual ~IRecordStore() = default;
    // "sqlite:/path/records.db", "postgresql://host:port/db" (no user, no password)
    virtual std::string Describe() const = 0;
    // Inserts an open record (Id is ignored) and gives its id.
    virtual bool BeginAttempt(const TS_ATTEMPT_RECORD& record, int64_t& id, std::string& error) = 0;
    // Issues the next serial of a pool to an attempt, in one transaction: the first index from
    // the pool's counter on whose text was never issued in the pool (by any job, process or
    // station). textOf gives the text of an index. False with "all issued" (exhausted true) when
    // the pool is used up; false with the reason when the pool is drawn with another definition.
    virtual bool IssueSerial(int64_t attempt, const TS_SERIAL_POOL& pool,
                             const std::function<std::string(int64_t)>& textOf, TS_SERIAL_ISSUE& issue,
                             bool& exhausted, std::string& error) = 0;
    // Rework: an attempt keeps the serial its handset holds (index and text of the pool), only when
    // the pool knows it as issued; else false with known false, unless adopt: the text is then
    // entered in the pool as adopted (never issued again). how: SERIAL_KEPT or SERIAL_ADOPTED.
    virtual bool KeepSerial(int64_t attempt, const TS_SERIAL_POOL& pool, int64_t index,
                            const std::string& text, bool adopt, bool& known, std::string& how,
                            std::string& error) = 0;
    // Completes the record (by record.Id), only while it is open. A failed attempt's issued serial
    // becomes void; a kept or adopted serial whose attempt passed becomes used. An end that comes
    // after another station closed the record as interrupted is kept as its late result (a passed
    // one makes its serial used), never lost.
    virtual bool EndAttempt(const TS_ATTEMPT_RECORD& record, std::string& error) = 0;
    // Records, newest first (by started, then id). Each filter given is answered by an index.
    // Meant for pages (Limit): EachRecord reads any number of records in bounded memory.
    virtual bool Query(const TS_HISTORY_FILTER& filter, std::vector<TS_ATTEMPT_RECORD>& records,
                       std::string& error) = 0;
    // The serials of a pool, by index.
    virtual bool PoolSerials(const std::string& pool, std::vector<TS_POOL_SERIAL>& serials,
                             std::string& error) = 0;
    // The text of a job file, kept once per SHA-256 (KeepJobText) and read back (JobText: empty
    // when the store has none).
    virtual bool KeepJobText(const std::string& sha256, const std::string& text, std::string& error) = 0;
    virtual bool JobText(const std::string& sha256, std::string& text, std::string& error) = 0;
    // A pool's next index and how many of its serials are left (never issued). Refused, with
    // the reason in error, when the store holds the pool with another definition.
    virtual bool PoolLeft(const TS_SERIAL_POOL& pool, int64_t& next, int64_t& left, std::string& error) = 0;
    // The attempts this open closed as interrupted (their owners were dead).
    virtual int InterruptedAtOpen() const = 0;
    // Retention: removes the attempts that ended (none open) started before `before` (normalised
    // time text) with ids up to lastId, in one transaction, and only when exactly `count` of them
    // are there (else nothing is removed and the reason says so). Serials, pools and job texts are
    // never removed: an archived attempt's serial stays taken.
    virtual bool RemoveAttempts(const std::string& before, int64_t lastId, int64_t count,
                                std::string& error) = 0;
    // Every record a filter finds, newest first, as EachRecord gives them, for a reader that calls
    // nothing else of this store until it returns (an export): a store opened to read (STORE_READ)
    // reads them as one statement whose rows come as the server finds them, so that the server's
    // reading overlaps the caller's writing, in the memory of one row, and is busy meanwhile
    // (another thread's call waits for the end); a station's store reads in batches as EachRecord
    // does, so that its other users never wait for an export. each gets a record that is valid
    // for its call only; false from each stops the reading (StreamRecords then returns true).
    virtual bool StreamRecords(const TS_HISTORY_FILTER& filter,
                               const std::function<bool(const TS_ATTEMPT_RECORD&)>& each, std::string& error);
    // Archives only (OpenArchiveWriter): copies records as they are (ids kept); a record whose id
    // is there already is written again. One transaction.
    virtual bool PutRecords(const std::vector<TS_ATTEMPT_RECORD>& records, std::string& error) {
        (void)records;
        error = Describe() + " is not an archive";
        return false;
    }
};

// A cursor over any number of records, newest first, as Query gives them: read in batches of
// `batch` rows, each batch a query of its own that goes on after the last row of the one before
// (by index, no offset), so memory is that of one batch however many records match and no
// transaction stays open between batches. Limit and Offset of the filter count over all batches.
class CRecordCursor {
public:
    CRecordCursor(IRecordStore& store, TS_HISTORY_FILTER filter, int batch = 1000);
    // The next record; false at the end, or on an error (Error() then says it).
    bool Next(TS_ATTEMPT_RECORD& record);
    const std::string& Error() const { return m_error; }

private:
    IRecordStore& m_store;
    TS_HISTORY_FILTER m_filter;
    int m_batch;
    int64_t m_left;
    std::vector<TS_ATTEMPT_RECORD> m_records;
    std::size_t m_next = 0;
    std::string m_lastStarted; // the last row of the batch: where the next one goes on
    int64_t m_lastId = 0;
    bool m_last = false;
    std::string m_error;
};

// Any number of records, newest first, as Query gives them, read in batches of `batch` rows, each
// batch a query of its own that goes on after the last row of the one before (by index, no
// offset): memory is that of one batch however many records match, no transaction stays open, and
// each may call the store. Limit and Offset of the filter count over all batches. each gets the
// records one at a time; false from each stops the reading (EachRecord then returns true).
bool EachRecord(IRecordStore& store, const TS_HISTORY_FILTER& filter,
                const std::function<bool(const TS_ATTEMPT_RECORD&)>& each, std::string& error,
                int batch = 1000);

// How a store is opened. A store is made on purpose only: readers never make one, and neither does
// a station unless it is asked to.
enum TE_STORE_OPEN {
    STORE_READ,   // read-only: history, job check; the schema must be this program's
    STORE_WRITE,  // a station: the store must be there; an older schema is brought up to date
    STORE_CREATE, // made when it is not there (store init, --create-store)
};

// The default store: $XDG_DATA_HOME/vandrel/records.db (~/.local/share/vandrel/records.db); on
// Windows %LOCALAPPDATA%\Vandrel\records.db.
std::string DefaultStorePath();
// where: empty (the default file), "sqlite:PATH", a path, or "postgresql://..." / "postgres://..."
// (libpq's URL; credentials from it, the libpq environment or ~/.pgpass). Opening to write closes
// the attempts of dead processes as interrupted. A store that is not there (no file, a file or a
// database without the schema) is refused with "no record store at ..." and missing set, unless
// mode is STORE_CREATE.
std::unique_ptr<IRecordStore> OpenRecordStore(const std::string& where, std::string& error,
                                              TE_STORE_OPEN mode = STORE_WRITE, bool* missing = nullptr);
// The text of a URL or path that may be shown: the password (and user) left out.
std::string RedactStoreText(const std::string& where);

// The records as CSV: a header line, then one record a line (fields with a comma, a quote or a
// line end quoted); the log is left out unless withLog (then its last column).
std::string AttemptsCsv(const std::vector<TS_ATTEMPT_RECORD>& records, bool withLog = false);
// The same, a line at a time, for exports that write as they read.
std::string AttemptsCsvHeader(bool withLog = false);
std::string AttemptCsvLine(const TS_ATTEMPT_RECORD& record, bool withLog = false);
// The same line appended to out (an export's block of lines, no string of its own).
void AppendAttemptCsvLine(std::string& out, const TS_ATTEMPT_RECORD& record, bool withLog = false);
// One CSV line of fields, quoted as AttemptsCsv quotes them.
std::string CsvRow(const std::vector<std::string>& fields);
// " (kept)" for a serial the handset already held, " (adopted)" for one taken over, " (void)" for an issued
// one of an attempt that did not pass (it stays taken, never issued again), else empty.
std::string SerialNote(const TS_ATTEMPT_RECORD& record);

// A text as a record keeps it: valid UTF-8 stays as it is, every byte that is not part of a valid
// sequence (a path from a file system that is not UTF-8) becomes "\xNN". The stores keep only
// such texts: a path never fails a record.
std::string EscapedUtf8(const std::string& text);

// UTC now, "2026-12-09T17:50:01.234Z".
std::string UtcNow();
// This host's name.
std::string HostName();
// The user this process runs as (the operator a record names when none is given).
std::string UserName();
// A date or date and time as the filters take it, made comparable with the stored times; false
// when it is neither.
bool NormaliseTimeText(const std::string& text, std::string& normal);

// This process's owner token: "host/pid/bootid:starttick" (Windows: "host/pid/windows:creationtime").
std::string ProcessOwnerToken();
// Whether the process of a token made on this host is alive; tokens of other hosts: true (not
// known).
bool OwnerAlive(const std::string& token);

std::unique_ptr<IRecordStore> OpenSqliteStore(const std::string& path, TE_STORE_OPEN mode, bool& missing,
                                              std::string& error);
// An archive of records: a SQLite store file (made when it is not there) that takes PutRecords;
// every other writer refuses it, readers read it like a store.
std::unique_ptr<IRecordStore> OpenArchiveWriter(const std::string& path, std::string& error);
std::unique_ptr<IRecordStore> OpenPostgresStore(const std::string& url, TE_STORE_OPEN mode, bool& missing,
                                                std::string& error);
