// Retention: the attempts older than a date move out of a store into an archive file, a SQLite
// store of its own that `history --store FILE` reads like any store.
//
//   TS_ARCHIVE_RESULT result;
//   ArchiveRecords(*store, "2026-01-01T00:00:00", "/srv/archive-2025.db", result, error);
//
// What moves: every attempt that ended (none still open) started before the date, with every
// field and its log, and the job files' texts they name (copied; the store keeps its own, a
// station may be about to name them). What never moves: serials and pools: an archived attempt's
// serial stays taken in its pool, so archiving never frees a serial for reuse.
//
// In order: the records are copied in batches (each batch one transaction of the archive), the
// archive is read back and compared field by field with the store, then the store removes them in
// one transaction, only when it still holds exactly the records compared. Stopped at any point,
// the store holds all it held or none of the moved records, and the archive holds whole records;
// the same command again completes the move (records already in the archive are kept as they are
// and compared again).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "line/RecordStore.h"

struct TS_ARCHIVE_RESULT {
    int64_t Moved = 0;    // attempts copied, verified and removed from the store
    int64_t JobTexts = 0; // job texts copied
};

// before: a time as NormaliseTimeText gives it. step, when given, is told each stage as it
// begins ("copy", "verify", "remove") and after each batch copied ("copied").
bool ArchiveRecords(IRecordStore& store, const std::string& before, const std::string& archivePath,
                    TS_ARCHIVE_RESULT& result, std::string& error,
                    const std::function<void(const char* step)>& step = {});
