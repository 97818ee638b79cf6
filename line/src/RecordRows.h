// The record's row, written once for every store: the columns in one order, the statements that
// write and read them, and a row read back into a record. Parameters are "$1", "$2", ...:
// PostgreSQL numbers them so, SQLite takes them as named parameters (its store binds each by its
// name). Each store gives only what differs: how it runs a statement and how it names its owner.
#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "line/RecordStore.h"

struct TS_RECORD_SQL {
    std::string Text;
    std::vector<std::string> Values; // $1, $2, ... in order
};

// INSERT of an open record; its id comes back as the one column of the one row (RETURNING id).
// ownerColumn: the store's column of the owner token, owner: its value.
TS_RECORD_SQL BeginAttemptSql(const TS_ATTEMPT_RECORD& record, const std::string& ownerColumn,
                              const std::string& owner);
// UPDATE of the record's end, by record.Id; it changes one row.
TS_RECORD_SQL EndAttemptSql(const TS_ATTEMPT_RECORD& record);
// SELECT of the records a filter names, newest first; read each row with RecordOfRow.
TS_RECORD_SQL QuerySql(const TS_HISTORY_FILTER& filter);
// A row of QuerySql: column(k) gives the text of column k.
TS_ATTEMPT_RECORD RecordOfRow(const std::function<std::string(int)>& column);
// The text fields of a record in the order of the columns of QuerySql after the id (column 1 on),
// for a reader that fills one record again and again in place (no allocation once its strings
// have grown).
constexpr int kRecordTextColumns = 23;
std::array<std::string*, kRecordTextColumns> RecordTextFields(TS_ATTEMPT_RECORD& record);

// A record copied as it is, its id kept (an archive); nothing when the id is there already.
TS_RECORD_SQL PutRecordSql(const TS_ATTEMPT_RECORD& record);
// DELETE of the ended attempts started before $1 with ids up to $2.
TS_RECORD_SQL RemoveAttemptsSql(const std::string& before, int64_t lastId);

// How a store runs one statement: the rows it gives (each column as text) and the rows it changed.
// False when it failed (the store keeps the reason). Begin, Commit and Rollback: one write
// transaction.
class IRecordSql {
public:
    virtual ~IRecordSql() = default;
    virtual bool Run(const TS_RECORD_SQL& sql, std::vector<std::vector<std::string>>* rows,
                     int64_t* changed) = 0;
    virtual bool Begin() = 0;
    virtual bool Commit() = 0;
    virtual void Rollback() = 0;
};

// What a store over SQL does alike on every server: each operation of IRecordStore under the
// store's mutex, a unit of work in one transaction. A store gives how it runs statements
// (IRecordSql), its reasons (Fail), how it holds a pool's row and how it names its owner.
class CRecordSqlStore : public IRecordStore, protected IRecordSql {
public:
    bool BeginAttempt(const TS_ATTEMPT_RECORD& record, int64_t& id, std::string& error) override;
    bool IssueSerial(int64_t attempt, const TS_SERIAL_POOL& pool,
                     const std::function<std::string(int64_t)>& textOf, TS_SERIAL_ISSUE& issue,
                     bool& exhausted, std::string& error) override;
    bool KeepSerial(int64_t attempt, const TS_SERIAL_POOL& pool, int64_t index, const std::string& text,
                    bool adopt, bool& known, std::string& how, std::string& error) override;
    bool EndAttempt(const TS_ATTEMPT_RECORD& record, std::string& error) override;
    bool Query(const TS_HISTORY_FILTER& filter, std::vector<TS_ATTEMPT_RECORD>& records,
               std::string& error) override;
    bool PoolSerials(const std::string& pool, std::vector<TS_POOL_SERIAL>& serials,
                     std::string& error) override;
    bool KeepJobText(const std::string& sha256, const std::string& text, std::string& error) override;
    bool JobText(const std::string& sha256, std::string& text, std::string& error) override;
    bool PoolLeft(const TS_SERIAL_POOL& pool, int64_t& next, int64_t& left, std::string& error) override;
    bool RemoveAttempts(const std::string& before, int64_t lastId, int64_t count,
                        std::string& error) override;

protected:
    // what, and the store's own reason
    virtual std::string Fail(const std::string& what) const = 0;
    // what makes a SELECT hold its row to the end of the transaction (see IssueInPool)
    virtual const char* LockRow() const = 0;
    // the column of the owner token and this process's token
    virtual std::string OwnerColumn() const = 0;
    virtual std::string Owner() const = 0;
    // work inside one transaction, committed when it returns true, rolled back otherwise; the
    // reason is work's problem when it gives one, else what with the store's reason
    bool Transaction(const char* what, const std::function<bool(std::string& problem)>& work,
                     std::string& error);
    // records copied as they are, in one transaction (archives)
    bool PutRecordsIn(const std::vector<TS_ATTEMPT_RECORD>& records, std::string& error);

    std::mutex m_mutex;
};

// The serial pools, written once for every store, inside the transaction the store has begun (and
// commits or rolls back on false). lockRow: what makes the SELECT of the pool's row hold it to the
// end of the transaction ("FOR UPDATE", or empty where the transaction already holds the store).
// problem: the reason of a false, or empty when a statement failed.
bool IssueInPool(IRecordSql& db, const char* lockRow, int64_t attempt, const TS_SERIAL_POOL& pool,
                 const std::function<std::string(int64_t)>& textOf, TS_SERIAL_ISSUE& issue, bool& exhausted,
                 std::string& problem);
// problem: set when the store holds the pool with another definition.
bool PoolLeftIn(IRecordSql& db, const TS_SERIAL_POOL& pool, int64_t& next, int64_t& left,
                std::string& problem);
bool PoolSerialsIn(IRecordSql& db, const std::string& pool, std::vector<TS_POOL_SERIAL>& serials);
// IRecordStore::KeepSerial inside the store's transaction; problem as for IssueInPool.
bool KeepInPool(IRecordSql& db, int64_t attempt, const TS_SERIAL_POOL& pool, int64_t index,
                const std::string& text, bool adopt, bool& known, std::string& how, std::string& problem);
// What an attempt's end does to its serials, after EndAttemptSql: an issued one becomes used or
// void; a kept or adopted one that passed becomes used (and names this attempt).
std::vector<TS_RECORD_SQL> SerialStateSql(const TS_ATTEMPT_RECORD& record);
bool KeepJobTextIn(IRecordSql& db, const std::string& sha256, const std::string& text);
bool JobTextIn(IRecordSql& db, const std::string& sha256, std::string& text);
// The end of an attempt inside the store's transaction: its row (exactly one) and its serials.
bool EndInStore(IRecordSql& db, const TS_ATTEMPT_RECORD& record);
