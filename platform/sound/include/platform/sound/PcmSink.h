// Where the samples go: a PCM output stream. The sound device writes through this interface so
// that tests can put a recorder in place of the sound card.
#pragma once

#include "platform/sound/WaveImage.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

class IPcmSink {
public:
    virtual ~IPcmSink() = default;
    // Opens the output for samples of this format. False when there is no usable device: the
    // caller then plays nothing. Must not block for long.
    virtual bool Open(const TS_WAVE_FORMAT& format) = 0;
    // Queues up to frameCount interleaved frames. Returns the frames taken (0 when the queue is
    // full) or a negative number when the stream failed for good.
    virtual long Write(const std::uint8_t* frames, std::size_t frameCount) = 0;
    // Waits at most timeout for room in the queue.
    virtual void WaitWritable(std::chrono::milliseconds timeout) = 0;
    // Frames queued but not yet heard; 0 or less once the output is quiet. Starts a stream that
    // was given less than its start threshold.
    virtual long PendingFrames() = 0;
    // Discards what is queued and closes the output.
    virtual void Close() = 0;
};

using PcmSinkFactory = std::function<std::unique_ptr<IPcmSink>()>;

// The ALSA output: the PCM named by $VANDREL_SOUND_DEVICE, else "default", opened non-blocking.
// ALSA's own error printing is switched off: a machine without a sound card plays nothing quietly.
std::unique_ptr<IPcmSink> MakeAlsaSink();

} // namespace platform
