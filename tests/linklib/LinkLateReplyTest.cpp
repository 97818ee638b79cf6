// Late replies: a reply to an earlier request that had given up before it came. The transaction
// drops it, counts it and keeps waiting for its own reply within the same time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "LinkPeers.h"
#include "quillet/Quillet.h"

using namespace linktest;
using Clock = std::chrono::steady_clock;

namespace {

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class LateReplies : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Link, LateReplies, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Uart" : "Usb"; });

TEST_P(LateReplies, AreDroppedAndTheWaitGoesOnWithinTheSameTimeOut) {
    const bool uart = GetParam();
    ClearPortEnvironment();
    std::unique_ptr<PtyPeer> pty;
    std::unique_ptr<UsbPeer> usb;
    if (uart) {
        pty = std::make_unique<PtyPeer>();
    } else {
        usb = std::make_unique<UsbPeer>();
    }
    CPROTOCOL protocol(uart ? UartConfig() : UsbConfig());
    ASSERT_EQ(protocol.Initialize(), 0) << protocol.GetPortErrorText();
    if (usb) {
        ASSERT_TRUE(usb->Accept(2000));
    }
    auto framed = [&](uint8_t cid, uint8_t payload) {
        const Bytes reply = ReplyFrame(cid, 0, {payload}, uart);
        return uart ? UartStuff(reply) : reply;
    };
    auto send = [&](const Bytes& bytes) { uart ? pty->Write(bytes) : usb->Send(bytes); };

    struct Case {
        const char* name;
        int staleBefore;   // replies to 0x42 (payload 0xEE) complete in the ring before the request
        int lateMeanwhile; // replies to 0x41 that come while the request waits
        bool ownReply;     // the request's own reply (payload 0x42) comes 100 ms after them
        int timeoutMs;
        int expected;
        long long minMs, maxMs;
    };
    const Case cases[] = {
        {"a late reply, then the own one within the time-out", 0, 1, true, 1500, 0, 80, 1400},
        {"only late replies: mismatch once the time-out is over", 0, 2, false, 300, TM_ERR_CID_MISMATCH, 280,
         1500},
        {"stale frames in the ring are dropped before the request goes out", 2, 0, true, 1500, 0, 80, 1400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.staleBefore > 0) {
            if (usb) {
                // A USB reply is taken from the device only while receiving is on; a request sent
                // without waiting leaves it on, as after any reply that came too late.
                protocol.TmTransactionBegin(0x33);
                ASSERT_GT(protocol.TmTransaction(-1), 0);
                ASSERT_TRUE(usb->ReadRequest(2000).has_value());
            }
            for (int i = 0; i < c.staleBefore; ++i) {
                send(framed(0x42, 0xEE));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the reader has them
        }
        const uint64_t lateBefore = protocol.GetLateReplyCount();
        Responder::Reply reply = [&](const Bytes& request) -> std::vector<Bytes> {
            if (request.at(1) != 0x42) {
                return {};
            }
            for (int i = 0; i < c.lateMeanwhile; ++i) {
                send(framed(0x41, 0x00));
            }
            if (!c.ownReply) {
                return {};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return {framed(0x42, 0x42)};
        };
        auto responder =
            uart ? std::make_unique<Responder>(*pty, reply) : std::make_unique<Responder>(*usb, reply);
        const auto start = Clock::now();
        protocol.TmTransactionBegin(0x42);
        EXPECT_EQ(protocol.TmTransaction(c.timeoutMs), c.expected);
        const long long ms = MsSince(start);
        EXPECT_GE(ms, c.minMs);
        EXPECT_LT(ms, c.maxMs);
        if (c.expected == 0) {
            EXPECT_EQ(protocol.GetCID(), 0x42);
            EXPECT_EQ(protocol.GetInt8(), 0x42); // its own reply, not a stale one
        }
        EXPECT_EQ(protocol.GetLateReplyCount() - lateBefore, uint64_t(c.staleBefore + c.lateMeanwhile));
        responder.reset();
    }
    protocol.Exit();
}

} // namespace
