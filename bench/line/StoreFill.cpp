// Fills a record store with a line's year: N ended attempts of realistic size (every field as a
// station writes it, a log of about 1 KB), started 31.5 s apart on 16 ports of 4 stations, 3 %
// failed, each passed one with the serial R3700-NNNNNNNN of the pool "line-a".
//
//   store_fill sqlite:/tmp/year.db 1000000
//   store_fill postgresql:///vandrel?host=/tmp/pg 1000000
//
// The store is made through the program (its schema, its migrations); the rows then go in as the
// server takes many at once: one transaction of prepared INSERTs on SQLite, COPY on PostgreSQL.
#include <libpq-fe.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "line/RecordStore.h"

namespace {

constexpr const char* kColumns[] = {"job",        "job_sha256", "station",     "operator", "port",   "device",
                                    "started",    "ended",      "flash_parts", "runners",  "files",  "serial",
                                    "serial_how", "verify",     "result",      "reason",   "phases", "log",
                                    "pool",       "program",    "host"};
constexpr int kColumnCount = static_cast<int>(std::size(kColumns));

std::string Utc(std::time_t t, int ms) {
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return text;
}

// The fields of attempt k, in the order of kColumns.
std::vector<std::string> Attempt(int64_t k) {
    const std::time_t start = 1735689600 + static_cast<std::time_t>(k * 63 / 2); // 2025-01-01, every 31.5 s
    const int port = static_cast<int>(k % 16);
    const int station = port / 4 + 1;
    const bool failed = k % 33 == 7;
    char serial[32];
    std::snprintf(serial, sizeof serial, "R3700-%08lld", static_cast<long long>(k));
    const std::string portName = "usb-1-" + std::to_string(port / 4 + 1) + "." + std::to_string(port % 4 + 1);
    std::string log;
    const char* const lines[] = {
        "connected at 115200 bit/s, boot loader 2.14 answered",
        "flash writer sent (18432 bytes), running: writer 3.02",
        "flash parts: CS#0 29LV160 (2 MiB, id 22C4), CS#1 29LV800 (1 MiB, id 22DA)",
        "erase 0x00000000..0x001FFFFF: 32 blocks, 11.4 s",
        "download main.m0: 1536 KiB at 0x00000000, sha256 9f2c1e77a0b5d3f1",
        "download data.m0: 256 KiB at 0x00180000, sha256 51ab03c9d8e26f40",
        "verify: 1792 KiB read back, equal",
        "serial field at 0x001FFF00 read back: blank; serial written",
        "phases: connect 1.2 s, erase 11.4 s, write 58.3 s, verify 14.9 s",
        "done: handset may be taken off",
    };
    for (const char* line : lines) {
        log += Utc(start, 0) + " " + portName + " " + line + "\r\n";
    }
    return {"R3700 line A",
            "4f1c2b0d9e8a7f6e5d4c3b2a19081716f5e4d3c2b1a0998877665544332211aa",
            "station-0" + std::to_string(station),
            "operator" + std::to_string(station),
            portName,
            "/dev/serial/by-path/pci-0000:00:14.0-" + portName,
            Utc(start, static_cast<int>(k % 1000)),
            Utc(start + 90, 0),
            "CS#0 29LV160 2 MiB, CS#1 29LV800 1 MiB",
            "boot loader 2.14, flash writer 3.02",
            "[{\"role\":\"image\",\"path\":\"/srv/line/"
            "main.m0\",\"sha256\":\"9f2c1e77a0b5d3f1\",\"bytes\":1572864},"
            "{\"role\":\"image\",\"path\":\"/srv/line/"
            "data.m0\",\"sha256\":\"51ab03c9d8e26f40\",\"bytes\":262144}]",
            failed ? "" : serial,
            failed ? "" : SERIAL_ISSUED,
            failed ? "" : "passed",
            failed ? RESULT_FAILED : RESULT_PASSED,
            failed ? "erase failed at block 12: the handset did not answer, \"timeout\"" : "",
            "{\"connect\":1.2,\"erase\":11.4,\"write\":58.3,\"verify\":14.9}",
            log,
            "line-a",
            "vandrel-cli 1.4.0",
            "line-pc-0" + std::to_string(station)};
}

bool FillSqlite(const std::string& path, int64_t count) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        return false;
    }
    std::string sql = "INSERT INTO attempts(";
    for (int c = 0; c < kColumnCount; ++c) {
        sql += std::string(c ? "," : "") + kColumns[c];
    }
    sql += ") VALUES(";
    for (int c = 0; c < kColumnCount; ++c) {
        sql += c ? ",?" : "?";
    }
    sql += ")";
    sqlite3_stmt* st = nullptr;
    bool ok = sqlite3_exec(db, "PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK;
    for (int64_t k = 0; ok && k < count; ++k) {
        const std::vector<std::string> fields = Attempt(k);
        for (int c = 0; c < kColumnCount; ++c) {
            sqlite3_bind_text(st, c + 1, fields[static_cast<std::size_t>(c)].c_str(), -1, SQLITE_TRANSIENT);
        }
        ok = sqlite3_step(st) == SQLITE_DONE && sqlite3_reset(st) == SQLITE_OK;
    }
    sqlite3_finalize(st);
    ok = ok && sqlite3_exec(db, "COMMIT; ANALYZE", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok) {
        std::fprintf(stderr, "store_fill: %s\n", sqlite3_errmsg(db));
    }
    sqlite3_close(db);
    return ok;
}

std::string CopyField(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool FillPostgres(const std::string& url, int64_t count) {
    PGconn* conn = PQconnectdb(url.c_str());
    std::string copy = "COPY attempts(";
    for (int c = 0; c < kColumnCount; ++c) {
        copy += std::string(c ? "," : "") + kColumns[c];
    }
    copy += ") FROM STDIN";
    PGresult* res = PQexec(conn, copy.c_str());
    bool ok = PQresultStatus(res) == PGRES_COPY_IN;
    PQclear(res);
    std::string chunk;
    for (int64_t k = 0; ok && k < count; ++k) {
        const std::vector<std::string> fields = Attempt(k);
        for (int c = 0; c < kColumnCount; ++c) {
            chunk += (c ? "\t" : "") + CopyField(fields[static_cast<std::size_t>(c)]);
        }
        chunk += "\n";
        if (chunk.size() > (1u << 20) || k + 1 == count) {
            ok = PQputCopyData(conn, chunk.data(), static_cast<int>(chunk.size())) == 1;
            chunk.clear();
        }
    }
    ok = PQputCopyEnd(conn, ok ? nullptr : "stopped") == 1 && ok;
    res = PQgetResult(conn);
    ok = ok && PQresultStatus(res) == PGRES_COMMAND_OK;
    PQclear(res);
    res = PQexec(conn, "VACUUM ANALYZE attempts");
    ok = ok && PQresultStatus(res) == PGRES_COMMAND_OK;
    PQclear(res);
    if (!ok) {
        std::fprintf(stderr, "store_fill: %s\n", PQerrorMessage(conn));
    }
    PQfinish(conn);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: store_fill sqlite:FILE|postgresql://... COUNT\n");
        return 2;
    }
    const std::string where = argv[1];
    const int64_t count = std::atoll(argv[2]);
    std::string error;
    if (!OpenRecordStore(where, error, STORE_CREATE)) {
        std::fprintf(stderr, "store_fill: %s\n", error.c_str());
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    const bool sqlite = where.rfind("sqlite:", 0) == 0;
    if (!(sqlite ? FillSqlite(where.substr(7), count) : FillPostgres(where, count))) {
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%lld attempts written to %s in %.1f s\n", static_cast<long long>(count), where.c_str(),
                seconds);
    return 0;
}
