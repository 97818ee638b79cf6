// Wire bytes of every command and of the link framing, both ways, over both port types.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "LinkPeers.h"
#include "quillet/Quillet.h"

using namespace linktest;

namespace {

class Link {
public:
    explicit Link(bool uart) : m_Uart(uart) {
        ClearPortEnvironment();
        if (uart) {
            m_Pty = std::make_unique<PtyPeer>();
        } else {
            m_Usb = std::make_unique<UsbPeer>();
        }
        m_Monitor = std::make_unique<COstraMonitor>(uart ? UartConfig() : UsbConfig());
        EXPECT_EQ(m_Monitor->Initialize(), 0) << m_Monitor->GetPortErrorText();
        if (!uart) {
            EXPECT_TRUE(m_Usb->Accept(2000));
        }
    }
    ~Link() { m_Monitor->Quit(); }
    COstraMonitor& Monitor() { return *m_Monitor; }
    PtyPeer& Pty() { return *m_Pty; }
    UsbPeer& Usb() { return *m_Usb; }
    // A responder that records each request and answers with status and payload.
    std::unique_ptr<Responder> Answer(uint8_t status, const Bytes& payload, std::vector<Bytes>* seen) {
        auto echo = EchoStatus(m_Uart, status, payload);
        auto body = [echo, seen, this](const Bytes& request) {
            {
                std::lock_guard lock(m_SeenMutex);
                seen->push_back(request);
            }
            return echo(request);
        };
        if (m_Uart) {
            return std::make_unique<Responder>(*m_Pty, body);
        }
        return std::make_unique<Responder>(*m_Usb, body);
    }
    std::mutex m_SeenMutex;

private:
    bool m_Uart;
    std::unique_ptr<PtyPeer> m_Pty;
    std::unique_ptr<UsbPeer> m_Usb;
    std::unique_ptr<COstraMonitor> m_Monitor;
};

struct CommandCase {
    const char* name;
    // Runs the command; returns its result and a summary of its out-parameters.
    std::function<std::pair<int, std::string>(COstraMonitor&)> run;
    Bytes requestUart; // frame as the target decodes it
    Bytes requestUsb;  // frame joined from the packets: 21 cid data (checksum included)
    uint8_t status;
    Bytes replyPayload;
    int expectedResult;
    std::string expectedOut;
};

Bytes Iota(size_t n, uint8_t start = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(start + i);
    }
    return b;
}

std::vector<CommandCase> CommandCases() {
    static const Bytes block{0x01, 0x02, 0x0A, 0x10};
    static const Bytes dump = Iota(512, 7);
    std::vector<CommandCase> cases;
    cases.push_back({"QueryFlashId",
                     [](COstraMonitor& m) {
                         TE_FLASH_MANUFACTURE_ID id{};
                         int rc = m.QueryFlashId(0x04000000, id);
                         return std::make_pair(rc, "id=" + std::to_string(id));
                     },
                     RequestFrame(0x11, {0x04, 0x00, 0x00, 0x00}),
                     RequestFrame(0x11, {0x04, 0x00, 0x00, 0x00}),
                     0,
                     {0x09},
                     0,
                     "id=9"});
    cases.push_back({"QueryFlashId keeps the id of status -7",
                     [](COstraMonitor& m) {
                         TE_FLASH_MANUFACTURE_ID id{};
                         int rc = m.QueryFlashId(0x0C000000, id);
                         return std::make_pair(rc, "id=" + std::to_string(id));
                     },
                     RequestFrame(0x11, {0x0C, 0, 0, 0}),
                     RequestFrame(0x11, {0x0C, 0, 0, 0}),
                     0xF9,
                     {0x13},
                     -7,
                     "id=19"});
    cases.push_back(
        {"EraseFlashAll",
         [](COstraMonitor& m) { return std::make_pair(int{m.EraseFlashAll(0x04000000)}, std::string()); },
         Bytes{0x21, 0x12, 0x04, 0x00, 0x00, 0x00, 0x16},
         Bytes{0x21, 0x12, 0x04, 0x00, 0x00, 0x00, 0x16},
         0,
         {},
         0,
         ""});
    cases.push_back({"EraseFlashBlock",
                     [](COstraMonitor& m) {
                         return std::make_pair(int{m.EraseFlashBlock(0x00010000, 0x0002A000)}, std::string());
                     },
                     RequestFrame(0x13, {0, 1, 0, 0, 0, 2, 0xA0, 0}),
                     RequestFrame(0x13, {0, 1, 0, 0, 0, 2, 0xA0, 0}),
                     0,
                     {},
                     0,
                     ""});
    cases.push_back({"FlashWrite data: USB leaves out the last byte",
                     [](COstraMonitor& m) {
                         return std::make_pair(int{m.FlashWrite(FLASH_CMD_APP_DATA, 4,
                                                                reinterpret_cast<const char*>(block.data()))},
                                               std::string());
                     },
                     RequestFrame(0x31, block),
                     RequestFrame(0x31, {0x01, 0x02, 0x0A}),
                     0,
                     {},
                     0,
                     ""});
    cases.push_back({"FlashWrite end command",
                     [](COstraMonitor& m) {
                         return std::make_pair(int{m.FlashWrite(FLASH_CMD_APP_END, 0, nullptr)},
                                               std::string());
                     },
                     Bytes{0x21, 0x32, 0x32},
                     Bytes{0x21, 0x32, 0x32},
                     0,
                     {},
                     0,
                     ""});
    cases.push_back({"FlashWrite passes a target status through",
                     [](COstraMonitor& m) {
                         return std::make_pair(int{m.FlashWrite(FLASH_CMD_APP_DATA, 1,
                                                                reinterpret_cast<const char*>(block.data()))},
                                               std::string());
                     },
                     RequestFrame(0x31, {0x01}),
                     Bytes{0x21, 0x31, 0x31},
                     0xFC,
                     {},
                     -4,
                     ""});
    cases.push_back(
        {"ConfirmFlashWriting",
         [](COstraMonitor& m) { return std::make_pair(int{m.ConfirmFlashWriting()}, std::string()); },
         Bytes{0x21, 0x33, 0x33},
         Bytes{0x21, 0x33, 0x33},
         0,
         {},
         0,
         ""});
    cases.push_back({"RequestAndWaitConfirmatonForFlashWrite",
                     [](COstraMonitor& m) {
                         TE_REQ_FLASH_WRITE_RESULT r = FLASH_WRITE_POSSIBLE;
                         int rc = m.RequestAndWaitConfirmatonForFlashWrite(r);
                         return std::make_pair(rc, "result=" + std::to_string(r));
                     },
                     Bytes{0x21, 0x41, 0x41},
                     Bytes{0x21, 0x41, 0x41},
                     0,
                     {0x01},
                     0,
                     "result=1"});
    cases.push_back({"QueryTargetRunner",
                     [](COstraMonitor& m) {
                         TE_TARGET_RUNNER_TYPES r{};
                         std::string v;
                         int rc = m.QueryTargetRunner(r, v);
                         return std::make_pair(rc, "runner=" + std::to_string(r) + " version=" + v);
                     },
                     Bytes{0x21, 0x42, 0x42},
                     Bytes{0x21, 0x42, 0x42},
                     0,
                     {0x03, 0x01, 0x02, 0x0A},
                     0,
                     "runner=3 version=1.2.10"});
    cases.push_back({"MemoryDump words",
                     [](COstraMonitor& m) {
                         std::vector<unsigned char> buf(520, 0xEE);
                         int rc = m.MemoryDump(0x08100000, 0x0100, DUMP_WORD, buf.data());
                         bool same = std::memcmp(buf.data(), dump.data(), 512) == 0 && buf[512] == 0xEE;
                         return std::make_pair(rc, same ? "copied 512" : "wrong copy");
                     },
                     RequestFrame(0x51, {0x08, 0x10, 0x00, 0x00, 0x00, 0x01, 0x01}),
                     RequestFrame(0x51, {0x08, 0x10, 0x00, 0x00, 0x00, 0x01, 0x01}), 0, dump, 0,
                     "copied 512"});
    cases.push_back({"MemoryDump short reply copies what came and fails",
                     [](COstraMonitor& m) {
                         std::vector<unsigned char> buf(8, 0xEE);
                         int rc = m.MemoryDump(0x100, 2, DUMP_DWORD, buf.data());
                         return std::make_pair(rc, Hex(Bytes(buf.begin(), buf.end())));
                     },
                     RequestFrame(0x51, {0, 0, 1, 0, 2, 0, 2}),
                     RequestFrame(0x51, {0, 0, 1, 0, 2, 0, 2}),
                     0,
                     {1, 2, 3, 4, 5},
                     TM_ERR_UNEXPECTED,
                     "01 02 03 04 05 EE EE EE"});
    return cases;
}

class CommandWire : public ::testing::TestWithParam<bool> {};

TEST_P(CommandWire, EveryCommandSendsItsFrameAndReadsItsReply) {
    const bool uart = GetParam();
    for (const CommandCase& c : CommandCases()) {
        SCOPED_TRACE(c.name);
        Link link(uart);
        std::vector<Bytes> seen;
        {
            auto responder = link.Answer(c.status, c.replyPayload, &seen);
            auto [rc, out] = c.run(link.Monitor());
            EXPECT_EQ(rc, c.expectedResult) << (TmStatusName(rc) ? TmStatusName(rc) : "");
            EXPECT_EQ(out, c.expectedOut);
        }
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(Hex(seen[0]), Hex(uart ? c.requestUart : c.requestUsb));
    }
}

INSTANTIATE_TEST_SUITE_P(Link, CommandWire, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Uart" : "Usb"; });

// --- exact UART bytes ------------------------------------------------------------------------

TEST(UartWire, RequestsAreStuffedOnTheWire) {
    struct Case {
        const char* name;
        std::function<void(CPROTOCOL&)> put;
        const char* wire;
    } cases[] = {
        {"no payload: 21 42 42", [](CPROTOCOL& p) { p.TmTransactionBegin(0x42); }, "02 21 42 42 0A"},
        {"erase CS#1",
         [](CPROTOCOL& p) {
             p.TmTransactionBegin(0x12);
             p.PutInt32(0x00000004);
         },
         "02 21 12 04 00 00 00 16 0A"},
        {"payload bytes 02 0A 10 escaped",
         [](CPROTOCOL& p) {
             p.TmTransactionBegin(0x31);
             p.PutInt8(0x02);
             p.PutInt8(0x0A);
             p.PutInt8(0x10);
         },
         // checksum 31^02^0A^10 = 0x29
         "02 21 31 10 02 10 0A 10 10 29 0A"},
        {"identifier and checksum 0x0A escaped", [](CPROTOCOL& p) { p.TmTransactionBegin(0x0A); },
         "02 21 10 0A 10 0A 0A"},
        {"16-bit and 32-bit fields least significant byte first",
         [](CPROTOCOL& p) {
             p.TmTransactionBegin(0x60);
             p.PutInt16(0x1234);
             p.PutInt32(0xA1B2C3D4);
         },
         "02 21 60 34 12 D4 C3 B2 A1 42 0A"},
    };
    ClearPortEnvironment();
    PtyPeer peer;
    CPROTOCOL protocol(UartConfig());
    ASSERT_EQ(protocol.Initialize(), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.put(protocol);
        const int sent = protocol.TmTransaction(-1); // no reply awaited
        auto frame = peer.ReadFrame(2000);
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(Hex(peer.LastRaw()), c.wire);
        EXPECT_EQ(sent, static_cast<int>(peer.LastRaw().size()));
    }
    protocol.Exit();
}

TEST(UartWire, ReplyIsDecodedFieldByField) {
    ClearPortEnvironment();
    PtyPeer peer;
    CPROTOCOL protocol(UartConfig());
    ASSERT_EQ(protocol.Initialize(), 0);
    Responder responder(peer, [](const Bytes&) {
        // 21 42 00 01 01 02 0A 4A on the wire, the 0A escaped.
        return std::vector<Bytes>{{0x02, 0x21, 0x42, 0x00, 0x01, 0x01, 0x02, 0x10, 0x0A, 0x4A, 0x0A}};
    });
    protocol.TmTransactionBegin(0x42);
    ASSERT_EQ(protocol.TmTransaction(2000), 0);
    EXPECT_EQ(protocol.GetCID(), 0x42);
    EXPECT_EQ(protocol.GetUplinkErrorStatus(), 0);
    EXPECT_EQ(protocol.GetRemainingLength(), 4);
    EXPECT_EQ(protocol.GetInt8(), 1);
    EXPECT_EQ(protocol.GetInt8(), 1);
    EXPECT_EQ(protocol.GetInt8(), 2);
    EXPECT_EQ(protocol.ExpectInt8(0x0A), 0);
    // Past the end: fillers, the checksum is not payload.
    EXPECT_EQ(protocol.GetInt8(), 0xBA);
    EXPECT_EQ(protocol.GetRemainingLength(), 0);
    protocol.Exit();
}

// --- USB packets -----------------------------------------------------------------------------

TEST(UsbWire, RequestsAreCutIntoPackets) {
    struct Case {
        int dataBytes; // payload + checksum
        std::vector<size_t> sizes;
        std::vector<int> flags;
    } cases[] = {
        {1, {8}, {0}},            // 02 00 01 21 42 00 42 0A
        {55, {62}, {0}},          // 7 + 55 = 62
        {56, {66}, {0}},          // 63 -> 64 -> 66
        {57, {66}, {0}},          // 64 -> 66
        {993, {1000}, {0}},       // one packet
        {994, {1000, 8}, {1, 3}}, // 993 + 1
        {1987, {1000, 1000, 8}, {1, 2, 3}},
        {65533, {}, {}}, // the largest request: 66 packets
    };
    ClearPortEnvironment();
    UsbPeer peer;
    CPROTOCOL protocol(UsbConfig());
    ASSERT_EQ(protocol.Initialize(), 0);
    ASSERT_TRUE(peer.Accept(2000));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataBytes);
        const Bytes payload = Iota(static_cast<size_t>(c.dataBytes - 1), 0x02);
        protocol.TmTransactionBegin(0x42);
        protocol.PutData(reinterpret_cast<const char*>(payload.data()),
                         static_cast<unsigned short>(payload.size()));
        const int sent = protocol.TmTransaction(-1);
        std::vector<Bytes> packets;
        auto frame = peer.ReadRequest(2000, &packets);
        ASSERT_TRUE(frame.has_value());
        // The joined packets carry the frame unescaped.
        EXPECT_EQ(*frame, RequestFrame(0x42, payload));
        if (!c.sizes.empty()) {
            ASSERT_EQ(packets.size(), c.sizes.size());
            for (size_t i = 0; i < packets.size(); ++i) {
                EXPECT_EQ(packets[i].size(), c.sizes[i]) << "packet " << i;
                EXPECT_EQ(packets[i][5], c.flags[i]) << "packet " << i;
            }
        } else {
            EXPECT_EQ(packets.size(), 66u);
        }
        for (const Bytes& p : packets) {
            const size_t len = (static_cast<size_t>(p[1]) << 8) | p[2];
            EXPECT_EQ(p[0], 0x02);
            EXPECT_EQ(p[3], 0x21);
            EXPECT_EQ(p[4], 0x42);
            EXPECT_EQ(p[6 + len], 0x0A);
            EXPECT_EQ(p.size() % 2, 0u);
            EXPECT_NE(p.size() % 64, 0u);
        }
        EXPECT_EQ(sent, packets.size() == 1 ? static_cast<int>(packets[0].size()) : c.dataBytes);
    }
    // The smallest request, byte for byte.
    protocol.TmTransactionBegin(0x42);
    protocol.TmTransaction(-1);
    auto p = peer.ReadPacket(2000);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(Hex(*p), "02 00 01 21 42 00 42 0A");
    protocol.Exit();
}

TEST(UsbWire, ReplyPacketIsOneFrameWithoutChecksum) {
    ClearPortEnvironment();
    UsbPeer peer;
    CPROTOCOL protocol(UsbConfig());
    ASSERT_EQ(protocol.Initialize(), 0);
    ASSERT_TRUE(peer.Accept(2000));
    Responder responder(peer, [](const Bytes&) {
        return std::vector<Bytes>{{0x21, 0x42, 0x00, 0x01, 0x01, 0x02, 0x0A}};
    });
    protocol.TmTransactionBegin(0x42);
    ASSERT_EQ(protocol.TmTransaction(2000), 0);
    EXPECT_EQ(protocol.GetRemainingLength(), 4);
    EXPECT_EQ(protocol.GetInt32(), 0x0A020101u);
    EXPECT_EQ(protocol.GetInt16(), 0xBABA);
    protocol.Exit();
}

} // namespace
