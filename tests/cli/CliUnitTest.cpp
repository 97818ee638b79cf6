// vandrel-cli without a handset: the command line, the output rules and the written ranges.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "Cli.h"
#include "CliCommands.h"
#include "CliJson.h"
#include "CliOptions.h"
#include "CliOutput.h"
#include "CliSignals.h"
#include "StationEventQueue.h"
#include "TempDir.h"
#include "download/CompressFlashFile.h"
#include "station/SerialNames.h"
#include "tools/WrittenRanges.h"

namespace {

std::string ReadAll(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        text.append(buffer, n);
    }
    return text;
}

} // namespace

TEST(CliOptions, AcceptedCommandLines) {
    struct Case {
        std::vector<std::string> args;
        std::function<void(const TS_CLI_OPTIONS&)> check;
    };
    const Case cases[] = {
        {{"status"},
         [](const TS_CLI_OPTIONS& o) {
             EXPECT_EQ(o.Command, ECliCommand::Status);
             EXPECT_EQ(o.PortChoice, ECliPortChoice::Saved);
             EXPECT_EQ(o.WaitSeconds, 30);
             EXPECT_EQ(o.BaudIndex, -1);
         }},
        {{"--port", "/dev/ttyUSB3", "--baud", "256000", "--wait=0", "status"},
         [](const TS_CLI_OPTIONS& o) {
             EXPECT_EQ(o.PortChoice, ECliPortChoice::Path);
             EXPECT_EQ(o.PortPath, "/dev/ttyUSB3");
             EXPECT_EQ(o.BaudIndex, 14);
             EXPECT_EQ(o.WaitSeconds, 0);
         }},
        // the station: every port in order, the first one also the single port
        {{"--port", "/dev/ttyUSB0", "--com", "2", "--usb", "--json", "--watch", "download", "vmain.m0"},
         [](const TS_CLI_OPTIONS& o) {
             ASSERT_EQ(o.Ports.size(), 3u);
             EXPECT_EQ(o.PortPath, "/dev/ttyUSB0");
             EXPECT_EQ(o.Ports[1].ComNumber, 2);
             EXPECT_EQ(o.Ports[2].Choice, ECliPortChoice::Usb);
             EXPECT_TRUE(o.Json && o.Watch && UsesStation(o));
         }},
        // --json on one port: status runs on the station, dump writes its own lines
        {{"--json", "--port", "/dev/ttyUSB0", "dump", "6000"},
         [](const TS_CLI_OPTIONS& o) { EXPECT_TRUE(o.Json && !UsesStation(o)); }},
        {{"--json", "status"}, [](const TS_CLI_OPTIONS& o) { EXPECT_TRUE(o.Json && UsesStation(o)); }},
        {{"--baud", "110", "--com", "4", "flash-id"},
         [](const TS_CLI_OPTIONS& o) {
             EXPECT_EQ(o.BaudIndex, 0);
             EXPECT_EQ(o.PortChoice, ECliPortChoice::Com);
             EXPECT_EQ(o.ComNumber, 4);
         }},
        // --usb takes a path only when one follows that is no command
        {{"--usb", "status"},
         [](const TS_CLI_OPTIONS& o) {
             EXPECT_EQ(o.PortChoice, ECliPortChoice::Usb);
             EXPECT_EQ(o.PortPath, "");
             EXPECT_EQ(o.Command, ECliCommand::Status);
         }},
        {{"--usb", "/run/csr0", "status"},
         [](const TS_CLI_OPTIONS& o) { EXPECT_EQ(o.PortPath, "/run/csr0"); }},
        {{"--usb=/x", "--quiet", "status"},
         [](const TS_CLI_OPTIONS& o) {
             EXPECT_EQ(o.PortPath, "/x");
             EXPECT_TRUE(o.Quiet);
         }},
        // global options after the command, files in order
        {{"download", "--verify", "va.m0", "vb.cp64", "--writer", "w.m0", "--log", "l.txt"},
         [](const TS_CLI_OPTIONS& o) {
             EXPECT_TRUE(o.Verify);
             EXPECT_EQ(o.Files, (std::vector<std::string>{"va.m0", "vb.cp64"}));
             EXPECT_EQ(o.WriterPath, "w.m0");
             EXPECT_EQ(o.LogPath, "l.txt");
         }},
        {{"download", "--", "--odd.m0"},
         [](const TS_CLI_OPTIONS& o) { EXPECT_EQ(o.Files, (std::vector<std::string>{"--odd.m0"})); }},
        {{"erase", "--area", "db", "--cs", "1", "--area=boot"},
         [](const TS_CLI_OPTIONS& o) {
             EXPECT_EQ(o.EraseItems, (std::vector<TE_ERASE_ITEM>{ERASE_DB, ERASE_CS1, ERASE_BOOT}));
         }},
        {{"dump", "0x20000000", "--size", "0x10", "--unit", "dword"},
         [](const TS_CLI_OPTIONS& o) {
             EXPECT_EQ(o.DumpStart, 0x20000000u);
             EXPECT_EQ(o.DumpSize, 16u);
             EXPECT_EQ(o.DumpUnit, 2);
             EXPECT_FALSE(o.DumpEnd);
         }},
        {{"dump", "6000", "--end", "FFFFFFFF", "-o", "m.bin"},
         [](const TS_CLI_OPTIONS& o) {
             EXPECT_EQ(o.DumpStart, 0x6000u);
             EXPECT_EQ(o.DumpEnd, 0xFFFFFFFFu);
             EXPECT_EQ(o.DumpOutput, "m.bin");
         }},
        {{"status", "--help"}, [](const TS_CLI_OPTIONS& o) { EXPECT_EQ(o.Command, ECliCommand::Help); }},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args) {
            line += a + " ";
        }
        SCOPED_TRACE(line);
        TS_CLI_OPTIONS o;
        std::string error;
        ASSERT_TRUE(ParseCommandLine(c.args, o, error)) << error;
        c.check(o);
    }
}

TEST(CliOptions, RefusedCommandLines) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--baud", "115201", "status"},
         "--baud 115201: not a rate of the baud table; valid rates: 110, 300, 600, "
         "1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, "
         "256000"},
        {{"--baud", "-9600", "status"}, "not a rate of the baud table"},
        {{"--com", "0", "status"}, "--com takes 1, 2, 3 or 4, not '0'"},
        {{"--com", "1", "--port", "/x", "--com", "1", "status"}, "--com 1: the port is named twice"},
        {{"--usb", "--usb", "status"}, "--usb: the port is named twice"},
        {{"--port", "/x", "--usb", "dump", "6000"},
         "several ports: only status, flash-id, erase and download"},
        {{"--watch", "compress", "vmain.m0"}, "--watch: only status, flash-id, erase and download"},
        {{"--wait", "-1", "status"}, "--wait takes a number of seconds"},
        {{"--wait", "nan", "status"}, "--wait takes a number of seconds"},
        {{"--port"}, "--port needs a value"},
        {{"status", "now"}, "unexpected argument 'now'"},
        {{"dump", "100000000"}, "not a hexadecimal address"},
        {{"dump", "0x"}, "not a hexadecimal address"},
        {{"dump", "6000", "--size", "0"}, "--size takes a number of units (1 or more)"},
        {{"dump", "6000", "--end", "7000", "-o", "f", "--size", "4"},
         "--size and --unit go with a dump to the screen"},
        {{"dump", "6000", "--end", "6000", "-o", "f"}, "--end must lie above the start address"},
        {{"erase", "--cs", "1", "extra"}, "unexpected argument 'extra'"},
        {{"compress"}, "compress needs at least one FILE"},
        {{"--frobnicate", "status"}, "unknown option '--frobnicate' (see --help)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        TS_CLI_OPTIONS o;
        std::string error;
        EXPECT_FALSE(ParseCommandLine(c.args, o, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

TEST(CliOptions, HexAddresses) {
    const struct {
        const char* text;
        bool ok;
        uint32_t value;
    } cases[] = {
        {"0", true, 0},
        {"6000", true, 0x6000},
        {"0x6000", true, 0x6000},
        {"0X0c000000", true, 0x0C000000},
        {"ffffffff", true, 0xFFFFFFFF},
        {"000000000006", true, 6},
        {"100000000", false, 0},
        {"", false, 0},
        {"0x", false, 0},
        {"12 ", false, 0},
        {"-1", false, 0},
        {"0xg", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t v = 0;
        EXPECT_EQ(ParseHexAddress(c.text, v), c.ok);
        if (c.ok) {
            EXPECT_EQ(v, c.value);
        }
    }
}

TEST(CliOutput, LogTextsReachTheTerminalAndTheLogFileWithLineFeeds) {
    EXPECT_EQ(TerminalText("\r\n\xE2\x97\x88 Target status : x\r\n"), "\n\xE2\x97\x88 Target status : x\n");
    EXPECT_EQ(TerminalText("a\nb\rc\r\n"), "a\nb\rc\n") << "only the pair becomes a line feed";

    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    {
        CCliOutput output(out, err, false, false);
        output.AppendLog("\r\n - File path : 'x'");
        // a progress line starts a line of its own; the next log text's leading line feed is taken
        output.ShowProgress("Send 50%");
        output.AppendLog("\r\n - Start time : now\r\n");
        output.Note("verified 4 bytes");
        output.Error("it failed");
        output.Result("done");
    }
    EXPECT_EQ(ReadAll(out), "\n - File path : 'x'\nSend 50%\n - Start time : now\nverified 4 bytes\ndone\n");
    EXPECT_EQ(ReadAll(err), "vandrel-cli: it failed\n");
    std::fclose(out);
    std::fclose(err);
}

TEST(CliOutput, OnATerminalTheProgressLineUpdatesInPlace) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    {
        CCliOutput output(out, err, false, true);
        output.AppendLog("\r\n - Start time : now\r\n");
        output.ShowProgress("Send 10%");
        output.ShowProgress("Send 20%");
        output.AppendLog("\r\nlog line"); // clears the line, writes, draws the line again below
        output.ShowProgress("Send 30%");
        output.EndProgress();
        output.Result("done");
    }
    EXPECT_EQ(ReadAll(out), "\n - Start time : now\n"
                            "\r\033[KSend 10%\r\033[KSend 20%\r\033[K\nlog line\n"
                            "\r\033[KSend 20%\r\033[KSend 30%\r\033[KSend 30%\n"
                            "done\n");
    std::fclose(out);
    std::fclose(err);
}

TEST(CliOutput, TheTickerRedrawsWhileTheJobReports) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    {
        CCliOutput output(out, err, false, true);
        CProgressLine line(output); // its ticker redraws every 250 ms while a job runs
        line.Begin("vmain.m0");
        line.SetCaption("Erasing flash memory");
        line.SetEraseAnimation(true, "Erasing ostra main code area in CS#0 flash memory..");
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        line.SetEraseAnimation(false, "");
        line.SetCaption("Send Motorola S-format");
        line.SetProgressPos(0);
        line.SetProgressRange(0, 100);
        for (uint32_t pos = 0; pos <= 100; ++pos) {
            line.OnBlockWritten(0x6000 + pos, 1);
            line.SetProgressPos(pos);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        line.End();
    }
    const std::string text = ReadAll(out);
    EXPECT_NE(text.find("vmain.m0 | Erasing ostra main code area in CS#0 flash memory.. "), std::string::npos)
        << text;
    EXPECT_NE(text.find("Send Motorola S-format vmain.m0 | 100% | 101 B"), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line, redrawn in place";
    std::fclose(out);
    std::fclose(err);
}

TEST(CliOutput, QuietKeepsErrorsAndTheResult) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    {
        CCliOutput output(out, err, true, false);
        output.AppendLog("\r\nbanner\r\n");
        output.Note("note");
        output.ShowProgress("50%");
        output.Result("result");
        output.Error("error");
    }
    EXPECT_EQ(ReadAll(out), "result\n");
    EXPECT_EQ(ReadAll(err), "vandrel-cli: error\n");
    std::fclose(out);
    std::fclose(err);
}

TEST(CliOutput, PlainProgressEveryTenPercent) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    {
        CCliOutput output(out, err, false, false);
        CProgressLine line(output);
        line.Begin("vmain.m0");
        line.SetCaption("Send Motorola S-format");
        line.SetProgressPos(0);
        line.SetProgressRange(0, 1000);
        for (uint32_t pos = 0; pos <= 1000; pos += 7) {
            line.SetProgressPos(pos);
        }
        line.SetProgressPos(1000);
        line.End();
    }
    const std::string text = ReadAll(out);
    int lines = 0;
    for (char c : text) {
        lines += c == '\n';
    }
    EXPECT_EQ(lines, 10) << text;
    EXPECT_NE(text.find("Send Motorola S-format vmain.m0 | 10%"), std::string::npos) << text;
    EXPECT_NE(text.find("| 100%"), std::string::npos) << text;
    std::fclose(out);
    std::fclose(err);
}

TEST(CliVerify, WrittenRangesMerge) {
    const struct {
        std::vector<std::pair<uint32_t, uint32_t>> adds;
        std::vector<std::pair<uint32_t, uint64_t>> ranges;
    } cases[] = {
        {{{0x100, 0x10}, {0x110, 0x10}}, {{0x100, 0x20}}},                // touching
        {{{0x110, 0x10}, {0x100, 0x10}}, {{0x100, 0x20}}},                // touching, other order
        {{{0x100, 0x10}, {0x120, 0x10}}, {{0x100, 0x10}, {0x120, 0x10}}}, // a gap
        {{{0x100, 0x40}, {0x110, 0x10}}, {{0x100, 0x40}}},                // inside
        {{{0x100, 0x10}, {0x120, 0x10}, {0x108, 0x20}}, {{0x100, 0x30}}}, // bridging two
        {{{0xFFFFFFF0, 0x10}, {0xFFFFFFE0, 0x10}}, {{0xFFFFFFE0, 0x20}}}, // the top of the address space
        {{{0x100, 0}}, {}},                                               // empty
    };
    for (const auto& c : cases) {
        CWrittenRanges ranges;
        for (const auto& [address, length] : c.adds) {
            ranges.Add(address, length);
        }
        std::vector<std::pair<uint32_t, uint64_t>> got;
        for (const auto& r : ranges.Ranges()) {
            got.emplace_back(r.start, r.length);
        }
        EXPECT_EQ(got, c.ranges);
    }
}

// The one reader of a flash file's records, as the station (a .cp64, its data bytes and end
// record) and verify (the bytes by address) use it.
TEST(CliVerify, ImageFilesReadOnce) {
    CTempDir dir;
    const std::string data = "S3090000600001020304E6\n";
    const struct {
        const char* name;
        std::string text;
        bool compress;
        bool read;
        uint64_t payload;
        bool end;
    } cases[] = {
        {"with an end record", data + "S70500006000\n", false, true, 4, true},
        {"without one", data, false, true, 4, false},
        {"prepared", data + "S70500006000\n", true, true, 4, true},
        {"a short record", "S3040000600001\n", false, false, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.Write("image.m0", c.text);
        std::string error;
        if (c.compress) {
            std::string prepared;
            ASSERT_TRUE(CompressFlashFile(path, prepared, TS_COMPRESS_HOOKS{}, &error)) << error;
            path = prepared;
        }
        for (const bool keep : {false, true}) {
            TS_IMAGE_BYTES image;
            TS_IMAGE_FILE_INFO info;
            error.clear();
            EXPECT_EQ(ReadImageFile(path, c.compress, keep ? &image : nullptr, info, error), c.read);
            EXPECT_EQ(error.empty(), c.read) << error;
            if (!c.read) {
                continue;
            }
            EXPECT_EQ(info.payload, c.payload);
            EXPECT_EQ(info.hasEndRecord, c.end);
            uint8_t value = 0;
            EXPECT_EQ(image.Lookup(0x6003, value), keep);
            EXPECT_EQ(value, keep ? 0x04 : 0);
        }
    }
}

TEST(CliStation, JsonStringsAndTimestamps) {
    const struct {
        std::string text;
        const char* json;
    } cases[] = {
        {"plain", R"("plain")"},
        {"quote \" back \\ tab\t", R"("quote \" back \\ tab\t")"},
        {std::string("nul\0bell\a", 9), R"("nul\u0000bell\u0007")"},
        {"\xE2\x97\x88 mark", "\"\xE2\x97\x88 mark\""}, // UTF-8 stays
        {"\xFF\xC3(\xED\xA0\x80",
         "\"\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""}, // not UTF-8
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JsonString(c.text), c.json);
    }
    EXPECT_EQ(JsonTimestamp(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(JsonTimestamp(1796775007412), "2026-12-09T00:10:07.412Z");
}

TEST(CliPorts, StableNamesLeadToTheirTty) {
    CTempDir dir;
    const std::string tty = dir.Write("ttyUSB0", "");
    const std::string other = dir.Write("ttyUSB1", "");
    std::filesystem::create_directories(dir.File("serial/by-path"));
    std::filesystem::create_directories(dir.File("serial/by-id"));
    std::filesystem::create_symlink("../../ttyUSB0",
                                    dir.File("serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"));
    std::filesystem::create_symlink(tty, dir.File("serial/by-id/usb-FTDI_FT232R_A10K-if00-port0"));
    std::filesystem::create_symlink(other, dir.File("serial/by-id/usb-Prolific_PL2303-if00-port0"));
    const std::string root = dir.File("serial");
    EXPECT_EQ(StableSerialNames(tty, root),
              (std::vector<std::string>{root + "/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0",
                                        root + "/by-id/usb-FTDI_FT232R_A10K-if00-port0"}));
    EXPECT_EQ(StableSerialNamesText(other, root), "  [" + root + "/by-id/usb-Prolific_PL2303-if00-port0]");
    EXPECT_EQ(StableSerialNamesText(dir.File("ttyS0"), root), "");
}

// The hand-over from the ports to the output writer: progress coalesced per port (the latest
// wins, and never after the port's next event), everything else in order, log text past the
// budget dropped and counted on the port's next event, the rest never dropped.
TEST(CliStation, EventQueueCoalescesProgressAndKeepsOrder) {
    using K = EStationEvent;
    struct TS_PUSH {
        K kind;
        int port;
        std::string text; // log text
        uint64_t done;    // progress
    };
    const struct {
        const char* name;
        std::vector<TS_PUSH> pushes;
        const char* taken; // kind letter, port, progress done or log text, "/dN" when N were dropped
    } cases[] = {
        {"the latest progress wins",
         {{K::Progress, 0, "", 10}, {K::Progress, 0, "", 20}, {K::Progress, 0, "", 30}},
         "P0:30"},
        {"a phase's last progress goes ahead of the next phase",
         {{K::Progress, 0, "", 10}, {K::Progress, 0, "", 100}, {K::Phase, 0, "", 0}, {K::Progress, 0, "", 5}},
         "P0:100 H0 P0:5"},
        {"another port's events do not move a progress",
         {{K::Begin, 0, "", 0}, {K::Progress, 1, "", 50}, {K::Log, 0, "a", 0}, {K::End, 0, "", 0}},
         "B0 L0:a E0 P1:50"},
        {"log past the budget is dropped and counted; the end is kept",
         {{K::Log, 0, "12345678", 0},
          {K::Log, 0, "abcdef", 0},
          {K::Log, 1, "zzzz", 0},
          {K::Log, 0, "x", 0},
          {K::End, 1, "", 0},
          {K::End, 0, "", 0}},
         "L0:12345678 L0:x/d1 E1/d1 E0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CStationEventQueue queue(2, 10);
        for (const TS_PUSH& push : c.pushes) {
            TS_STATION_EVENT event;
            event.Kind = push.kind;
            event.Port = push.port;
            event.Text = push.text;
            event.Done = push.done;
            queue.Push(event);
        }
        queue.Close();
        std::vector<TS_STATION_EVENT> events;
        std::string taken;
        while (queue.Take(events, std::chrono::milliseconds(0))) {
            for (const TS_STATION_EVENT& e : events) {
                const char letter = e.Kind == K::Progress ? 'P'
                                    : e.Kind == K::Phase  ? 'H'
                                    : e.Kind == K::Begin  ? 'B'
                                    : e.Kind == K::Log    ? 'L'
                                    : e.Kind == K::End    ? 'E'
                                                          : '?';
                taken += (taken.empty() ? "" : " ") + std::string(1, letter) + std::to_string(e.Port);
                if (e.Kind == K::Progress) {
                    taken += ":" + std::to_string(e.Done);
                } else if (e.Kind == K::Log) {
                    taken += ":" + e.Text;
                }
                if (e.Dropped > 0) {
                    taken += "/d" + std::to_string(e.Dropped);
                }
                EXPECT_GT(e.UnixMilliseconds, 0) << "stamped when pushed";
            }
        }
        EXPECT_EQ(taken, c.taken);
    }
}

// What no command expects ends with a clear line and exit status 1, never with terminate().
TEST(CliMain, AFailureNobodyExpectedIsSaidAndEndsWithStatusOne) {
    const struct {
        std::function<int()> run;
        int status;
        const char* said;
    } cases[] = {
        {[] { return 2; }, 2, ""},
        {[]() -> int { throw std::bad_alloc(); }, 1, "vandrel-cli: out of memory; the job did not finish\n"},
        {[]() -> int { throw std::system_error(EAGAIN, std::generic_category(), "thread"); }, 1,
         "vandrel-cli: unexpected failure: thread: Resource temporarily unavailable; the job did not "
         "finish\n"},
        {[]() -> int { throw 7; }, 1, "vandrel-cli: unexpected failure; the job did not finish\n"},
    };
    for (const auto& c : cases) {
        std::FILE* err = std::tmpfile();
        EXPECT_EQ(RunCatching(c.run, err), c.status);
        EXPECT_EQ(ReadAll(err), c.said);
        std::fclose(err);
    }
}

// A second Ctrl-C ends the program at once: the temporary .cp64 of a compression in progress is
// removed first, whoever's else is left alone. Looked at while the compression writes it.
TEST(CliSignals, ASecondSignalLeavesNoTemporaryCompressedFile) {
#ifdef _WIN32
    GTEST_SKIP() << "a file that is open for writing cannot be removed on Windows";
#endif
    CTempDir dir;
    const std::string source = dir.Write("vmain.m0", "S3090000600001020304E6\nS70500006000\n");
    const std::string others = dir.Write(".vmain.cp64.tmp-1-0", "another process's");
    const auto temporaries = [&] {
        int n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            n += entry.path().filename().string().find(".tmp-") != std::string::npos ? 1 : 0;
        }
        return n;
    };
    int removed = -1;
    int during = -1;
    TS_COMPRESS_HOOKS hooks;
    hooks.MarkArea = [&](uint32_t) {
        if (removed < 0) {
            during = temporaries();
            removed = CStopSignals::RemoveTemporaryCompressedFiles({source});
        }
    };
    std::string output;
    std::string problem;
    CompressFlashFile(source, output, hooks, &problem);
    EXPECT_EQ(during, 2) << "the compression's own and the other process's";
    EXPECT_EQ(removed, 1);
    EXPECT_EQ(temporaries(), 1);
    EXPECT_TRUE(std::filesystem::exists(others));
}

// What the interrupt hook throws stays on the thread that took the signal (the sigwait thread,
// the console's handler thread): it is said on stderr, and the stop still counts.
TEST(CliSignals, AHookThatThrowsStillStopsTheRun) {
    struct Case {
        const char* name;
        std::function<void()> hook;
        const char* said;
    };
    const Case cases[] = {
        {"no hook", nullptr, ""},
        {"a quiet hook", [] {}, ""},
        {"std::exception", [] { throw std::runtime_error("the port is gone"); },
         "vandrel-cli: stopping failed: the port is gone\n"},
        {"anything else", [] { throw 42; }, "vandrel-cli: stopping failed\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CStopSignals signals;
        signals.SetInterruptHook(c.hook);
        testing::internal::CaptureStderr();
        EXPECT_NO_THROW(signals.RequestStop(15));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said);
        EXPECT_TRUE(signals.Stopped());
        EXPECT_EQ(signals.Signal(), 15);
        EXPECT_EQ(signals.ExitStatus(), 143);
        // the first signal is the one the exit status tells; the hook's lock was let go
        signals.SetInterruptHook(nullptr);
        signals.RequestStop(2);
        EXPECT_EQ(signals.ExitStatus(), 143);
    }
}
