#include "RecordRows.h"

#include <array>

namespace {

// The columns a record reads back, after its id, in the order of its fields below.
constexpr const char* kColumns =
    "job, job_sha256, station, operator, port, device, started, ended, flash_parts,"
    " runners, files, serial, serial_how, verify, result, reason, phases, log";

std::array<std::string*, 18> Fields(TS_ATTEMPT_RECORD& r) {
    return {&r.Job,       &r.JobSha256, &r.Station,    &r.Operator, &r.Port,   &r.Device,
            &r.Started,   &r.Ended,     &r.FlashParts, &r.Runners,  &r.Files,  &r.Serial,
            &r.SerialHow, &r.Verify,    &r.Result,     &r.Reason,   &r.Phases, &r.Log};
}

std::string OrEmptyArray(const std::string& text) {
    return text.empty() ? "[]" : text;
}

} // namespace

TS_RECORD_SQL BeginAttemptSql(const TS_ATTEMPT_RECORD& r, const std::string& ownerColumn,
                              const std::string& owner) {
    return {
        "INSERT INTO attempts(job, job_sha256, station, operator, port, device, started, files, result, " +
            ownerColumn +
            ", serial, serial_how, log) VALUES($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11,$12,$13) RETURNING id",
        {r.Job, r.JobSha256, r.Station, r.Operator, r.Port, r.Device,
         r.Started.empty() ? UtcNow() : r.Started, OrEmptyArray(r.Files), RESULT_OPEN, owner, r.Serial,
         r.SerialHow, r.Log}};
}

TS_RECORD_SQL EndAttemptSql(const TS_ATTEMPT_RECORD& r) {
    return {"UPDATE attempts SET ended = $1, flash_parts = $2, runners = $3, files = $4, serial = $5,"
            " serial_how = $6, verify = $7, result = $8, reason = $9, phases = $10, log = $11"
            " WHERE id = CAST($12 AS BIGINT)",
            {r.Ended.empty() ? UtcNow() : r.Ended, r.FlashParts, r.Runners, OrEmptyArray(r.Files), r.Serial,
             r.SerialHow, r.Verify, r.Result, r.Reason, r.Phases.empty() ? "{}" : r.Phases, r.Log,
             std::to_string(r.Id)}};
}

TS_RECORD_SQL QuerySql(const TS_HISTORY_FILTER& f) {
    // every filter is a parameter; an empty one matches everything
    return {std::string("SELECT id, ") + kColumns +
                " FROM attempts WHERE (CAST($1 AS BIGINT) = 0 OR id = CAST($1 AS BIGINT))"
                " AND ($2 = '' OR job = $2) AND ($3 = '' OR serial = $3) AND ($4 = '' OR port = $4)"
                " AND ($5 = '' OR result = $5) AND ($6 = '' OR started >= $6) AND ($7 = '' OR started < $7)"
                " ORDER BY started DESC, id DESC LIMIT CAST($8 AS BIGINT)",
            {std::to_string(f.Id), f.Job, f.Serial, f.Port, f.Result, f.Since, f.Until,
             std::to_string(f.Limit > 0 ? int64_t{f.Limit} : INT64_MAX)}};
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
