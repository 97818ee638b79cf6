#include "CliJson.h"

#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

std::string JsonString(const std::string& text) {
    // nlohmann-json's own escaping: the short escapes, \u00XX for the other control characters,
    // each byte sequence that is not UTF-8 replaced by U+FFFD.
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string JsonTimestamp(int64_t unixMilliseconds) {
    const std::time_t seconds = static_cast<std::time_t>(unixMilliseconds / 1000);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(unixMilliseconds % 1000));
    return text;
}
