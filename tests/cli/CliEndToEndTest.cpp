// vandrel-cli run as a child process against the virtual handset, over a pseudo-terminal and over
// the USB socket: each command's output and exit status, verify-after-write, usage errors, a
// silent target, and Ctrl-C in the middle of a download.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "CliRunner.h"
#include "SimHarness.h"
#include "TempDir.h"
#include "tools/WrittenRanges.h"

using clitest::CCliRunner;
using clitest::Contains;
using clitest::TS_CLI_RESULT;
using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

const std::string kSamples = std::string(VANDREL_SOURCE_DIR) + "/samples";

// A scratch folder with copies of the samples (the download writes .cp64 files beside them).
struct CWorkDir {
    CTempDir dir;
    std::string writer, main, drive;
    CWorkDir() {
        for (const char* name : {"vwriter.m0", "vmain.m0", "vdrive.m0"}) {
            std::filesystem::copy_file(kSamples + "/" + name, dir.File(name));
        }
        writer = dir.File("vwriter.m0");
        main = dir.File("vmain.m0");
        drive = dir.File("vdrive.m0");
    }
    CCliRunner Cli() const { return CCliRunner(dir.File("config")); }
};

// An .m0 image of `size` bytes from `address`, 32 bytes a record, pseudo-random contents.
std::string MakeImage(const std::string& path, uint32_t address, uint32_t size, uint32_t seed) {
    std::ofstream f(path);
    uint32_t state = seed;
    for (uint32_t offset = 0; offset < size; offset += 32) {
        const uint32_t at = address + offset;
        uint8_t body[37];
        body[0] = 37;
        body[1] = static_cast<uint8_t>(at >> 24);
        body[2] = static_cast<uint8_t>(at >> 16);
        body[3] = static_cast<uint8_t>(at >> 8);
        body[4] = static_cast<uint8_t>(at);
        for (int k = 0; k < 32; ++k) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            body[5 + k] = static_cast<uint8_t>(state);
        }
        unsigned sum = 0;
        std::string line = "S3";
        char hex[3];
        for (uint8_t b : body) {
            sum += b;
            std::snprintf(hex, sizeof hex, "%02X", b);
            line += hex;
        }
        std::snprintf(hex, sizeof hex, "%02X", ~sum & 0xFFu);
        f << line << hex << "\n";
    }
    f << "S70500000000FA\n";
    return path;
}

std::vector<uint8_t> ImageBytes(const std::string& path, uint32_t address, uint32_t length) {
    TS_IMAGE_BYTES image;
    std::string error;
    EXPECT_TRUE(ReadImageBytes(path, false, image, error)) << error;
    std::vector<uint8_t> bytes(length);
    for (uint32_t k = 0; k < length; ++k) {
        EXPECT_TRUE(image.Lookup(address + k, bytes[k]));
    }
    return bytes;
}

vsim::SSimulatorOptions WriterRunning() {
    vsim::SSimulatorOptions options;
    options.startRunner = vsim::ERunner::FlashWriter;
    return options;
}

} // namespace

TEST(CliEndToEnd, StatusReportsWithoutSendingTheWriter) {
    CWorkDir work;
    for (const ESimLink link : {ESimLink::Uart, ESimLink::Usb}) {
        const bool usb = link == ESimLink::Usb;
        SCOPED_TRACE(usb ? "USB" : "UART");
        CSimHarness sim(link);
        const TS_CLI_RESULT r =
            work.Cli().Run({usb ? "--usb" : "--port", sim.Path(), "--writer", work.writer, "status"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(Contains(r.out, "*                    Vandrel for R3700      \t\t *\n")) << r.out;
        EXPECT_TRUE(Contains(r.out, "\n>>>>> Target is ready => Download is possible <<<<<\n")) << r.out;
        const std::string runner =
            usb ? "Boot loader is running[USB - 1.0.0]" : "Boot loader is running[UART - 1.0.0]";
        EXPECT_TRUE(Contains(r.out, "\xE2\x97\x88 Target status : " + runner)) << r.out;
        EXPECT_TRUE(Contains(r.out, "status: " + runner)) << r.out;
        EXPECT_FALSE(Contains(r.out, "\r")) << "log texts reach the terminal with \\n line ends";
        EXPECT_FALSE(Contains(r.out, "Flash Writer Code")) << "status only reports";
        EXPECT_EQ(sim.Host().Snapshot().writerBlocks, 0u);
        EXPECT_EQ(sim.Host().Runner(), vsim::ERunner::BootLoader);
    }
}

TEST(CliEndToEnd, DownloadSendsTheWriterFirstAndVerifies) {
    CWorkDir work;
    // a handset whose RAM reads back as 0xFF: the running writer is not judged by its RAM
    vsim::SSimulatorOptions options;
    options.ramReadsAs = 0xFF;
    for (const ESimLink link : {ESimLink::Uart, ESimLink::Usb}) {
        const bool usb = link == ESimLink::Usb;
        SCOPED_TRACE(usb ? "USB" : "UART");
        CSimHarness sim(link, options);
        const std::string logFile = work.dir.File(usb ? "usb.log" : "uart.log");
        const TS_CLI_RESULT r =
            work.Cli().Run({usb ? "--usb" : "--port", sim.Path(), "--writer", work.writer, "--log", logFile,
                            "download", "--verify", work.main, work.drive});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        // the log blocks in order: the writer, its status, then each file
        const auto writerBlock = r.out.find("Download information for the Flash Writer Code");
        const auto writerStatus =
            r.out.find(std::string("Flash writer is running[") + (usb ? "USB" : "UART"));
        const auto first = r.out.find("Download information for the 1st file in the above listbox");
        const auto second = r.out.find("Download information for the 2nd file in the above listbox");
        ASSERT_NE(writerBlock, std::string::npos) << r.out;
        EXPECT_LT(writerBlock, writerStatus);
        EXPECT_LT(writerStatus, first);
        EXPECT_LT(first, second);
        EXPECT_NE(second, std::string::npos);
        EXPECT_TRUE(Contains(r.out, " - File path : '" + work.main + "'"));
        EXPECT_TRUE(Contains(r.out, "Total elapsed time : "));
        EXPECT_TRUE(Contains(r.out, "flash writer running, version 2.1.0\n")) << r.out;
        EXPECT_LT(writerStatus, r.out.find("flash writer running"));
        EXPECT_FALSE(Contains(r.out, "bytes of '" + work.writer + "'"))
            << "the writer's RAM is not read back";
        EXPECT_TRUE(Contains(r.out, "verified 98304 bytes of '" + work.main + "'")) << r.out;
        EXPECT_TRUE(Contains(r.out, "verified 81920 bytes of '" + work.drive + "'")) << r.out;
        EXPECT_TRUE(Contains(r.out, "download: 2 files sent after the flash writer, verified 180224 bytes"));
        for (const auto& c : sim.Host().Snapshot().commands) {
            EXPECT_FALSE(c.cid == vsim::cmd::MemoryDump && c.address >= vsim::kRamStart) << c.address;
        }
        EXPECT_EQ(sim.Host().ReadMemory(vsim::kRamStart, 4096),
                  ImageBytes(work.writer, vsim::kRamStart, 4096));
        // not a terminal: plain progress lines, the last at 100 %
        EXPECT_TRUE(Contains(r.out, "Send Motorola S-format vmain.m0 | Ostra Main Code[")) << r.out;

        EXPECT_EQ(sim.Host().Runner(), vsim::ERunner::FlashWriter);
        EXPECT_EQ(sim.Host().ReadMemory(0x00006000, 98304), ImageBytes(work.main, 0x00006000, 98304));
        EXPECT_EQ(sim.Host().ReadMemory(0x08200000, 32768), ImageBytes(work.drive, 0x08200000, 32768));

        // the --log file: the same texts, "\n" line ends, the section marker kept
        std::ifstream in(logFile);
        const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(Contains(log, "\xE2\x97\x88\xE2\x97\x88\xE2\x97\x88\xE2\x97\x88\xE2\x97\x88\xE2\x97\x88"
                                  "\xE2\x97\x88\xE2\x97\x88  Download information for the 1st file"));
        EXPECT_FALSE(Contains(log, "\r"));
        EXPECT_FALSE(Contains(log, "Send Motorola S-format vmain.m0 |")) << "progress stays out of the log";
        EXPECT_TRUE(Contains(log, "download: 2 files sent"));
    }
}

TEST(CliEndToEnd, AWriterThatDoesNotReportItselfRunningFailsClearly) {
    CWorkDir work;
    for (const ESimLink link : {ESimLink::Uart, ESimLink::Usb}) {
        const bool usb = link == ESimLink::Usb;
        SCOPED_TRACE(usb ? "USB" : "UART");
        CSimHarness sim(link);
        sim.Host().SetFault(vsim::EFault::WriterNoStart, {});
        const TS_CLI_RESULT r = work.Cli().Run({usb ? "--usb" : "--port", sim.Path(), "--writer", work.writer,
                                                "download", "--verify", work.main});
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        const std::string seen = usb ? "(runner 3 expected): the target reports runner 2 (Boot loader is "
                                       "running[USB - 1.0.0])"
                                     : "(runner 1 expected): the target reports runner 0 (Boot loader is "
                                       "running[UART - 1.0.0])";
        EXPECT_TRUE(Contains(r.err, "the flash writer " + work.writer +
                                        " was sent, but it does not report itself running " + seen))
            << r.err;
        EXPECT_FALSE(Contains(r.out, "flash writer running")) << r.out;
        EXPECT_FALSE(Contains(r.out, "Download information for the 1st file")) << "nothing more is sent";
        EXPECT_EQ(sim.Host().ReadMemory(0x00006000, 16), std::vector<uint8_t>(16, 0xFF));
    }
}

TEST(CliEndToEnd, DownloadWithTheWriterRunningSendsNoWriter) {
    CWorkDir work;
    CSimHarness sim(ESimLink::Uart, WriterRunning());
    const TS_CLI_RESULT r =
        work.Cli().Run({"--port", sim.Path(), "--writer", work.writer, "--quiet", "download", work.main});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "download: 1 file sent\n") << "--quiet: the final result only";
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sim.Host().Snapshot().writerBlocks, 0u);
}

TEST(CliEndToEnd, VerifyFindsABitFlippedAfterTheWrite) {
    CWorkDir work;
    for (const ESimLink link : {ESimLink::Uart, ESimLink::Usb}) {
        const bool usb = link == ESimLink::Usb;
        SCOPED_TRACE(usb ? "USB" : "UART");
        CSimHarness sim(link, WriterRunning());
        sim.Host().SetFault(vsim::EFault::BitFlip, {.after = 0, .times = 1});
        const TS_CLI_RESULT r = work.Cli().Run(
            {usb ? "--usb" : "--port", sim.Path(), "download", "--verify", work.main, work.drive});
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        // the flipped byte, found by comparing the handset's memory with the image
        const auto memory = sim.Host().ReadMemory(0x00006000, 98304);
        const auto image = ImageBytes(work.main, 0x00006000, 98304);
        uint32_t at = 0;
        while (at < image.size() && memory[at] == image[at]) {
            ++at;
        }
        ASSERT_LT(at, image.size());
        char expected[160];
        std::snprintf(
            expected, sizeof expected,
            "verification failed at 0x%08X: expected 0x%02X, read 0x%02X; 1 mismatching byte in 98304",
            0x00006000 + at, image[at], memory[at]);
        EXPECT_TRUE(Contains(r.err, expected)) << r.err;
        EXPECT_TRUE(Contains(r.err, work.main)) << r.err;
        EXPECT_TRUE(Contains(r.err, "1 file was not attempted")) << r.err;
        EXPECT_FALSE(Contains(r.out, "Download information for the 2nd file"))
            << "a failed file ends the run";
    }
}

TEST(CliEndToEnd, UsageErrorsAndBadFilesExitTwo) {
    CWorkDir work;
    const std::string badHex = work.dir.Write("vbad.m0", "S3250000600056414E44524G4C\n");
    const std::string badName = work.dir.Write("amain.m0", "S70500000000FA\n");
    const std::string notFlash = work.dir.Write("vmain.bin", "x");
    // a FIFO named like an image: refused without waiting for a writer to come
    const std::string fifo = work.dir.File("vfifo.m0");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    CSimHarness sim(ESimLink::Uart);
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "no command given"},
        {{"flash"}, "unknown command 'flash'"},
        {{"--baud", "1234", "status"}, "valid rates: 110, 300, 600, 1200"},
        {{"--com", "5", "status"}, "--com takes 1, 2, 3 or 4"},
        {{"--port", "a", "--usb", "--port", "a", "download", work.main}, "--port a: the port is named twice"},
        {{"--wait", "soon", "status"}, "--wait takes a number of seconds"},
        {{"erase"}, "erase needs at least one --cs N or --area NAME"},
        {{"erase", "--area", "boots"}, "--area takes boot, main, cdrive, ddrive, db or media"},
        {{"erase", "--cs", "4"}, "--cs takes a chip select 0, 1, 2 or 3"},
        {{"dump"}, "dump needs a start address"},
        {{"dump", "60g0"}, "not a hexadecimal address"},
        {{"dump", "6000", "--end", "7000"}, "needs both --end ADDR and -o FILE.bin"},
        {{"dump", "7000", "--end", "6000", "-o", "x.bin"}, "--end must lie above the start address"},
        {{"dump", "6000", "--unit", "qword"}, "--unit takes byte, word or dword"},
        {{"status", "--verify"}, "unknown option '--verify' for this command"},
        {{"download"}, "download needs at least one FILE"},
        {{"--port", sim.Path(), "download", work.dir.File("vnothere.m0")}, "vnothere.m0': No such file"},
        {{"--port", sim.Path(), "download", badHex}, "vbad.m0: line 1"},
        {{"--port", sim.Path(), "download", badName},
         "is not a valid OSTRA(*.m0) flash file: its name must begin with v or V"},
        {{"--port", sim.Path(), "download", fifo}, "'" + fifo + "' is a FIFO, not a flash file"},
        {{"--port", sim.Path(), "--writer", fifo, "download", work.main},
         "flash writer: '" + fifo + "' is a FIFO"},
        {{"compress", fifo}, "is a FIFO, not a flash file"},
        {{"--port", sim.Path(), "download", notFlash}, "is not a flash file"},
        {{"--port", sim.Path(), "--writer", badHex, "download", work.main}, "flash writer: "},
        {{"--port", sim.Path(), "download", work.main}, "no flash writer is set: give --writer FILE"},
        {{"--port", work.dir.File("no-tty"), "status"}, "does not exist"},
        {{"--log", work.dir.File("no/such/folder/x.log"), "status"}, "cannot open the log file"},
        {{"compress", work.main, notFlash}, "compress takes an .m0 file"},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& a : c.args) {
            line += a + " ";
        }
        SCOPED_TRACE(line);
        const TS_CLI_RESULT r = work.Cli().Run(c.args, std::chrono::seconds(20));
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
        EXPECT_FALSE(r.timedOut);
    }
    // none of them wrote to the handset
    EXPECT_EQ(sim.Host().Snapshot().writerBlocks, 0u);
    EXPECT_EQ(sim.Host().Snapshot().blocksStored, 0u);
    EXPECT_FALSE(std::filesystem::exists(work.dir.File("config"))) << "the settings folder is never written";
}

TEST(CliEndToEnd, FilesNamedFromTheirFolderAndFilesWithoutData) {
    CWorkDir work;
    std::filesystem::copy_file(work.main, work.dir.File("vbin.m0")); // 7 characters as typed
    work.dir.Write("vempty.m0", "");
    work.dir.Write("vhead.m0", "S00600004844521B\n");
    work.dir.Write("vtext.m0", "not S-records at all\n");
    work.dir.Write("amain.m0", "S70500000000FA\n");
    CSimHarness sim(ESimLink::Uart, WriterRunning());
    CCliRunner cli = work.Cli();
    cli.SetWorkingDirectory(work.dir.Path());
    const std::string nothing = "held no data record: nothing was written";
    const struct {
        const char* file;
        int status;
        std::string err; // "" for none at all
        bool written;
    } cases[] = {
        {"vbin.m0", 0, "", true},
        {"vempty.m0", 0, "'vempty.m0' " + nothing, false},
        {"vhead.m0", 0, "'vhead.m0' " + nothing, false},
        {"vtext.m0", 0, "'vtext.m0' " + nothing, false},
        {"amain.m0", 2, "'amain.m0' is not a valid OSTRA(*.m0) flash file: its name must begin with v or V",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        sim.Host().ClearRecord();
        const TS_CLI_RESULT r = cli.Run({"--port", sim.Path(), "--quiet", "download", c.file});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        if (c.err.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_TRUE(Contains(r.err, c.err)) << r.err;
        }
        EXPECT_EQ(sim.Host().Snapshot().blocksStored > 0, c.written);
    }
}

TEST(CliEndToEnd, SilentTargetExitsOneAfterTheWait) {
    CWorkDir work;
    // a pty that nobody answers on
    int master = -1;
    int slave = -1;
    char name[256];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    const TS_CLI_RESULT r =
        work.Cli().Run({"--port", name, "--wait", "1", "status"}, std::chrono::seconds(30));
    ::close(master);
    ::close(slave);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(Contains(r.err, "no answer from the target on COM1 (" + std::string(name) + ") within 1 s"))
        << r.err;
    EXPECT_GE(r.seconds, 0.9);
    EXPECT_LT(r.seconds, 20.0) << "the wait has its limit";

    // the USB device that never appears
    const TS_CLI_RESULT u =
        work.Cli().Run({"--usb", work.dir.File("csr0"), "--wait", "0.5", "status"}, std::chrono::seconds(30));
    EXPECT_EQ(u.status, 1) << u.err;
    EXPECT_TRUE(Contains(u.err, "did not appear within 0.5 s")) << u.err;
}

TEST(CliEndToEnd, CtrlCStopsAtABlockBoundaryAndClosesThePort) {
    CWorkDir work;
    vsim::SSimulatorOptions options = WriterRunning();
    options.lineRate = 2000000; // about 0.33 s a block of 65520 bytes
    CSimHarness sim(ESimLink::Uart, options);
    const std::string image = MakeImage(work.dir.File("vbig.m0"), 0x00006000, 8 * 65520, 7);
    const TS_CLI_RESULT r =
        work.Cli().Run({"--port", sim.Path(), "download", image}, std::chrono::seconds(120), [&](pid_t pid) {
            sim.Host().WaitUntil([](const vsim::SHandsetSnapshot& s) { return s.blocksStored >= 2; },
                                 std::chrono::seconds(60));
            ::kill(pid, SIGINT);
        });
    EXPECT_EQ(r.status, 128 + SIGINT) << r.out << r.err;
    EXPECT_FALSE(r.timedOut);
    EXPECT_TRUE(Contains(r.err, "stopped: '" + image + "' reached address 0x")) << r.err;
    EXPECT_TRUE(Contains(r.err, "the flash there is incomplete")) << r.err;
    const auto stored = sim.Host().Snapshot().blocksStored;
    EXPECT_LT(stored, 8u) << "the download did not run to its end";
    // the address named is where the blocks the handset stored end (2047 records of 32 bytes a block)
    char reached[32];
    std::snprintf(reached, sizeof reached, "0x%08X", static_cast<unsigned>(0x00006000 + stored * 65504));
    EXPECT_TRUE(Contains(r.err, reached)) << r.err << " stored " << stored;

    // the port was closed: the handset answers the next run at once
    const TS_CLI_RESULT again = work.Cli().Run({"--port", sim.Path(), "--wait", "5", "status"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(Contains(again.out, "Flash writer is running[UART - 2.1.0]"));
}

TEST(CliEndToEnd, ASecondCtrlCQuitsAtOnce) {
    CWorkDir work;
    vsim::SSimulatorOptions options = WriterRunning();
    options.lineRate = 57600; // a block of 65504 bytes takes over 11 s
    CSimHarness sim(ESimLink::Uart, options);
    std::chrono::steady_clock::time_point killed;
    const TS_CLI_RESULT r = work.Cli().Run(
        {"--port", sim.Path(), "download", work.main}, std::chrono::seconds(120), [&](pid_t pid) {
            sim.Host().WaitUntil(
                [](const vsim::SHandsetSnapshot& s) {
                    for (const auto& c : s.commands) {
                        if (c.cid == vsim::cmd::EraseFlashBlock) {
                            return true;
                        }
                    }
                    return false;
                },
                std::chrono::seconds(30));
            std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the first block is on the wire
            ::kill(pid, SIGINT);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            killed = std::chrono::steady_clock::now();
            ::kill(pid, SIGINT);
        });
    const double afterKill = std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
    EXPECT_EQ(r.status, 128 + SIGINT) << r.err;
    EXPECT_TRUE(Contains(r.err, "stopped at once")) << r.err;
    EXPECT_LT(afterKill, 5.0) << "the block on the wire was not waited for";
    EXPECT_EQ(sim.Host().Snapshot().blocksStored, 0u);
}

TEST(CliEndToEnd, CtrlCWhileWaitingForTheTarget) {
    CWorkDir work;
    int master = -1;
    int slave = -1;
    char name[256];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    const TS_CLI_RESULT r =
        work.Cli().Run({"--port", name, "--wait", "0", "status"}, std::chrono::seconds(60), [](pid_t pid) {
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            ::kill(pid, SIGTERM);
        });
    ::close(master);
    ::close(slave);
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_TRUE(Contains(r.err, "stopped while waiting for the target's answer; nothing was sent")) << r.err;
}

TEST(CliEndToEnd, CtrlCCancelsALongErase) {
    CWorkDir work;
    vsim::SSimulatorOptions options = WriterRunning();
    options.chips[0].size = 4u << 20;
    options.eraseUsPer64K = 250000; // the whole chip in 16 s, as slow as a real one
    CSimHarness sim(ESimLink::Uart, options);
    std::chrono::steady_clock::time_point killed;
    const TS_CLI_RESULT r = work.Cli().Run(
        {"--port", sim.Path(), "erase", "--cs", "0"}, std::chrono::seconds(60), [&](pid_t pid) {
            sim.Host().WaitUntil(
                [](const vsim::SHandsetSnapshot& s) {
                    return s.commands.size() >= 6; // poll, status, 4 flash ids
                },
                std::chrono::seconds(30));
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            killed = std::chrono::steady_clock::now();
            ::kill(pid, SIGINT);
        });
    const double afterKill = std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
    EXPECT_EQ(r.status, 128 + SIGINT) << r.out << r.err;
    EXPECT_LT(afterKill, 10.0) << "the erase's wait was given up, not sat out";
    EXPECT_TRUE(Contains(r.err, "stopped while erasing: CS #0 flash memory is incomplete")) << r.err;
}

TEST(CliEndToEnd, FlashIdEraseDumpAndCompress) {
    CWorkDir work;
    for (const ESimLink link : {ESimLink::Uart, ESimLink::Usb}) {
        const bool usb = link == ESimLink::Usb;
        SCOPED_TRACE(usb ? "USB" : "UART");
        CSimHarness sim(link, WriterRunning());
        const std::string port = usb ? "--usb" : "--port";
        const CCliRunner cli = work.Cli();

        TS_CLI_RESULT r = cli.Run({port, sim.Path(), "flash-id"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(Contains(r.out, "\nChip Select #0 flash memory : FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM\n"
                                    "Chip Select #1 flash memory : FLASH_NOT_FOUND\n"))
            << r.out;
        EXPECT_TRUE(Contains(r.out,
                             "flash-id: CS#0 FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM, CS#1 FLASH_NOT_FOUND, "
                             "CS#2 FLASH_TOSHIBA_50VPF5683DASB_8MB_BOTTOM, CS#3 FLASH_NOT_FOUND"));

        // known contents at 0x6000 and in D-drive
        std::vector<uint8_t> bytes(3000);
        for (std::size_t k = 0; k < bytes.size(); ++k) {
            bytes[k] = static_cast<uint8_t>(k * 7 + 3);
        }
        sim.Host().Handset().LoadMemory(0x00006000, bytes);
        sim.Host().Handset().LoadMemory(0x08000000, bytes);

        r = cli.Run({port, sim.Path(), "--quiet", "dump", "0x6001", "--size", "20"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "00006001  0A 11 18 1F 26 2D 34 3B  42 49 50 57 5E 65 6C 73  |....&-4;BIPW^els|\n"
                         "00006011  7A 81 88 8F                                       |z...|\n");

        const std::string bin = work.dir.File(usb ? "usb.bin" : "uart.bin");
        r = cli.Run({port, sim.Path(), "dump", "6000", "--end", "0x6BB8", "-o", bin});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(Contains(r.out, "dump: BIN file is created: " + bin + "[3000 bytes]")) << r.out;
        std::ifstream in(bin, std::ios::binary);
        const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        EXPECT_EQ(file, bytes);

        r = cli.Run({port, sim.Path(), "erase", "--area", "ddrive", "--cs", "0"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(
            Contains(r.out, "erase: erased CS #0 flash memory, ostra D-drive block [0x08000000-0x08100000]"))
            << r.out;
        EXPECT_EQ(sim.Host().ReadMemory(0x00006000, 16), std::vector<uint8_t>(16, 0xFF));
        EXPECT_EQ(sim.Host().ReadMemory(0x08000000, 16), std::vector<uint8_t>(16, 0xFF));

        r = cli.Run({port, sim.Path(), "erase", "--cs", "1"});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(Contains(r.err, "chip select 1 carries no flash part")) << r.err;
    }

    const TS_CLI_RESULT c = work.Cli().Run({"compress", work.drive});
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_TRUE(
        Contains(c.out, "compress: " + work.dir.File("vdrive.cp64") + ": 81920 data bytes in 3 blocks"));
    EXPECT_TRUE(Contains(c.out, "areas: Ostra D-drive Code [0x08000000-0x08100000], Ostra DB Code"));
    EXPECT_TRUE(Contains(c.out, "areas with CS#0 flash part 19: Ostra D-drive Code [0x08000000-0x08100000], "
                                "Ostra Media Code [0x08100000-0x08700000]"));
    EXPECT_TRUE(std::filesystem::exists(work.dir.File("vdrive.cp64")));
}

TEST(CliEndToEnd, HelpVersionAndPorts) {
    CWorkDir work;
    CCliRunner cli = work.Cli();
    TS_CLI_RESULT r = cli.Run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Contains(r.out, "download [--verify] FILE..."));
    r = cli.Run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Contains(r.out, "vandrel-cli ")) << r.out;
    cli.SetEnv("VANDREL_COM2", "/dev/vandrel-test-none");
    r = cli.Run({"--port", "/tmp/given", "ports"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "COM1 -> /tmp/given  [--port]")) << r.out;
    EXPECT_TRUE(Contains(r.out, "COM2 -> /dev/vandrel-test-none  [VANDREL_COM2]  (missing)")) << r.out;
}
