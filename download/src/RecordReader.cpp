#include "download/RecordReader.h"

#include <cstdio>
#include <cstring>

namespace {
std::string DescribeChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    char buf[16];
    if (u >= 0x20 && u < 0x7F) {
        std::snprintf(buf, sizeof buf, "'%c'", c);
    } else {
        std::snprintf(buf, sizeof buf, "byte 0x%02X", u);
    }
    return buf;
}
} // namespace

std::string FlashFileErrorText(const std::string& path, std::size_t lineNumber, const std::string& problem) {
    return path + ": line " + std::to_string(lineNumber) + ": " + problem;
}

bool CheckS3Line(std::string_view line, int countDigits, TS_S3_FIELDS& fields, std::string& problem) {
    const auto* p = reinterpret_cast<const unsigned char*>(line.data());
    for (std::size_t i = 2; i < line.size(); ++i) {
        if (kHexDigitValue[p[i]] & 0x80) {
            problem =
                DescribeChar(line[i]) + " in column " + std::to_string(i + 1) + " is not a hexadecimal digit";
            return false;
        }
    }
    const std::size_t digits = static_cast<std::size_t>(countDigits);
    if (line.size() < 2 + digits) {
        problem = "the S3 record has no count";
        return false;
    }
    uint32_t count = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        count = count << 4 | kHexDigitValue[p[2 + i]];
    }
    if (count < 5) {
        problem = "the S3 record's count " + std::to_string(count) + " is below 5";
        return false;
    }
    const std::size_t held = (line.size() - 2 - digits) / 2;
    if (count > held) {
        problem = "the S3 record's count " + std::to_string(count) +
                  " promises more bytes than the line holds (" + std::to_string(held) + ")";
        return false;
    }
    uint32_t address = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        address = address << 4 | kHexDigitValue[p[2 + digits + i]];
    }
    fields.count = count;
    fields.address = address;
    fields.dataOffset = 2 + digits + 8;
    fields.dataLength = count - 5;
    return true;
}

CRecordReader::CRecordReader(TE_COUNT_FIELD countField, std::size_t readChunk)
    : m_countField(countField), m_lines(readChunk) {}

bool CRecordReader::Open(const std::string& path) {
    m_path = path;
    m_error.clear();
    m_record = TS_SRECORD{};
    if (!m_lines.Open(path)) {
        m_error = path + ": " + std::strerror(m_lines.Errno());
        return false;
    }
    return true;
}

CRecordReader::TE_NEXT_RESULT CRecordReader::Next() {
    m_record = TS_SRECORD{};
    switch (m_lines.Next()) {
    case CLineReader::LINE_READ:
        break;
    case CLineReader::LINE_END:
        return RECORD_END;
    case CLineReader::LINE_TOO_LONG:
        m_error =
            FlashFileErrorText(m_path, m_lines.LineNumber(),
                               "the line is longer than " + std::to_string(MAX_RECORD_LINE) + " characters");
        return RECORD_ERROR;
    case CLineReader::LINE_READ_ERROR:
        m_error = FlashFileErrorText(m_path, m_lines.LineNumber() + 1,
                                     std::string("read error: ") + std::strerror(m_lines.Errno()));
        return RECORD_ERROR;
    }
    const std::string_view line = m_lines.Line();
    m_record.type[0] = line.size() > 0 ? line[0] : 0;
    m_record.type[1] = line.size() > 1 ? line[1] : 0;
    if (!m_record.IsData()) {
        return RECORD_READ; // other records carry nothing to the target
    }
    TS_S3_FIELDS fields;
    std::string problem;
    if (!CheckS3Line(line, m_countField, fields, problem)) {
        m_error = FlashFileErrorText(m_path, m_lines.LineNumber(), problem);
        return RECORD_ERROR;
    }
    const TS_DECODED_LINE decoded = DecodeRecordLine(line, m_bytes);
    const std::size_t countBytes = static_cast<std::size_t>(m_countField) / 2;
    // CheckS3Line made sure that the line holds all the counted bytes.
    m_record.count = fields.count;
    m_record.address = fields.address;
    m_record.bytes = std::span<const uint8_t>(m_bytes.data() + 2 + countBytes, fields.count);
    m_record.data = m_record.bytes.subspan(4, fields.dataLength);
    (void)decoded;
    return RECORD_READ;
}
