// The libusb device kind of the port against the virtual handset on a USB bus emulated by
// umockdev: real libusb calls, URBs answered by the in-process handset. Opening (the errors a
// user can act on), transactions, the greeting discarded, the pad rule on the wire, and close,
// cancel and unplug while a bulk IN transfer waits.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>

#include "LinkChannel.h"
#include "LinkError.h"
#include "UsbMockBus.h"
#include "quillet/Quillet.h"
#include "vsim/SimulatorHost.h"

using namespace std::chrono_literals;
using testsupport::CUsbMockBus;
using testsupport::TS_MOCK_DEVICE;

namespace {

using Clock = std::chrono::steady_clock;

TS_PORT_CONFIG UsbConfig() {
    TS_PORT_CONFIG config{};
    config.PortType = PORT_USB;
    return config;
}

class UsbLink : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CUsbMockBus::Available()) {
            GTEST_SKIP() << "not under umockdev-wrapper";
        }
        m_Bus = std::make_unique<CUsbMockBus>();
        ::unsetenv("VANDREL_USB_DEVICE");
    }
    void TearDown() override { ::unsetenv("VANDREL_USB_DEVICE"); }

    int Add(vsim::CSimulatorHost& host, const TS_MOCK_DEVICE& device = {}) {
        return m_Bus->AddHandset(host.Handset(), {}, device);
    }
    static void Use(const std::string& text) { ::setenv("VANDREL_USB_DEVICE", text.c_str(), 1); }

    std::unique_ptr<CUsbMockBus> m_Bus;
};

// Every open that fails says why in words a user can act on, with the port's error code.
TEST_F(UsbLink, OpenErrors) {
    vsim::CSimulatorHost a;
    vsim::CSimulatorHost b;
    vsim::CSimulatorHost c;
    const int first = Add(a, {.port = 2});
    Add(b, {.port = 3});
    Add(c, {.vendor = 0x1234, .product = 0x9999, .port = 4, .bulkPair = false});
    m_Bus->SetClaimBusy(first, true);
    struct Case {
        const char* text;
        unsigned error;
        const char* message;
    } cases[] = {
        {"usb:1234:0001", 2, "no USB device 1234:0001 is connected (error 2)"},
        {"usb:1-9", 2, "no USB device 1-9 is connected"},
        {"usb:1234:5678", 87,
         "2 devices match 1234:5678: give usb:1234:5678@BUS-PORT, see `vandrel-cli ports`"},
        {"usb:1234:5678@1-2", 170, "interface 0 of USB device 1234:5678@1-2 is in use by another program"},
        {"usb:1234:9999", 1, "USB device 1234:9999 has no interface with a bulk IN and a bulk OUT endpoint"},
        {"usb:1234:5678@1-3#1", 1, "interface 1 of USB device 1234:5678@1-3 has no bulk IN and bulk OUT"},
        {"usb:12345:1", 87, "is not a USB device: give usb:VVVV:PPPP"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        Use(k.text);
        COstraMonitor monitor(UsbConfig());
        EXPECT_EQ(monitor.Initialize(), TM_ERR_PORT_OPEN);
        EXPECT_EQ(monitor.IsSerialOpen(), 0);
        EXPECT_EQ(monitor.GetPortLastError(), k.error);
        EXPECT_NE(monitor.GetPortErrorText().find(k.message), std::string::npos)
            << monitor.GetPortErrorText();
    }
    // The path picks one of two identical handsets; so does the path alone.
    for (const char* text : {"usb:1234:5678@1-3", "usb:1-3", "usb:1234:5678@1-3#0"}) {
        SCOPED_TRACE(text);
        Use(text);
        COstraMonitor monitor(UsbConfig());
        ASSERT_EQ(monitor.Initialize(), 0) << monitor.GetPortErrorText();
        TE_TARGET_RUNNER_TYPES runner{};
        std::string version;
        EXPECT_EQ(monitor.QueryTargetRunner(runner, version), 0);
        EXPECT_EQ(runner, RUNNER_BOOT_LOADER_USB);
        monitor.Quit();
    }
    EXPECT_GE(b.Snapshot().commands.size(), 3u);
    EXPECT_TRUE(a.Snapshot().commands.empty());
}

// The connect dialog's wait: a device plugged in later is seen by a fresh look at the bus, and
// the listing says what each device is without opening it.
TEST_F(UsbLink, DeviceThatAppearsLaterIsSeen) {
    EXPECT_FALSE(QuilletUsbDevicePresent("usb:1234:5678"));
    vsim::CSimulatorHost host;
    Add(host, {.port = 4});
    for (const char* text : {"usb:1234:5678", "usb:1-4", "usb:1234:5678@1-4#0"}) {
        EXPECT_TRUE(QuilletUsbDevicePresent(text)) << text;
    }
    for (const char* text : {"usb:1234:5679", "usb:1-5", "usb:1234"}) {
        EXPECT_FALSE(QuilletUsbDevicePresent(text)) << text;
    }
    const auto devices = QuilletListUsbDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].Node, "/dev/bus/usb/001/004");
    EXPECT_EQ(devices[0].Ports, std::vector<int>{4});
    EXPECT_EQ(devices[0].Manufacturer, "Vandrel test bench");
    EXPECT_EQ(devices[0].ProductName, "R3700 virtual handset");
    EXPECT_EQ(devices[0].BulkInterface, 0);
    EXPECT_EQ(m_Bus->Stats(0).claims, 0) << "listing claims nothing";
}

// A kernel driver bound to the interface is detached for the link and attached again after it.
TEST_F(UsbLink, KernelDriverDetachedAndAttachedAgain) {
    vsim::CSimulatorHost host;
    const int dev = Add(host, {.kernelDriver = true});
    Use("usb:1234:5678");
    {
        COstraMonitor monitor(UsbConfig());
        ASSERT_EQ(monitor.Initialize(), 0) << monitor.GetPortErrorText();
        EXPECT_EQ(m_Bus->Stats(dev).detaches, 1);
        EXPECT_EQ(m_Bus->Stats(dev).attaches, 0);
        monitor.Quit();
    }
    const auto stats = m_Bus->Stats(dev);
    EXPECT_EQ(stats.claims, 1);
    EXPECT_EQ(stats.releases, 1);
    EXPECT_EQ(stats.attaches, 1);
}

// The first packet after the open is the device's greeting and is dropped even when it looks
// like a reply; a packet whose length would be a multiple of 64 goes out two bytes longer.
TEST_F(UsbLink, GreetingDroppedAndPadRule) {
    vsim::CSimulatorHost host;
    const int dev = Add(host, {.greeting = {0x21, 0x42, 0x05}});
    Use("usb:1234:5678");
    CPROTOCOL protocol(UsbConfig());
    ASSERT_EQ(protocol.Initialize(), 0) << protocol.GetPortErrorText();
    struct Case {
        int payload; // bytes; the packet carries payload + 1 (checksum)
        uint32_t wire;
    } cases[] = {{0, 8}, {55, 66}, {56, 66}, {57, 66}, {120, 130}, {992, 1000}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.payload);
        protocol.TmTransactionBegin(0x42); // the runner query: its payload is ignored
        for (int i = 0; i < k.payload; ++i) {
            protocol.PutInt8(static_cast<unsigned char>(i));
        }
        const int status = protocol.TmTransaction(2000);
        if (k.payload == 0) {
            EXPECT_EQ(status, 0); // the handset's answer, not the greeting's status 5
        }
        EXPECT_NE(status, TM_ERR_TIMEOUT); // the handset may refuse the payload, but it answers
        EXPECT_EQ(protocol.GetCID(), 0x42);
        EXPECT_EQ(m_Bus->Stats(dev).outLengths.back(), k.wire);
    }
    protocol.Exit();
    // A reply frame disguised as the greeting would have answered the first request.
    EXPECT_EQ(host.Snapshot().commands.size(), std::size(cases));
}

// Close, cancel and unplug while the reader's bulk IN transfer waits for a silent handset all
// end at once (generous limits: the machine is shared).
TEST_F(UsbLink, CloseCancelAndUnplugEndAtOnce) {
    constexpr auto kAtOnce = 1s;
    for (const char* how : {"cancel", "close", "unplug"}) {
        SCOPED_TRACE(how);
        vsim::CSimulatorHost host;
        m_Bus.reset(); // one bus at a time
        auto bus = std::make_unique<CUsbMockBus>();
        const int dev = bus->AddHandset(host.Handset(), {}, {});
        Use("usb:1234:5678");
        auto monitor = std::make_unique<COstraMonitor>(UsbConfig());
        ASSERT_EQ(monitor->Initialize(), 0) << monitor->GetPortErrorText();
        TE_TARGET_RUNNER_TYPES runner{};
        std::string version;
        ASSERT_EQ(monitor->QueryTargetRunner(runner, version), 0);
        bus->SetSilent(dev, true);
        if (std::string(how) == "close") {
            const auto start = Clock::now();
            monitor->Quit();
            monitor.reset();
            EXPECT_LT(Clock::now() - start, kAtOnce);
            continue;
        }
        auto waiting = std::async(std::launch::async, [&] {
            TE_TARGET_RUNNER_TYPES r{};
            std::string v;
            return monitor->QueryTargetRunner(r, v); // would wait 60 s
        });
        std::this_thread::sleep_for(200ms); // the request is out, the wait has begun
        const auto start = Clock::now();
        if (std::string(how) == "cancel") {
            monitor->CancelWaits(true);
        } else {
            bus->Unplug(dev);
        }
        ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
        EXPECT_LT(Clock::now() - start, kAtOnce);
        EXPECT_EQ(waiting.get(), TM_ERR_TIMEOUT);
        if (std::string(how) == "unplug") {
            EXPECT_NE(monitor->GetPortErrorText().find("the device was disconnected"), std::string::npos)
                << monitor->GetPortErrorText();
            EXPECT_EQ(monitor->QueryTargetRunner(runner, version), TM_ERR_TIMEOUT); // nothing is sent
        }
        const auto closeStart = Clock::now();
        monitor->Quit();
        EXPECT_LT(Clock::now() - closeStart, kAtOnce);
    }
}

} // namespace
