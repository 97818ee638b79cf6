// Builds S-record lines for tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// "S3" record with a one-byte count and a correct checksum; upper case digits.
inline std::string S3Line(uint32_t address, const std::vector<uint8_t>& data) {
    const unsigned count = static_cast<unsigned>(data.size()) + 5;
    unsigned sum =
        count + (address >> 24) + (address >> 16 & 0xFF) + (address >> 8 & 0xFF) + (address & 0xFF);
    char buf[32];
    std::snprintf(buf, sizeof buf, "S3%02X%08X", count, static_cast<unsigned>(address));
    std::string line = buf;
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X\n", ~sum & 0xFF);
    return line + buf;
}

inline std::vector<uint8_t> Pattern(std::size_t n, unsigned seed) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        v[i] = static_cast<uint8_t>(seed >> 16);
    }
    return v;
}
