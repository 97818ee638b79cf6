// The version block: what a version resource was to the reference platform.
//
// A program embeds one at build time with the CMake function vandrel_embed_version() (see
// platform/cmake/VandrelVersion.cmake):
//
//   vandrel_embed_version(vandrel
//       FILE_DESCRIPTION "Vandrel flash download tool"
//       FILE_VERSION "3.0.0.1"
//       PRIVATE_BUILD "nightly"
//       TRANSLATION 0409 04B0)
//
// It generates a source file whose one object is the block: a marker, the format number, the
// length and checksum of the record, then the record as "Name\0Value\0" pairs. ReadVersionBlock()
// finds it again in the module's file on disk; /proc/self/exe is the running program.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

struct TS_VERSION_INFO {
    std::string FileDescription;
    std::string FileVersion;
    std::string PrivateBuild;
    uint16_t Language = 0x0409; // the translation: language identifier ...
    uint16_t CodePage = 0x04B0; // ... and code page
    // Every string of the record, the three above included, in the order they were given.
    std::vector<std::pair<std::string, std::string>> Strings;

    // The value of a string of the record, or "" when it has none.
    std::string Value(std::string_view name) const;
};

// The version record embedded in a module's file, or nothing when the file has none (or cannot be
// read). An empty path, or "/proc/self/exe", reads the running program.
std::optional<TS_VERSION_INFO> ReadVersionBlock(const std::string& modulePath = "/proc/self/exe");

// ---- the block's layout, for the generated source and the reader ----
namespace versionblock {

inline constexpr std::size_t kMarkerSize = 16;
// The marker is kept complemented here so that this header's own users do not carry it as it
// stands: only a real block does.
inline constexpr std::array<unsigned char, kMarkerSize> kMarkerComplement = {
    0x80 ^ 0xFF, 'V' ^ 0xFF, 'N' ^ 0xFF, 'D' ^ 0xFF, 'R' ^ 0xFF, 'L' ^ 0xFF, '-' ^ 0xFF,  'V' ^ 0xFF,
    'E' ^ 0xFF,  'R' ^ 0xFF, 'S' ^ 0xFF, 'I' ^ 0xFF, 'O' ^ 0xFF, 'N' ^ 0xFF, 0x0D ^ 0xFF, 0x0A ^ 0xFF};
inline constexpr unsigned char kFormat = 1;
// marker, format, three zero bytes, payload length (LE 32), FNV-1a of the payload (LE 32)
inline constexpr std::size_t kHeaderSize = kMarkerSize + 4 + 4 + 4;

constexpr uint32_t Fnv1a(const unsigned char* data, std::size_t size) {
    uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 16777619u;
    }
    return hash;
}

template <std::size_t N>
struct Image {
    unsigned char bytes[kHeaderSize + N];
};

// Builds the block for a payload at compile time (used by the generated source).
template <std::size_t N>
constexpr Image<N> Make(const unsigned char (&payload)[N]) {
    Image<N> image{};
    for (std::size_t i = 0; i < kMarkerSize; ++i) {
        image.bytes[i] = static_cast<unsigned char>(kMarkerComplement[i] ^ 0xFF);
    }
    image.bytes[kMarkerSize] = kFormat;
    const uint32_t hash = Fnv1a(payload, N);
    for (std::size_t i = 0; i < 4; ++i) {
        image.bytes[kMarkerSize + 4 + i] = static_cast<unsigned char>((N >> (8 * i)) & 0xFF);
        image.bytes[kMarkerSize + 8 + i] = static_cast<unsigned char>((hash >> (8 * i)) & 0xFF);
    }
    for (std::size_t i = 0; i < N; ++i) {
        image.bytes[kHeaderSize + i] = payload[i];
    }
    return image;
}

// Parses a block that starts at data[0]; used by ReadVersionBlock and the tests.
std::optional<TS_VERSION_INFO> Parse(const unsigned char* data, std::size_t size);

} // namespace versionblock
} // namespace platform
