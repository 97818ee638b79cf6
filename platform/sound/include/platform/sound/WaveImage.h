// RIFF/WAVE images: finding the format and the sample data in the bytes of a ".wav" file.
//
// ParseWaveImage() is a pure function over a byte range: it never reads past the end, never
// allocates and accepts any input, however malformed, with a result code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace platform {

// Format tags the player knows.
inline constexpr std::uint16_t WAVE_FORMAT_PCM = 0x0001;
inline constexpr std::uint16_t WAVE_FORMAT_IEEE_FLOAT = 0x0003;
inline constexpr std::uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// The "fmt " chunk. bitsPerSample is 0 when the chunk holds only the 14-byte basic record;
// for WAVE_FORMAT_EXTENSIBLE, formatTag holds the sub-format's tag.
struct TS_WAVE_FORMAT {
    std::uint16_t formatTag = 0;
    std::uint16_t channels = 0;
    std::uint32_t samplesPerSec = 0;
    std::uint32_t avgBytesPerSec = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
};

// Where the parts of a wave image are. Offsets are byte offsets into the parsed range.
struct TS_WAVE_IMAGE {
    TS_WAVE_FORMAT format;
    std::size_t formatOffset = 0;
    std::size_t dataOffset = 0;
    std::size_t dataSize = 0;
};

enum TE_WAVE_RESULT {
    WAVE_OK = 0,
    WAVE_NOT_RIFF,         // shorter than 12 bytes or not beginning with "RIFF"
    WAVE_NOT_WAVE,         // no "WAVE" at byte 8
    WAVE_NO_FORMAT,        // no "fmt " chunk
    WAVE_FORMAT_TOO_SHORT, // "fmt " chunk shorter than 14 bytes
    WAVE_BAD_FORMAT,       // no channels, no sample rate or no block alignment
    WAVE_NO_DATA,          // no "data" chunk
    WAVE_TRUNCATED,        // the "fmt " or "data" chunk runs past the end of the image
};

// Walks the chunks from byte 12 (4-character id, 4-byte little-endian length, body padded to
// an even length) and takes the first "fmt " and the first "data" chunk. Other chunks are
// skipped; a chunk that runs past the end ends the walk. On WAVE_OK, image describes the parts.
TE_WAVE_RESULT ParseWaveImage(std::span<const std::uint8_t> bytes, TS_WAVE_IMAGE& image);

// A short English description of a result, for logs and test messages.
const char* WaveResultText(TE_WAVE_RESULT result);

// Whether the PCM output can play samples of this format: integer PCM of 8, 16, 24 or 32 bits
// or 32/64-bit float, 1 to 8 channels, with a block alignment that matches.
bool IsPlayableWaveFormat(const TS_WAVE_FORMAT& format);

} // namespace platform
