// Reads the records of a flash file for sending: one line at a time, each "S3" data record checked
// and decoded, without any allocation per line.
//
//   CRecordReader reader;                    // the .cp64 layout: a two-byte count
//   if (!reader.Open(path)) -> reader.ErrorText()
//   while (reader.Next() == CRecordReader::RECORD_READ) {
//       const TS_SRECORD& r = reader.Record();  // r.IsData(): r.count, r.address, r.bytes
//       progress = reader.Position() of reader.FileSize()
//   }
//   RECORD_END: the whole file was read; RECORD_ERROR: reader.ErrorText() names the file, the line
//   and the problem, and nothing of that line may be sent.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "download/FlashFile.h"
#include "download/LineReader.h"

struct TS_SRECORD {
    char type[2] = {0, 0}; // the record type characters: 'S', '3'
    // "S3" records only:
    uint32_t count = 0;             // the count field: bytes after it (address, data, checksum)
    uint32_t address = 0;           // the 32-bit big-endian address after the count field
    std::span<const uint8_t> bytes; // the count bytes after the count field, from the address on
    std::span<const uint8_t> data;  // the data bytes alone (count - 5 of them)

    bool IsData() const { return type[0] == 'S' && type[1] == '3'; }
    bool IsEnd() const { return type[0] == 'S' && type[1] == '7'; }
};

// Checks an "S3" line and finds its fields. countDigits is 2 for .m0 records (one-byte count) and
// 4 for .cp64 records (two-byte count). On failure returns false and the problem, without file
// name or line number, in problem.
struct TS_S3_FIELDS {
    uint32_t count = 0;
    uint32_t address = 0;
    std::size_t dataOffset = 0; // column (0-based) of the first data digit
    std::size_t dataLength = 0; // data bytes: count - 5
};
bool CheckS3Line(std::string_view line, int countDigits, TS_S3_FIELDS& fields, std::string& problem);

// The error text for a problem found in a flash file: "<path>: line <n>: <problem>".
std::string FlashFileErrorText(const std::string& path, std::size_t lineNumber, const std::string& problem);

class CRecordReader {
public:
    enum TE_COUNT_FIELD { COUNT_ONE_BYTE = 2, COUNT_TWO_BYTES = 4 }; // hex digits of the count
    explicit CRecordReader(TE_COUNT_FIELD countField = COUNT_TWO_BYTES, std::size_t readChunk = 1u << 20);

    bool Open(const std::string& path);
    void Close() { m_lines.Close(); }

    enum TE_NEXT_RESULT { RECORD_READ, RECORD_END, RECORD_ERROR };
    TE_NEXT_RESULT Next();

    const TS_SRECORD& Record() const { return m_record; }
    std::string_view Line() const { return m_lines.Line(); }
    std::size_t LineNumber() const { return m_lines.LineNumber(); }
    int64_t Position() const { return m_lines.Position(); }
    int64_t FileSize() const { return m_lines.FileSize(); }
    const std::string& ErrorText() const { return m_error; }
    const std::string& Path() const { return m_path; }

private:
    TE_COUNT_FIELD m_countField;
    CLineReader m_lines;
    std::string m_path;
    std::string m_error;
    TS_SRECORD m_record;
    std::array<uint8_t, MAX_DECODED_LINE> m_bytes{};
};
