// The record's row, written once for every store: the columns in one order, the statements that
// write and read them, and a row read back into a record. Parameters are "$1", "$2", ...:
// PostgreSQL numbers them so, SQLite takes them as named parameters (its store binds each by its
// name). Each store gives only what differs: how it runs a statement and how it names its owner.
#pragma once

#include <functional>
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
