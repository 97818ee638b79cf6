#include "WaveTestData.h"

#include "platform/sound/SoundDevice.h"
#include "platform/sound/WavePlayback.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

using namespace platform;
using namespace wavetest;
using namespace std::chrono_literals;

namespace {

// What a recorder sink saw; shared with the test because the sink lives on the sound thread.
struct Recording {
    std::mutex mutex;
    std::vector<std::uint8_t> bytes;
    int opens = 0;
    int closes = 0;
    TS_WAVE_FORMAT format;

    std::size_t Size() {
        std::lock_guard lock(mutex);
        return bytes.size();
    }
};

enum class SinkMode { Record, NoDevice, Stuck, Fails };

class CRecorderSink : public IPcmSink {
public:
    CRecorderSink(std::shared_ptr<Recording> rec, SinkMode mode) : m_rec(std::move(rec)), m_mode(mode) {}
    bool Open(const TS_WAVE_FORMAT& format) override {
        if (m_mode == SinkMode::NoDevice)
            return false;
        std::lock_guard lock(m_rec->mutex);
        ++m_rec->opens;
        m_rec->format = format;
        m_frameSize = format.blockAlign;
        return true;
    }
    long Write(const std::uint8_t* frames, std::size_t count) override {
        if (m_mode == SinkMode::Stuck)
            return 0;
        if (m_mode == SinkMode::Fails)
            return -1;
        std::lock_guard lock(m_rec->mutex);
        const std::size_t n = std::min<std::size_t>(count, 100);
        m_rec->bytes.insert(m_rec->bytes.end(), frames, frames + n * m_frameSize);
        return static_cast<long>(n);
    }
    void WaitWritable(std::chrono::milliseconds timeout) override {
        std::this_thread::sleep_for(std::min(timeout, std::chrono::milliseconds(5)));
    }
    long PendingFrames() override { return 0; }
    void Close() override {
        std::lock_guard lock(m_rec->mutex);
        ++m_rec->closes;
    }

private:
    std::shared_ptr<Recording> m_rec;
    SinkMode m_mode;
    std::size_t m_frameSize = 1;
};

class WavePlaybackTest : public ::testing::Test {
protected:
    std::shared_ptr<Recording> Use(SinkMode mode) {
        auto rec = std::make_shared<Recording>();
        CSoundDevice::SetSinkFactory([rec, mode] { return std::make_unique<CRecorderSink>(rec, mode); });
        return rec;
    }
    void TearDown() override { CSoundDevice::SetSinkFactory({}); }

    static bool WaitIdle(CWavePlayback& player, std::chrono::milliseconds limit = 10s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (player.IsPlaying()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }

    std::filesystem::path WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const auto path = std::filesystem::temp_directory_path() /
                          ("vandrel-sound-" + std::to_string(::getpid()) + "-" + name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        m_files.push_back(path);
        return path;
    }
    ~WavePlaybackTest() override {
        for (const auto& f : m_files)
            std::filesystem::remove(f);
    }

private:
    std::vector<std::filesystem::path> m_files;
};

} // namespace

TEST_F(WavePlaybackTest, GoodFilePlaysItsSamplesFromThePosition) {
    auto rec = Use(SinkMode::Record);
    const std::vector<std::uint8_t> data = Samples(4000);
    CWavePlayback player;
    ASSERT_TRUE(player.LoadFromFile(WriteFile("good.wav", GoodWave(4000)).string())) << player.LastError();
    EXPECT_EQ(player.DataSize(), 4000u);

    struct Case {
        std::size_t position;
        std::size_t firstByte; // where the heard samples start
    } cases[] = {{0, 0}, {1000, 1000}, {1001, 1000}, {3998, 3998}, {4000, 4000}, {999999, 4000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.position);
        {
            std::lock_guard lock(rec->mutex);
            rec->bytes.clear();
        }
        player.Play(c.position);
        ASSERT_TRUE(WaitIdle(player));
        std::lock_guard lock(rec->mutex);
        EXPECT_EQ(rec->bytes,
                  std::vector<std::uint8_t>(data.begin() + static_cast<long>(c.firstByte), data.end()));
        EXPECT_EQ(rec->format.samplesPerSec, 8000u);
    }
}

TEST_F(WavePlaybackTest, BadFilesLoadNothingAndStaySilent) {
    auto rec = Use(SinkMode::Record);
    std::vector<std::uint8_t> truncated = GoodWave(400);
    truncated.resize(truncated.size() - 10);
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {"truncated.wav", truncated},
        {"nofmt.wav", Riff({{"data", Samples(8)}})},
        {"nodata.wav", Riff({{"fmt ", FormatBody(1, 1, 8000, 16)}})},
        {"adpcm.wav", Riff({{"fmt ", FormatBody(2, 1, 8000, 4)}, {"data", Samples(8)}})},
        {"text.wav", std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o'}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CWavePlayback player;
        EXPECT_FALSE(player.LoadFromFile(WriteFile(c.name, c.bytes).string()));
        EXPECT_FALSE(player.IsLoaded());
        EXPECT_FALSE(player.LastError().empty());
        player.Play();
        EXPECT_FALSE(player.IsPlaying());
    }
    CWavePlayback missing;
    EXPECT_FALSE(missing.LoadFromFile("/nonexistent/Dizezazu.wav"));
    EXPECT_NE(missing.LastError().find("/nonexistent/Dizezazu.wav"), std::string::npos);
    EXPECT_EQ(rec->Size(), 0u);
    EXPECT_EQ(rec->opens, 0);
}

TEST_F(WavePlaybackTest, AFailedLoadDropsTheOldSound) {
    Use(SinkMode::Record);
    CWavePlayback player;
    ASSERT_TRUE(player.LoadFromMemory(GoodWave(100)));
    EXPECT_FALSE(player.LoadFromMemory(Riff({{"data", Samples(8)}})));
    EXPECT_FALSE(player.IsLoaded());
}

TEST_F(WavePlaybackTest, NoDeviceMeansSilenceWithoutErrorOrWait) {
    auto rec = Use(SinkMode::NoDevice);
    CWavePlayback player;
    ASSERT_TRUE(player.LoadFromMemory(GoodWave(400)));
    player.Play(0, true);
    EXPECT_TRUE(WaitIdle(player)); // even a loop ends at once when there is no output
    EXPECT_EQ(rec->Size(), 0u);
}

TEST_F(WavePlaybackTest, LoopRunsUntilStopped) {
    auto rec = Use(SinkMode::Record);
    CWavePlayback player;
    ASSERT_TRUE(player.LoadFromMemory(GoodWave(400)));
    player.Play(0, true);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (rec->Size() < 4000 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
    EXPECT_GE(rec->Size(), 4000u); // ten rounds and more
    EXPECT_TRUE(player.IsPlaying());
    player.Stop();
    EXPECT_TRUE(WaitIdle(player));
    std::lock_guard lock(rec->mutex);
    EXPECT_EQ(rec->opens, rec->closes);
}

TEST_F(WavePlaybackTest, DisabledPlayerIsSilentAndAStoppedOneCanPlayAgain) {
    auto rec = Use(SinkMode::Record);
    CWavePlayback player;
    ASSERT_TRUE(player.LoadFromMemory(GoodWave(40)));
    player.SetEnabled(false);
    player.Play();
    EXPECT_FALSE(player.IsPlaying());
    EXPECT_EQ(rec->Size(), 0u);
    player.SetEnabled(true);
    player.Play();
    EXPECT_TRUE(WaitIdle(player));
    EXPECT_EQ(rec->Size(), 40u);
}

TEST_F(WavePlaybackTest, AStuckOrFailingOutputIsGivenUp) {
    for (SinkMode mode : {SinkMode::Stuck, SinkMode::Fails}) {
        auto rec = Use(mode);
        CWavePlayback player;
        ASSERT_TRUE(player.LoadFromMemory(GoodWave(400)));
        player.Play();
        EXPECT_TRUE(WaitIdle(player, 20s)); // the stall limit is two seconds
        std::lock_guard lock(rec->mutex);
        EXPECT_EQ(rec->opens, rec->closes);
    }
}

TEST_F(WavePlaybackTest, PlayersShareOneDeviceAndStopOnlyTheirOwnSound) {
    auto rec = Use(SinkMode::Record);
    CWavePlayback a;
    CWavePlayback b;
    ASSERT_TRUE(a.LoadFromMemory(GoodWave(400)));
    ASSERT_TRUE(b.LoadFromMemory(GoodWave(400)));
    a.Play(0, true);
    b.Stop(); // not b's sound: a keeps playing
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(a.IsPlaying());
    b.Play(0, true); // replaces a's sound
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (a.IsPlaying() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(a.IsPlaying());
    EXPECT_TRUE(b.IsPlaying());
    // A player that goes away stops its sound.
    {
        CWavePlayback c;
        ASSERT_TRUE(c.LoadFromMemory(GoodWave(400)));
        c.Play(0, true);
    }
    b.Stop();
    EXPECT_TRUE(WaitIdle(b));
}

// The ALSA output itself: a device that does not exist is silence; ALSA's "null" device takes
// the samples. Neither may hang.
TEST_F(WavePlaybackTest, AlsaOutputWithoutAndWithADevice) {
    CSoundDevice::SetSinkFactory({});
    for (const char* device : {"hw:99,0", "vandrel_no_such_pcm", "null"}) {
        SCOPED_TRACE(device);
        ::setenv("VANDREL_SOUND_DEVICE", device, 1);
        CWavePlayback player;
        ASSERT_TRUE(player.LoadFromMemory(GoodWave(1600))); // 0.1 s
        player.Play();
        EXPECT_TRUE(WaitIdle(player, 20s));
    }
    ::unsetenv("VANDREL_SOUND_DEVICE");
}
