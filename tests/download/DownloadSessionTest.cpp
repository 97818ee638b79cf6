// The download session against the virtual handset, over the pseudo-terminal and the USB socket.
#include <gtest/gtest.h>

#include <thread>

#include "SessionTestSupport.h"
#include "download/DownloadSession.h"
#include "download/JobWorker.h"

using namespace sessiontest;
using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

struct TS_RUN {
    bool sent = false;
    std::string error;
    TS_JOB_OUTCOME outcome;
    CObserverRecorder observer;
    vsim::SHandsetSnapshot snapshot;
};

// One session of a file on a fresh monitor.
void RunOnce(CSimHarness& sim, bool usb, int32_t mode, const std::string& path, TS_RUN& run) {
    auto monitor = OpenMonitor(sim, usb);
    CDownloadSession session(mode, path, monitor.get(), &run.observer);
    run.sent = session.RunSession();
    run.error = session.GetErrorText();
    run.outcome = session.Outcome();
    EXPECT_EQ(run.sent, session.GetResult() != 0);
    monitor->Quit();
    run.snapshot = sim.Host().Snapshot();
}

std::vector<vsim::SEraseRecord> Erases(std::initializer_list<vsim::SEraseRecord> list) {
    return list;
}

std::string Hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

std::vector<std::string> PrintErases(const std::vector<vsim::SEraseRecord>& erases) {
    std::vector<std::string> out;
    for (const auto& e : erases) {
        out.push_back(Hex(e.start) + ".." + Hex(e.end) + (e.wholeChip ? " chip" : ""));
    }
    return out;
}

class SessionOverLink : public ::testing::TestWithParam<bool> {
protected:
    bool Usb() const { return GetParam(); }
    ESimLink Link() const { return Usb() ? ESimLink::Usb : ESimLink::Uart; }
};

} // namespace

// Each sample image lands in the handset's memory as srec_cat reads the .m0, and the handset
// erased exactly the planned areas (its flash holds old contents, so a missed area refuses writes).
TEST_P(SessionOverLink, SampleImagesReadBackAndEraseAsPlanned) {
    const struct {
        const char* what;
        std::vector<TS_SEGMENT> segments;
        std::vector<vsim::SEraseRecord> plan;
    } cases[] = {
        {"main code only",
         {{0x00010000, Pattern(3000, 1)}, {0x00020000, Pattern(100, 2)}},
         Erases({{0x00006000, 0x00380000, false}})},
        {"boot, main and C-drive: the whole of CS#0",
         {{0x00000100, Pattern(500, 3)}, {0x00005FF0, Pattern(64, 4)}, {0x00380000, Pattern(700, 5)}},
         Erases({{0x00000000, 0x00800000, true}})},
        {"a record across the boot / main boundary erases both areas",
         {{0x00005FF0, Pattern(0x20, 6)}},
         Erases({{0x00000000, 0x00006000, false}, {0x00006000, 0x00380000, false}})},
        {"CS#2 only, CS#0 part 19: D-drive, then the default DB range, which is media with part 19",
         {{0x08000000, Pattern(600, 7)}, {0x08150000, Pattern(300, 8)}},
         Erases({{0x08000000, 0x08100000, false}, {0x08100000, 0x08700000, false}})},
        {"CS#2, CS#0 part 19: the default media range's top is DB with part 19",
         {{0x08750000, Pattern(300, 9)}},
         Erases({{0x08700000, 0x08800000, false}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CSimHarness sim(Link(), WriterRunning());
        CTempDir dir;
        const std::string m0 = dir.Write("vimage.m0", M0Text(c.segments, 40));
        TS_RUN run;
        RunOnce(sim, Usb(), MODE_APP_CODE, m0, run);
        ASSERT_TRUE(run.sent) << run.error;
        EXPECT_EQ(PrintErases(run.snapshot.erases), PrintErases(c.plan));
        EXPECT_TRUE(run.snapshot.refusedWrites.empty());
        const uint32_t first = c.segments.front().address;
        const std::vector<uint8_t> expected = SrecCatBinary(m0, first);
        ASSERT_FALSE(expected.empty());
        EXPECT_TRUE(sim.Host().ReadMemory(first, expected.size()) == expected);
        // the image was ended with the end command
        EXPECT_EQ(CommandsOf(run.snapshot, vsim::cmd::AppEnd).size(), 1u);
    }
}

// The flash writer goes to RAM through the boot loader, which then starts it; nothing is erased.
TEST_P(SessionOverLink, FlashWriterImageToRamStartsTheWriter) {
    CSimHarness sim(Link());
    CTempDir dir;
    // two blocks: the USB boot loader takes 100 ms a block
    const std::vector<TS_SEGMENT> segments = {{0x20000000, Pattern(700, 11)}, {0x20001000, Pattern(90, 12)}};
    const std::string m0 = dir.Write("vwriter.m0", M0Text(segments, 32));
    TS_RUN run;
    RunOnce(sim, Usb(), MODE_WRITER_CODE, m0, run);
    ASSERT_TRUE(run.sent) << run.error;
    EXPECT_EQ(sim.Host().Runner(), vsim::ERunner::FlashWriter);
    EXPECT_TRUE(run.snapshot.erases.empty());
    EXPECT_TRUE(CommandsOf(run.snapshot, vsim::cmd::QueryFlashId).empty());
    EXPECT_EQ(CommandsOf(run.snapshot, vsim::cmd::WriterData).size(), 2u);
    const std::vector<uint8_t> expected = SrecCatBinary(m0, 0x20000000, 0x00);
    EXPECT_TRUE(sim.Host().ReadMemory(0x20000000, expected.size()) == expected);
    EXPECT_EQ(run.observer.Of("caption").front(), "Download for the flash writer code");
    EXPECT_EQ(run.observer.Of("status").back(), "Flash Writer Code[0x20001000]");
}

// The USB retry scheme on the handset's faults, and the UART stop at the first failure.
TEST_P(SessionOverLink, RetrySchemeOnFaults) {
    using vsim::EFault;
    const struct {
        const char* what;
        bool usb;
        EFault fault;
        vsim::SFaultSpec rule;
        bool sent;
        std::string error;
        std::vector<int> statuses; // of the data and confirm commands, in order (confirm as 100 + status)
    } cases[] = {
        {"-4 twice: the block is sent again", true, EFault::ResendBlock, {0, 2}, true, "", {-4, -4, 0}},
        {"-4 for ever: 9 attempts after the first",
         true,
         EFault::ResendBlock,
         {0, 50},
         false,
         " *** Error occurred => code[-4]\r\n",
         {-4, -4, -4, -4, -4, -4, -4, -4, -4, -4}},
        {"time-out, then -10: sent again",
         true,
         EFault::LateBlock,
         {0, 1, 0, false},
         true,
         "",
         {-10, 100 - 10, 0}},
        {"time-out, then 0: the block counts as written",
         true,
         EFault::LateBlock,
         {0, 1, 0, true},
         true,
         "",
         {0, 100}},
        {"UART: the first failure ends the session",
         false,
         EFault::ResendBlock,
         {0, 1},
         false,
         " *** Error occurred => code[-4]\r\n",
         {-4}},
    };
    for (const auto& c : cases) {
        if (c.usb != Usb()) {
            continue;
        }
        SCOPED_TRACE(c.what);
        CSimHarness sim(Link(), WriterRunning(0xFF));
        CTempDir dir;
        const std::string m0 = dir.Write("vmain.m0", M0Text({{0x00010000, Pattern(200, 13)}}));
        sim.Host().SetFault(c.fault, c.rule);
        TS_RUN run;
        RunOnce(sim, Usb(), MODE_APP_CODE, m0, run);
        EXPECT_EQ(run.sent, c.sent) << run.error;
        EXPECT_EQ(run.error, c.error);
        std::vector<int> statuses;
        for (const auto& cmd : run.snapshot.commands) {
            if (cmd.cid == vsim::cmd::AppData) {
                statuses.push_back(cmd.status);
            } else if (cmd.cid == vsim::cmd::ConfirmFlashWriting) {
                statuses.push_back(100 + cmd.status);
            }
        }
        EXPECT_EQ(statuses, c.statuses);
        if (c.sent) {
            EXPECT_TRUE(sim.Host().ReadMemory(0x00010000, 200) == Pattern(200, 13));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Links, SessionOverLink, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Usb" : "Uart"; });

// What the view is shown, in order, for a small main-code image.
TEST(DownloadSessionTest, ObserverSeesEveryStageInOrder) {
    CSimHarness sim(ESimLink::Uart, WriterRunning());
    CTempDir dir;
    const std::string m0 =
        dir.Write("vmain.m0", M0Text({{0x00010000, Pattern(16, 1)}, {0x00020000, Pattern(16, 2)}}));
    TS_RUN run;
    RunOnce(sim, false, MODE_APP_CODE, m0, run);
    ASSERT_TRUE(run.sent) << run.error;
    // .cp64: two lines of 49 bytes and the S7 line of 15
    const std::string erase = "Erasing ostra main code area in CS#0 flash memory..";
    EXPECT_EQ(run.observer.Events(), (std::vector<std::string>{
                                         "caption:Compressing flash file",
                                         "status:File is being compressed...",
                                         "status:",
                                         "caption:Erasing flash memory",
                                         "text:" + erase,
                                         "pos:0",
                                         "range:0..150",
                                         "erase-on:" + erase,
                                         "erase-off",
                                         "erase-off",
                                         "caption:Send Motorola S-format",
                                         "pos:0",
                                         "range:0..113",
                                         "text:Downloading[0%]",
                                         "status:Ostra Main Code[0x00010000]",
                                         "text:Downloading[0%]",
                                         "status:Ostra Main Code[0x00010000]",
                                         "block:00010000+16",
                                         "text:Downloading[43%]",
                                         "pos:49",
                                         "status:Ostra Main Code[0x00020000]",
                                         "block:00020000+16",
                                         "text:Downloading[86%]",
                                         "pos:98",
                                         "text:Downloading[100%]",
                                         "pos:113",
                                     }));
}

// A writer image that reaches into an Ostra area erases that area first; the area name changes
// from the writer's to the area's the first time the area is entered, and only then.
TEST(DownloadSessionTest, WriterImageInAnOstraAreaErasesItAndRenamesTheArea) {
    CSimHarness sim(ESimLink::Uart, vsim::SSimulatorOptions{.flashFill = 0x00});
    CTempDir dir;
    const std::string m0 = dir.Write(
        "vwriter.m0",
        M0Text({{0x20000000, Pattern(16, 1)}, {0x00010000, Pattern(16, 2)}, {0x00010020, Pattern(16, 3)}}));
    TS_RUN run;
    RunOnce(sim, false, MODE_WRITER_CODE, m0, run);
    ASSERT_TRUE(run.sent) << run.error;
    EXPECT_EQ(PrintErases(run.snapshot.erases), PrintErases(Erases({{0x00006000, 0x00380000, false}})));
    std::vector<std::string> sends;
    for (const std::string& s : run.observer.Of("status")) {
        if (s.find('[') != std::string::npos) {
            sends.push_back(s);
        }
    }
    EXPECT_EQ(sends,
              (std::vector<std::string>{"Flash Writer Code[0x20000000]", "Ostra Main Code[0x00010000]",
                                        "Ostra Main Code[0x00010000]", "Ostra Main Code[0x00010020]"}));
}

// Erase-step failures and answers: the flash type query, -7, an unknown part, a failed erase.
TEST(DownloadSessionTest, EraseStepAnswers) {
    using vsim::EFault;
    vsim::SSimulatorOptions noCs2 = WriterRunning();
    noCs2.chips = {{{19, 8u << 20}, {0, 0}, {0, 0}, {0, 0}}};
    vsim::SSimulatorOptions part5 = WriterRunning();
    part5.chips = {{{5, 8u << 20}, {0, 0}, {18, 8u << 20}, {0, 0}}};
    const struct {
        const char* what;
        vsim::SSimulatorOptions options;
        std::vector<TS_SEGMENT> segments;
        EFault fault;
        vsim::SFaultSpec rule;
        bool sent;
        std::string status; // the last status line shown before sending (or at the failure)
        std::string error;
        std::vector<std::string> erases;
    } cases[] = {
        {"no answer to the flash type query",
         WriterRunning(),
         {{0x00010000, Pattern(32, 1)}},
         EFault::DropReply,
         {0, 1, vsim::cmd::QueryFlashId},
         false,
         "Error occurred while querying the CS#0 flash memory",
         "Error occurred while querying the CS#0 flash memory\r\n *** Error occurred => code[-103]\r\n",
         {}},
        {"-7 is an answer",
         WriterRunning(),
         {{0x00010000, Pattern(32, 1)}},
         EFault::FlashIdValid,
         {0, 1},
         true,
         "",
         "",
         {"0x00006000..0x00380000"}},
        {"an unknown part keeps the default ranges",
         part5,
         {{0x08150000, Pattern(32, 2)}},
         EFault::Garbage,
         {0, 0},
         true,
         "Unknown flash device",
         "",
         {"0x08100000..0x08200000"}},
        {"a failed erase stops before the next area and sends nothing",
         noCs2,
         {{0x08000000, Pattern(32, 3)}, {0x08150000, Pattern(32, 4)}},
         EFault::Garbage,
         {0, 0},
         false,
         "Error occurred while erasing a ostra D-drive area in CS#2 flash",
         "Error occurred while erasing a ostra D-drive area in CS#2 flash\r\n *** Error occurred => "
         "code[-30]\r\n",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CSimHarness sim(ESimLink::Uart, c.options);
        sim.Host().SetFault(c.fault, c.rule);
        CTempDir dir;
        const std::string m0 = dir.Write("vimage.m0", M0Text(c.segments));
        TS_RUN run;
        RunOnce(sim, false, MODE_APP_CODE, m0, run);
        EXPECT_EQ(run.sent, c.sent) << run.error;
        EXPECT_EQ(run.error, c.error);
        std::vector<std::string> statuses;
        for (const std::string& s : run.observer.Of("status")) {
            if (s.find('[') == std::string::npos && !s.empty() && s != "File is being compressed...") {
                statuses.push_back(s);
            }
        }
        EXPECT_EQ(statuses.empty() ? std::string() : statuses.back(), c.status);
        std::vector<std::string> erases;
        for (const auto& e : run.snapshot.erases) {
            erases.push_back(Hex(e.start) + ".." + Hex(e.end));
        }
        EXPECT_EQ(erases, c.erases);
        if (!c.sent) {
            EXPECT_TRUE(CommandsOf(run.snapshot, vsim::cmd::AppData).empty());
        }
    }
}

// Every bad file fails with a message naming it, and nothing of the bad record reaches the target.
TEST(DownloadSessionTest, BadFilesFailWithTheirMessage) {
    const std::string good = S3Line(0x00010000, Pattern(16, 1));
    const std::string longLine = "S3" + std::string(131070, '0') + "\n";
    const struct {
        const char* what;
        const char* name;
        std::string content;
        std::string error; // "@" stands for the path
        std::size_t dataCommands;
        bool anyCommand;
        TE_FILE_PROBLEM problem = FILE_PROBLEM_COMPRESS; // what the outcome says, as a value
    } cases[] = {
        {"not a hex digit", "vbad.m0", good + good + "S30D0000G00001020304050607086E\n",
         "Error occurred while file is compressed\r\n@: line 3: 'G' in column 9 is not a hexadecimal "
         "digit\r\n",
         0, false},
        {"count below 5", "vbad.m0", good + "S30300001000EC\n",
         "Error occurred while file is compressed\r\n@: line 2: the S3 record's count 3 is below 5\r\n", 0,
         false},
        {"count promises more than the line holds", "vbad.m0", "S31500010000AABB\n",
         "Error occurred while file is compressed\r\n@: line 1: the S3 record's count 21 promises more bytes "
         "than the line holds (6)\r\n",
         0, false},
        {"a line too long", "vbad.m0", good + longLine,
         "Error occurred while file is compressed\r\n@: line 2: the line is longer than 131069 "
         "characters\r\n",
         0, false},
        {".cp64: the record before the bad line is sent, the bad one not", "vbad.cp64",
         "S30015000100000102030405060708090A0B0C0D0E0F1061\nS3001500010010XX02030405060708090A0B0C0D0E0F1050"
         "\n",
         "@: line 2: 'X' in column 15 is not a hexadecimal digit\r\n", 1, true, FILE_PROBLEM_READ},
        {"unknown kind", "vimage.cp128", good, "Unknown file format\r\n", 0, false, FILE_PROBLEM_FORMAT},
        {"no such .cp64", "", "", "\r\nCannot open a following file.\n@", 0, false, FILE_PROBLEM_OPEN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CSimHarness sim(ESimLink::Uart, WriterRunning(0xFF));
        CTempDir dir;
        const std::string path = *c.name ? dir.Write(c.name, c.content) : dir.File("vmissing.cp64");
        TS_RUN run;
        RunOnce(sim, false, MODE_APP_CODE, path, run);
        EXPECT_FALSE(run.sent);
        std::string expected = c.error;
        if (expected.find('@') != std::string::npos) {
            expected.replace(expected.find('@'), 1, path);
        }
        EXPECT_EQ(run.error, expected);
        EXPECT_EQ(run.outcome.Class, OUTCOME_FILE_ERROR);
        EXPECT_EQ(run.outcome.File, c.problem);
        EXPECT_EQ(CommandsOf(run.snapshot, vsim::cmd::AppData).size(), c.dataCommands);
        EXPECT_EQ(run.snapshot.commands.empty(), !c.anyCommand);
        if (!*c.name) {
            EXPECT_EQ(run.observer.Of("status").back(), expected); // the status line shows it too
        }
    }
}

// Files with nothing to erase or nothing to send.
TEST(DownloadSessionTest, QuietFiles) {
    const struct {
        const char* what;
        const char* name;
        std::string content;
        std::size_t dataCommands;
        std::string lastText;
    } cases[] = {
        {"an empty .cp64 ends at 100 % and sends nothing", "vempty.cp64", "", 0, "Downloading[100%]"},
        {"an .m0 without data records sends nothing", "vhead.m0", "S00600004844521B\n", 0,
         "Downloading[100%]"},
        {"a .cp64 is sent without compression and without erasing", "vmain.cp64",
         "S30015000100000102030405060708090A0B0C0D0E0F1061\nS70500000000FA\n", 1, "Downloading[100%]"},
        {"a file without S7 sends no end command", "vnoend.cp64",
         "S30015000100000102030405060708090A0B0C0D0E0F1061\nS5030001FB\n", 1, "Downloading[100%]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CSimHarness sim(ESimLink::Uart, WriterRunning(0xFF));
        CTempDir dir;
        TS_RUN run;
        RunOnce(sim, false, MODE_APP_CODE, dir.Write(c.name, c.content), run);
        ASSERT_TRUE(run.sent) << run.error;
        EXPECT_EQ(CommandsOf(run.snapshot, vsim::cmd::AppData).size(), c.dataCommands);
        EXPECT_TRUE(CommandsOf(run.snapshot, vsim::cmd::QueryFlashId).empty());
        EXPECT_TRUE(run.snapshot.erases.empty());
        EXPECT_EQ(CommandsOf(run.snapshot, vsim::cmd::AppEnd).size(),
                  c.content.find("S7") != std::string::npos ? 1u : 0u);
        EXPECT_EQ(run.observer.Of("text").back(), c.lastText);
    }
}

// A stop ends the session between blocks and says where it got to.
TEST(DownloadSessionTest, StopEndsBetweenBlocksNamingFileAndAddress) {
    CSimHarness sim(ESimLink::Uart, WriterRunning());
    CTempDir dir;
    const std::string m0 = dir.Write(
        "vmain.m0",
        M0Text({{0x00010000, Pattern(16, 1)}, {0x00020000, Pattern(16, 2)}, {0x00030000, Pattern(16, 3)}}));
    auto monitor = OpenMonitor(sim, false);
    CObserverRecorder observer;
    CDownloadSession session(MODE_APP_CODE, m0, monitor.get(), &observer);
    observer.onBlock = [&](uint32_t, uint32_t) { session.RequestStop(); };
    EXPECT_FALSE(session.RunSession());
    EXPECT_TRUE(session.WasStopped());
    EXPECT_EQ(session.GetErrorText(),
              "\r\nDownload stopped: '" + m0 +
                  "' reached address 0x00010010 (16 bytes written); the flash there is "
                  "incomplete.\r\n");
    EXPECT_EQ(CommandsOf(sim.Host().Snapshot(), vsim::cmd::AppData).size(), 1u);

    // a flag of the caller set before the start: nothing is erased or sent
    sim.Host().ClearRecord();
    std::atomic<bool> ctrlC{true};
    CDownloadSession early(MODE_APP_CODE, m0, monitor.get(), nullptr);
    early.SetStopFlag(&ctrlC);
    EXPECT_FALSE(early.RunSession());
    EXPECT_EQ(early.GetErrorText(), "\r\nDownload stopped while '" + m0 +
                                        "' was being compressed: nothing was erased or sent.\r\n");
    EXPECT_TRUE(sim.Host().Snapshot().commands.empty());
}

// The dialog's worker runs the session while another thread asks it to stop (TSan runs this).
TEST(DownloadSessionTest, SessionOnAWorkerStopsFromAnotherThread) {
    CSimHarness sim(ESimLink::Uart, WriterRunning(0xFF));
    CTempDir dir;
    std::vector<TS_SEGMENT> segments;
    for (uint32_t i = 0; i < 40; ++i) {
        segments.push_back({0x00010000 + i * 0x100, Pattern(64, i)});
    }
    const std::string m0 = dir.Write("vmain.m0", M0Text(segments));
    auto monitor = OpenMonitor(sim, false);
    CObserverRecorder observer;
    platform::ManualResetEvent firstBlock, done;
    observer.onBlock = [&](uint32_t, uint32_t) { firstBlock.Set(); };
    CDownloadSession session(MODE_APP_CODE, m0, monitor.get(), &observer);
    CJobWorker worker;
    ASSERT_TRUE(worker.Create([&] {
        session.RunSession();
        done.Set();
    }));
    worker.Signal();
    ASSERT_EQ(firstBlock.Wait(std::chrono::seconds(30)), 0);
    session.RequestStop();
    ASSERT_EQ(done.Wait(std::chrono::seconds(30)), 0);
    worker.Quit();
    EXPECT_TRUE(session.WasStopped());
    EXPECT_LT(session.BytesWritten(), 40u * 64u);
    EXPECT_NE(session.GetErrorText().find("the flash there is incomplete"), std::string::npos);
}
