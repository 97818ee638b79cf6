// The port: error codes, opening and its failures, line settings read back from the device,
// the USB reader's rules, and prompt closing whatever the device does.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "LinkChannel.h"
#include "LinkError.h"
#include "LinkPeers.h"
#include "quillet/Quillet.h"

using namespace linktest;
using namespace quillet;
using Clock = std::chrono::steady_clock;

namespace {

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(PortErrors, ErrnoMapsToWindowsCodes) {
    const std::pair<int, uint32_t> cases[] = {
        {0, 0},       {ENOENT, 2},  {ENODEV, 2},       {EACCES, 5}, {EPERM, 5},
        {EBADF, 6},   {EBUSY, 170}, {ETIMEDOUT, 1460}, {EIO, 1117}, {ECONNREFUSED, 1225},
        {EPIPE, 109}, {EINVAL, 87}, {ENOTTY, 1},       {EXDEV, 31},
    };
    for (auto [err, code] : cases) {
        EXPECT_EQ(WinErrorFromErrno(err), code) << "errno " << err;
    }
    EXPECT_NE(WinErrorText(2).find("does not exist"), std::string::npos);
}

TEST(PortOpen, FailuresLeaveThePortClosedWithTheStatusTextSet) {
    ClearPortEnvironment();
    char regular[] = "/tmp/quillet-regular-XXXXXX";
    const int fd = ::mkstemp(regular);
    ASSERT_GE(fd, 0);
    ::close(fd);
    struct Case {
        const char* name;
        TS_PORT_CONFIG config;
        std::string comPath; // COM1 maps here (UART cases)
        std::string usbPath; // "\\.\Csr0" maps here (USB cases)
        unsigned int error;
        std::string text;
    } cases[] = {
        {"missing tty", UartConfig(), "/nonexistent/ttyQ0", "", 2, "COM1(115200-8-N-1)"},
        {"a file that is not a tty", UartConfig(), regular, "", 1, "COM1(115200-8-N-1)"},
        {"baud index outside the table", TS_PORT_CONFIG{PORT_UART, 0, 15, 3, 0, 0, 0}, "", "", 0x80070057u,
         "COM1(-1-8-N-1)"},
        {"flow control outside the table", TS_PORT_CONFIG{PORT_UART, 0, 12, 3, 0, 0, 3}, "", "", 0x80070057u,
         "COM1(115200-8-N-1)"},
        {"missing USB device", UsbConfig(), "", "/nonexistent/csr0", 2, "USB port is opened successfully"},
        {"USB socket nobody listens on", UsbConfig(), "", "", 1225, "USB port is opened successfully"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<PtyPeer> pty;
        if (c.comPath.empty()) {
            pty = std::make_unique<PtyPeer>(); // a good device: the settings are what fails
        } else {
            QuilletSetComPath(1, c.comPath);
        }
        std::string deadSocket;
        if (c.config.PortType == PORT_USB && c.usbPath.empty()) {
            deadSocket = std::string(regular) + ".sock";
            int s = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", deadSocket.c_str());
            ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            ::close(s); // bound, never listening
            c.usbPath = deadSocket;
        }
        QuilletSetUsbDevicePath(c.usbPath);
        COstraMonitor monitor(c.config);
        EXPECT_EQ(monitor.Initialize(), TM_ERR_PORT_OPEN);
        EXPECT_EQ(monitor.IsSerialOpen(), 0);
        EXPECT_EQ(monitor.GetSerialPortConnectStatusString(), c.text);
        EXPECT_EQ(monitor.GetPortLastError(), c.error) << monitor.GetPortErrorText();
        EXPECT_FALSE(monitor.GetPortErrorText().empty());
        if (!c.comPath.empty() || !c.usbPath.empty()) {
            const std::string& path = c.config.PortType == PORT_USB ? c.usbPath : c.comPath;
            EXPECT_NE(monitor.GetPortErrorText().find(path), std::string::npos) << monitor.GetPortErrorText();
        }
        // Commands on a port that did not open fail at once.
        TE_TARGET_RUNNER_TYPES runner{};
        std::string version;
        EXPECT_EQ(monitor.QueryTargetRunner(runner, version), TM_ERR_WRITE);
        QuilletSetComPath(1, "");
        QuilletSetUsbDevicePath("");
        if (!deadSocket.empty()) {
            ::unlink(deadSocket.c_str());
        }
    }
    ::unlink(regular);
}

TEST(PortOpen, OtherPortTypeOpensNothingAndNoConfigurationRefuses) {
    COstraMonitor other(TS_PORT_CONFIG{2, 0, 12, 3, 0, 0, 0});
    EXPECT_EQ(other.Initialize(), 0);
    EXPECT_EQ(other.IsSerialOpen(), 0);
    TE_REQ_FLASH_WRITE_RESULT result = FLASH_WRITE_NOT_POSSIBLE;
    EXPECT_LT(other.RequestAndWaitConfirmatonForFlashWrite(result), 0);

    COstraMonitor unconfigured;
    EXPECT_EQ(unconfigured.Initialize(), TM_ERR_PORT_OPEN);
    EXPECT_EQ(unconfigured.IsSerialOpen(), 0);
    CPROTOCOL bare;
    EXPECT_EQ(bare.Initialize(), TM_ERR_PORT_OPEN);
    EXPECT_EQ(bare.GetUplinkErrorStatus(), 0);
    EXPECT_EQ(bare.GetInt8(), 0xBA);
}

TEST(PortOpen, OpeningTwiceIsRefusedAndKeepsTheDevice) {
    ClearPortEnvironment();
    PtyPeer peer;
    CLinkPort port;
    ASSERT_EQ(port.OpenComDevice("COM1", 115200, 8, 0, 0, 0, EV_RXCHAR, 4096, 131072), 0u);
    EXPECT_EQ(port.OpenComDevice("COM1", 9600, 8, 0, 0, 0, EV_RXCHAR, 4096, 131072), kErrAlreadyInitialized);
    EXPECT_EQ(port.GetLastError(), kErrAlreadyInitialized);
    EXPECT_EQ(port.QueryBaudRate(), 115200);
    EXPECT_EQ(port.OpenUsbDevice(), kErrAlreadyInitialized);
    // Another port object cannot have the same device while this one holds it.
    CLinkPort second;
    EXPECT_EQ(second.OpenComDevice("COM1", 115200, 8, 0, 0, 0, EV_RXCHAR, 4096, 131072), kErrBusy);
    // the refused open leaves the holder's device in its exclusive mode
    const int probe = ::open(peer.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int exclusive = 0;
    EXPECT_EQ(::ioctl(probe, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    ::close(probe);
    EXPECT_EQ(port.CloseDevice(), 0u);
    EXPECT_EQ(port.CloseDevice(), 0u);
    EXPECT_EQ(port.QueryBaudRate(), -1);
    EXPECT_EQ(port.GetLastError(), kErrInvalidHandle);
    EXPECT_EQ(port.ApplyFlowControl(0), kErrInvalidHandle);
    EXPECT_EQ(second.OpenComDevice("COM1", 115200, 8, 0, 0, 0, EV_RXCHAR, 4096, 131072), 0u);
}

TEST(PortSettings, EveryTableValueIsReadBackFromTheDevice) {
    ClearPortEnvironment();
    PtyPeer peer;
    const int rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                         19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (int rate : rates) {
        CLinkPort port;
        ASSERT_EQ(port.OpenComDevice(peer.Path(), rate, 8, 0, 0, 0, EV_RXCHAR, 4096, 131072), 0u) << rate;
        EXPECT_EQ(port.QueryBaudRate(), rate);
    }
    struct Case {
        int dataBits, parity, stopBits, flowMode;
        int byteSize, parityBack, stopBack, flowBack;
    } cases[] = {
        {8, 0, 0, 0, 8, 0, 0, 0}, {7, 1, 0, 0, 7, 1, 0, 0},
        {7, 2, 0, 0, 7, 2, 0, 0}, {8, 3, 0, 0, 8, 3, 0, 0}, // mark
        {8, 4, 0, 0, 8, 4, 0, 0},                           // space
        {6, 0, 2, 0, 6, 0, 2, 0}, {8, 0, 1, 0, 8, 0, 2, 0}, // 1.5 stop bits: nearest is 2 with 8 data bits
        {5, 0, 1, 0, 5, 0, 1, 0},                           // ... and 1.5 with 5 data bits
        {8, 0, 0, 1, 8, 0, 0, 1},                           // hardware
        {8, 0, 0, 2, 8, 0, 0, 2},                           // software
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.dataBits << " " << c.parity << " " << c.stopBits << " " << c.flowMode);
        CLinkPort port;
        ASSERT_EQ(port.OpenComDevice(peer.Path(), 9600, c.dataBits, c.parity, c.stopBits, c.flowMode,
                                     EV_RXCHAR, 4096, 131072),
                  0u);
        EXPECT_EQ(port.QueryByteSize(), c.byteSize);
        EXPECT_EQ(port.QueryParity(), c.parityBack);
        EXPECT_EQ(port.QueryStopBits(), c.stopBack);
        EXPECT_EQ(port.QueryFlowControl(), c.flowBack);
        EXPECT_EQ(port.QueryEventMask(), EV_RXCHAR);
    }
    // Modes and values outside their tables.
    CLinkPort port;
    ASSERT_EQ(port.OpenComDevice(peer.Path(), 9600, 8, 0, 0, 0, EV_RXCHAR, 4096, 131072), 0u);
    EXPECT_EQ(port.ApplyFlowControl(3), kErrInvalidArg);
    EXPECT_EQ(port.ApplyReadTimeouts(2, 0, 0, 0), kErrInvalidArg);
    EXPECT_EQ(port.ApplyReadMode(7), kErrInvalidArg);
    EXPECT_EQ(port.ApplyLineSettings(9600, 9, 0, 0), kErrInvalidArg);
    EXPECT_EQ(port.ApplyEventByte('~', true), 0u);
    EXPECT_EQ(port.QueryEventByte(), '~');
    EXPECT_EQ(port.QueryEventMask(), EV_RXCHAR | EV_RXFLAG);
}

TEST(PortSettings, ConfigurationIndicesMapThroughTheTables) {
    ClearPortEnvironment();
    struct Case {
        TS_PORT_CONFIG config;
        const char* text;
        int rate, byteSize, parity, stopBits, flow;
    } cases[] = {
        {{PORT_UART, 0, 12, 3, 0, 0, 0}, "COM1(115200-8-N-1)", 115200, 8, 0, 0, 0},
        {{PORT_UART, 2, 7, 2, 3, 1, 1}, "COM3(14400-7-M-1.5)", 14400, 7, 3, 2, 2},  // index 1: software
        {{PORT_UART, 1, 14, 2, 4, 2, 2}, "COM2(256000-7-S-2)", 256000, 7, 4, 2, 1}, // index 2: hardware
        {{PORT_UART, 3, 10, 3, 2, 0, 0}, "COM4(56000-8-E-1)", 56000, 8, 2, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        PtyPeer peer(c.config.Port + 1);
        CLinkChannel channel(c.config);
        ASSERT_EQ(channel.Connect(), 0) << channel.OpenErrorText();
        EXPECT_EQ(channel.GetStatusText(), c.text);
        EXPECT_EQ(channel.QueryBaudRate(), c.rate);
        EXPECT_EQ(channel.QueryByteSize(), c.byteSize);
        EXPECT_EQ(channel.QueryParity(), c.parity);
        EXPECT_EQ(channel.QueryStopBits(), c.stopBits);
        EXPECT_EQ(channel.QueryFlowControl(), c.flow);
        channel.ShutDown();
    }
}

TEST(UsbReader, FirstPacketIsDiscardedAndPacketsWaitWhileReceivingIsOff) {
    ClearPortEnvironment();
    UsbPeer peer;
    CLinkChannel channel(UsbConfig());
    ASSERT_EQ(channel.Connect(), 0);
    ASSERT_TRUE(peer.Accept(2000, /*greet=*/true));
    peer.Send({0x21, 0x41, 0x00, 0x01});
    peer.Send({0x21, 0x42, 0x00});
    EXPECT_EQ(channel.WaitFrame(200), 0); // receiving is off: both wait in the device
    channel.EnableReceive(true);
    ASSERT_EQ(channel.WaitFrame(2000), 4); // the greeting was not taken for a reply
    uint8_t buf[16];
    EXPECT_EQ(channel.TakeFrame(buf, sizeof buf), 4);
    EXPECT_EQ(buf[1], 0x41);
    ASSERT_EQ(channel.WaitFrame(2000), 3);
    channel.TakeFrame(buf, sizeof buf);
    channel.EnableReceive(false);
    peer.Send({0x21, 0x43, 0x00});
    EXPECT_EQ(channel.WaitFrame(200), 0);
    channel.EnableReceive(true);
    EXPECT_EQ(channel.WaitFrame(2000), 3);
    // A packet longer than any reply (999 bytes) is dropped whole, not cut.
    channel.TakeFrame(buf, sizeof buf);
    peer.Send(Bytes(1200, 0x21));
    peer.Send({0x21, 0x44, 0x00});
    ASSERT_EQ(channel.WaitFrame(2000), 3);
    channel.TakeFrame(buf, sizeof buf);
    EXPECT_EQ(buf[1], 0x44);
    EXPECT_EQ(channel.DroppedFrames(), 1u);
    channel.ShutDown();
}

// Closing never waits for the device: idle, with the UART reader waiting for bytes, with the USB
// reader waiting for its first packet, and with the USB reader waiting for a reply.
TEST(PortClose, ReturnsPromptlyWhateverTheDeviceDoes) {
    ClearPortEnvironment();
    struct Case {
        const char* name;
        bool usb;
        bool accept;
        bool enable;
    } cases[] = {
        {"UART reader waiting", false, false, false},
        {"USB read pending, no greeting yet", true, false, false},
        {"USB read pending, receiving on", true, true, true},
        {"USB idle, receiving off", true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<PtyPeer> pty;
        std::unique_ptr<UsbPeer> usb;
        if (c.usb) {
            usb = std::make_unique<UsbPeer>();
        } else {
            pty = std::make_unique<PtyPeer>();
        }
        CPROTOCOL protocol(c.usb ? UsbConfig() : UartConfig());
        ASSERT_EQ(protocol.Initialize(), 0);
        if (c.accept) {
            ASSERT_TRUE(usb->Accept(2000));
        }
        if (c.enable) {
            protocol.TmTransactionBegin(0x42);
            protocol.TmTransaction(-1); // sends and leaves receiving on
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the reader is blocked now
        const auto start = Clock::now();
        EXPECT_EQ(protocol.Exit(), 0);
        EXPECT_LT(MsSince(start), 100);
        EXPECT_EQ(protocol.IsSerialOpen(), 0);
    }
    // Idle port object that never opened.
    const auto start = Clock::now();
    {
        CLinkChannel idle(UartConfig());
        idle.ShutDown();
    }
    EXPECT_LT(MsSince(start), 100);
}

// A write stuck behind a peer that reads nothing does not hold the close: ShutDown from another
// thread interrupts it, and the write reports its failure.
TEST(PortClose, InterruptsAWriteInFlight) {
    ClearPortEnvironment();
    PtyPeer peer;
    CLinkChannel channel(UartConfig());
    ASSERT_EQ(channel.Connect(), 0);
    const Bytes frame(65535, 0x55);
    std::atomic<int> result{1};
    std::atomic<bool> writing{false};
    std::thread writer([&] {
        int rc = 0;
        for (int i = 0; i < 100 && rc >= 0; ++i) {
            writing = true;
            rc = channel.SendFrame(frame.data(), static_cast<unsigned short>(frame.size()));
        }
        result = rc;
    });
    while (!writing) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the pty's buffer is full by now
    const auto start = Clock::now();
    channel.ShutDown();
    EXPECT_LT(MsSince(start), 1000);
    writer.join();
    EXPECT_EQ(result.load(), TM_ERR_WRITE);
    EXPECT_EQ(channel.IsDeviceOpen(), 0);
}

TEST(PortClose, HangUpEndsTheReaderAndTransactionsTimeOut) {
    ClearPortEnvironment();
    PtyPeer peer;
    CPROTOCOL protocol(UartConfig());
    ASSERT_EQ(protocol.Initialize(), 0);
    peer.CloseMaster();
    protocol.TmTransactionBegin(0x42);
    const int rc = protocol.TmTransaction(100);
    EXPECT_TRUE(rc == TM_ERR_TIMEOUT || rc == TM_ERR_WRITE) << rc;
    const auto start = Clock::now();
    protocol.Exit();
    EXPECT_LT(MsSince(start), 100);
}

} // namespace
