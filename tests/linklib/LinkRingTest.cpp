// The frame ring and the UART receive decoder, driven directly and by a concurrent producer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "LinkChannel.h"
#include "LinkPeers.h"

using namespace linktest;
using Clock = std::chrono::steady_clock;

namespace {

std::unique_ptr<CLinkChannel> MakeRing(int portType) {
    TS_PORT_CONFIG config = portType == PORT_UART ? UartConfig() : UsbConfig();
    auto ring = std::make_unique<CLinkChannel>(config);
    ring->ResetRing();
    return ring;
}

std::vector<Bytes> TakeAll(CLinkChannel& ring) {
    std::vector<Bytes> frames;
    uint8_t buf[FrameSlot::kCapacity];
    while (ring.SlotStateAt(ring.ConsumerIndex()) == CLinkChannel::kComplete) {
        int n = ring.TakeFrame(buf, sizeof buf);
        frames.emplace_back(buf, buf + n);
    }
    return frames;
}

void Feed(CLinkChannel& ring, const Bytes& bytes) {
    ring.DecodeBytes(bytes.data(), bytes.size());
}

TEST(ReceiveDecoder, TurnsWireBytesIntoFrames) {
    struct Case {
        const char* name;
        Bytes wire;
        std::vector<Bytes> frames;
    } cases[] = {
        {"plain frame", {0x02, 0x21, 0x42, 0x00, 0x0A}, {{0x21, 0x42, 0x00}}},
        {"escapes make the next byte literal",
         {0x02, 0x10, 0x02, 0x10, 0x0A, 0x10, 0x10, 0x0A},
         {{0x02, 0x0A, 0x10}}},
        {"unescaped 02 inside a frame is data", {0x02, 0x21, 0x02, 0x33, 0x0A}, {{0x21, 0x02, 0x33}}},
        {"start directly followed by end gives no frame", {0x02, 0x0A, 0x02, 0x05, 0x0A}, {{0x05}}},
        {"garbage between frames is ignored",
         {0x55, 0x0A, 0x10, 0x02, 0x21, 0x0A, 0xFF, 0x10, 0x02, 0x22, 0x0A},
         {{0x21}, {0x22}}},
        {"escaped end byte does not close", {0x02, 0x01, 0x10, 0x0A, 0x02, 0x0A}, {{0x01, 0x0A, 0x02}}},
        {"a frame split over many reads", {0x02, 0x01}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto ring = MakeRing(PORT_UART);
        // Byte by byte through DecodeByte, as the decoder sees a slow line.
        for (uint8_t b : c.wire) {
            ring->DecodeByte(b);
        }
        EXPECT_EQ(TakeAll(*ring), c.frames);
    }
}

TEST(ReceiveDecoder, OversizedFrameIsDroppedWholeAndTheNextOneArrives) {
    auto ring = MakeRing(PORT_UART);
    Bytes wire{0x02};
    for (uint32_t i = 0; i < FrameSlot::kCapacity + 100; ++i) {
        wire.push_back(static_cast<uint8_t>(0x30 + i % 7));
    }
    // An escaped start byte inside the excess must not begin a frame.
    wire.insert(wire.end(), {0x10, 0x02, 0x44, 0x0A});
    wire.insert(wire.end(), {0x02, 0x21, 0x43, 0x0A});
    Feed(*ring, wire);
    EXPECT_EQ(TakeAll(*ring), (std::vector<Bytes>{{0x21, 0x43}}));
    EXPECT_EQ(ring->DroppedFrames(), 1u);

    // Exactly the slot's size still fits.
    Bytes full{0x02};
    full.insert(full.end(), FrameSlot::kCapacity, 0x33);
    full.push_back(0x0A);
    Feed(*ring, full);
    auto frames = TakeAll(*ring);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), FrameSlot::kCapacity);
}

TEST(FrameRing, SixtyThreeFramesWaitAndTheSixtyFourthIsLost) {
    for (int portType : {PORT_UART, PORT_USB}) {
        SCOPED_TRACE(portType);
        auto ring = MakeRing(portType);
        auto put = [&](uint8_t id) {
            if (portType == PORT_UART) {
                Feed(*ring, UartStuff({0x21, id}));
            } else {
                const Bytes packet{0x21, id};
                ring->StoreFrame(packet.data(), 2);
            }
        };
        for (int i = 0; i < 64; ++i) {
            put(static_cast<uint8_t>(i));
        }
        EXPECT_EQ(ring->DroppedFrames(), 1u);
        // One frame taken frees a slot; the lost frame's slot takes the next frame.
        uint8_t buf[8];
        ASSERT_EQ(ring->TakeFrame(buf, sizeof buf), 2);
        EXPECT_EQ(buf[1], 0);
        put(100);
        auto frames = TakeAll(*ring);
        ASSERT_EQ(frames.size(), 63u);
        for (int i = 0; i < 62; ++i) {
            EXPECT_EQ(frames[static_cast<size_t>(i)][1], i + 1);
        }
        EXPECT_EQ(frames[62][1], 100); // not 63: that one was lost
    }
}

TEST(FrameRing, TakeFrameCopiesInPiecesAndFreesTheSlotAtTheEnd) {
    auto ring = MakeRing(PORT_USB);
    const Bytes packet{0x21, 1, 2, 3, 4, 5, 6};
    ring->StoreFrame(packet.data(), static_cast<int>(packet.size()));
    uint8_t buf[4];
    EXPECT_EQ(ring->WaitFrame(20), 7);
    EXPECT_EQ(ring->TakeFrame(buf, 4), 4);
    EXPECT_EQ(ring->SlotStateAt(0), CLinkChannel::kComplete);
    EXPECT_EQ(ring->TakeFrame(buf, 4), 3);
    EXPECT_EQ(buf[2], 6);
    EXPECT_EQ(ring->SlotStateAt(0), CLinkChannel::kFree);
    EXPECT_EQ(ring->ConsumerIndex(), 1);
    EXPECT_EQ(ring->TakeFrame(buf, 4), 0);
}

TEST(FrameRing, WaitFrameCountsInTwentyMillisecondSteps) {
    auto ring = MakeRing(PORT_UART);
    struct Case {
        int timeoutMs;
        int minMs; // the wait gives up no earlier than ceil(t / 20) x 20 ms
    } cases[] = {{50, 60}, {20, 20}, {1, 20}, {0, 0}, {-5, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.timeoutMs);
        const auto start = Clock::now();
        EXPECT_EQ(ring->WaitFrame(c.timeoutMs), 0);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_GE(ms, c.minMs);
        EXPECT_LT(ms, c.minMs + 1000); // generous: loaded machines, sanitizers
    }
}

TEST(FrameRing, WaitFrameWakesWhenTheFrameCompletes) {
    auto ring = MakeRing(PORT_UART);
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Feed(*ring, {0x02, 0x21, 0x42, 0x00, 0x0A});
    });
    EXPECT_EQ(ring->WaitFrame(10000), 3);
    producer.join();
    // Cancelling makes a waiting caller give up at once, and later waits too until switched off.
    TakeAll(*ring);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ring->CancelWaits(true);
    });
    const auto start = Clock::now();
    EXPECT_EQ(ring->WaitFrame(60000), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    canceller.join();
    EXPECT_FALSE(ring->Pause(60000));
    ring->CancelWaits(false);
    EXPECT_TRUE(ring->Pause(1));
}

// A producer thread streams frames while the caller waits and takes them: every frame arrives
// once, whole and in order (ThreadSanitizer checks the hand-over).
TEST(FrameRingConcurrency, ProducerAndConsumerHandSlotsOver) {
    for (int portType : {PORT_UART, PORT_USB}) {
        SCOPED_TRACE(portType);
        auto ring = MakeRing(portType);
        constexpr int kFrames = 3000;
        std::atomic<bool> done{false};
        std::thread producer([&] {
            for (int i = 0; i < kFrames; ++i) {
                Bytes frame{0x21, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
                frame.resize(3 + static_cast<size_t>(i % 300), static_cast<uint8_t>(i));
                // Keep the ring from filling: this test is about the hand-over, not loss.
                while (ring->ProducerIndex() != ring->ConsumerIndex() &&
                       (ring->ProducerIndex() + 1) % CLinkChannel::kSlotCount == ring->ConsumerIndex()) {
                    std::this_thread::yield();
                }
                if (portType == PORT_UART) {
                    const Bytes wire = UartStuff(frame);
                    ring->DecodeBytes(wire.data(), wire.size());
                } else {
                    ring->StoreFrame(frame.data(), static_cast<int>(frame.size()));
                }
            }
            done = true;
        });
        uint8_t buf[FrameSlot::kCapacity];
        int next = 0;
        while (next < kFrames) {
            int len = ring->WaitFrame(5000);
            ASSERT_GT(len, 0) << "frame " << next;
            ASSERT_EQ(ring->TakeFrame(buf, sizeof buf), len);
            ASSERT_EQ(len, 3 + next % 300);
            ASSERT_EQ(buf[1] | (buf[2] << 8), next & 0xFFFF);
            ASSERT_EQ(buf[len - 1], len > 3 ? static_cast<uint8_t>(next) : buf[len - 1]);
            ++next;
        }
        producer.join();
        EXPECT_EQ(ring->DroppedFrames(), 0u);
    }
}

// ResetRing while the reader decodes: afterwards the ring is empty with slot 0 armed, and the
// frames that arrive after the reset come through whole.
TEST(FrameRingConcurrency, ResetWhileTheReaderRuns) {
    auto ring = MakeRing(PORT_UART);
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        const Bytes wire = UartStuff({0x21, 0x42, 0x00, 0x0A, 0x10, 0x02});
        while (!stop) {
            ring->DecodeBytes(wire.data(), wire.size());
        }
    });
    uint8_t buf[64];
    for (int round = 0; round < 200; ++round) {
        ring->ResetRing();
        int len = ring->WaitFrame(5000);
        ASSERT_EQ(len, 6);
        ASSERT_EQ(ring->TakeFrame(buf, sizeof buf), 6);
        ASSERT_EQ(Hex(Bytes(buf, buf + 6)), "21 42 00 0A 10 02");
    }
    stop = true;
    producer.join();
}

} // namespace
