#include "line/RecordStore.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "LineHost.h"
#include "platform/HostIdentity.h"

#include "line/LineBoard.h"

namespace {

bool IsPostgresUrl(const std::string& where) {
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

} // namespace

std::string HostName() {
    return platform::HostName();
}

std::string UserName() {
    return platform::UserName();
}

std::unique_ptr<IRecordStore> OpenRecordStore(const std::string& where, std::string& error,
                                              TE_STORE_OPEN mode, bool* missing) {
    bool notThere = false;
    std::unique_ptr<IRecordStore> store;
    if (IsPostgresUrl(where)) {
        store = OpenPostgresStore(where, mode, notThere, error);
        if (missing) {
            *missing = notThere;
        }
        return store;
    }
    std::string path = where;
    if (path.rfind("sqlite:", 0) == 0) {
        path = path.substr(7);
    }
    if (path.empty()) {
        path = DefaultStorePath();
    }
    store = OpenSqliteStore(path, mode, notThere, error);
    if (missing) {
        *missing = notThere;
    }
    return store;
}

std::unique_ptr<ILineBoard> OpenLineBoard(const std::string& store, std::string& error) {
    error.clear();
    return IsPostgresUrl(store) ? OpenPostgresLineBoard(store, error) : nullptr;
}

bool OwnerAlive(const std::string& token) {
    // host/pid/since: what follows the pid is the system's own (LineHostPosix.cpp, LineHostWin.cpp)
    const std::size_t a = token.find('/');
    const std::size_t b = token.find('/', a == std::string::npos ? a : a + 1);
    if (a == std::string::npos || b == std::string::npos) {
        return true;
    }
    if (token.substr(0, a) != HostName()) {
        return true; // not ours to judge
    }
    const std::string pidText = token.substr(a + 1, b - a - 1);
    const long pid = std::strtol(pidText.c_str(), nullptr, 10);
    if (pid <= 0) {
        return false;
    }
    return ProcessStillRuns(static_cast<unsigned long>(pid), token.substr(b + 1));
}

std::string RedactStoreText(const std::string& where) {
    if (!IsPostgresUrl(where)) {
        return where;
    }
    // scheme://[user[:password]@]host... : the user information goes, and so does a password=
    // parameter
    const std::size_t scheme = where.find("://") + 3;
    std::string text = where;
    const std::size_t slash = text.find('/', scheme);
    const std::size_t at = text.rfind('@', slash == std::string::npos ? std::string::npos : slash);
    if (at != std::string::npos && at >= scheme) {
        text.erase(scheme, at + 1 - scheme);
    }
    for (std::size_t p = text.find("password="); p != std::string::npos; p = text.find("password=", p + 1)) {
        const std::size_t end = text.find('&', p);
        text.replace(p + 9, (end == std::string::npos ? text.size() : end) - p - 9, "***");
    }
    return text;
}

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return text;
}

bool NormaliseTimeText(const std::string& text, std::string& normal) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &mo, &d, &tail) == 3) {
        // a date alone
    } else if (std::sscanf(text.c_str(), "%4d-%2d-%2d%*1[T ]%2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) >= 5) {
        // date and time; seconds optional
    } else {
        return false;
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) {
        return false;
    }
    char out[96];
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d", y, mo, d, h, mi, s);
    normal = out;
    return true;
}

namespace {
// Appends a CSV field: quoted when it holds a comma, a quote or a line end, its quotes doubled.
bool NeedsQuotes(const std::string& text) {
    // the C library's search, many bytes a step (an export asks it 15 times a row); it stops at a
    // NUL too, so it goes on after one
    for (std::size_t at = 0; at < text.size(); ++at) {
        at += std::strcspn(text.c_str() + at, ",\"\r\n");
        if (at < text.size() && text[at] != '\0') {
            return true;
        }
    }
    return false;
}
void AppendCsvField(std::string& out, const std::string& text) {
    if (!NeedsQuotes(text)) {
        out += text;
        return;
    }
    out += '"';
    for (std::size_t at = 0;;) {
        const std::size_t quote = text.find('"', at);
        if (quote == std::string::npos) {
            out.append(text, at, std::string::npos);
            break;
        }
        out.append(text, at, quote + 1 - at);
        out += '"';
        at = quote + 1;
    }
    out += '"';
}
std::string CsvField(const std::string& text) {
    std::string out;
    AppendCsvField(out, text);
    return out;
}
} // namespace

std::string AttemptsCsvHeader(bool withLog) {
    return std::string("attempt,started,ended,job,job_sha256,station,operator,port,device,serial,serial_how,"
                       "flash_parts,verify,result,reason,files") +
           (withLog ? ",log\n" : "\n");
}

void AppendAttemptCsvLine(std::string& out, const TS_ATTEMPT_RECORD& r, bool withLog) {
    const std::string* const fields[] = {&r.Started,    &r.Ended,  &r.Job,    &r.JobSha256, &r.Station,
                                         &r.Operator,   &r.Port,   &r.Device, &r.Serial,    &r.SerialHow,
                                         &r.FlashParts, &r.Verify, &r.Result, &r.Reason,    &r.Files};
    char id[24];
    out.append(id, static_cast<std::size_t>(std::to_chars(id, id + sizeof id, r.Id).ptr - id));
    for (const std::string* field : fields) {
        out += ',';
        AppendCsvField(out, *field);
    }
    if (withLog) {
        out += ',';
        AppendCsvField(out, r.Log);
    }
    out += '\n';
}

std::string AttemptCsvLine(const TS_ATTEMPT_RECORD& r, bool withLog) {
    std::string row;
    row.reserve(512 + (withLog ? r.Log.size() : 0));
    AppendAttemptCsvLine(row, r, withLog);
    return row;
}

std::string AttemptsCsv(const std::vector<TS_ATTEMPT_RECORD>& records, bool withLog) {
    std::string text = AttemptsCsvHeader(withLog);
    for (const TS_ATTEMPT_RECORD& r : records) {
        text += AttemptCsvLine(r, withLog);
    }
    return text;
}

CRecordCursor::CRecordCursor(IRecordStore& store, TS_HISTORY_FILTER filter, int batch)
    : m_store(store), m_filter(std::move(filter)), m_batch(std::max(1, batch)),
      m_left(m_filter.Limit > 0 ? m_filter.Limit : INT64_MAX) {}

bool CRecordCursor::Next(TS_ATTEMPT_RECORD& record) {
    if (m_next == m_records.size()) {
        if (m_last || m_left <= 0 || !m_error.empty()) {
            return false;
        }
        if (!m_records.empty()) {
            // the next batch goes on after the last row: its place in the order, not an offset
            m_filter.Offset = 0;
            m_filter.BeforeStarted = std::move(m_lastStarted);
            m_filter.BeforeId = m_lastId;
        }
        m_filter.Limit = static_cast<int>(std::min<int64_t>(m_left, m_batch));
        if (!m_store.Query(m_filter, m_records, m_error)) {
            m_records.clear();
            m_next = 0;
            return false;
        }
        m_next = 0;
        m_last = m_records.size() < static_cast<std::size_t>(m_filter.Limit);
        m_left -= static_cast<int64_t>(m_records.size());
        if (m_records.empty()) {
            return false;
        }
    }
    if (m_next + 1 == m_records.size()) {
        m_lastStarted = m_records[m_next].Started;
        m_lastId = m_records[m_next].Id;
    }
    record = std::move(m_records[m_next++]);
    return true;
}

bool EachRecord(IRecordStore& store, const TS_HISTORY_FILTER& filter,
                const std::function<bool(const TS_ATTEMPT_RECORD&)>& each, std::string& error, int batch) {
    CRecordCursor cursor(store, filter, batch);
    TS_ATTEMPT_RECORD record;
    while (cursor.Next(record)) {
        if (!each(record)) {
            return true;
        }
    }
    error = cursor.Error();
    return error.empty();
}

bool IRecordStore::StreamRecords(const TS_HISTORY_FILTER& filter,
                                 const std::function<bool(const TS_ATTEMPT_RECORD&)>& each,
                                 std::string& error) {
    return EachRecord(*this, filter, each, error);
}

std::string CsvRow(const std::vector<std::string>& fields) {
    std::string row;
    for (const std::string& field : fields) {
        row += (row.empty() ? "" : ",") + CsvField(field);
    }
    return row + "\n";
}

std::string SerialNote(const TS_ATTEMPT_RECORD& r) {
    if (r.SerialHow == SERIAL_KEPT || r.SerialHow == SERIAL_ADOPTED) {
        return " (" + r.SerialHow + ")";
    }
    return r.Result == RESULT_FAILED || r.Result == RESULT_INTERRUPTED ? " (void)" : "";
}

std::string EscapedUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t k = 0; k < n;) {
        const unsigned char c = p[k];
        // the length of a valid sequence at k (RFC 3629: no overlong forms, no surrogates, <= U+10FFFF)
        std::size_t len = 0;
        if (c < 0x80) {
            len = 1;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
        }
        bool valid = len > 0 && k + len <= n;
        for (std::size_t j = 1; valid && j < len; ++j) {
            valid = (p[k + j] & 0xC0) == 0x80;
        }
        if (valid && len >= 3) {
            const unsigned char d = p[k + 1];
            valid = !(c == 0xE0 && d < 0xA0) && !(c == 0xED && d >= 0xA0) && !(c == 0xF0 && d < 0x90) &&
                    !(c == 0xF4 && d >= 0x90);
        }
        if (valid) {
            out.append(text, k, len);
            k += len;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
            ++k;
        }
    }
    return out;
}
