#include "platform/sound/PcmSink.h"

#include <alsa/asoundlib.h>

#include <cstdarg>
#include <cstdlib>
#include <mutex>

namespace platform {
namespace {

// ALSA prints every failure to stderr by default; a missing card is normal here.
void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsaOnce() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&QuietAlsaErrors); });
}

snd_pcm_format_t AlsaFormat(const TS_WAVE_FORMAT& f) {
    if (f.formatTag == WAVE_FORMAT_IEEE_FLOAT)
        return f.bitsPerSample == 64 ? SND_PCM_FORMAT_FLOAT64_LE : SND_PCM_FORMAT_FLOAT_LE;
    switch (f.bitsPerSample) {
    case 8:
        return SND_PCM_FORMAT_U8;
    case 16:
        return SND_PCM_FORMAT_S16_LE;
    case 24:
        return SND_PCM_FORMAT_S24_3LE;
    case 32:
        return SND_PCM_FORMAT_S32_LE;
    default:
        return SND_PCM_FORMAT_UNKNOWN;
    }
}

class CAlsaSink final : public IPcmSink {
public:
    ~CAlsaSink() override { Close(); }

    bool Open(const TS_WAVE_FORMAT& format) override {
        Close();
        SilenceAlsaOnce();
        const snd_pcm_format_t alsaFormat = AlsaFormat(format);
        if (alsaFormat == SND_PCM_FORMAT_UNKNOWN)
            return false;
        const char* name = std::getenv("VANDREL_SOUND_DEVICE");
        if (name == nullptr || *name == '\0')
            name = "default";
        // Non-blocking: a device held by another program fails at once instead of waiting.
        if (snd_pcm_open(&m_pcm, name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
            m_pcm = nullptr;
            return false;
        }
        constexpr unsigned kLatencyUs = 100000;
        if (snd_pcm_set_params(m_pcm, alsaFormat, SND_PCM_ACCESS_RW_INTERLEAVED, format.channels,
                               format.samplesPerSec, 1, kLatencyUs) < 0) {
            Close();
            return false;
        }
        return true;
    }

    long Write(const std::uint8_t* frames, std::size_t frameCount) override {
        if (m_pcm == nullptr)
            return -1;
        snd_pcm_sframes_t n = snd_pcm_writei(m_pcm, frames, frameCount);
        if (n == -EAGAIN)
            return 0;
        if (n < 0) {
            // Under-run or suspend: recover and let the caller write again.
            if (snd_pcm_recover(m_pcm, static_cast<int>(n), 1) == 0)
                return 0;
            return -1;
        }
        return static_cast<long>(n);
    }

    void WaitWritable(std::chrono::milliseconds timeout) override {
        if (m_pcm != nullptr)
            snd_pcm_wait(m_pcm, static_cast<int>(timeout.count()));
    }

    long PendingFrames() override {
        if (m_pcm == nullptr)
            return 0;
        const snd_pcm_state_t state = snd_pcm_state(m_pcm);
        if (state == SND_PCM_STATE_PREPARED) {
            // Less than the start threshold was written: start it by hand.
            if (snd_pcm_start(m_pcm) < 0)
                return 0;
        } else if (state != SND_PCM_STATE_RUNNING) {
            return 0;
        }
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_delay(m_pcm, &delay) < 0)
            return 0;
        return static_cast<long>(delay);
    }

    void Close() override {
        if (m_pcm != nullptr) {
            snd_pcm_drop(m_pcm);
            snd_pcm_close(m_pcm);
            m_pcm = nullptr;
        }
    }

private:
    snd_pcm_t* m_pcm = nullptr;
};

} // namespace

std::unique_ptr<IPcmSink> MakeAlsaSink() {
    return std::make_unique<CAlsaSink>();
}

} // namespace platform
