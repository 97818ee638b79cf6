// vandrel-cli history: the records of the store, newest first, filtered; a table, --csv or --json
// (one object a line) for export; --show ID: one attempt with its log. Lists and exports read the
// records with a cursor and write each as it comes: memory stays that of one batch however large
// the store; the log column is read only where it is printed (--show, --with-logs).
#include <nlohmann/json.hpp>

#include "CliExitStatus.h"
#include "CliJson.h"
#include "CliLine.h"
#include "CliOptions.h"
#include "line/RecordJson.h"
#include "line/RecordStore.h"

namespace {

std::string Pad(std::string text, std::size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

// history --pool NAME: every serial of the pool with its state, CSV (--csv, or a table) or JSON Lines.
int PoolExport(const TS_CLI_OPTIONS& o, IRecordStore& store, std::FILE* out, std::FILE* err) {
    std::vector<TS_POOL_SERIAL> serials;
    std::string error;
    if (!store.PoolSerials(o.Line.Pool, serials, error)) {
        std::fprintf(err, "vandrel-cli: %s\n", error.c_str());
        return EXIT_TARGET;
    }
    std::string text;
    if (o.Json) {
        for (const TS_POOL_SERIAL& s : serials) {
            text += PoolSerialJson(o.Line.Pool, s)
                        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                    "\n";
        }
    } else {
        text = PoolSerialsCsv(o.Line.Pool, serials);
    }
    std::fputs(text.c_str(), out);
    return EXIT_OK;
}

// The records a filter finds, written as they are read (one statement streamed where the store
// can, the lines gathered into blocks of 64 KiB for the output): JSON Lines, CSV or a table (its
// widths from the first 1000 rows).
int HistoryList(const TS_CLI_OPTIONS& o, IRecordStore& store, const TS_HISTORY_FILTER& filter, std::FILE* out,
                std::FILE* err) {
    constexpr std::size_t kWidthRows = 1000;
    constexpr std::size_t kBlock = 64 * 1024;
    std::string block;
    block.reserve(kBlock + 4096);
    bool written = true;
    auto flush = [&] {
        written =
            written && (block.empty() || std::fwrite(block.data(), 1, block.size(), out) == block.size());
        block.clear();
        return written;
    };
    int64_t count = 0;
    std::vector<TS_ATTEMPT_RECORD> first; // the table's first rows, before its widths are known
    std::size_t jobWidth = 3;
    std::size_t portWidth = 4;
    std::size_t serialWidth = 6;
    auto tableRow = [&](const TS_ATTEMPT_RECORD& x) {
        block += Pad(std::to_string(x.Id), 6) + "  " + Pad(x.Started, 24) + "  " + Pad(x.Job, jobWidth) +
                 "  " + Pad(x.Port, portWidth) + "  " +
                 Pad(x.Serial.empty() ? "-" : x.Serial + SerialNote(x), serialWidth) + "  " +
                 Pad(x.Result, 11) + "  " + x.Reason + "\n";
        ++count;
    };
    auto tableHead = [&] {
        for (const TS_ATTEMPT_RECORD& f : first) {
            jobWidth = std::max(jobWidth, f.Job.size());
            portWidth = std::max(portWidth, f.Port.size());
            serialWidth = std::max(serialWidth, f.Serial.size() + 7);
        }
        block += Pad("ID", 6) + "  " + Pad("STARTED", 24) + "  " + Pad("JOB", jobWidth) + "  " +
                 Pad("PORT", portWidth) + "  " + Pad("SERIAL", serialWidth) + "  " + Pad("RESULT", 11) +
                 "  REASON\n";
        for (const TS_ATTEMPT_RECORD& f : first) {
            tableRow(f);
        }
        first.clear();
        first.shrink_to_fit();
    };
    bool headed = false;
    if (o.Json) {
        headed = true;
    } else if (o.Line.Csv) {
        block += AttemptsCsvHeader(filter.WithLog);
        headed = true;
    }
    std::string error;
    const bool read = store.StreamRecords(
        filter,
        [&](const TS_ATTEMPT_RECORD& r) {
            if (o.Json) {
                AppendRecordJsonLine(block, r, filter.WithLog);
            } else if (o.Line.Csv) {
                AppendAttemptCsvLine(block, r, filter.WithLog);
            } else if (!headed) {
                first.push_back(r);
                if (first.size() == kWidthRows) {
                    tableHead();
                    headed = true;
                }
            } else {
                tableRow(r);
            }
            return block.size() < kBlock || flush();
        },
        error);
    if (read && !headed) {
        tableHead();
    }
    if (read && written && !o.Json && !o.Line.Csv) {
        block +=
            std::to_string(count) + " record" + (count == 1 ? "" : "s") + " in " + store.Describe() + "\n";
    }
    flush();
    if (!read) {
        std::fprintf(err, "vandrel-cli: %s\n", error.c_str());
        return EXIT_TARGET;
    }
    if (!written || std::fflush(out) != 0) {
        return EXIT_TARGET; // the reader went away (a closed pipe)
    }
    return EXIT_OK;
}

} // namespace

int RunHistory(const TS_CLI_OPTIONS& o, std::FILE* out, std::FILE* err) {
    const TS_CLI_LINE_OPTIONS& line = o.Line;
    std::string error;
    // a reader: the store is opened read-only, never made
    std::unique_ptr<IRecordStore> store = OpenRecordStore(line.Store, error, STORE_READ);
    if (!store) {
        std::fprintf(err, "vandrel-cli: %s\n", error.c_str());
        return EXIT_TARGET;
    }
    if (!line.Pool.empty()) {
        return PoolExport(o, *store, out, err);
    }
    TS_HISTORY_FILTER filter;
    filter.Job = line.JobName;
    filter.Serial = line.Serial;
    filter.Port = line.Port;
    filter.Result = line.Result;
    filter.Station = line.Station;
    filter.Since = line.Since;
    filter.Until = line.Until;
    filter.Id = line.ShowId;
    filter.Limit = line.Limit;
    // only one attempt shown, or an export asked for them, prints logs
    filter.WithLog = line.ShowId > 0 || (line.WithLogs && (o.Json || line.Csv));
    if (line.ShowId > 0) {
        std::vector<TS_ATTEMPT_RECORD> records;
        if (!store->Query(filter, records, error)) {
            std::fprintf(err, "vandrel-cli: %s\n", error.c_str());
            return EXIT_TARGET;
        }
        if (records.empty()) {
            std::fprintf(err, "vandrel-cli: no attempt %lld in %s\n", static_cast<long long>(line.ShowId),
                         store->Describe().c_str());
            return EXIT_USAGE;
        }
        const TS_ATTEMPT_RECORD& r = records[0];
        if (o.Json) {
            std::fprintf(
                out, "%s\n",
                RecordJson(r, true).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
            return EXIT_OK;
        }
        const nlohmann::json files = ParsedOr(r.Files, nlohmann::json::array());
        std::string text =
            "attempt " + std::to_string(r.Id) + ": " + r.Result + (r.Reason.empty() ? "" : ": " + r.Reason) +
            "\njob: " + r.Job + " (job file sha256 " + r.JobSha256 + ")\nstation: " + r.Station +
            "  operator: " + r.Operator + "\nport: " + r.Port + " (" + r.Device + ")\nstarted: " + r.Started +
            "  ended: " + r.Ended + "\nprograms: " + r.Runners + "\nflash parts: " + r.FlashParts +
            "\nserial: " + (r.Serial.empty() ? "-" : r.Serial + " (" + r.SerialHow + ")" + SerialNote(r)) +
            "\nverify: " + (r.Verify.empty() ? "-" : r.Verify) + "\nprogram: " + r.Program +
            "  host: " + r.Host +
            (r.Late.empty() ? "" : "\nlate result: " + r.Late + " (it came after the attempt was closed)") +
            "\nfiles:\n";
        for (const nlohmann::json& f : files) {
            text += "  " + f.value("role", std::string()) + " " + f.value("path", std::string()) +
                    " sha256 " + f.value("sha256", std::string()) + ", " +
                    std::to_string(f.value("bytes", 0ull)) + " bytes written\n";
        }
        text += "phases: " + r.Phases + "\n";
        if (std::string job; store->JobText(r.JobSha256, job, error) && !job.empty()) {
            text +=
                "---- job file (sha256 " + r.JobSha256 + ") ----\n" + job + (job.back() == '\n' ? "" : "\n");
        }
        text += "---- log ----\n";
        std::string log = r.Log;
        for (std::size_t k = log.find("\r\n"); k != std::string::npos; k = log.find("\r\n", k)) {
            log.erase(k, 1);
        }
        text += log + (log.empty() || log.back() == '\n' ? "" : "\n");
        std::fputs(text.c_str(), out);
        return EXIT_OK;
    }
    return HistoryList(o, *store, filter, out, err);
}
