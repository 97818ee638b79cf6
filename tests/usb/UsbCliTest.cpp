// vandrel-cli run as a child process on a USB bus emulated by umockdev, with --usb usb:VVVV:PPPP:
// status, the flash writer, download with verify, flash id, erase and a dump to a file through
// real libusb calls; a handset unplugged in the middle of a download; a device that is not there;
// two identical handsets with and without a path, and both flashed at once; ports and udev-rule.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "CliRunner.h"
#include "TempDir.h"
#include "UsbMockBus.h"
#include "vsim/SimulatorHost.h"

using clitest::CCliRunner;
using clitest::Contains;
using clitest::TS_CLI_RESULT;
using testsupport::CUsbMockBus;

namespace {

const std::string kSamples = std::string(VANDREL_SOURCE_DIR) + "/samples";

class UsbCli : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CUsbMockBus::Available()) {
            GTEST_SKIP() << "not under umockdev-wrapper";
        }
        m_Bus = std::make_unique<CUsbMockBus>();
        for (const char* name : {"vwriter.m0", "vmain.m0"}) {
            std::filesystem::copy_file(kSamples + "/" + name, m_Dir.File(name));
        }
    }
    CCliRunner Cli() const {
        CCliRunner cli(m_Dir.File("config"));
        for (const std::string& e : m_Bus->ChildEnvironment()) {
            const auto eq = e.find('=');
            cli.SetEnv(e.substr(0, eq), e.substr(eq + 1));
        }
        return cli;
    }

    CTempDir m_Dir;
    std::unique_ptr<CUsbMockBus> m_Bus;
};

// Every command is a new open in the same plug-in: on the handset of the virtual bench (64-byte
// packets, a greeting at plug-in) and on another one a real bus may carry (high speed, no
// greeting at all, a zero-length packet after every reply).
TEST_F(UsbCli, EveryJobOverTheBulkEndpoints) {
    for (const testsupport::TS_MOCK_DEVICE& shape :
         {testsupport::TS_MOCK_DEVICE{},
          testsupport::TS_MOCK_DEVICE{.greets = false, .packetSize = 512, .zlpAlways = true}}) {
        SCOPED_TRACE(shape.packetSize);
        m_Bus.reset();
        m_Bus = std::make_unique<CUsbMockBus>();
        vsim::CSimulatorHost host;
        m_Bus->AddHandset(host.Handset(), {}, shape);
        const CCliRunner cli = Cli();
        const std::string usb = "usb:1234:5678";

        TS_CLI_RESULT r = cli.Run({"--usb", usb, "status"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(Contains(r.out, "status: Boot loader is running[USB - 1.0.0]")) << r.out;

        r = cli.Run({"--usb", usb, "--writer", m_Dir.File("vwriter.m0"), "download", "--verify",
                     m_Dir.File("vmain.m0")});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_TRUE(Contains(r.out, "flash writer running, version 2.1.0")) << r.out;
        EXPECT_FALSE(Contains(r.out, "bytes of '" + m_Dir.File("vwriter.m0") + "'"))
            << "the writer's RAM is not read";
        EXPECT_TRUE(Contains(r.out, "verified 98304 bytes of '" + m_Dir.File("vmain.m0") + "'")) << r.out;
        EXPECT_EQ(host.Runner(), vsim::ERunner::FlashWriter);

        r = cli.Run({"--usb", usb, "flash-id"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(Contains(r.out, "flash-id: CS#0 FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM")) << r.out;

        std::vector<uint8_t> bytes(3000);
        for (std::size_t k = 0; k < bytes.size(); ++k) {
            bytes[k] = static_cast<uint8_t>(k * 7 + 3);
        }
        host.Handset().LoadMemory(0x08000000, bytes);
        const std::string bin = m_Dir.File("dump.bin");
        r = cli.Run({"--usb", usb, "dump", "0x08000000", "--end", "0x08000BB8", "-o", bin});
        EXPECT_EQ(r.status, 0) << r.err;
        std::ifstream in(bin, std::ios::binary);
        EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
                  bytes);

        r = cli.Run({"--usb", usb, "erase", "--area", "ddrive"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(host.ReadMemory(0x08000000, 16), std::vector<uint8_t>(16, 0xFF));
    }
}

TEST_F(UsbCli, UnpluggedInTheMiddleOfADownload) {
    vsim::SSimulatorOptions options;
    options.startRunner = vsim::ERunner::FlashWriter;
    vsim::CSimulatorHost host(options);
    const int dev = m_Bus->AddHandset(host.Handset(), options);
    std::chrono::steady_clock::time_point unplugged;
    const TS_CLI_RESULT r =
        Cli().Run({"--usb", "usb:1234:5678", "download", m_Dir.File("vmain.m0")}, std::chrono::seconds(120),
                  [&](pid_t) {
                      host.WaitUntil([](const vsim::SHandsetSnapshot& s) { return s.blocksStored >= 1; },
                                     std::chrono::seconds(60));
                      unplugged = std::chrono::steady_clock::now();
                      m_Bus->Unplug(dev);
                  });
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_FALSE(r.timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - unplugged, std::chrono::seconds(10))
        << "no wait for time-outs";
    EXPECT_TRUE(Contains(r.out + r.err, "disconnected")) << r.out << r.err;
    // The handset is gone now: the next run says so and that it is a usage matter (exit 2).
    const TS_CLI_RESULT again = Cli().Run({"--usb", "usb:1234:5678", "status"});
    EXPECT_EQ(again.status, 2);
    EXPECT_TRUE(Contains(again.err, "no USB device 1234:5678 is connected")) << again.err;
}

TEST_F(UsbCli, ChoosingAmongDevices) {
    vsim::CSimulatorHost first;
    vsim::CSimulatorHost second;
    m_Bus->AddHandset(first.Handset(), {}, {.port = 2});
    m_Bus->AddHandset(second.Handset(), {}, {.port = 3});
    const CCliRunner cli = Cli();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string text; // in stdout, or in stderr for a failure
    } cases[] = {
        {{"--usb", "usb:1234:5678", "status"},
         2,
         "2 devices match 1234:5678: give usb:1234:5678@BUS-PORT, see `vandrel-cli ports`"},
        {{"--usb", "usb:1234:5678@1-3", "status"}, 0, "status: Boot loader is running[USB - 1.0.0]"},
        {{"--usb", "usb:1234:0001", "status"}, 2, "no USB device 1234:0001 is connected"},
        {{"--usb", "usb:12345", "status"}, 2, "'usb:12345' is not a USB device: give usb:VVVV:PPPP"},
        {{"ports"},
         0,
         "  usb:1234:5678@1-3  /dev/bus/usb/001/003  Vandrel test bench R3700 virtual handset  bulk pair on "
         "interface 0"},
        {{"udev-rule", "usb:1234:5678"},
         0,
         "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"1234\", "
         "ATTR{idProduct}==\"5678\", "
         "TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n"},
        {{"udev-rule", "usb:1-2"}, 2, "udev-rule needs the vendor and product ids"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args.back());
        const TS_CLI_RESULT r = cli.Run(c.args);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_TRUE(Contains(c.status == 0 ? r.out : r.err, c.text)) << r.out << r.err;
    }
    EXPECT_TRUE(first.Snapshot().commands.empty());
    EXPECT_FALSE(second.Snapshot().commands.empty());
}

// Two identical handsets told apart by their bus ports, flashed at once through the station.
TEST_F(UsbCli, TwoIdenticalHandsetsFlashedAtOnceByTheirBusPorts) {
    vsim::CSimulatorHost first;
    vsim::CSimulatorHost second;
    m_Bus->AddHandset(first.Handset(), {}, {.port = 2});
    m_Bus->AddHandset(second.Handset(), {}, {.port = 3});
    const TS_CLI_RESULT r =
        Cli().Run({"--usb", "usb:1234:5678@1-2", "--usb", "usb:1234:5678@1-3", "--writer",
                   m_Dir.File("vwriter.m0"), "download", "--verify", m_Dir.File("vmain.m0")},
                  std::chrono::seconds(120));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const std::string label : {"usb:1234:5678@1-2", "usb:1234:5678@1-3"}) {
        // its row in the table: the label, "ok" and the image's bytes
        const std::size_t row = r.out.find("\n" + label + " ");
        ASSERT_NE(row, std::string::npos) << label << "\n" << r.out;
        const std::string line = r.out.substr(row + 1, r.out.find('\n', row + 1) - row - 1);
        EXPECT_TRUE(Contains(line, "  ok  ") && Contains(line, "98304")) << line;
    }
    EXPECT_TRUE(Contains(r.out, "\nsummary: 2 succeeded, 0 failed\n")) << r.out;
    EXPECT_EQ(first.Runner(), vsim::ERunner::FlashWriter);
    EXPECT_EQ(second.Runner(), vsim::ERunner::FlashWriter);
}

} // namespace
