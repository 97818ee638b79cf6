// The handset on its pseudo-terminal and its USB socket, driven by raw hosts written here.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "SimHarness.h"
#include "SimTestUtil.h"

using namespace vsim;
using simtest::Be32;
using simtest::Bytes;
using simtest::CRawUart;
using simtest::CRawUsb;
using simtest::MakeBlock;
using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

Bytes DumpRequest(uint32_t address, uint16_t count, uint8_t unit) {
    Bytes p = Be32(address);
    p.push_back(uint8_t(count));
    p.push_back(uint8_t(count >> 8));
    p.push_back(unit);
    return p;
}

std::string LinkTarget(const std::string& link) {
    std::error_code ec;
    return std::filesystem::read_symlink(link, ec).string();
}

} // namespace

TEST(UartLink, AnswersOnThePseudoTerminal) {
    CSimHarness sim(ESimLink::Uart);
    CRawUart host(sim.Path());
    ASSERT_TRUE(host.IsOpen());
    auto r = host.Transact(cmd::QueryTargetRunner);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->cid, cmd::QueryTargetRunner);
    EXPECT_EQ(r->status, 0);
    EXPECT_EQ(r->payload, (Bytes{0, 1, 0, 0}));
    // The bytes on the wire: 02 21 42 00 00 01 00 00 43 0A.
    EXPECT_EQ(host.Raw(), (Bytes{0x02, 0x21, 0x42, 0x00, 0x00, 0x01, 0x00, 0x00, 0x43, 0x0A}));

    // A request with a bad checksum is answered with a negative status.
    ASSERT_TRUE(host.WriteRaw({0x02, 0x21, 0x41, 0x40, 0x0A}));
    r = host.ReadReply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, status::BadRequestChecksum);
    // A frame not led by 0x21 is dropped without an answer; the next request is served.
    ASSERT_TRUE(host.WriteRaw({0x02, 0x22, 0x41, 0x41, 0x0A}));
    r = host.Transact(cmd::RequestFlashWrite);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->cid, cmd::RequestFlashWrite);
    const auto s = sim.Host().Snapshot();
    EXPECT_EQ(s.links.badChecksums, 1u);
    EXPECT_EQ(s.links.strayFrames, 1u);
}

TEST(UartLink, EscapesStartBytesUnlessToldNot) {
    for (bool escape02 : {true, false}) {
        SCOPED_TRACE(escape02);
        SSimulatorOptions o;
        o.escape02 = escape02;
        CSimHarness sim(ESimLink::Uart, o);
        sim.Host().Handset().LoadMemory(0x1000, {0x02, 0x10, 0x0A});
        CRawUart host(sim.Path());
        auto r = host.Transact(cmd::MemoryDump, DumpRequest(0x1000, 3, 0));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->payload, (Bytes{0x02, 0x10, 0x0A}));
        const Bytes escaped{0x10, 0x02, 0x10, 0x10, 0x10, 0x0A};
        const Bytes bare{0x00, 0x02, 0x10, 0x10, 0x10, 0x0A};
        const Bytes& want = escape02 ? escaped : bare;
        EXPECT_NE(std::search(host.Raw().begin(), host.Raw().end(), want.begin(), want.end()),
                  host.Raw().end());
    }
}

TEST(UartLink, HostClosingAndReopeningFindsTheSameHandset) {
    CSimHarness sim(ESimLink::Uart);
    {
        CRawUart host(sim.Path());
        ASSERT_TRUE(host.Transact(cmd::WriterData, MakeBlock(kRamStart, {1, 2, 3}, true)));
        ASSERT_TRUE(host.Transact(cmd::WriterEnd));
        // Leave half a frame and an unread reply behind.
        ASSERT_TRUE(host.Send(cmd::RequestFlashWrite, {}));
        ASSERT_TRUE(sim.Host().WaitForCommands(3, std::chrono::seconds(10)));
        ASSERT_TRUE(host.WriteRaw({0x02, 0x21, 0x12, 0x00}));
    }
    // A real host reopens after some milliseconds; this one waits until the handset saw the close.
    ASSERT_TRUE(sim.Host().WaitUntil([](const SHandsetSnapshot& s) { return s.links.hostCloses >= 1; },
                                     std::chrono::seconds(10)));
    CRawUart again(sim.Path());
    ASSERT_TRUE(again.IsOpen());
    const auto r = again.Transact(cmd::QueryTargetRunner);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->cid, cmd::QueryTargetRunner) << "a stale reply or a half frame got through";

    EXPECT_EQ(r->payload.at(0), 1); // still the flash writer
    EXPECT_EQ(sim.Host().Snapshot().links.uartConnections, 1u);
}

// A host that closes the port and opens it again at once (a program reconnecting) gets its replies:
// the handset's tidy-up after the close must not throw away what it sent to the new host.
TEST(UartLink, QuickReopenKeepsTheNewHostsReplies) {
    CSimHarness sim(ESimLink::Uart);
    int answered = 0;
    for (int i = 0; i < 40; ++i) {
        {
            CRawUart first(sim.Path());
            ASSERT_TRUE(first.Transact(cmd::RequestFlashWrite));
        }
        CRawUart second(sim.Path());
        const auto r = second.Transact(cmd::QueryTargetRunner, {}, 2000);
        answered += r && r->cid == cmd::QueryTargetRunner ? 1 : 0;
    }
    EXPECT_EQ(answered, 40);
}

TEST(UartLink, SurvivesAnyBytes) {
    CSimHarness sim(ESimLink::Uart);
    CRawUart host(sim.Path());
    std::mt19937 rng(11);
    Bytes noise(200000);
    for (auto& b : noise) {
        b = uint8_t(rng() % 8 == 0 ? 0x02 : rng());
    }
    noise.push_back(0x0A);
    noise.push_back(0x0A);
    std::thread writer([&] { host.WriteRaw(noise); });
    // Drain whatever the handset answers to the noise while it is written.
    while (host.ReadFrame(1000)) {
    }
    writer.join();
    while (host.ReadFrame(200)) {
    }
    const auto r = host.Transact(cmd::QueryTargetRunner);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->cid, cmd::QueryTargetRunner);
    EXPECT_EQ(r->status, 0);
}

TEST(UartLink, HangUpOffersAFreshPtyUnderTheSameLink) {
    CSimHarness sim(ESimLink::Uart);
    const std::string firstSlave = LinkTarget(sim.Path());
    sim.Host().SetFault(EFault::HangUp, {1, 1, 0, false});
    {
        CRawUart host(sim.Path());
        ASSERT_TRUE(host.Transact(cmd::WriterData, MakeBlock(kRamStart, {1, 2, 3}, true)));
        ASSERT_TRUE(host.Send(cmd::WriterData, MakeBlock(kRamStart + 3, {4, 5, 6}, true)));
        EXPECT_FALSE(host.ReadReply(1000));
    }
    const std::string secondSlave = LinkTarget(sim.Path());
    EXPECT_NE(secondSlave, firstSlave);
    EXPECT_EQ(sim.Host().UartSlavePath(), secondSlave);
    CRawUart host(sim.Path());
    ASSERT_TRUE(host.Transact(cmd::WriterEnd));
    EXPECT_EQ(sim.Host().Runner(), ERunner::FlashWriter);
    const auto s = sim.Host().Snapshot();
    EXPECT_EQ(s.links.hangUps, 1u);
    EXPECT_EQ(s.links.uartConnections, 2u);
    EXPECT_EQ(s.writerBlocks, 1u);
}

TEST(UartLink, LineRatePacesTheReplies) {
    SSimulatorOptions o;
    o.lineRate = 38400;
    CSimHarness sim(ESimLink::Uart, o);
    CRawUart host(sim.Path());
    const auto start = std::chrono::steady_clock::now();
    const auto r = host.Transact(cmd::MemoryDump, DumpRequest(0, 4096, 0), 20000);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(r);
    EXPECT_EQ(r->payload.size(), 4096u);
    // 4100 bytes at 3840 bytes a second cannot arrive in less than about 1.07 s.
    EXPECT_GE(took, std::chrono::milliseconds(1000));
}

TEST(UartLink, StopRemovesTheLinkAndRefusesToReplaceAFile) {
    std::string link;
    {
        CSimHarness sim(ESimLink::Uart);
        link = sim.Path();
        CRawUart host(link); // a host still attached does not hold up the stop
        sim.Host().Stop();
        struct stat st {};
        EXPECT_NE(lstat(link.c_str(), &st), 0);
        const std::string file = sim.Dir() + "/plain";
        {
            std::FILE* f = std::fopen(file.c_str(), "w");
            std::fclose(f);
        }
        CSimulatorHost other;
        std::string error;
        EXPECT_FALSE(other.StartUart(file, &error));
        EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
        EXPECT_FALSE(other.StartUsb(file, &error));
        EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
    }
}

TEST(UsbLink, GreetingThenReplies) {
    CSimHarness sim(ESimLink::Usb);
    CRawUsb host(sim.Path());
    ASSERT_TRUE(host.IsOpen());
    const auto greeting = host.ReadMessage();
    ASSERT_TRUE(greeting);
    EXPECT_FALSE(greeting->empty());
    EXPECT_NE(greeting->at(0), 0x21);
    // The host's example packet, and the reply without a checksum.
    ASSERT_TRUE(host.SendPacket({0x02, 0x00, 0x01, 0x21, 0x42, 0x00, 0x42, 0x0A}));
    const auto m = host.ReadMessage();
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, (Bytes{0x21, 0x42, 0x00, 0x02, 0x01, 0x00, 0x00}));

    // A split request: a writer block of 3000 bytes in four packets.
    Bytes image(3000);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = uint8_t(i);
    }
    auto r = host.Transact(cmd::WriterData, MakeBlock(kRamStart, image, false));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 0);
    EXPECT_EQ(sim.Host().ReadMemory(kRamStart, 3000), image);

    // Broken packets are answered when their identifier is readable.
    ASSERT_TRUE(host.SendPacket({0x02, 0x00, 0x01, 0x21, 0x41, 0x07, 0x41, 0x0A}));
    r = host.ReadReply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, status::BadPacket);
    ASSERT_TRUE(host.SendPacket({0x02, 0x00, 0x01, 0x21, 0x41, 0x00, 0x40, 0x0A}));
    r = host.ReadReply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, status::BadRequestChecksum);
    ASSERT_TRUE(host.SendPacket(Bytes(20000, 0x02))); // far too long: ignored
    r = host.Transact(cmd::RequestFlashWrite);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->cid, cmd::RequestFlashWrite);
    EXPECT_EQ(sim.Host().Snapshot().links.badPackets, 2u);
}

TEST(UsbLink, NoGreetingWhenSwitchedOff) {
    SSimulatorOptions o;
    o.usbGreeting = false;
    CSimHarness sim(ESimLink::Usb, o);
    CRawUsb host(sim.Path());
    EXPECT_FALSE(host.ReadMessage(200));
    const auto r = host.Transact(cmd::RequestFlashWrite);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->payload, Bytes{0});
}

TEST(UsbLink, ReconnectAndHangUp) {
    CSimHarness sim(ESimLink::Usb);
    sim.Host().SetFault(EFault::HangUp, {});
    {
        CRawUsb host(sim.Path());
        ASSERT_TRUE(host.ReadMessage());
        ASSERT_TRUE(host.Send(cmd::WriterData, MakeBlock(kRamStart, {1, 2}, false)));
        const auto closed = host.ReadMessage();
        ASSERT_TRUE(closed);
        EXPECT_TRUE(closed->empty()); // the handset hung up
    }
    for (int i = 0; i < 2; ++i) {
        CRawUsb host(sim.Path());
        ASSERT_TRUE(host.ReadMessage());
        const auto r = host.Transact(cmd::WriterData, MakeBlock(kRamStart + uint32_t(i), {7}, false));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 0);
    }
    EXPECT_EQ(sim.Host().ReadMemory(kRamStart, 2), (Bytes{7, 7}));
    EXPECT_EQ(sim.Host().Snapshot().links.usbConnections, 3u);
}

TEST(SimulatorHost, BothSidesShareOneHandset) {
    CSimHarness sim(ESimLink::Both);
    CRawUart uart(sim.UartPath());
    CRawUsb usb(sim.UsbPath());
    ASSERT_TRUE(usb.ReadMessage());
    // Hosts on both sides at once, from two threads, while a third thread watches.
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done) {
            (void)sim.Host().Snapshot();
            (void)sim.Host().ReadMemory(kRamStart, 64);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::thread a([&] {
        for (uint32_t i = 0; i < 50; ++i) {
            ASSERT_TRUE(uart.Transact(cmd::WriterData, MakeBlock(kRamStart + i, {uint8_t(i)}, true)));
        }
    });
    for (uint32_t i = 0; i < 50; ++i) {
        ASSERT_TRUE(usb.Transact(cmd::QueryTargetRunner));
        sim.Host().SetFault(EFault::Garbage, {0, 0, 0, false});
    }
    a.join();
    done = true;
    watcher.join();
    ASSERT_TRUE(usb.Transact(cmd::WriterEnd));
    EXPECT_EQ(uart.Transact(cmd::QueryTargetRunner)->payload.at(0), 1);
    EXPECT_EQ(usb.Transact(cmd::QueryTargetRunner)->payload.at(0), 3);
    EXPECT_EQ(sim.Host().Snapshot().commands.size(), 103u);
}
