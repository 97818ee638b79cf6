#include "platform/sound/SoundDevice.h"

#include <algorithm>

namespace platform {
namespace {

std::mutex g_deviceMutex;
std::weak_ptr<CSoundDevice> g_device;
PcmSinkFactory g_sinkFactory;

std::unique_ptr<IPcmSink> MakeSink() {
    PcmSinkFactory factory;
    {
        std::lock_guard lock(g_deviceMutex);
        factory = g_sinkFactory;
    }
    return factory ? factory() : MakeAlsaSink();
}

constexpr std::size_t kFramesPerWrite = 1024;
constexpr std::chrono::milliseconds kWritePoll{50};
// An output that takes nothing for this long is given up: a stuck device must not keep the
// thread busy for ever.
constexpr std::chrono::milliseconds kStallLimit{2000};
constexpr std::chrono::milliseconds kDrainPoll{10};
constexpr std::chrono::milliseconds kDrainSlack{1000};

} // namespace

std::shared_ptr<CSoundDevice> CSoundDevice::Acquire() {
    std::lock_guard lock(g_deviceMutex);
    std::shared_ptr<CSoundDevice> device = g_device.lock();
    if (!device) {
        device.reset(new CSoundDevice());
        g_device = device;
    }
    return device;
}

void CSoundDevice::SetSinkFactory(PcmSinkFactory factory) {
    std::lock_guard lock(g_deviceMutex);
    g_sinkFactory = std::move(factory);
}

CSoundDevice::CSoundDevice() : m_thread([this] { Run(); }) {}

CSoundDevice::~CSoundDevice() {
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
        m_interrupt.store(true, std::memory_order_release);
    }
    m_wake.notify_all();
    m_thread.join();
}

void CSoundDevice::Play(std::shared_ptr<const TS_WAVE_SOUND> sound, std::size_t startByte, bool loop,
                        const void* owner) {
    if (!sound)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_pending = Request{std::move(sound), startByte, loop, owner};
        m_interrupt.store(true, std::memory_order_release);
    }
    m_wake.notify_all();
}

void CSoundDevice::Stop(const void* owner) {
    {
        std::lock_guard lock(m_mutex);
        if (m_pending && m_pending->owner == owner)
            m_pending.reset();
        if (m_playing && m_playingOwner == owner)
            m_interrupt.store(true, std::memory_order_release);
    }
    m_wake.notify_all();
}

bool CSoundDevice::IsPlaying(const void* owner) const {
    std::lock_guard lock(m_mutex);
    return (m_pending && m_pending->owner == owner) || (m_playing && m_playingOwner == owner);
}

bool CSoundDevice::WaitIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, timeout, [this] { return !m_playing && !m_pending; });
}

void CSoundDevice::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || m_pending.has_value(); });
        if (m_quit)
            break;
        Request request = std::move(*m_pending);
        m_pending.reset();
        m_interrupt.store(false, std::memory_order_release);
        m_playing = true;
        m_playingOwner = request.owner;
        lock.unlock();
        PlayOne(request);
        request.sound.reset();
        lock.lock();
        m_playing = false;
        m_playingOwner = nullptr;
        if (!m_pending)
            m_idle.notify_all();
    }
    m_playing = false;
    m_idle.notify_all();
}

bool CSoundDevice::WaitInterrupted(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_wake.wait_for(lock, timeout, [this] { return Interrupted(); });
}

void CSoundDevice::PlayOne(const Request& request) {
    const TS_WAVE_IMAGE& image = request.sound->image;
    const std::size_t frameSize = image.format.blockAlign;
    const std::size_t frameCount = frameSize == 0 ? 0 : image.dataSize / frameSize;
    if (frameCount == 0)
        return;
    std::unique_ptr<IPcmSink> sink = MakeSink();
    if (!sink || !sink->Open(image.format))
        return; // no device: silence
    const std::uint8_t* data = request.sound->bytes.data() + image.dataOffset;
    std::size_t frame = std::min(request.startByte, image.dataSize) / frameSize;
    auto lastProgress = std::chrono::steady_clock::now();
    bool failed = false;
    while (!Interrupted()) {
        if (frame >= frameCount) {
            if (!request.loop)
                break;
            frame = 0;
        }
        const std::size_t chunk = std::min(frameCount - frame, kFramesPerWrite);
        const long written = sink->Write(data + frame * frameSize, chunk);
        if (written < 0) {
            failed = true;
            break;
        }
        if (written > 0) {
            frame += static_cast<std::size_t>(written);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (std::chrono::steady_clock::now() - lastProgress > kStallLimit) {
            failed = true;
            break;
        }
        sink->WaitWritable(kWritePoll);
    }
    if (!failed && !Interrupted()) {
        // Let the queued frames play out, but never for longer than they should take.
        const long pending = sink->PendingFrames();
        if (pending > 0) {
            const auto deadline = std::chrono::steady_clock::now() + kDrainSlack +
                                  std::chrono::milliseconds(static_cast<long long>(pending) * 1000 /
                                                            image.format.samplesPerSec);
            while (sink->PendingFrames() > 0 && std::chrono::steady_clock::now() < deadline) {
                if (WaitInterrupted(kDrainPoll))
                    break;
            }
        }
    }
    sink->Close();
}

} // namespace platform
