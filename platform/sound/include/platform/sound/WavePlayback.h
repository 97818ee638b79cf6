// A sound loaded from a ".wav" file or from bytes, played through the shared sound device.
#pragma once

#include "platform/sound/SoundDevice.h"
#include "platform/sound/WaveImage.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace platform {

class CWavePlayback {
public:
    // Largest file LoadFromFile() reads: a sound is a short effect, not music.
    static constexpr std::size_t kMaxFileSize = 64u * 1024u * 1024u;

    CWavePlayback() = default;
    ~CWavePlayback();
    CWavePlayback(const CWavePlayback&) = delete;
    CWavePlayback& operator=(const CWavePlayback&) = delete;

    // Loads the whole file. False (and nothing loaded) when it does not open, is too large, is
    // not a valid wave image or holds samples the output cannot play; LastError() says which.
    bool LoadFromFile(const std::string& path);
    // The same over bytes already in memory (a sound compiled into the program).
    bool LoadFromMemory(std::span<const std::uint8_t> bytes);

    // Plays from byte position (cut to the data size), once or in a loop. Does nothing when
    // nothing is loaded or the player is disabled. Returns at once.
    void Play(std::size_t position = 0, bool loop = false);
    void Stop();

    bool IsLoaded() const { return m_sound != nullptr; }
    bool IsPlaying() const;
    void SetEnabled(bool enabled);
    bool IsEnabled() const { return m_enabled; }
    // Data size in bytes of the loaded sound, 0 when none.
    std::size_t DataSize() const { return m_sound ? m_sound->image.dataSize : 0; }
    const TS_WAVE_FORMAT* Format() const { return m_sound ? &m_sound->image.format : nullptr; }
    // Why the last load failed; empty after a successful one.
    const std::string& LastError() const { return m_lastError; }

private:
    bool Adopt(std::vector<std::uint8_t> bytes);

    std::shared_ptr<CSoundDevice> m_device;
    std::shared_ptr<const TS_WAVE_SOUND> m_sound;
    bool m_enabled = true;
    std::string m_lastError;
};

} // namespace platform
