#include "line/RecordJson.h"

nlohmann::json ParsedOr(const std::string& text, nlohmann::json fallback) {
    nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
    return value.is_discarded() ? fallback : value;
}

nlohmann::json RecordJson(const TS_ATTEMPT_RECORD& r, bool withLog) {
    nlohmann::json j = {{"attempt", r.Id},
                        {"job", r.Job},
                        {"jobSha256", r.JobSha256},
                        {"station", r.Station},
                        {"operator", r.Operator},
                        {"port", r.Port},
                        {"device", r.Device},
                        {"started", r.Started},
                        {"ended", r.Ended},
                        {"flashParts", r.FlashParts},
                        {"runners", r.Runners},
                        {"files", ParsedOr(r.Files, nlohmann::json::array())},
                        {"serial", r.Serial.empty() ? nlohmann::json() : nlohmann::json(r.Serial)},
                        {"serialHow", r.SerialHow},
                        {"serialVoid", r.SerialHow == SERIAL_ISSUED &&
                                           (r.Result == RESULT_FAILED || r.Result == RESULT_INTERRUPTED)},
                        {"verify", r.Verify},
                        {"result", r.Result},
                        {"reason", r.Reason},
                        {"error", r.Error},
                        {"phases", ParsedOr(r.Phases, nlohmann::json::object())},
                        {"pool", r.Pool},
                        {"program", r.Program},
                        {"host", r.Host},
                        {"late", r.Late}};
    if (withLog) {
        j["log"] = r.Log;
    }
    return j;
}

namespace {

// A string as dump writes it: plain text (printable ASCII without a quote or a backslash) as it is,
// anything else through the library's own escaping.
void AppendJsonString(std::string& out, const std::string& text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x80 || c == '"' || c == '\\') {
            out += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            return;
        }
    }
    out += '"';
    out += text;
    out += '"';
}

// A column's JSON text as dump writes it after parsing it (or the fallback's text); the last text
// is remembered, since the rows of one job repeat the same files and often the same phases.
struct TS_DUMPED_COLUMN {
    std::string Text;
    std::string Dumped;
    bool Valid = false;
};
void AppendParsedColumn(std::string& out, TS_DUMPED_COLUMN& last, const std::string& text,
                        const nlohmann::json& fallback) {
    if (!last.Valid || last.Text != text) {
        last.Text = text;
        last.Dumped = ParsedOr(text, fallback).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        last.Valid = true;
    }
    out += last.Dumped;
}

} // namespace

void AppendRecordJsonLine(std::string& out, const TS_ATTEMPT_RECORD& r, bool withLog) {
    thread_local TS_DUMPED_COLUMN files;
    thread_local TS_DUMPED_COLUMN phases;
    const auto text = [&out](const char* key, const std::string& value) {
        out += key;
        AppendJsonString(out, value);
    };
    // the keys in the order of the object's dump (sorted)
    out += "{\"attempt\":";
    out += std::to_string(r.Id);
    text(",\"device\":", r.Device);
    text(",\"ended\":", r.Ended);
    text(",\"error\":", r.Error);
    out += ",\"files\":";
    AppendParsedColumn(out, files, r.Files, nlohmann::json::array());
    text(",\"flashParts\":", r.FlashParts);
    text(",\"host\":", r.Host);
    text(",\"job\":", r.Job);
    text(",\"jobSha256\":", r.JobSha256);
    text(",\"late\":", r.Late);
    if (withLog) {
        text(",\"log\":", r.Log);
    }
    text(",\"operator\":", r.Operator);
    out += ",\"phases\":";
    AppendParsedColumn(out, phases, r.Phases, nlohmann::json::object());
    text(",\"pool\":", r.Pool);
    text(",\"port\":", r.Port);
    text(",\"program\":", r.Program);
    text(",\"reason\":", r.Reason);
    text(",\"result\":", r.Result);
    text(",\"runners\":", r.Runners);
    if (r.Serial.empty()) {
        out += ",\"serial\":null";
    } else {
        text(",\"serial\":", r.Serial);
    }
    text(",\"serialHow\":", r.SerialHow);
    out += r.SerialHow == SERIAL_ISSUED && (r.Result == RESULT_FAILED || r.Result == RESULT_INTERRUPTED)
               ? ",\"serialVoid\":true"
               : ",\"serialVoid\":false";
    text(",\"started\":", r.Started);
    text(",\"station\":", r.Station);
    text(",\"verify\":", r.Verify);
    out += "}\n";
}

nlohmann::json PoolSerialJson(const std::string& pool, const TS_POOL_SERIAL& s) {
    return {{"pool", pool}, {"index", s.Index},     {"serial", s.Text},  {"state", s.State},
            {"job", s.Job}, {"attempt", s.Attempt}, {"issued", s.Issued}};
}

std::string PoolSerialsCsv(const std::string& pool, const std::vector<TS_POOL_SERIAL>& serials) {
    std::string text = "pool,index,serial,state,job,attempt,issued\n";
    for (const TS_POOL_SERIAL& s : serials) {
        text += CsvRow(
            {pool, std::to_string(s.Index), s.Text, s.State, s.Job, std::to_string(s.Attempt), s.Issued});
    }
    return text;
}
