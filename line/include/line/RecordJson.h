// One attempt's record as a JSON object: what `history --json` writes a line of and what the
// service's attempt pages send. One place, so that a field added to the record reaches both.
#pragma once

#include <nlohmann/json.hpp>

#include "line/RecordStore.h"

// withLog: the log column too (one attempt shown); a listing leaves it out.
nlohmann::json RecordJson(const TS_ATTEMPT_RECORD& record, bool withLog);
// A JSON text kept in a column (files, phases), or fallback when it does not parse.
nlohmann::json ParsedOr(const std::string& text, nlohmann::json fallback);
