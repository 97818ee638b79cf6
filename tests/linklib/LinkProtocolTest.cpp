// Transactions: time-outs, late and foreign replies (see also LinkLateReplyTest.cpp), checksums, refused
// requests, cancelling, the USB pauses and reading past the end of a reply.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "LinkPeers.h"
#include "quillet/Quillet.h"

using namespace linktest;
using Clock = std::chrono::steady_clock;

namespace {

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// One open protocol object over a pseudo-terminal or the USB socket, with its peer.
class Wire {
public:
    explicit Wire(bool uart) : uart(uart), protocol(uart ? UartConfig() : UsbConfig()) {
        ClearPortEnvironment();
        if (uart) {
            pty = std::make_unique<PtyPeer>();
        } else {
            usb = std::make_unique<UsbPeer>();
        }
        EXPECT_EQ(protocol.Initialize(), 0) << protocol.GetPortErrorText();
        if (!uart) {
            EXPECT_TRUE(usb->Accept(2000));
        }
    }
    ~Wire() {
        responder.reset();
        protocol.Exit();
    }
    void Respond(Responder::Reply reply) {
        responder =
            uart ? std::make_unique<Responder>(*pty, reply) : std::make_unique<Responder>(*usb, reply);
    }
    Bytes Framed(const Bytes& reply) const { return uart ? UartStuff(reply) : reply; }
    int Transact(uint8_t cid, int timeoutMs) {
        protocol.TmTransactionBegin(cid);
        return protocol.TmTransaction(timeoutMs);
    }
    // Whether the peer received anything within ms.
    bool PeerGotSomething(int ms) {
        if (uart) {
            return !pty->ReadFor(ms).empty();
        }
        return usb->ReadPacket(ms).has_value();
    }

    bool uart;
    CPROTOCOL protocol;
    std::unique_ptr<PtyPeer> pty;
    std::unique_ptr<UsbPeer> usb;
    std::unique_ptr<Responder> responder;
};

class Transactions : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Link, Transactions, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Uart" : "Usb"; });

TEST_P(Transactions, LateReplyIsDroppedByTheNextTransaction) {
    Wire w(GetParam());
    std::atomic<int> n{0};
    w.Respond([&](const Bytes& request) {
        if (n++ == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200)); // too late for 50 ms
        }
        return std::vector<Bytes>{w.Framed(ReplyFrame(request[1], 0, {request[1]}, w.uart))};
    });
    EXPECT_EQ(w.Transact(0x41, 50), TM_ERR_TIMEOUT);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(w.Transact(0x42, 1000), 0); // the late 0x41 reply was dropped, not taken
    EXPECT_EQ(w.protocol.GetCID(), 0x42);
    EXPECT_EQ(w.protocol.GetInt8(), 0x42);
    EXPECT_EQ(w.protocol.GetLateReplyCount(), 1u);
    EXPECT_EQ(w.Transact(0x33, 1000), 0);
    EXPECT_EQ(w.protocol.GetInt8(), 0x33);
    EXPECT_EQ(w.protocol.GetLateReplyCount(), 1u);
}

TEST_P(Transactions, RepliesAreCheckedBeforeTheyAreBelieved) {
    Wire w(GetParam());
    struct Case {
        const char* name;
        std::vector<Bytes> replies; // as framed on the wire
        int expected;
        bool uartOnly;
    };
    const bool uart = w.uart;
    std::vector<Case> cases = {
        {"negative status passes through even for another identifier",
         {w.Framed(ReplyFrame(0x99, 0xF6, {}, uart))},
         -10,
         false},
        {"positive status of the right identifier", {w.Framed(ReplyFrame(0x42, 0x05, {}, uart))}, 5, false},
        {"frame without the lead byte is dropped",
         {w.Framed({0x22, 0x42, 0x00, 0x42}), w.Framed(ReplyFrame(0x42, 0, {}, uart))},
         0,
         false},
        {"frame too short for identifier and status is dropped",
         {w.Framed({0x21, 0x42}), w.Framed(ReplyFrame(0x42, 0, {}, uart))},
         0,
         false},
        {"wrong checksum", {UartStuff({0x21, 0x42, 0x00, 0x07, 0x44})}, TM_ERR_CHECKSUM, true},
    };
    std::atomic<size_t> index{0};
    w.Respond([&](const Bytes&) { return cases[index.load()].replies; });
    for (size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].uartOnly && !uart) {
            continue;
        }
        SCOPED_TRACE(cases[i].name);
        index = i;
        EXPECT_EQ(w.Transact(0x42, 2000), cases[i].expected);
    }
    w.responder.reset(); // it reads the cases
}

TEST_P(Transactions, OversizedRequestIsRefusedBeforeAnythingIsWritten) {
    Wire w(GetParam());
    const Bytes big(65533, 0x55);
    w.protocol.TmTransactionBegin(0x31);
    w.protocol.PutData(reinterpret_cast<const char*>(big.data()), static_cast<unsigned short>(big.size()));
    EXPECT_EQ(w.protocol.TmTransaction(-1), TM_ERR_WRITE);
    EXPECT_FALSE(w.PeerGotSomething(200));
    // The largest request that fits goes out whole.
    std::optional<Bytes> frame;
    std::thread reader([&] { frame = w.uart ? w.pty->ReadFrame(10000) : w.usb->ReadRequest(10000); });
    w.protocol.TmTransactionBegin(0x31);
    w.protocol.PutData(reinterpret_cast<const char*>(big.data()), 65532);
    EXPECT_GT(w.protocol.TmTransaction(-1), 0);
    reader.join();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->size(), 65535u);
}

TEST_P(Transactions, CancelEndsAWaitAtOnceAndSendsNothingWhileOn) {
    Wire w(GetParam());
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        w.protocol.CancelWaits(true);
    });
    const auto start = Clock::now();
    EXPECT_EQ(w.Transact(0x12, 60000), TM_ERR_TIMEOUT);
    EXPECT_LT(MsSince(start), 5000);
    canceller.join();
    w.PeerGotSomething(100); // the first request
    EXPECT_EQ(w.Transact(0x12, 60000), TM_ERR_TIMEOUT);
    EXPECT_FALSE(w.PeerGotSomething(100));
    w.protocol.CancelWaits(false);
    w.Respond(EchoStatus(w.uart, 0, {}));
    EXPECT_EQ(w.Transact(0x12, 2000), 0);
}

TEST_P(Transactions, NegativeTimeOutSendsWithoutWaitingAndReceiveDoesNotWait) {
    Wire w(GetParam());
    const auto start = Clock::now();
    EXPECT_GT(w.Transact(0x42, -1), 0); // bytes written
    EXPECT_EQ(w.protocol.TmReceive(0x42, -5), TM_ERR_TIMEOUT);
    EXPECT_LT(MsSince(start), 1000);
}

// A line that keeps producing frames that are no reply (noise) must not keep the caller waiting
// past its time-out: every stray frame would otherwise start the wait again.
TEST_P(Transactions, StrayFramesDoNotPushTheTimeOutBack) {
    Wire w(GetParam());
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        const Bytes stray = w.Framed({0x22, 0x42, 0x00, 0x42});  // not led by 21
        const auto end = Clock::now() + std::chrono::seconds(4); // so that a failing wait still ends
        while (!stop && Clock::now() < end) {
            if (w.uart) {
                w.pty->Write(stray);
            } else {
                w.usb->Send(stray);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the noise is under way
    const auto start = Clock::now();
    EXPECT_EQ(w.Transact(0x42, 300), TM_ERR_TIMEOUT);
    const auto ms = MsSince(start);
    stop = true;
    noise.join();
    EXPECT_GE(ms, 280);
    EXPECT_LT(ms, 2000); // without the deadline: never
}

TEST(TransactionTimeOut, ZeroMeansFourSeconds) {
    Wire w(true);
    const auto start = Clock::now();
    EXPECT_EQ(w.Transact(0x42, 0), TM_ERR_TIMEOUT);
    const auto ms = MsSince(start);
    EXPECT_GE(ms, 4000);
    EXPECT_LT(ms, 8000);
}

TEST(ReplyFields, ReadingPastTheEndGivesFillersAndNeverReadsBeyond) {
    Wire w(false);
    w.Respond(EchoStatus(false, 0, {0x11, 0x22, 0x33}));
    ASSERT_EQ(w.Transact(0x42, 2000), 0);
    uint8_t buf[8];
    EXPECT_EQ(w.protocol.PeekData(buf, 2), 2);
    EXPECT_EQ(w.protocol.GetRemainingLength(), 3);
    EXPECT_EQ(w.protocol.GetInt16(), 0x2211);
    EXPECT_EQ(w.protocol.GetInt16(), 0xBABA); // one byte left is not enough
    EXPECT_EQ(w.protocol.GetInt8(), 0xBA);    // the position stayed advanced
    ASSERT_EQ(w.Transact(0x42, 2000), 0);
    EXPECT_EQ(w.protocol.GetData(buf, 8), 3);
    EXPECT_EQ(Hex(Bytes(buf, buf + 8)), "11 22 33 BA BA BA BA BA");
    EXPECT_EQ(w.protocol.GetData(buf, -1), 0);
    EXPECT_EQ(w.protocol.GetInt32(), 0xBABABABAu);
    ASSERT_EQ(w.Transact(0x42, 2000), 0);
    EXPECT_EQ(w.protocol.ExpectInt8(0x11), 0);
    EXPECT_EQ(w.protocol.ExpectInt16(0x3322), 0);
    EXPECT_EQ(w.protocol.ExpectInt8(0x00), TM_ERR_UNEXPECTED);
}

// The boot loader needs time on USB: 500 ms before the reply to the writer's end is read, and
// 100 ms after each writer block.
TEST(UsbPauses, WriterEndAndWriterBlocks) {
    ClearPortEnvironment();
    UsbPeer peer;
    COstraMonitor monitor(UsbConfig());
    ASSERT_EQ(monitor.Initialize(), 0);
    ASSERT_TRUE(peer.Accept(2000));
    Responder responder(peer, EchoStatus(false, 0, {}));
    struct Case {
        TE_FLASH_CMDS command;
        unsigned short length;
        int minMs;
        int maxMs;
    } cases[] = {
        {FLASH_CMD_WRITER_END, 0, 500, 5000},
        {FLASH_CMD_WRITER_DATA, 8, 100, 5000},
        {FLASH_CMD_APP_DATA, 8, 0, 400},
    };
    const char block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const auto start = Clock::now();
        EXPECT_EQ(monitor.FlashWrite(c.command, c.length, c.length ? block : nullptr), 0);
        EXPECT_GE(MsSince(start), c.minMs);
        EXPECT_LT(MsSince(start), c.maxMs);
    }
    monitor.Quit();
}

// A USB packet the device never takes: the write gives up after 5 s with TM_ERR_WRITE.
TEST(WriteTimeOut, UsbPacketWriteGivesUpAfterFiveSeconds) {
    Wire w(false);
    const Bytes block(65532, 0x5A);
    int rc = 0;
    long long lastMs = 0;
    for (int i = 0; i < 50 && rc >= 0; ++i) {
        const auto start = Clock::now();
        w.protocol.TmTransactionBegin(0x31);
        w.protocol.PutData(reinterpret_cast<const char*>(block.data()), 65532);
        rc = w.protocol.TmTransaction(-1);
        lastMs = MsSince(start);
    }
    EXPECT_EQ(rc, TM_ERR_WRITE);
    EXPECT_GE(lastMs, 5000);
    EXPECT_LT(lastMs, 15000);
}

// A UART write stuck behind a peer that reads nothing ends when the waits are cancelled.
TEST(WriteTimeOut, CancelInterruptsAUartWriteInFlight) {
    Wire w(true);
    const Bytes block(65532, 0x5A);
    std::atomic<bool> started{false};
    std::thread canceller([&] {
        while (!started) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        w.protocol.CancelWaits(true);
    });
    int rc = 0;
    const auto start = Clock::now();
    for (int i = 0; i < 100 && rc >= 0; ++i) {
        started = true;
        w.protocol.TmTransactionBegin(0x31);
        w.protocol.PutData(reinterpret_cast<const char*>(block.data()), 65532);
        rc = w.protocol.TmTransaction(-1);
    }
    canceller.join();
    EXPECT_TRUE(rc == TM_ERR_WRITE || rc == TM_ERR_TIMEOUT) << rc;
    EXPECT_LT(MsSince(start), 5000);
}

} // namespace
