// The link on Windows, under wine: the USB packet device through a message-mode named pipe
// standing in for the vendor driver, the close that never waits for a packet, open errors in
// words, the port map's Windows names and the UTF-8/UTF-16 conversion.
// LinkChannel.h before <windows.h>, whose EV_ constants are macros.
#include "LinkChannel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "PipeHandset.h"
#include "WinUtf8.h"
#include "quillet/PortMap.h"

namespace {

std::string UniqueName(const char* what) {
    return std::string("vandrel-test-") + what + "-" + std::to_string(::GetCurrentProcessId());
}

TS_PORT_CONFIG UsbConfig() {
    return TS_PORT_CONFIG{PORT_USB, 0, 12, 3, 0, 0, 0};
}

// Waits until the handset has seen count packets (generous: wine on a loaded machine).
std::vector<std::vector<uint8_t>> WaitPackets(CPipeHandset& handset, size_t count) {
    for (int i = 0; i < 500 && handset.Packets().size() < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return handset.Packets();
}

struct TS_PACKET_CASE {
    int dataBytes;                  // payload + checksum after the lead byte and identifier
    std::vector<uint8_t> flags;     // the segment flag of each packet
    std::vector<size_t> packetSize; // with its pad
};

TEST(WinUsbPipe, EachFrameGoesOutAsThePacketsOfTheUsbFraming) {
    const TS_PACKET_CASE cases[] = {
        {5, {0}, {12}},                       // 7 + 5 = 12, even
        {56, {0}, {63 + 3}},                  // 63 rounds up to 64, a multiple of 64: two more
        {1000, {1, 3}, {1000, 14}},           // 993 + 7 = 1000; 7 + 7 = 14
        {2500, {1, 2, 3}, {1000, 1000, 522}}, // 514 + 7 = 521, rounded up to 522
    };
    for (const TS_PACKET_CASE& c : cases) {
        CPipeHandset handset(UniqueName("packets"));
        handset.SetAnswering(false);
        CLinkChannel channel(UsbConfig());
        channel.SetDevicePathOverride(handset.Path());
        ASSERT_EQ(channel.Connect(), 0) << channel.OpenErrorText();
        std::vector<uint8_t> frame(static_cast<size_t>(c.dataBytes) + 2);
        frame[0] = 0x21;
        frame[1] = 0x31;
        for (size_t i = 2; i < frame.size(); ++i) {
            frame[i] = static_cast<uint8_t>(i * 7);
        }
        ASSERT_GT(channel.SendFrame(frame.data(), static_cast<unsigned short>(frame.size())), 0);
        const auto packets = WaitPackets(handset, c.flags.size());
        ASSERT_EQ(packets.size(), c.flags.size()) << c.dataBytes;
        int offset = 0;
        for (size_t i = 0; i < packets.size(); ++i) {
            const auto& p = packets[i];
            EXPECT_EQ(p.size(), c.packetSize[i]) << c.dataBytes << " packet " << i;
            EXPECT_EQ(p[0], 0x02);
            EXPECT_EQ(p[3], 0x21);
            EXPECT_EQ(p[4], 0x31);
            EXPECT_EQ(p[5], c.flags[i]);
            const int length = p[1] << 8 | p[2];
            EXPECT_EQ(p[static_cast<size_t>(6 + length)], 0x0A);
            EXPECT_TRUE(std::equal(p.begin() + 6, p.begin() + 6 + length, frame.begin() + 2 + offset));
            offset += length;
        }
        EXPECT_EQ(offset, c.dataBytes);
        channel.ShutDown();
    }
}

TEST(WinUsbPipe, TheGreetingIsDiscardedAndEachReplyIsOneFrame) {
    CPipeHandset handset(UniqueName("reply"));
    CLinkChannel channel(UsbConfig());
    channel.SetDevicePathOverride(handset.Path());
    ASSERT_EQ(channel.Connect(), 0) << channel.OpenErrorText();
    const uint8_t request[] = {0x21, 0x42, 0x63};
    channel.EnableReceive(true);
    ASSERT_GT(channel.SendFrame(request, sizeof request), 0);
    ASSERT_GT(channel.WaitFrame(5000), 0);
    uint8_t reply[64];
    const int n = channel.TakeFrame(reply, sizeof reply);
    EXPECT_EQ(std::vector<uint8_t>(reply, reply + n),
              (std::vector<uint8_t>{0x21, 0x42, 0x00, 0x02, 1, 0, 0}));
    channel.EnableReceive(false);
    channel.ShutDown();
}

TEST(WinUsbPipe, ClosingNeverWaitsForAPacket) {
    CPipeHandset handset(UniqueName("close"));
    handset.SetAnswering(false);
    CLinkChannel channel(UsbConfig());
    channel.SetDevicePathOverride(handset.Path());
    ASSERT_EQ(channel.Connect(), 0) << channel.OpenErrorText();
    channel.EnableReceive(true); // the reader's read is pending and nothing will come
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    channel.ShutDown();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(channel.IsDeviceOpen(), 0);
}

TEST(WinLinkOpen, ErrorsNameThePortAndTheReasonInWords) {
    struct Case {
        TS_PORT_CONFIG config;
        std::string path;
        uint32_t error;
        std::string text;
    };
    const std::string missingPipe = "\\\\.\\pipe\\" + UniqueName("none");
    const Case cases[] = {
        {UsbConfig(), missingPipe, 2, "(error 2)"},
        {TS_PORT_CONFIG{PORT_UART, 0, 12, 3, 0, 0, 0}, "COM250", 2,
         "COM1 (COM250): File not found (error 2): there is no such port on this machine"},
        {UsbConfig(), "usb:1234:5678", 1, "libusb"},
    };
    for (const Case& c : cases) {
        CLinkChannel channel(c.config);
        channel.SetDevicePathOverride(c.path);
        EXPECT_EQ(channel.Connect(), TM_ERR_PORT_OPEN) << c.path;
        EXPECT_EQ(channel.OpenError(), c.error) << c.path;
        EXPECT_NE(channel.OpenErrorText().find(c.text), std::string::npos) << channel.OpenErrorText();
        EXPECT_EQ(channel.IsDeviceOpen(), 0);
    }
}

TEST(WinPortMap, ComNamesAreTheWindowsPortsUnlessOverridden) {
    ::_putenv_s("VANDREL_COM2", "\\\\.\\COM17");
    ::_putenv_s("VANDREL_USB_DEVICE", "");
    QuilletSetComPath(3, "");
    QuilletSetUsbDevicePath("");
    const std::pair<std::string, std::string> cases[] = {
        {"COM1", "\\\\.\\COM1"},  {"com4", "\\\\.\\COM4"},        {"\\\\.\\COM12", "\\\\.\\COM12"},
        {"COM2", "\\\\.\\COM17"}, {"\\\\.\\Csr0", "\\\\.\\Csr0"}, {"\\\\.\\pipe\\x", "\\\\.\\pipe\\x"},
    };
    for (const auto& [name, path] : cases) {
        EXPECT_EQ(QuilletResolveDevice(name), path) << name;
    }
    QuilletSetComPath(3, "\\\\.\\COM30");
    EXPECT_EQ(QuilletResolveDevice("COM3"), "\\\\.\\COM30");
    QuilletSetComPath(3, "");
    ::_putenv_s("VANDREL_COM2", "");
}

} // namespace

// The one UTF-8/UTF-16 conversion of the Windows files (linklib, platform, station).
TEST(WinText, Utf8AndUtf16BothWays) {
    const struct {
        std::string utf8;
        std::wstring wide;
    } cases[] = {
        {"", L""},
        {"COM3", L"COM3"},
        {"\xC3\xA9tabli \xE2\x97\x88", L"\u00E9tabli \u25C8"},
        {"\xF0\x9F\x94\x8C", L"\U0001F50C"}, // a surrogate pair
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quillet::Utf8ToWide(c.utf8), c.wide) << c.utf8;
        EXPECT_EQ(quillet::WideToUtf8(c.wide), c.utf8) << c.utf8;
    }
    EXPECT_EQ(quillet::Utf8ToWide("bad \xFF"), L"bad \uFFFD");
    EXPECT_EQ(quillet::WideToUtf8(L"stops\0here"), "stops"); // a text the system filled in
    EXPECT_EQ(quillet::WideToUtf8(static_cast<const wchar_t*>(nullptr)), "");
}
