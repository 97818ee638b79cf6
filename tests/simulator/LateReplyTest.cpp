// Late replies of the virtual handset: the rules of --late as text, and a late reply that leaves
// after its delay while the requests after it are answered at once, on the pty and the USB socket.
#include <gtest/gtest.h>

#include <chrono>
#include <utility>

#include "SimHarness.h"
#include "SimTestUtil.h"

using namespace vsim;
using simtest::Be32;
using simtest::Bytes;
using testsupport::CSimHarness;
using testsupport::ESimLink;

TEST(LateRules, ParseFromText) {
    struct TS_CASE {
        const char* text;
        bool ok;
        std::vector<SLateRule> rules;
    };
    const TS_CASE cases[] = {
        {"0x41=70", true, {{0x41, 70, 70, 1, 100}}},
        {"0x41=70,0x42=1800", true, {{0x41, 70, 70, 1, 100}, {0x42, 1800, 1800, 1, 100}}},
        {"*=40-150/3%25", true, {{0, 40, 150, 3, 25}}},
        {"66=0", true, {{66, 0, 0, 1, 100}}},
        {"0x41", false, {}},
        {"0x141=10", false, {}},
        {"0=10", false, {}},
        {"0x41=150-40", false, {}},
        {"0x41=10/0", false, {}},
        {"0x41=10%101", false, {}},
        {"0x41=10,", false, {}},
        {"0x41=-5", false, {}},
    };
    for (const TS_CASE& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<SLateRule> rules;
        std::string error;
        EXPECT_EQ(ParseLateRules(c.text, rules, &error), c.ok);
        EXPECT_EQ(error.empty(), c.ok) << error;
        ASSERT_EQ(rules.size(), c.rules.size());
        for (size_t i = 0; i < rules.size(); ++i) {
            EXPECT_EQ(rules[i].cid, c.rules[i].cid);
            EXPECT_EQ(rules[i].minMs, c.rules[i].minMs);
            EXPECT_EQ(rules[i].maxMs, c.rules[i].maxMs);
            EXPECT_EQ(rules[i].every, c.rules[i].every);
            EXPECT_EQ(rules[i].percent, c.rules[i].percent);
        }
    }
}

class LateReplies : public ::testing::TestWithParam<ESimLink> {};

INSTANTIATE_TEST_SUITE_P(Link, LateReplies, ::testing::Values(ESimLink::Uart, ESimLink::Usb),
                         [](const auto& info) { return info.param == ESimLink::Uart ? "Uart" : "Usb"; });

// Requests sent back to back: the late reply comes after the replies to the requests behind it.
TEST_P(LateReplies, LeaveAfterTheirDelayWithoutHoldingUpTheNextRequests) {
    using Request = std::pair<uint8_t, Bytes>;
    const Request poll{cmd::RequestFlashWrite, {}};
    const Request runner{cmd::QueryTargetRunner, {}};
    const Request cs0{cmd::QueryFlashId, Be32(0)};          // answers part 19
    const Request cs2{cmd::QueryFlashId, Be32(0x08000000)}; // answers part 18
    struct TS_CASE {
        const char* name;
        const char* late; // --late rules
        bool fault;       // the late-reply fault on the second request, 300 ms
        std::vector<Request> requests;
        std::vector<std::pair<uint8_t, uint8_t>> replies; // cid, first payload byte (0xFF: any), in order
    };
    const std::vector<TS_CASE> cases = {
        {"every reply to 0x41", "0x41=300", false, {poll, runner}, {{0x42, 0xFF}, {0x41, 0}}},
        {"every second reply to 0x11",
         "0x11=300/2",
         false,
         {cs0, cs2, cs0},
         {{0x11, 19}, {0x11, 19}, {0x11, 18}}},
        {"the fault on one reply", "", true, {cs0, cs2, cs0}, {{0x11, 19}, {0x11, 19}, {0x11, 18}}},
    };
    for (const TS_CASE& c : cases) {
        SCOPED_TRACE(c.name);
        SSimulatorOptions options;
        ASSERT_TRUE(ParseLateRules(c.late, options.lateReplies) || !*c.late);
        CSimHarness sim(GetParam(), options);
        if (c.fault) {
            sim.Host().SetFault(EFault::LateReply, {.after = 1, .times = 1, .value = 300});
        }
        simtest::CRawUart uart(GetParam() == ESimLink::Uart ? sim.Path() : "/nonexistent");
        simtest::CRawUsb usb(GetParam() == ESimLink::Usb ? sim.Path() : "/nonexistent");
        if (GetParam() == ESimLink::Usb) {
            ASSERT_TRUE(usb.ReadMessage()); // the greeting
        }
        const auto start = std::chrono::steady_clock::now();
        for (const Request& r : c.requests) {
            ASSERT_TRUE(GetParam() == ESimLink::Uart ? uart.Send(r.first, r.second)
                                                     : usb.Send(r.first, r.second));
        }
        for (size_t i = 0; i < c.replies.size(); ++i) {
            const auto reply = GetParam() == ESimLink::Uart ? uart.ReadReply() : usb.ReadReply();
            ASSERT_TRUE(reply) << "reply " << i;
            EXPECT_EQ(reply->cid, c.replies[i].first) << "reply " << i;
            if (c.replies[i].second != 0xFF) {
                EXPECT_EQ(reply->payload.empty() ? 0 : reply->payload[0], c.replies[i].second)
                    << "reply " << i;
            }
        }
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
        const auto commands = sim.Host().Snapshot().commands;
        ASSERT_EQ(commands.size(), c.requests.size());
        EXPECT_EQ(commands[1].lateMs + commands[0].lateMs, 300u);
        EXPECT_EQ(commands[1].fault, c.fault ? "late-reply" : "");
    }
}
