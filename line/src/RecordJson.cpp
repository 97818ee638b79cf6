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
