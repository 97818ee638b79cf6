// vandrel-cli against a slow handset, whose replies come after the host's wait for them gave up:
// the answer to the connect poll (0x41, 50 ms) 40 to 150 ms late, the runner query (0x42, 2 s) up
// to 1.8 s late; "*" delays every reply alike, as a slow adapter or a loaded host does. Every command
// connects and ends as against a prompt handset, over the pseudo-terminal and the USB socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "CliRunner.h"
#include "SimHarness.h"
#include "TempDir.h"

using clitest::CCliRunner;
using clitest::Contains;
using clitest::TS_CLI_RESULT;
using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

const std::string kSamples = std::string(VANDREL_SOURCE_DIR) + "/samples";

} // namespace

TEST(CliLateReplies, EveryCommandConnectsAndEndsAsWithAPromptHandset) {
    CTempDir dir;
    for (const char* name : {"vwriter.m0", "vmain.m0"}) {
        std::filesystem::copy_file(kSamples + "/" + name, dir.File(name));
    }
    struct TS_CASE {
        std::vector<std::string> command;
        const char* late; // the handset's late replies, as vandrel-sim --late takes them
        const char* expected;
    };
    const std::vector<TS_CASE> cases = {
        {{"status"}, "*=70", "status: Boot loader is running"},
        {{"status"}, "0x41=150,0x42=1800", "status: Boot loader is running"},
        {{"flash-id"}, "*=40-150", "flash-id: CS#0 FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM"},
        {{"erase", "--cs", "2"}, "*=120", "erase: erased CS #2 flash memory"},
        {{"dump", "0x6000", "--size", "64"}, "*=100", "00006000  "},
        {{"download", "--verify", dir.File("vmain.m0")},
         "0x42=1800,*=40-150",
         "download: 1 file sent after the flash writer, verified 98304 bytes"},
    };
    for (const ESimLink link : {ESimLink::Uart, ESimLink::Usb}) {
        const bool usb = link == ESimLink::Usb;
        for (const TS_CASE& c : cases) {
            SCOPED_TRACE(std::string(usb ? "USB " : "UART ") + c.command[0] + ", late " + c.late);
            vsim::SSimulatorOptions options;
            std::string error;
            ASSERT_TRUE(vsim::ParseLateRules(c.late, options.lateReplies, &error)) << error;
            CSimHarness sim(link, options);
            std::vector<std::string> args = {usb ? "--usb" : "--port", sim.Path(), "--writer",
                                             dir.File("vwriter.m0")};
            args.insert(args.end(), c.command.begin(), c.command.end());
            const TS_CLI_RESULT r = CCliRunner(dir.File("config")).Run(args);
            EXPECT_EQ(r.status, 0) << r.out << r.err;
            EXPECT_TRUE(Contains(r.out, c.expected)) << r.out;
            const auto commands = sim.Host().Snapshot().commands;
            EXPECT_TRUE(
                std::any_of(commands.begin(), commands.end(), [](const auto& x) { return x.lateMs > 0; }));
        }
    }
}
