#include "platform/sound/WavePlayback.h"

#include <fstream>
#include <utility>

namespace platform {

CWavePlayback::~CWavePlayback() {
    Stop();
}

bool CWavePlayback::LoadFromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        Stop();
        m_sound.reset();
        m_lastError = "cannot open " + path;
        return false;
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<unsigned long long>(size) > kMaxFileSize) {
        Stop();
        m_sound.reset();
        m_lastError = path + " is too large for a sound";
        return false;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) {
        Stop();
        m_sound.reset();
        m_lastError = "cannot read " + path;
        return false;
    }
    return Adopt(std::move(bytes));
}

bool CWavePlayback::LoadFromMemory(std::span<const std::uint8_t> bytes) {
    return Adopt(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

bool CWavePlayback::Adopt(std::vector<std::uint8_t> bytes) {
    Stop();
    m_sound.reset();
    auto sound = std::make_shared<TS_WAVE_SOUND>();
    const TE_WAVE_RESULT result = ParseWaveImage(bytes, sound->image);
    if (result != WAVE_OK) {
        m_lastError = WaveResultText(result);
        return false;
    }
    if (!IsPlayableWaveFormat(sound->image.format)) {
        m_lastError = "sample format the output cannot play";
        return false;
    }
    sound->bytes = std::move(bytes);
    m_sound = std::move(sound);
    if (!m_device)
        m_device = CSoundDevice::Acquire();
    m_lastError.clear();
    return true;
}

void CWavePlayback::Play(std::size_t position, bool loop) {
    if (!m_sound || !m_enabled || !m_device)
        return;
    m_device->Play(m_sound, position, loop, this);
}

void CWavePlayback::Stop() {
    if (m_device)
        m_device->Stop(this);
}

bool CWavePlayback::IsPlaying() const {
    return m_device && m_device->IsPlaying(this);
}

void CWavePlayback::SetEnabled(bool enabled) {
    m_enabled = enabled;
    if (!enabled)
        Stop();
}

} // namespace platform
