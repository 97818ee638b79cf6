// The handset's side of the wire: UART stuffing and decoding, USB packet reassembly, checksums.
#include <gtest/gtest.h>

#include <random>

#include "SimTestUtil.h"
#include "vsim/SimTypes.h"
#include "vsim/WireCodec.h"

using namespace vsim;
using simtest::Bytes;

TEST(WireCodec, ReplyFrameAndStuffing) {
    // The reply to 0x42 with payload 01 01 02 0A: checksum 0x4A on UART, none on USB.
    const Bytes payload{0x01, 0x01, 0x02, 0x0A};
    const Bytes uartFrame = BuildReplyFrame(0x42, 0, payload, true);
    EXPECT_EQ(uartFrame, (Bytes{0x21, 0x42, 0x00, 0x01, 0x01, 0x02, 0x0A, 0x4A}));
    EXPECT_EQ(BuildReplyFrame(0x42, 0, payload, false), (Bytes{0x21, 0x42, 0x00, 0x01, 0x01, 0x02, 0x0A}));
    // 0x02 bare (as the host's own example shows it) or escaped: both decode the same.
    EXPECT_EQ(StuffUartFrame(uartFrame.data(), uartFrame.size(), false),
              (Bytes{0x02, 0x21, 0x42, 0x00, 0x01, 0x01, 0x02, 0x10, 0x0A, 0x4A, 0x0A}));
    EXPECT_EQ(StuffUartFrame(uartFrame.data(), uartFrame.size(), true),
              (Bytes{0x02, 0x21, 0x42, 0x00, 0x01, 0x01, 0x10, 0x02, 0x10, 0x0A, 0x4A, 0x0A}));
    const Bytes negative = BuildReplyFrame(0x31, status::NotErased, {}, true);
    EXPECT_EQ(negative[2], 0xE1);
    EXPECT_EQ(XorOf(negative.data() + 1, negative.size() - 1), 0);
}

TEST(WireCodec, UartDecoderCases) {
    struct Case {
        const char* name;
        Bytes wire;
        std::vector<Bytes> frames;
    };
    const std::vector<Case> cases = {
        {"request", {0x02, 0x21, 0x42, 0x42, 0x0A}, {{0x21, 0x42, 0x42}}},
        {"noise before the start byte",
         {0x55, 0x0A, 0x10, 0x02, 0x21, 0x41, 0x41, 0x0A},
         {{0x21, 0x41, 0x41}}},
        {"empty frame dropped", {0x02, 0x0A, 0x02, 0x21, 0x41, 0x41, 0x0A}, {{0x21, 0x41, 0x41}}},
        {"escapes", {0x02, 0x21, 0x10, 0x02, 0x10, 0x10, 0x10, 0x0A, 0x0A}, {{0x21, 0x02, 0x10, 0x0A}}},
        {"bare 0x02 is data", {0x02, 0x21, 0x02, 0x33, 0x0A}, {{0x21, 0x02, 0x33}}},
        {"two frames", {0x02, 0x01, 0x0A, 0x02, 0x03, 0x0A}, {{0x01}, {0x03}}},
        {"unfinished frame", {0x02, 0x21, 0x42}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CUartFrameDecoder whole;
        std::vector<Bytes> frames;
        whole.Feed(c.wire.data(), c.wire.size(), frames);
        EXPECT_EQ(frames, c.frames);
        // Byte by byte gives the same frames.
        CUartFrameDecoder single;
        std::vector<Bytes> one;
        for (uint8_t b : c.wire) {
            single.Feed(&b, 1, one);
        }
        EXPECT_EQ(one, c.frames);
    }
}

TEST(WireCodec, UartDecoderDropsOversizeFrames) {
    CUartFrameDecoder decoder(4);
    const Bytes wire{0x02, 1, 2, 3, 4, 5, 0x10, 0x0A, 6, 0x0A, 0x02, 0x21, 0x41, 0x41, 0x0A};
    std::vector<Bytes> frames;
    decoder.Feed(wire.data(), wire.size(), frames);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (Bytes{0x21, 0x41, 0x41}));
    EXPECT_EQ(decoder.OversizeFrames(), 1u);
}

TEST(WireCodec, UartRoundTripOfRandomFrames) {
    std::mt19937 rng(7);
    for (bool escape02 : {true, false}) {
        CUartFrameDecoder decoder;
        for (int i = 0; i < 200; ++i) {
            Bytes frame(1 + rng() % 300);
            for (auto& b : frame) {
                b = uint8_t(rng() % 4 == 0 ? std::array<uint8_t, 3>{0x02, 0x0A, 0x10}[rng() % 3] : rng());
            }
            const Bytes wire = StuffUartFrame(frame.data(), frame.size(), escape02);
            ASSERT_LE(wire.size(), 2 * frame.size() + 2);
            std::vector<Bytes> frames;
            decoder.Feed(wire.data(), wire.size(), frames);
            ASSERT_EQ(frames.size(), 1u);
            ASSERT_EQ(frames[0], frame);
        }
    }
}

TEST(WireCodec, RecordChecksums) {
    // A merged block: S3 0015 00006000 0102..10 02; and a source record with a one-byte count.
    const Bytes merged = simtest::Hex("000060000102030405060708090A0B0C0D0E0F1002");
    EXPECT_TRUE(RecordChecksumOk(merged.data(), merged.size()));
    EXPECT_EQ(RecordChecksum(merged.data(), merged.size() - 1, 0x0015), 0x02);
    const Bytes source = simtest::Hex("000060000102030405060708");
    EXPECT_EQ(RecordChecksum(source.data(), source.size(), 0x0D), 0x6E);
    // The count's high byte takes part: 300 data bytes give a count of 0x0131.
    const Bytes big = simtest::MakeBlock(0x08000000, Bytes(300, 0xA5), true);
    EXPECT_EQ(big.size(), 305u);
    EXPECT_TRUE(RecordChecksumOk(big.data(), big.size()));
    uint32_t sum = 0x01 + 0x31 + 0x08 + 300 * 0xA5;
    EXPECT_EQ(big.back(), uint8_t(~sum));

    Bytes broken = merged;
    broken[7] ^= 0x01;
    EXPECT_FALSE(RecordChecksumOk(broken.data(), broken.size()));
    EXPECT_FALSE(RecordChecksumOk(merged.data(), 4)); // no room for address and checksum
}

TEST(WireCodec, UsbPacketsReassemble) {
    // The host's example: 0x42 without payload is the single packet 02 00 01 21 42 00 42 0A.
    CUsbPacketAssembler assembler;
    const Bytes example{0x02, 0x00, 0x01, 0x21, 0x42, 0x00, 0x42, 0x0A};
    ASSERT_EQ(assembler.Feed(example.data(), example.size()), CUsbPacketAssembler::EResult::Complete);
    SUsbRequest r = assembler.Take();
    EXPECT_EQ(r.cid, 0x42);
    EXPECT_EQ(r.data, Bytes{0x42});

    struct Case {
        size_t dataLength;
        std::vector<size_t> packetLengths;
    };
    const std::vector<Case> cases = {
        {1, {8}},
        {56, {66}},
        {57, {66}},
        {58, {66}},
        {993, {1000}},
        {994, {1000, 8}},
        {1987, {1000, 1000, 8}},
        {65533, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataLength);
        Bytes data(c.dataLength);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = uint8_t(i * 7);
        }
        const auto packets = simtest::MakeUsbPackets(0x31, data);
        if (!c.packetLengths.empty()) {
            std::vector<size_t> lengths;
            for (const auto& p : packets) {
                lengths.push_back(p.size());
            }
            EXPECT_EQ(lengths, c.packetLengths);
        }
        for (size_t i = 0; i < packets.size(); ++i) {
            const auto result = assembler.Feed(packets[i].data(), packets[i].size());
            ASSERT_EQ(result, i + 1 == packets.size() ? CUsbPacketAssembler::EResult::Complete
                                                      : CUsbPacketAssembler::EResult::Incomplete)
                << assembler.Error();
        }
        r = assembler.Take();
        EXPECT_EQ(r.cid, 0x31);
        EXPECT_EQ(r.data, data);
    }
}

TEST(WireCodec, UsbMalformedPacketsAreRefused) {
    const Bytes good{0x02, 0x00, 0x01, 0x21, 0x41, 0x00, 0x41, 0x0A};
    const auto split = simtest::MakeUsbPackets(0x31, Bytes(1500, 0x11));
    const auto other = simtest::MakeUsbPackets(0x21, Bytes(1500, 0x11));
    struct Case {
        const char* name;
        std::vector<Bytes> packets; // the last one must be refused
        bool cidKnown;
    };
    Bytes shortFirst = simtest::MakeUsbPacket(0x31, 1, Bytes(500, 0x11));
    const std::vector<Case> cases = {
        {"bad start byte", {{0x03, 0x00, 0x01, 0x21, 0x41, 0x00, 0x41, 0x0A}}, false},
        {"bad lead byte", {{0x02, 0x00, 0x01, 0x20, 0x41, 0x00, 0x41, 0x0A}}, false},
        {"too short", {{0x02, 0x00}}, false},
        {"no end byte", {{0x02, 0x00, 0x01, 0x21, 0x41, 0x00, 0x41, 0x0B}}, true},
        {"length beyond packet", {{0x02, 0x00, 0x09, 0x21, 0x41, 0x00, 0x41, 0x0A}}, true},
        {"wrong pad", {{0x02, 0x00, 0x01, 0x21, 0x41, 0x00, 0x41, 0x0A, 0x00, 0x00}}, true},
        {"no data", {{0x02, 0x00, 0x00, 0x21, 0x41, 0x00, 0x0A, 0x00}}, true},
        {"flag 4", {{0x02, 0x00, 0x01, 0x21, 0x41, 0x04, 0x41, 0x0A}}, true},
        {"last without first", {split[1]}, true},
        {"first segment short", {shortFirst}, true},
        {"whole packet inside a split", {split[0], good}, true},
        {"segments of two commands", {split[0], other[1]}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CUsbPacketAssembler assembler;
        for (size_t i = 0; i + 1 < c.packets.size(); ++i) {
            ASSERT_EQ(assembler.Feed(c.packets[i].data(), c.packets[i].size()),
                      CUsbPacketAssembler::EResult::Incomplete);
        }
        EXPECT_EQ(assembler.Feed(c.packets.back().data(), c.packets.back().size()),
                  CUsbPacketAssembler::EResult::Malformed);
        EXPECT_FALSE(assembler.Error().empty());
        EXPECT_EQ(assembler.HasCid(), c.cidKnown);
        // The assembler starts afresh: the next good packet goes through.
        EXPECT_EQ(assembler.Feed(good.data(), good.size()), CUsbPacketAssembler::EResult::Complete);
    }
}

TEST(WireCodec, UsbAssemblerSurvivesRandomPackets) {
    std::mt19937 rng(5);
    CUsbPacketAssembler assembler;
    const auto good = simtest::MakeUsbPackets(0x31, Bytes(2500, 0x5A));
    size_t completed = 0;
    for (int i = 0; i < 20000; ++i) {
        Bytes p;
        if (rng() % 4 == 0) {
            p = good[rng() % good.size()];
        } else {
            p.resize(rng() % 1100);
            for (auto& b : p) {
                b = uint8_t(rng());
            }
            if (p.size() > 6 && rng() % 2) { // a header that passes the first checks
                p[0] = 0x02;
                p[3] = 0x21;
                const size_t l = std::min<size_t>(p.size() - 7, rng() % 1000);
                p[1] = uint8_t(l >> 8);
                p[2] = uint8_t(l);
                p[5] = uint8_t(rng() % 5);
            }
        }
        if (assembler.Feed(p.data(), p.size()) == CUsbPacketAssembler::EResult::Complete) {
            ++completed;
            ASSERT_LE(assembler.Take().data.size(), kMaxRequestFrame);
        }
    }
    EXPECT_GT(completed, 0u);
}
