// ParseWaveImage on any bytes: never reads outside them, and what it reports lies inside them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/sound/WaveImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact copy, so that a read past the end is a read past a heap block.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
    if (size != 0) {
        std::memcpy(copy.get(), data, size);
    }
    platform::TS_WAVE_IMAGE image;
    const platform::TE_WAVE_RESULT result = platform::ParseWaveImage({copy.get(), size}, image);
    if (platform::WaveResultText(result) == nullptr) {
        std::abort();
    }
    if (result == platform::WAVE_OK) {
        const bool formatInside = image.formatOffset >= 20 && image.formatOffset + 14 <= size;
        const bool dataInside =
            image.dataOffset >= 20 && image.dataOffset <= size && image.dataSize <= size - image.dataOffset;
        if (!formatInside || !dataInside || image.format.channels == 0 || image.format.samplesPerSec == 0 ||
            image.format.blockAlign == 0) {
            std::abort();
        }
        // The player reads every sample byte it was given.
        unsigned sum = 0;
        for (std::size_t i = 0; i < image.dataSize; ++i) {
            sum += copy[image.dataOffset + i];
        }
        volatile unsigned sink = sum;
        (void)sink;
        (void)platform::IsPlayableWaveFormat(image.format);
    }
    return 0;
}
