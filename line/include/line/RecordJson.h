// One attempt's record as a JSON object: what `history --json` writes a line of and what the
// service's attempt pages send; a pool's serials as CSV rows or JSON objects, for `history --pool`
// and the service's pool page. One place, so that a field added to a record reaches both.
#pragma once

#include <nlohmann/json.hpp>

#include "line/RecordStore.h"

// withLog: the log column too (one attempt shown); a listing leaves it out.
nlohmann::json RecordJson(const TS_ATTEMPT_RECORD& record, bool withLog);
// RecordJson(record, withLog) as one line of text (compact, its keys in their order, invalid
// UTF-8 replaced, a line end after it), appended to out: the same bytes as dumping RecordJson,
// without building the object (an export writes a million of them).
void AppendRecordJsonLine(std::string& out, const TS_ATTEMPT_RECORD& record, bool withLog);
// A JSON text kept in a column (files, phases), or fallback when it does not parse.
nlohmann::json ParsedOr(const std::string& text, nlohmann::json fallback);

// One serial of a pool: {"pool","index","serial","state","job","attempt","issued"}.
nlohmann::json PoolSerialJson(const std::string& pool, const TS_POOL_SERIAL& serial);
// A pool's serials as CSV, the header row first (the columns of PoolSerialJson).
std::string PoolSerialsCsv(const std::string& pool, const std::vector<TS_POOL_SERIAL>& serials);
