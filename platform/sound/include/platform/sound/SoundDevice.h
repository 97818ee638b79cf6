// The sound device: one playback thread shared by every player of the process.
//
// The device is counted: players hold it through a shared_ptr from Acquire(), and the thread
// ends when the last player lets go. It plays one sound at a time; a new Play() replaces what is
// playing. A machine without a usable output plays nothing: no error, no wait. No call blocks
// for longer than it takes the thread to notice a request (a few milliseconds).
#pragma once

#include "platform/sound/PcmSink.h"
#include "platform/sound/WaveImage.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace platform {

// A loaded sound: the bytes of the whole image and where its parts are.
struct TS_WAVE_SOUND {
    std::vector<std::uint8_t> bytes;
    TS_WAVE_IMAGE image;
};

class CSoundDevice {
public:
    // The device of this process, created on first use.
    static std::shared_ptr<CSoundDevice> Acquire();
    // Replaces the output every later playback opens (tests put a recorder here). An empty
    // factory restores the ALSA output.
    static void SetSinkFactory(PcmSinkFactory factory);

    ~CSoundDevice();
    CSoundDevice(const CSoundDevice&) = delete;
    CSoundDevice& operator=(const CSoundDevice&) = delete;

    // Plays sound from byte startByte of its data (cut to the data size and down to a whole
    // frame), once or in a loop, for owner. Replaces whatever is playing.
    void Play(std::shared_ptr<const TS_WAVE_SOUND> sound, std::size_t startByte, bool loop,
              const void* owner);
    // Stops the sound of owner, if it is the one playing or waiting to play.
    void Stop(const void* owner);
    // Whether a sound of owner is playing or waiting to play.
    bool IsPlaying(const void* owner) const;
    // Waits until nothing plays. False when the time ran out first.
    bool WaitIdle(std::chrono::milliseconds timeout) const;

private:
    CSoundDevice();
    struct Request {
        std::shared_ptr<const TS_WAVE_SOUND> sound;
        std::size_t startByte = 0;
        bool loop = false;
        const void* owner = nullptr;
    };
    void Run();
    void PlayOne(const Request& request);
    // Sleeps up to timeout; true as soon as the current playback must end.
    bool WaitInterrupted(std::chrono::milliseconds timeout);
    bool Interrupted() const { return m_interrupt.load(std::memory_order_acquire); }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_wake; // requests and quit, for the thread
    mutable std::condition_variable m_idle; // the thread went idle, for WaitIdle
    std::optional<Request> m_pending;
    const void* m_playingOwner = nullptr;
    bool m_playing = false;
    bool m_quit = false;
    std::atomic<bool> m_interrupt{false};
    std::thread m_thread;
};

} // namespace platform
