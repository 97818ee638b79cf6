#include "RecordRows.h"

#include <algorithm>
#include <array>

namespace {

// The columns a record reads back, after its id, in the order of its fields below.
constexpr const char* kColumns =
    "error, late, program, host, pool, job, job_sha256, station, operator, port, "
    "device, started, ended, flash_parts,"
    " runners, files, serial, serial_how, verify, result, reason, phases, log";

std::array<std::string*, kRecordTextColumns> Fields(TS_ATTEMPT_RECORD& r) {
    return {&r.Error,     &r.Late,       &r.Program,  &r.Host,   &r.Pool,   &r.Job,
            &r.JobSha256, &r.Station,    &r.Operator, &r.Port,   &r.Device, &r.Started,
            &r.Ended,     &r.FlashParts, &r.Runners,  &r.Files,  &r.Serial, &r.SerialHow,
            &r.Verify,    &r.Result,     &r.Reason,   &r.Phases, &r.Log};
}

std::string OrEmptyArray(const std::string& text) {
    return text.empty() ? "[]" : text;
}

} // namespace

namespace {
TS_RECORD_SQL Escaped(TS_RECORD_SQL sql) {
    for (std::string& value : sql.Values) {
        value = EscapedUtf8(value);
    }
    return sql;
}
} // namespace

TS_RECORD_SQL BeginAttemptSql(const TS_ATTEMPT_RECORD& r, const std::string& ownerColumn,
                              const std::string& owner) {
    return Escaped(
        {"INSERT INTO attempts(job, job_sha256, station, operator, port, device, started, files, result, " +
             ownerColumn +
             ", serial, serial_how, log, pool, program, host)"
             " VALUES($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11,$12,$13,$14,$15,$16) RETURNING id",
         {r.Job, r.JobSha256, r.Station, r.Operator, r.Port, r.Device,
          r.Started.empty() ? UtcNow() : r.Started, OrEmptyArray(r.Files), RESULT_OPEN, owner, r.Serial,
          r.SerialHow, r.Log, r.Pool, r.Program, r.Host.empty() ? HostName() : r.Host}});
}

TS_RECORD_SQL EndAttemptSql(const TS_ATTEMPT_RECORD& r) {
    return Escaped({"UPDATE attempts SET ended = $1, flash_parts = $2, runners = $3, files = $4, serial = $5,"
                    " serial_how = $6, verify = $7, result = $8, reason = $9, phases = $10, log = $11,"
                    " error = $13 WHERE id = CAST($12 AS BIGINT) AND result = 'open'",
                    {r.Ended.empty() ? UtcNow() : r.Ended, r.FlashParts, r.Runners, OrEmptyArray(r.Files),
                     r.Serial, r.SerialHow, r.Verify, r.Result, r.Reason, r.Phases.empty() ? "{}" : r.Phases,
                     r.Log, std::to_string(r.Id), r.Error}});
}

TS_RECORD_SQL QuerySql(const TS_HISTORY_FILTER& f) {
    // only the filters given are in the statement, each a parameter, so that each is answered by
    // its index (a "$1 = '' OR job = $1" would hide the index from SQLite's planner)
    std::string columns = kColumns;
    if (!f.WithLog) {
        columns.replace(columns.rfind("log"), 3, "'' AS log"); // a page of a list: no log read
    }
    TS_RECORD_SQL sql{"SELECT id, " + columns + " FROM attempts", {}};
    std::string where;
    auto add = [&](const std::string& condition, const std::string& value) {
        sql.Values.push_back(value);
        std::string text = condition;
        for (std::size_t at = text.find("$?"); at != std::string::npos; at = text.find("$?", at)) {
            text.replace(at, 2, "$" + std::to_string(sql.Values.size()));
        }
        where += (where.empty() ? " WHERE " : " AND ") + text;
    };
    if (f.Id > 0) {
        add("id = CAST($? AS BIGINT)", std::to_string(f.Id));
    }
    const std::pair<const char*, const std::string*> equal[] = {
        {"job = $?", &f.Job},        {"serial = $?", &f.Serial},   {"port = $?", &f.Port},
        {"result = $?", &f.Result},  {"station = $?", &f.Station}, {"pool = $?", &f.Pool},
        {"started >= $?", &f.Since}, {"started < $?", &f.Until}};
    // a later page's bound below until makes until needless: one upper bound for the index range
    // (with two, SQLite's planner may take the looser and walk the rows of every page before)
    const bool untilNeedless = !f.BeforeStarted.empty() && !f.Until.empty() && f.BeforeStarted < f.Until;
    for (const auto& [condition, value] : equal) {
        if (!value->empty() && !(value == &f.Until && untilNeedless)) {
            add(condition, *value);
        }
    }
    if (f.Ended) {
        where += where.empty() ? " WHERE result <> 'open'" : " AND result <> 'open'";
    }
    if (!f.BeforeStarted.empty()) {
        // the page after the row (BeforeStarted, BeforeId): the range on started answers by index
        add("started <= $?", f.BeforeStarted);
        sql.Values.push_back(std::to_string(f.BeforeId));
        const std::string id = "$" + std::to_string(sql.Values.size());
        where += " AND (started < $" + std::to_string(sql.Values.size() - 1) + " OR id < CAST(" + id +
                 " AS BIGINT))";
    }
    sql.Text += where + " ORDER BY started DESC, id DESC";
    if (f.Limit > 0 || f.Offset > 0) {
        sql.Values.push_back(std::to_string(f.Limit > 0 ? int64_t{f.Limit} : INT64_MAX));
        sql.Values.push_back(std::to_string(std::max<int64_t>(0, f.Offset)));
        sql.Text += " LIMIT CAST($" + std::to_string(sql.Values.size() - 1) + " AS BIGINT) OFFSET CAST($" +
                    std::to_string(sql.Values.size()) + " AS BIGINT)";
    }
    return sql;
}

TS_ATTEMPT_RECORD RecordOfRow(const std::function<std::string(int)>& column) {
    TS_ATTEMPT_RECORD r;
    r.Id = std::stoll(column(0));
    int k = 1;
    for (std::string* field : Fields(r)) {
        *field = column(k++);
    }
    return r;
}

std::array<std::string*, kRecordTextColumns> RecordTextFields(TS_ATTEMPT_RECORD& record) {
    return Fields(record);
}

namespace {

// A store made before pools counted serials per job: its counter is the pool "job:NAME" without a
// definition. The first draw of a pool by that job carries it over.
std::string LegacyPool(const std::string& job) {
    return "job:" + job;
}

} // namespace

namespace {

// The pool's row, made when it is not there; a job's counter from before pools is carried into
// its pool at the pool's first use.
bool EnsurePool(IRecordSql& db, const TS_SERIAL_POOL& pool) {
    std::vector<std::vector<std::string>> rows;
    int64_t changed = 0;
    if (!db.Run({"INSERT INTO pools(name, definition, next_idx) VALUES($1, $2, 0) ON CONFLICT DO NOTHING",
                 {pool.Name, pool.Definition}},
                nullptr, &changed)) {
        return false;
    }
    if (changed != 1) {
        return true;
    }
    const std::string legacy = LegacyPool(pool.Job);
    if (!db.Run({"SELECT next_idx FROM pools WHERE name = $1 AND definition = ''", {legacy}}, &rows,
                nullptr)) {
        return false;
    }
    return rows.empty() ||
           (db.Run({"UPDATE serials SET pool = $1 WHERE pool = $2", {pool.Name, legacy}}, nullptr, nullptr) &&
            db.Run(
                {"UPDATE pools SET next_idx = CAST($2 AS BIGINT) WHERE name = $1", {pool.Name, rows[0][0]}},
                nullptr, nullptr) &&
            db.Run({"DELETE FROM pools WHERE name = $1", {legacy}}, nullptr, nullptr));
}

// A pool's definition never changes once made: a job that draws it differently is refused.
std::string HoldsOther(const TS_SERIAL_POOL& pool, const std::string& held) {
    return "the serial pool '" + pool.Name + "' holds " + held + "; this job draws " + pool.Definition;
}

} // namespace

bool IssueInPool(IRecordSql& db, const char* lockRow, int64_t attempt, const TS_SERIAL_POOL& pool,
                 const std::function<std::string(int64_t)>& textOf, TS_SERIAL_ISSUE& issue, bool& exhausted,
                 std::string& problem) {
    exhausted = false;
    problem.clear();
    std::vector<std::vector<std::string>> rows;
    int64_t changed = 0;
    if (!EnsurePool(db, pool)) {
        return false;
    }
    // the pool's row is held to the commit: another station waits here, then reads the new value
    if (!db.Run(
            {std::string("SELECT definition, next_idx FROM pools WHERE name = $1 ") + lockRow, {pool.Name}},
            &rows, nullptr) ||
        rows.size() != 1) {
        return false;
    }
    if (rows[0][0] != pool.Definition) {
        problem = HoldsOther(pool, rows[0][0]);
        return false;
    }
    int64_t next = std::stoll(rows[0][1]);
    const std::string now = UtcNow();
    const std::string a = std::to_string(attempt);
    // a text already issued in the pool (the schema's rule) is passed over, never issued again
    for (changed = 0; next < pool.Count; ++next) {
        issue.Index = next;
        issue.Text = textOf(next);
        if (!db.Run(
                {"INSERT INTO serials(pool, idx, text, job, attempt, state, issued) VALUES($1, CAST($2 AS "
                 "BIGINT), $3, $4, CAST($5 AS BIGINT), 'issued', $6) ON CONFLICT DO NOTHING",
                 {pool.Name, std::to_string(next), issue.Text, pool.Job, a, now}},
                nullptr, &changed)) {
            return false;
        }
        if (changed == 1) {
            break;
        }
    }
    if (changed != 1) {
        exhausted = true;
        problem = "all issued";
        return false;
    }
    return db.Run({"UPDATE pools SET next_idx = CAST($2 AS BIGINT) WHERE name = $1",
                   {pool.Name, std::to_string(next + 1)}},
                  nullptr, nullptr) &&
           db.Run(
               {"UPDATE attempts SET serial = $1, serial_how = $2, pool = $3 WHERE id = CAST($4 AS BIGINT)",
                {issue.Text, SERIAL_ISSUED, pool.Name, a}},
               nullptr, nullptr);
}

bool PoolLeftIn(IRecordSql& db, const TS_SERIAL_POOL& pool, int64_t& next, int64_t& left,
                std::string& problem) {
    std::vector<std::vector<std::string>> rows;
    // the pool, else the counter its job kept before pools
    if (!db.Run(
            {"SELECT name, next_idx, definition FROM pools WHERE name = $1 OR (name = $2 AND definition = '')"
             " ORDER BY name = $1 DESC",
             {pool.Name, LegacyPool(pool.Job)}},
            &rows, nullptr)) {
        return false;
    }
    // refused before the first handset, rather than at its serial
    if (!rows.empty() && rows[0][0] == pool.Name && rows[0][2] != pool.Definition) {
        problem = HoldsOther(pool, rows[0][2]);
        return false;
    }
    next = rows.empty() ? 0 : std::stoll(rows[0][1]);
    const std::string name = rows.empty() ? pool.Name : rows[0][0];
    if (!db.Run({"SELECT COUNT(*) FROM serials WHERE pool = $1 AND idx >= CAST($2 AS BIGINT)",
                 {name, std::to_string(next)}},
                &rows, nullptr)) {
        return false;
    }
    left = std::max<int64_t>(0, pool.Count - next - std::stoll(rows[0][0]));
    return true;
}

bool KeepInPool(IRecordSql& db, int64_t attempt, const TS_SERIAL_POOL& pool, int64_t index,
                const std::string& text, bool adopt, bool& known, std::string& how, std::string& problem) {
    problem.clear();
    known = false;
    std::vector<std::vector<std::string>> rows;
    if (!EnsurePool(db, pool) ||
        !db.Run({"SELECT definition FROM pools WHERE name = $1", {pool.Name}}, &rows, nullptr) ||
        rows.size() != 1) {
        return false;
    }
    if (rows[0][0] != pool.Definition) {
        problem = HoldsOther(pool, rows[0][0]);
        return false;
    }
    if (!db.Run({"SELECT state FROM serials WHERE pool = $1 AND text = $2", {pool.Name, text}}, &rows,
                nullptr)) {
        return false;
    }
    known = !rows.empty();
    const std::string a = std::to_string(attempt);
    if (!known) {
        if (!adopt) {
            problem = "the handset holds the serial " + text + ", which this store never issued (pool '" +
                      pool.Name + "')";
            return false;
        }
        int64_t changed = 0;
        if (!db.Run(
                {"INSERT INTO serials(pool, idx, text, job, attempt, state, issued) VALUES($1, CAST($2 AS "
                 "BIGINT), $3, $4, CAST($5 AS BIGINT), 'adopted', $6) ON CONFLICT DO NOTHING",
                 {pool.Name, std::to_string(index), text, pool.Job, a, UtcNow()}},
                nullptr, &changed) ||
            changed != 1) {
            return false;
        }
    }
    how = known ? SERIAL_KEPT : SERIAL_ADOPTED;
    known = true;
    return db.Run(
        {"UPDATE attempts SET serial = $1, serial_how = $2, pool = $3 WHERE id = CAST($4 AS BIGINT)",
         {text, how, pool.Name, a}},
        nullptr, nullptr);
}

std::vector<TS_RECORD_SQL> SerialStateSql(const TS_ATTEMPT_RECORD& r) {
    const std::string id = std::to_string(r.Id);
    std::vector<TS_RECORD_SQL> sql = {
        {"UPDATE serials SET state = $1 WHERE attempt = CAST($2 AS BIGINT) AND state = 'issued'",
         {r.Result == RESULT_PASSED ? "used" : "void", id}}};
    if (r.Result == RESULT_PASSED && (r.SerialHow == SERIAL_KEPT || r.SerialHow == SERIAL_ADOPTED)) {
        sql.push_back(
            {"UPDATE serials SET state = 'used', attempt = CAST($1 AS BIGINT)"
             " WHERE pool = (SELECT pool FROM attempts WHERE id = CAST($1 AS BIGINT)) AND text = $2",
             {id, r.Serial}});
    }
    return sql;
}

bool EndInStore(IRecordSql& db, const TS_ATTEMPT_RECORD& r) {
    int64_t changed = 0;
    if (!db.Run(EndAttemptSql(r), nullptr, &changed)) {
        return false;
    }
    if (changed != 1) {
        const std::string id = std::to_string(r.Id);
        // ended already: an earlier try of this end was committed, and only its answer was lost
        std::vector<std::vector<std::string>> rows;
        if (!db.Run({"SELECT result FROM attempts WHERE id = CAST($1 AS BIGINT)", {id}}, &rows, nullptr)) {
            return false;
        }
        if (rows.size() == 1 && rows[0][0] != RESULT_OPEN && rows[0][0] != RESULT_INTERRUPTED) {
            return true;
        }
        // closed as interrupted meanwhile: the end is kept beside it, and a handset that passed has
        // its serial
        const std::string late = r.Result + (r.Reason.empty() ? "" : ": " + r.Reason);
        return db.Run(Escaped({"UPDATE attempts SET late = $1 WHERE id = CAST($2 AS BIGINT) AND result = "
                               "'interrupted'",
                               {late, id}}),
                      nullptr, &changed) &&
               changed == 1 &&
               (r.Result != RESULT_PASSED ||
                db.Run({"UPDATE serials SET state = 'used' WHERE attempt = CAST($1 AS BIGINT)", {id}},
                       nullptr, nullptr));
    }
    for (const TS_RECORD_SQL& sql : SerialStateSql(r)) {
        if (!db.Run(sql, nullptr, nullptr)) {
            return false;
        }
    }
    return true;
}

bool PoolSerialsIn(IRecordSql& db, const std::string& pool, std::vector<TS_POOL_SERIAL>& serials) {
    std::vector<std::vector<std::string>> rows;
    if (!db.Run({"SELECT idx, text, state, job, attempt, issued FROM serials WHERE pool = $1 ORDER BY idx",
                 {pool}},
                &rows, nullptr)) {
        return false;
    }
    serials.clear();
    for (const std::vector<std::string>& row : rows) {
        serials.push_back({std::stoll(row[0]), row[1], row[2], row[3], std::stoll(row[4]), row[5]});
    }
    return true;
}

bool KeepJobTextIn(IRecordSql& db, const std::string& sha256, const std::string& text) {
    return db.Run(Escaped({"INSERT INTO job_texts(sha256, text) VALUES($1, $2) ON CONFLICT DO NOTHING",
                           {sha256, text}}),
                  nullptr, nullptr);
}

bool JobTextIn(IRecordSql& db, const std::string& sha256, std::string& text) {
    std::vector<std::vector<std::string>> rows;
    if (!db.Run({"SELECT text FROM job_texts WHERE sha256 = $1", {sha256}}, &rows, nullptr)) {
        return false;
    }
    text = rows.empty() ? std::string() : rows[0][0];
    return true;
}

TS_RECORD_SQL PutRecordSql(const TS_ATTEMPT_RECORD& r) {
    TS_RECORD_SQL sql{"INSERT INTO attempts(id, " + std::string(kColumns) + ") VALUES(CAST($1 AS BIGINT)",
                      {}};
    sql.Values.push_back(std::to_string(r.Id));
    TS_ATTEMPT_RECORD copy = r;
    for (std::string* field : Fields(copy)) {
        sql.Values.push_back(*field);
        sql.Text += ",$" + std::to_string(sql.Values.size());
    }
    // a record archived before is written again as the store holds it now
    sql.Text += ") ON CONFLICT(id) DO UPDATE SET ";
    std::string columns = kColumns;
    for (std::size_t at = 0; at < columns.size();) {
        std::size_t comma = columns.find(',', at);
        comma = comma == std::string::npos ? columns.size() : comma;
        std::string name = columns.substr(at, comma - at);
        name.erase(0, name.find_first_not_of(' '));
        sql.Text += (at == 0 ? "" : ", ") + name + " = excluded." + name;
        at = comma + 1;
    }
    return sql;
}

TS_RECORD_SQL RemoveAttemptsSql(const std::string& before, int64_t lastId) {
    return {"DELETE FROM attempts WHERE started < $1 AND id <= CAST($2 AS BIGINT) AND result <> 'open'",
            {before, std::to_string(lastId)}};
}

bool CRecordSqlStore::Transaction(const char* what, const std::function<bool(std::string& problem)>& work,
                                  std::string& error) {
    if (!Begin()) {
        error = Fail("cannot begin a transaction");
        return false;
    }
    std::string problem;
    if (!work(problem)) {
        error = problem.empty() ? Fail(what) : problem;
        Rollback();
        return false;
    }
    if (!Commit()) {
        error = Fail(what);
        Rollback();
        return false;
    }
    return true;
}

bool CRecordSqlStore::BeginAttempt(const TS_ATTEMPT_RECORD& r, int64_t& id, std::string& error) {
    std::lock_guard lock(m_mutex);
    std::vector<std::vector<std::string>> rows;
    if (!Run(BeginAttemptSql(r, OwnerColumn(), Owner()), &rows, nullptr) || rows.size() != 1) {
        error = Fail("cannot record the attempt's start");
        return false;
    }
    id = std::stoll(rows[0][0]);
    return true;
}

bool CRecordSqlStore::IssueSerial(int64_t attempt, const TS_SERIAL_POOL& pool,
                                  const std::function<std::string(int64_t)>& textOf, TS_SERIAL_ISSUE& issue,
                                  bool& exhausted, std::string& error) {
    std::lock_guard lock(m_mutex);
    return Transaction(
        "cannot issue a serial",
        [&](std::string& problem) {
            return IssueInPool(*this, LockRow(), attempt, pool, textOf, issue, exhausted, problem);
        },
        error);
}

bool CRecordSqlStore::KeepSerial(int64_t attempt, const TS_SERIAL_POOL& pool, int64_t index,
                                 const std::string& text, bool adopt, bool& known, std::string& how,
                                 std::string& error) {
    std::lock_guard lock(m_mutex);
    return Transaction(
        "cannot keep the serial",
        [&](std::string& problem) {
            return KeepInPool(*this, attempt, pool, index, text, adopt, known, how, problem);
        },
        error);
}

bool CRecordSqlStore::EndAttempt(const TS_ATTEMPT_RECORD& r, std::string& error) {
    std::lock_guard lock(m_mutex);
    return Transaction(
        "cannot record the attempt's end", [&](std::string&) { return EndInStore(*this, r); }, error);
}

bool CRecordSqlStore::Query(const TS_HISTORY_FILTER& f, std::vector<TS_ATTEMPT_RECORD>& records,
                            std::string& error) {
    std::lock_guard lock(m_mutex);
    std::vector<std::vector<std::string>> rows;
    if (!Run(QuerySql(f), &rows, nullptr)) {
        error = Fail("cannot read the records");
        return false;
    }
    records.clear();
    records.reserve(rows.size());
    for (std::vector<std::string>& row : rows) {
        records.push_back(RecordOfRow([&row](int k) { return std::move(row[static_cast<std::size_t>(k)]); }));
    }
    return true;
}

bool CRecordSqlStore::PoolSerials(const std::string& pool, std::vector<TS_POOL_SERIAL>& serials,
                                  std::string& error) {
    std::lock_guard lock(m_mutex);
    if (!PoolSerialsIn(*this, pool, serials)) {
        error = Fail("cannot read the serials of the pool");
        return false;
    }
    return true;
}

bool CRecordSqlStore::KeepJobText(const std::string& sha256, const std::string& text, std::string& error) {
    std::lock_guard lock(m_mutex);
    if (!KeepJobTextIn(*this, sha256, text)) {
        error = Fail("cannot keep the job's text");
        return false;
    }
    return true;
}

bool CRecordSqlStore::JobText(const std::string& sha256, std::string& text, std::string& error) {
    std::lock_guard lock(m_mutex);
    if (!JobTextIn(*this, sha256, text)) {
        error = Fail("cannot read the job's text");
        return false;
    }
    return true;
}

bool CRecordSqlStore::PoolLeft(const TS_SERIAL_POOL& pool, int64_t& next, int64_t& left, std::string& error) {
    std::lock_guard lock(m_mutex);
    std::string problem;
    if (!PoolLeftIn(*this, pool, next, left, problem)) {
        error = problem.empty() ? Fail("cannot read the serials issued") : problem;
        return false;
    }
    return true;
}

bool CRecordSqlStore::RemoveAttempts(const std::string& before, int64_t lastId, int64_t count,
                                     std::string& error) {
    std::lock_guard lock(m_mutex);
    return Transaction(
        "cannot remove the archived attempts",
        [&](std::string& problem) {
            int64_t changed = 0;
            if (!Run(RemoveAttemptsSql(before, lastId), nullptr, &changed)) {
                return false;
            }
            if (changed != count) {
                problem = "the store changed meanwhile (" + std::to_string(changed) +
                          " attempts to remove, " + std::to_string(count) +
                          " archived): nothing removed; run the archive again";
                return false;
            }
            return true;
        },
        error);
}

bool CRecordSqlStore::PutRecordsIn(const std::vector<TS_ATTEMPT_RECORD>& records, std::string& error) {
    std::lock_guard lock(m_mutex);
    return Transaction(
        "cannot write the archive",
        [&](std::string&) {
            for (const TS_ATTEMPT_RECORD& r : records) {
                if (!Run(PutRecordSql(r), nullptr, nullptr)) {
                    return false;
                }
            }
            return true;
        },
        error);
}
