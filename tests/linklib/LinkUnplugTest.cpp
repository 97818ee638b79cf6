// The handset unplugged under an open port: the transaction waiting for its reply ends at once
// (not at its time-out), the port says the device was disconnected, later transactions fail at
// once without sending, and opening the port again reaches the handset when it is back.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "LinkPeers.h"
#include "quillet/PROTOCOL.h"

using namespace linktest;
using Clock = std::chrono::steady_clock;

namespace {

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Long enough that a wait that runs it out fails the test by a wide margin; short enough that
// such a failure does not hold the suite for minutes.
constexpr int kLongTimeoutMs = 20000;
constexpr int kPromptMs = 3000;

// The far end of either link: it can take one request, answer it, and go away.
class Handset {
public:
    explicit Handset(bool uart) : m_Uart(uart) {
        if (uart) {
            m_Pty = std::make_unique<PtyPeer>();
        } else {
            m_Usb = std::make_unique<UsbPeer>();
        }
    }
    // USB: the port connects in Initialize; the handset takes the connection.
    bool Accept() { return m_Uart || m_Usb->Accept(2000); }
    bool TakeRequest() {
        return m_Uart ? m_Pty->ReadFrame(5000).has_value() : m_Usb->ReadRequest(5000).has_value();
    }
    void Reply(uint8_t cid) {
        const Bytes frame = ReplyFrame(cid, 0, {0}, m_Uart);
        if (m_Uart) {
            m_Pty->Write(UartStuff(frame));
        } else {
            m_Usb->Send(frame);
        }
    }
    void Unplug() {
        if (m_Uart) {
            m_Pty->CloseMaster();
        } else {
            m_Usb->CloseConnection();
        }
    }

private:
    bool m_Uart;
    std::unique_ptr<PtyPeer> m_Pty;
    std::unique_ptr<UsbPeer> m_Usb;
};

int Transact(CPROTOCOL& protocol, uint8_t cid, int timeoutMs) {
    protocol.TmTransactionBegin(cid);
    return protocol.TmTransaction(timeoutMs);
}

class Unplug : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { ClearPortEnvironment(); }
    bool Uart() const { return GetParam(); }
    TS_PORT_CONFIG Config() const { return Uart() ? UartConfig() : UsbConfig(); }
};

INSTANTIATE_TEST_SUITE_P(Link, Unplug, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Uart" : "Usb"; });

TEST_P(Unplug, WaitEndsAtOnceAndLaterTransactionsFailFast) {
    auto handset = std::make_unique<Handset>(Uart());
    CPROTOCOL protocol(Config());
    ASSERT_EQ(protocol.Initialize(), 0) << protocol.GetPortErrorText();
    ASSERT_TRUE(handset->Accept());
    EXPECT_EQ(protocol.GetPortErrorText(), "");

    std::thread far([&] {
        if (handset->TakeRequest()) {
            handset->Unplug(); // the request arrived; the handset goes before it answers
        }
    });
    auto start = Clock::now();
    EXPECT_EQ(Transact(protocol, 0x12, kLongTimeoutMs), TM_ERR_TIMEOUT);
    EXPECT_LT(MsSince(start), kPromptMs);
    far.join();

    const std::string text = protocol.GetPortErrorText();
    EXPECT_NE(text.find(Uart() ? "COM1" : "Csr0"), std::string::npos) << text;
    EXPECT_NE(text.find("the device was disconnected"), std::string::npos) << text;
    EXPECT_NE(protocol.GetPortLastError(), 0u);

    // Every later command fails at once, however long its time-out.
    for (const uint8_t cid : {0x31, 0x33, 0x51}) {
        start = Clock::now();
        EXPECT_EQ(Transact(protocol, cid, kLongTimeoutMs), TM_ERR_TIMEOUT) << int(cid);
        EXPECT_LT(MsSince(start), kPromptMs) << int(cid);
    }

    // The handset is back: opening the port again reaches it, and the error is gone.
    handset.reset();
    handset = std::make_unique<Handset>(Uart());
    ASSERT_EQ(protocol.Initialize(), 0) << protocol.GetPortErrorText();
    ASSERT_TRUE(handset->Accept());
    EXPECT_EQ(protocol.GetPortErrorText(), "");
    std::thread answer([&] {
        if (handset->TakeRequest()) {
            handset->Reply(0x42);
        }
    });
    EXPECT_EQ(Transact(protocol, 0x42, 5000), 0);
    answer.join();
    protocol.Exit();
}

// USB only: a tty that hangs up throws away what it had not handed over yet, as a serial adapter
// does when it is unplugged.
TEST(UnplugUsb, ReplySentJustBeforeTheHangUpIsStillTaken) {
    ClearPortEnvironment();
    Handset handset(false);
    CPROTOCOL protocol(UsbConfig());
    ASSERT_EQ(protocol.Initialize(), 0) << protocol.GetPortErrorText();
    ASSERT_TRUE(handset.Accept());
    std::thread far([&] {
        if (handset.TakeRequest()) {
            handset.Reply(0x41);
            handset.Unplug();
        }
    });
    EXPECT_EQ(Transact(protocol, 0x41, kLongTimeoutMs), 0);
    EXPECT_EQ(protocol.GetInt8(), 0);
    far.join();
    protocol.Exit();
}

TEST_P(Unplug, BetweenCommandsTheNextOneFailsAtOnce) {
    Handset handset(Uart());
    CPROTOCOL protocol(Config());
    ASSERT_EQ(protocol.Initialize(), 0) << protocol.GetPortErrorText();
    ASSERT_TRUE(handset.Accept());
    handset.Unplug();
    // The request cannot go out (-92), or the reader saw the hang-up first (-103): at once, either
    // way, and the port says why. Every command after it fails at once without sending.
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        const int rc = Transact(protocol, 0x11, kLongTimeoutMs);
        EXPECT_TRUE(rc == TM_ERR_WRITE || rc == TM_ERR_TIMEOUT) << rc;
        if (i > 0) {
            EXPECT_EQ(rc, TM_ERR_TIMEOUT);
        }
        EXPECT_LT(MsSince(start), kPromptMs);
        const std::string text = protocol.GetPortErrorText();
        EXPECT_NE(text.find("the device was disconnected"), std::string::npos) << text;
    }
    protocol.Exit();
}

TEST_P(Unplug, ClosingThePortIsNoDisconnection) {
    Handset handset(Uart());
    CPROTOCOL protocol(Config());
    ASSERT_EQ(protocol.Initialize(), 0);
    ASSERT_TRUE(handset.Accept());
    protocol.Exit();
    EXPECT_EQ(protocol.GetPortErrorText(), "");
    EXPECT_EQ(protocol.GetPortLastError(), 0u);
}

} // namespace
