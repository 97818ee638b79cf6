// Flash image files: which paths are flash files, their kinds, and how one S-record line becomes
// bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

enum TE_FLASH_FILE_KIND : int32_t {
    KIND_UNKNOWN = 0,
    KIND_M0 = 1,    // ".m0": Motorola S-records as the build tools write them
    KIND_CP64 = 8,  // ".cp64": the compressed form this program writes and sends
    KIND_CP128 = 9, // ".cp128": recognised by name, never written nor sent
};

// The kind by the end of the path, compared case-sensitively: ".m0", then ".cp64", then ".cp128".
TE_FLASH_FILE_KIND GetFileKind(std::string_view path);

// Whether a path may go into the download list. The file itself is not opened: the path must be
// at least 8 characters long, end with ".m0", ".cp64" or ".cp128" (case-sensitive), and the file
// name must begin with "v" or "V". The file name is what follows the last "/" or "\" (paths
// written on Windows keep working).
bool IsValidFlashFile(std::string_view path);

// The rules of IsValidFlashFile, in the order they are tested.
enum TE_FLASH_NAME_RULE : int32_t {
    NAME_RULES_HOLD = 0,   // the path passes every rule
    NAME_RULE_LENGTH = 1,  // the path is shorter than 8 characters
    NAME_RULE_ENDING = 2,  // it does not end with ".m0", ".cp64" or ".cp128"
    NAME_RULE_V_FIRST = 3, // the file name does not begin with "v" or "V"
};
// The first rule of IsValidFlashFile that refuses the path, or NAME_RULES_HOLD.
TE_FLASH_NAME_RULE BrokenFlashNameRule(std::string_view path);

// Longest line of a flash file, its line feed included (the reader's buffer is one byte more).
inline constexpr std::size_t MAX_RECORD_LINE = 131069;
inline constexpr std::size_t RECORD_LINE_BUFFER = MAX_RECORD_LINE + 1;
// Room for the decoded bytes of the longest line.
inline constexpr std::size_t MAX_DECODED_LINE = RECORD_LINE_BUFFER / 2 + 2;

struct TS_DECODED_LINE {
    std::size_t size = 0;      // bytes written: the two record-type characters, then the decoded bytes
    std::size_t badColumn = 0; // 1-based column of the first character that is no hexadecimal digit; 0: none
    char badChar = 0;          // that character
    bool truncated = false;    // the output buffer was too small for the line
};

// Decodes one record line. The line ends at its line feed or at the end of the text; a carriage
// return right before that end belongs to the line end (files written on Windows). Output: the
// first two characters unchanged (the record type, "S3"), then one byte for every two hexadecimal
// digits (upper or lower case), the first giving the high four bits; a last single digit is
// dropped. Decoding stops at the first character that is not a hexadecimal digit, which is
// reported, and never writes past out.
TS_DECODED_LINE DecodeRecordLine(std::string_view line, std::span<uint8_t> out);

namespace flashfile_detail {
constexpr std::array<uint8_t, 256> MakeHexTable() {
    std::array<uint8_t, 256> table{};
    for (auto& v : table) {
        v = 0x80;
    }
    for (int c = '0'; c <= '9'; ++c) {
        table[static_cast<std::size_t>(c)] = static_cast<uint8_t>(c - '0');
    }
    for (int c = 'A'; c <= 'F'; ++c) {
        table[static_cast<std::size_t>(c)] = static_cast<uint8_t>(c - 'A' + 10);
        table[static_cast<std::size_t>(c - 'A' + 'a')] = static_cast<uint8_t>(c - 'A' + 10);
    }
    return table;
}
} // namespace flashfile_detail

// The value of a hexadecimal digit (upper or lower case); 0x80 for any other character.
inline constexpr std::array<uint8_t, 256> kHexDigitValue = flashfile_detail::MakeHexTable();
