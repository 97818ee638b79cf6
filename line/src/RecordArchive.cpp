#include "line/RecordArchive.h"

#include <set>
#include <vector>

namespace {

constexpr int kBatch = 1000;

TS_HISTORY_FILTER ArchivedBefore(const std::string& before) {
    TS_HISTORY_FILTER filter;
    filter.Until = before;
    filter.Ended = true;
    return filter;
}

// Later in the records' order (newest first): started, then id, both descending.
bool Later(const TS_ATTEMPT_RECORD& a, const TS_ATTEMPT_RECORD& b) {
    return a.Started != b.Started ? a.Started > b.Started : a.Id > b.Id;
}

} // namespace

bool ArchiveRecords(IRecordStore& store, const std::string& before, const std::string& archivePath,
                    TS_ARCHIVE_RESULT& result, std::string& error,
                    const std::function<void(const char* step)>& step) {
    result = {};
    auto tell = [&step](const char* what) {
        if (step) {
            step(what);
        }
    };
    const TS_HISTORY_FILTER filter = ArchivedBefore(before);
    std::set<std::string> jobs;
    {
        std::unique_ptr<IRecordStore> archive = OpenArchiveWriter(archivePath, error);
        if (!archive) {
            return false;
        }
        tell("copy");
        CRecordCursor cursor(store, filter, kBatch);
        std::vector<TS_ATTEMPT_RECORD> batch;
        TS_ATTEMPT_RECORD record;
        for (bool more = true; more;) {
            more = cursor.Next(record);
            if (more) {
                jobs.insert(record.JobSha256);
                batch.push_back(std::move(record));
            }
            if (batch.size() == kBatch || (!more && !batch.empty())) {
                if (!archive->PutRecords(batch, error)) {
                    return false;
                }
                batch.clear();
                tell("copied");
            }
        }
        if (!cursor.Error().empty()) {
            error = cursor.Error();
            return false;
        }
        for (const std::string& sha256 : jobs) {
            std::string text;
            if (!store.JobText(sha256, text, error) ||
                (!text.empty() && !archive->KeepJobText(sha256, text, error))) {
                return false;
            }
            result.JobTexts += text.empty() ? 0 : 1;
        }
    }
    // the archive as a reader finds it, compared with the store: every record there, every field
    // the same (the archive may hold older records of an earlier archive besides)
    tell("verify");
    std::unique_ptr<IRecordStore> archive = OpenRecordStore("sqlite:" + archivePath, error, STORE_READ);
    if (!archive) {
        return false;
    }
    CRecordCursor ours(store, filter, kBatch);
    CRecordCursor theirs(*archive, filter, kBatch);
    TS_ATTEMPT_RECORD mine;
    TS_ATTEMPT_RECORD copy;
    bool have = theirs.Next(copy);
    int64_t count = 0;
    int64_t lastId = 0;
    while (ours.Next(mine)) {
        while (have && Later(copy, mine)) {
            have = theirs.Next(copy);
        }
        if (!have || !(copy == mine)) {
            error = theirs.Error().empty()
                        ? "the archive " + archivePath + " does not hold attempt " + std::to_string(mine.Id) +
                              " as the store does: nothing removed from the store"
                        : theirs.Error();
            return false;
        }
        ++count;
        lastId = std::max(lastId, mine.Id);
        have = theirs.Next(copy);
    }
    if (!ours.Error().empty() || !theirs.Error().empty()) {
        error = ours.Error().empty() ? theirs.Error() : ours.Error();
        return false;
    }
    for (const std::string& sha256 : jobs) {
        std::string kept;
        std::string copied;
        if (!store.JobText(sha256, kept, error) || !archive->JobText(sha256, copied, error)) {
            return false;
        }
        if (kept != copied) {
            error = "the archive " + archivePath + " does not hold the job text " + sha256 +
                    " as the store does: nothing removed from the store";
            return false;
        }
    }
    tell("remove");
    if (count > 0 && !store.RemoveAttempts(before, lastId, count, error)) {
        return false;
    }
    result.Moved = count;
    return true;
}
