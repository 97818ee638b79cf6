#include "download/FlashFile.h"

namespace {
constexpr const auto& kTable = kHexDigitValue;

bool EndsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}
} // namespace

TE_FLASH_FILE_KIND GetFileKind(std::string_view path) {
    if (EndsWith(path, ".m0")) {
        return KIND_M0;
    }
    if (EndsWith(path, ".cp64")) {
        return KIND_CP64;
    }
    if (EndsWith(path, ".cp128")) {
        return KIND_CP128;
    }
    return KIND_UNKNOWN;
}

TE_FLASH_NAME_RULE BrokenFlashNameRule(std::string_view path) {
    if (path.size() < 8) {
        return NAME_RULE_LENGTH;
    }
    if (GetFileKind(path) == KIND_UNKNOWN) {
        return NAME_RULE_ENDING;
    }
    const std::size_t slash = path.find_last_of("/\\");
    const char first = path[slash == std::string_view::npos ? 0 : slash + 1];
    return first == 'v' || first == 'V' ? NAME_RULES_HOLD : NAME_RULE_V_FIRST;
}

bool IsValidFlashFile(std::string_view path) {
    return BrokenFlashNameRule(path) == NAME_RULES_HOLD;
}

TS_DECODED_LINE DecodeRecordLine(std::string_view line, std::span<uint8_t> out) {
    TS_DECODED_LINE result;
    if (const std::size_t lf = line.find('\n'); lf != std::string_view::npos) {
        line = line.substr(0, lf);
    }
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    const std::size_t typeChars = line.size() < 2 ? line.size() : 2;
    for (std::size_t i = 0; i < typeChars; ++i) {
        if (result.size >= out.size()) {
            result.truncated = true;
            return result;
        }
        out[result.size++] = static_cast<uint8_t>(line[i]);
    }
    const auto* p = reinterpret_cast<const unsigned char*>(line.data());
    const std::size_t n = line.size();
    for (std::size_t i = typeChars; i < n; i += 2) {
        const uint8_t hi = kTable[p[i]];
        if (hi & 0x80) {
            result.badColumn = i + 1;
            result.badChar = static_cast<char>(p[i]);
            return result;
        }
        if (i + 1 == n) {
            break; // a last digit without its partner is dropped
        }
        const uint8_t lo = kTable[p[i + 1]];
        if (lo & 0x80) {
            result.badColumn = i + 2;
            result.badChar = static_cast<char>(p[i + 1]);
            return result;
        }
        if (result.size >= out.size()) {
            result.truncated = true;
            return result;
        }
        out[result.size++] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return result;
}
