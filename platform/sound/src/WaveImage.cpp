#include "platform/sound/WaveImage.h"

#include <cstring>

namespace platform {
namespace {

std::uint16_t Le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool IdIs(const std::uint8_t* p, const char* id) {
    return std::memcmp(p, id, 4) == 0;
}

constexpr std::size_t kBasicFormatSize = 14; // tag, channels, rate, bytes per second, block align
constexpr std::size_t kPcmFormatSize = 16;   // ... and bits per sample
constexpr std::size_t kExtensibleFormatSize = 40;
constexpr std::size_t kSubFormatOffset = 24; // first two bytes of the sub-format GUID: its tag

} // namespace

TE_WAVE_RESULT ParseWaveImage(std::span<const std::uint8_t> bytes, TS_WAVE_IMAGE& image) {
    image = TS_WAVE_IMAGE{};
    const std::uint8_t* base = bytes.data();
    const std::size_t size = bytes.size();
    if (size < 12 || !IdIs(base, "RIFF"))
        return WAVE_NOT_RIFF;
    if (!IdIs(base + 8, "WAVE"))
        return WAVE_NOT_WAVE;

    bool haveFormat = false;
    bool haveData = false;
    std::size_t pos = 12;
    while (size - pos >= 8 && !(haveFormat && haveData)) {
        const std::uint8_t* header = base + pos;
        const std::size_t length = Le32(header + 4);
        const std::size_t body = pos + 8;
        const std::size_t available = size - body;
        const bool isFormat = IdIs(header, "fmt ");
        const bool isData = IdIs(header, "data");
        if (length > available) {
            if ((isFormat && !haveFormat) || (isData && !haveData))
                return WAVE_TRUNCATED;
            break; // a damaged chunk we do not need: nothing after it can be trusted
        }
        if (isFormat && !haveFormat) {
            if (length < kBasicFormatSize)
                return WAVE_FORMAT_TOO_SHORT;
            const std::uint8_t* f = base + body;
            TS_WAVE_FORMAT& fmt = image.format;
            fmt.formatTag = Le16(f);
            fmt.channels = Le16(f + 2);
            fmt.samplesPerSec = Le32(f + 4);
            fmt.avgBytesPerSec = Le32(f + 8);
            fmt.blockAlign = Le16(f + 12);
            fmt.bitsPerSample = length >= kPcmFormatSize ? Le16(f + 14) : 0;
            if (fmt.formatTag == WAVE_FORMAT_EXTENSIBLE && length >= kExtensibleFormatSize)
                fmt.formatTag = Le16(f + kSubFormatOffset);
            if (fmt.channels == 0 || fmt.samplesPerSec == 0 || fmt.blockAlign == 0)
                return WAVE_BAD_FORMAT;
            image.formatOffset = body;
            haveFormat = true;
        } else if (isData && !haveData) {
            image.dataOffset = body;
            image.dataSize = length;
            haveData = true;
        }
        // Bodies are padded to an even length; a missing pad byte at the very end is tolerated.
        const std::size_t padded = length + (length & 1);
        if (padded > available)
            break;
        pos = body + padded;
    }
    if (!haveFormat)
        return WAVE_NO_FORMAT;
    if (!haveData)
        return WAVE_NO_DATA;
    return WAVE_OK;
}

const char* WaveResultText(TE_WAVE_RESULT result) {
    switch (result) {
    case WAVE_OK:
        return "valid wave image";
    case WAVE_NOT_RIFF:
        return "not a RIFF file";
    case WAVE_NOT_WAVE:
        return "RIFF file without the WAVE form type";
    case WAVE_NO_FORMAT:
        return "no \"fmt \" chunk";
    case WAVE_FORMAT_TOO_SHORT:
        return "\"fmt \" chunk shorter than 14 bytes";
    case WAVE_BAD_FORMAT:
        return "format without channels, sample rate or block alignment";
    case WAVE_NO_DATA:
        return "no \"data\" chunk";
    case WAVE_TRUNCATED:
        return "the file ends inside a chunk";
    }
    return "unknown result";
}

bool IsPlayableWaveFormat(const TS_WAVE_FORMAT& format) {
    if (format.channels < 1 || format.channels > 8 || format.samplesPerSec < 1000 ||
        format.samplesPerSec > 384000)
        return false;
    const unsigned bits = format.bitsPerSample;
    bool bitsOk = false;
    if (format.formatTag == WAVE_FORMAT_PCM)
        bitsOk = bits == 8 || bits == 16 || bits == 24 || bits == 32;
    else if (format.formatTag == WAVE_FORMAT_IEEE_FLOAT)
        bitsOk = bits == 32 || bits == 64;
    return bitsOk && format.blockAlign == format.channels * bits / 8;
}

} // namespace platform
