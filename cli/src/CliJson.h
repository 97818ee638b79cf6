// The text helpers of the JSON Lines output (docs/JSON.md), shared by every --json view.
#pragma once

#include <cstdint>
#include <string>

// text as a JSON string, quotes included (nlohmann-json); bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& text);
// "2026-12-09T00:12:35.123Z" for a time in milliseconds since 1970 (UTC).
std::string JsonTimestamp(int64_t unixMilliseconds);
