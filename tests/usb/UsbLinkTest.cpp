// The libusb device kind of the port against the virtual handset on a USB bus emulated by
// umockdev: real libusb calls, URBs answered by the in-process handset. Opening (the errors a
// user can act on), transactions, the greeting discarded, the pad rule on the wire, and close,
// cancel and unplug while a bulk IN transfer waits. What a real bus does beside: a greeting once
// per plug-in or never, stalls, over-long and split replies, high-speed packets, a request cut
// short, an access error while udev is still at work, and the hot-plug watcher.
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
#include "quillet/UsbDeviceWatcher.h"
#include "vsim/SimulatorHost.h"

using namespace std::chrono_literals;
using testsupport::CUnprivileged;
using testsupport::CUsbMockBus;
using testsupport::TS_MOCK_DEVICE;

namespace {

using Clock = std::chrono::steady_clock;

TS_PORT_CONFIG UsbConfig() {
    TS_PORT_CONFIG config{};
    config.PortType = PORT_USB;
    return config;
}

// One runner query (0x42) on the link: the length of its reply, 0 when none came in time.
int Ask(CLinkChannel& link, int waitMs = 2000) {
    static const uint8_t frame[] = {0x21, 0x42, 0x42};
    if (link.SendFrame(frame, sizeof frame) < 0) {
        return -1;
    }
    link.EnableReceive(true);
    const int length = link.WaitFrame(waitMs);
    uint8_t reply[1024] = {};
    if (length > 0) {
        link.TakeFrame(reply, sizeof reply);
    }
    link.EnableReceive(false);
    return length > 0 && reply[0] == 0x21 && reply[1] == 0x42 ? length : 0;
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
    vsim::CSimulatorHost d;
    Add(d, {.vendor = 0x1234, .product = 0x7777, .port = 5, .packetSize = 32});
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
        // requests of 8, 16, 32 ... bytes would end on a full packet: the handset never sees the end
        {"usb:1234:7777", 1,
         "endpoint 0x02 of USB device 1234:7777 has 32-byte packets, on which the handset cannot see "
         "where a request ends"},
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

// What the handset sent before the open (its greeting) is dropped even when it looks like a
// reply; a packet whose length would be a multiple of 64 goes out two bytes longer.
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

// A handset greets once when it is plugged in, or never; it cannot tell one open from the next.
// Every open of the same plug-in gets the first reply, whatever it sent before (a greeting, or a
// reply that came after its link was closed).
TEST_F(UsbLink, GreetingOncePerPlugInOrNever) {
    for (const bool greets : {true, false}) {
        SCOPED_TRACE(greets ? "greets at plug-in" : "never greets");
        vsim::CSimulatorHost host;
        m_Bus.reset();
        m_Bus = std::make_unique<CUsbMockBus>();
        Add(host, {.greeting = {0x21, 0x42, 0x05}, .greets = greets});
        Use("usb:1234:5678");
        for (int open = 0; open < 3; ++open) {
            SCOPED_TRACE(open);
            CLinkChannel link(UsbConfig());
            ASSERT_EQ(link.Connect(), 0) << link.OpenErrorText();
            EXPECT_GT(Ask(link), 3) << "the handset's own answer, not the greeting";
            if (open == 1) {
                static const uint8_t frame[] = {0x21, 0x42, 0x42};
                link.SendFrame(frame, sizeof frame); // its reply is never read on this link
                std::this_thread::sleep_for(50ms);
            }
            link.ShutDown();
        }
    }
}

// A stall is cleared and the transfer retried once; a second stall says so and is not taken for
// an unplug. A halt left from an earlier link is cleared at the open.
TEST_F(UsbLink, StallClearedAndRetriedOnce) {
    struct Case {
        uint8_t endpoint;
        int times;
        bool beforeOpen;
        const char* failure; // nullptr: the query is answered
    } cases[] = {
        {0x81, 1, false, nullptr},
        {0x02, 1, false, nullptr},
        {0x81, 1, true, nullptr},
        {0x02, 1, true, nullptr},
        {0x81, 2, false, "endpoint 0x81 of USB device 1234:5678 stalled"},
        {0x02, 2, false, "endpoint 0x02 of USB device 1234:5678 stalled"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(k.endpoint) << " x" << k.times
                                        << (k.beforeOpen ? " before the open" : ""));
        vsim::CSimulatorHost host;
        const int dev = Add(host);
        Use("usb:1234:5678");
        {
            if (k.beforeOpen) {
                m_Bus->Stall(dev, k.endpoint, k.times);
            }
            CLinkChannel link(UsbConfig());
            ASSERT_EQ(link.Connect(), 0) << link.OpenErrorText();
            if (!k.beforeOpen) {
                m_Bus->Stall(dev, k.endpoint, k.times);
            }
            if (k.failure == nullptr) {
                EXPECT_GT(Ask(link), 0);
                EXPECT_FALSE(link.LinkLost());
            } else {
                EXPECT_EQ(Ask(link), k.endpoint == 0x02 ? -1 : 0);
                EXPECT_TRUE(link.LinkLost());
                const std::string text = link.OpenErrorText();
                EXPECT_NE(text.find(k.failure), std::string::npos) << text;
                EXPECT_EQ(text.find("disconnected"), std::string::npos) << text;
            }
            link.ShutDown();
        }
        // The next open clears what is left of the halt.
        CLinkChannel again(UsbConfig());
        ASSERT_EQ(again.Connect(), 0) << again.OpenErrorText();
        EXPECT_GT(Ask(again), 0);
        again.ShutDown();
        m_Bus.reset();
        m_Bus = std::make_unique<CUsbMockBus>();
    }
}

// A reply longer than any frame (or two run together) fills the 1024-byte buffer without an
// overflow and is dropped whole and counted, as the packet device does; the link goes on.
TEST_F(UsbLink, OverlongReplyDroppedAndCounted) {
    struct Case {
        int packetSize;
        size_t length;
    } cases[] = {{64, 1000}, {64, 1100}, {64, 2100}, {64, 1024}, {512, 1000}, {512, 1536}, {512, 3000}};
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.packetSize << "-byte packets, a reply of " << k.length);
        vsim::CSimulatorHost host;
        m_Bus.reset();
        m_Bus = std::make_unique<CUsbMockBus>();
        const int dev = Add(host, {.packetSize = k.packetSize});
        Use("usb:1234:5678");
        CLinkChannel link(UsbConfig());
        ASSERT_EQ(link.Connect(), 0) << link.OpenErrorText();
        m_Bus->OverlongReply(dev, k.length);
        EXPECT_EQ(Ask(link, 300), 0);
        EXPECT_FALSE(link.LinkLost()) << link.OpenErrorText();
        EXPECT_EQ(link.DroppedFrames(), 1u);
        EXPECT_GT(Ask(link), 3) << "the next reply is whole";
        EXPECT_EQ(link.DroppedFrames(), 1u);
        link.ShutDown();
    }
}

// Replies of every length arrive whole in one read: split over packets of 64 or 512 bytes, ended
// by a short packet, by a zero-length packet, or followed by one they do not need. The handset
// here never greets, so no reply may be taken for a greeting either.
TEST_F(UsbLink, RepliesSplitOverPackets) {
    struct Case {
        int packetSize;
        bool zlpAlways;
    } shapes[] = {{64, false}, {64, true}, {512, false}, {512, true}};
    for (const auto& k : shapes) {
        SCOPED_TRACE(testing::Message() << k.packetSize << (k.zlpAlways ? ", a ZLP after every reply" : ""));
        vsim::CSimulatorHost host;
        m_Bus.reset();
        m_Bus = std::make_unique<CUsbMockBus>();
        const int dev = Add(host, {.greets = false, .packetSize = k.packetSize, .zlpAlways = k.zlpAlways});
        Use("usb:1234:5678");
        COstraMonitor monitor(UsbConfig());
        ASSERT_EQ(monitor.Initialize(), 0) << monitor.GetPortErrorText();
        // reply = 3 + count bytes: one short packet, exactly one and two packets, one and a part,
        // exactly a 512-byte packet, the longest reply
        for (const int count : {1, 61, 125, 97, 509, 597, 996}) {
            SCOPED_TRACE(count);
            std::vector<unsigned char> bytes(static_cast<size_t>(count));
            EXPECT_EQ(monitor.MemoryDump(0, static_cast<unsigned short>(count), DUMP_BYTE, bytes.data()), 0);
        }
        EXPECT_GT(m_Bus->Stats(dev).zeroLengthPackets, 0);
        monitor.Quit();
    }
}

// A bulk OUT transfer that ends after part of the packet went out (its time-out, a cancel) leaves
// a fragment in the handset: the link is lost, and nothing more is sent to be appended to it.
TEST_F(UsbLink, RequestCutShortLosesTheLink) {
    for (const char* how : {"cancel", "time-out"}) {
        SCOPED_TRACE(how);
        vsim::CSimulatorHost host;
        m_Bus.reset();
        m_Bus = std::make_unique<CUsbMockBus>();
        const int dev = Add(host);
        Use("usb:1234:5678");
        CPROTOCOL protocol(UsbConfig());
        ASSERT_EQ(protocol.Initialize(), 0) << protocol.GetPortErrorText();
        m_Bus->PartialOut(dev, 64);
        protocol.TmTransactionBegin(0x42);
        for (int i = 0; i < 120; ++i) {
            protocol.PutInt8(static_cast<unsigned char>(i)); // a 130-byte packet
        }
        std::future<void> cancel;
        if (std::string(how) == "cancel") {
            cancel = std::async(std::launch::async, [&] {
                std::this_thread::sleep_for(300ms);
                protocol.CancelWaits(true);
            });
        }
        EXPECT_EQ(protocol.TmTransaction(2000), TM_ERR_WRITE); // the time-out: 5 s for a packet
        if (cancel.valid()) {
            cancel.get();
            protocol.CancelWaits(false);
        }
        const std::string text = protocol.GetPortErrorText();
        EXPECT_NE(text.find("a request to USB device 1234:5678 was cut short after 64 of 130 bytes"),
                  std::string::npos)
            << text;
        const size_t sent = m_Bus->Stats(dev).outLengths.size();
        protocol.TmTransactionBegin(0x42);
        EXPECT_EQ(protocol.TmTransaction(2000), TM_ERR_TIMEOUT);
        EXPECT_EQ(m_Bus->Stats(dev).outLengths.size(), sent) << "nothing is appended to the fragment";
        protocol.Exit();
    }
}

// Right after a device appears, udev may not have given the rule's access yet: the open tries
// again for about a second before it asks for the rule. (As root the test drops the override.)
TEST_F(UsbLink, AccessErrorRightAfterPlugInRetried) {
    struct Case {
        std::chrono::milliseconds denied; // negative: for ever
        bool opens;
    } cases[] = {{300ms, true}, {-1ms, false}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.denied.count());
        vsim::CSimulatorHost host;
        m_Bus.reset();
        m_Bus = std::make_unique<CUsbMockBus>();
        const int dev = Add(host);
        m_Bus->DenyAccess(dev, k.denied);
        Use("usb:1234:5678");
        CUnprivileged asUser;
        CLinkChannel link(UsbConfig());
        const signed char rc = link.Connect();
        if (k.opens) {
            ASSERT_EQ(rc, 0) << link.OpenErrorText();
            EXPECT_GT(Ask(link), 0);
        } else {
            EXPECT_EQ(rc, TM_ERR_PORT_OPEN);
            EXPECT_NE(link.OpenErrorText().find("a udev rule is needed"), std::string::npos)
                << link.OpenErrorText();
        }
        link.ShutDown();
    }
}

// The watcher hears of arrivals and removals: from libusb's hot-plug events, and from its own
// scan with one libusb context where there are none.
TEST_F(UsbLink, WatcherSeesArrivalsAndRemovals) {
    for (const bool hotplug : {true, false}) {
        SCOPED_TRACE(hotplug ? "hot-plug" : "scan");
        m_Bus.reset();
        m_Bus = std::make_unique<CUsbMockBus>();
        CUsbDeviceWatcher watcher(hotplug ? USB_WATCH_AUTO : USB_WATCH_SCAN);
        ASSERT_TRUE(watcher.IsWatching());
        EXPECT_EQ(watcher.UsesHotplug(), hotplug);
        EXPECT_FALSE(watcher.IsPresent("usb:1234:5678"));
        uint64_t seen = watcher.Changes();
        vsim::CSimulatorHost host;
        const int dev = Add(host, {.port = 6});
        ASSERT_TRUE(watcher.WaitForChange(seen, 10000));
        EXPECT_TRUE(watcher.IsPresent("usb:1234:5678"));
        EXPECT_TRUE(watcher.IsPresent("usb:1-6"));
        m_Bus->Unplug(dev);
        ASSERT_TRUE(watcher.WaitForChange(seen, 10000));
        EXPECT_FALSE(watcher.IsPresent("usb:1234:5678"));
        // A wait with nothing happening ends at its time-out, or at once when cancelled.
        EXPECT_FALSE(watcher.WaitForChange(seen, 50));
        auto cancel = std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(100ms);
            watcher.Cancel();
        });
        const auto start = Clock::now();
        EXPECT_FALSE(watcher.WaitForChange(seen, 60000));
        EXPECT_LT(Clock::now() - start, 10s);
        cancel.get();
    }
}

} // namespace
