// DecodeRecordLine on any line and any output size, against a plain reference decoder: the same
// result fields and bytes, never a write past the output (the buffer is exactly its size, so
// AddressSanitizer sees the first byte beyond it).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "download/FlashFile.h"

namespace {

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

TS_DECODED_LINE Reference(std::string_view line, uint8_t* out, std::size_t capacity) {
    TS_DECODED_LINE r;
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    std::size_t col = 0;
    for (; col < line.size() && col < 2; ++col) {
        if (r.size == capacity) {
            r.truncated = true;
            return r;
        }
        out[r.size++] = static_cast<uint8_t>(line[col]);
    }
    for (; col + 1 <= line.size(); col += 2) {
        const int hi = HexValue(static_cast<unsigned char>(line[col]));
        if (hi < 0) {
            r.badColumn = col + 1;
            r.badChar = line[col];
            return r;
        }
        if (col + 1 == line.size()) {
            break;
        }
        const int lo = HexValue(static_cast<unsigned char>(line[col + 1]));
        if (lo < 0) {
            r.badColumn = col + 2;
            r.badChar = line[col + 1];
            return r;
        }
        if (r.size == capacity) {
            r.truncated = true;
            return r;
        }
        out[r.size++] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // The first two bytes choose the output size (up to the largest decoded line).
    const std::size_t capacity = (std::size_t{data[0]} | std::size_t{data[1]} << 8) % (MAX_DECODED_LINE + 1);
    const std::string_view line(reinterpret_cast<const char*>(data + 2), size - 2);

    std::unique_ptr<uint8_t[]> out(new uint8_t[capacity == 0 ? 1 : capacity]);
    std::unique_ptr<uint8_t[]> expected(new uint8_t[capacity == 0 ? 1 : capacity]);
    const TS_DECODED_LINE got = DecodeRecordLine(line, std::span<uint8_t>(out.get(), capacity));
    const TS_DECODED_LINE want = Reference(line, expected.get(), capacity);
    if (got.size != want.size || got.badColumn != want.badColumn || got.badChar != want.badChar ||
        got.truncated != want.truncated || got.size > capacity ||
        std::memcmp(out.get(), expected.get(), got.size) != 0) {
        std::abort();
    }
    return 0;
}
