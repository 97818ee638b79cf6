// An .m0 flash image of pseudo-random data for tests and benchmarks: S3 records of 32 data bytes
// from an address, and an S7 end record. About 1.2 % of the bytes need stuffing on the UART, as in
// real code images.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace testsupport {

inline std::string MakeRandomImage(const std::string& path, uint32_t address, uint32_t size,
                                   uint32_t seed = 0x12345678) {
    std::ofstream f(path);
    uint32_t state = seed;
    char hex[3];
    for (uint32_t offset = 0; offset < size; offset += 32) {
        const uint32_t at = address + offset;
        uint8_t body[37] = {37, static_cast<uint8_t>(at >> 24), static_cast<uint8_t>(at >> 16),
                            static_cast<uint8_t>(at >> 8), static_cast<uint8_t>(at)};
        for (int k = 0; k < 32; ++k) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            body[5 + k] = static_cast<uint8_t>(state);
        }
        unsigned sum = 0;
        std::string line = "S3";
        for (uint8_t b : body) {
            sum += b;
            std::snprintf(hex, sizeof hex, "%02X", b);
            line += hex;
        }
        std::snprintf(hex, sizeof hex, "%02X", ~sum & 0xFFu);
        f << line << hex << "\n";
    }
    f << "S70500006000F4\n";
    return path;
}

} // namespace testsupport
