// The connection engine and the flash identification against the virtual handset.
#include <gtest/gtest.h>

#include <thread>

#include "SessionTestSupport.h"
#include "download/TargetConnection.h"
#include "tools/FlashIdentification.h"

using namespace sessiontest;
using testsupport::CSimHarness;
using testsupport::ESimLink;

TEST(TargetConnectionTest, OpenAndCloseTheLink) {
    CSimHarness sim(ESimLink::Uart);
    CTempDir dir;
    const TS_PORT_CONFIG uart = SimConfig(sim, false);
    QuilletSetComPath(3, dir.File("no-such-tty"));
    QuilletSetUsbDevicePath(dir.File("no-such-socket"));
    const struct {
        const char* what;
        TS_PORT_CONFIG config;
        bool open;
        std::string status; // "" : the port's own status text
    } cases[] = {
        {"the handset's pty as COM1", uart, true, ""},
        {"COM3 that does not exist", {PORT_UART, 2, 12, 3, 0, 0, 0}, false, "Fail to open COM3 port"},
        {"a USB device that does not exist", {PORT_USB, 0, 12, 3, 0, 0, 0}, false, "Fail to open USB port"},
        {"a port type that opens nothing", {7, 0, 12, 3, 0, 0, 0}, false, "Fail to open "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CTargetConnection link;
        EXPECT_EQ(link.OpenTargetLink(c.config), c.open);
        EXPECT_EQ(link.IsPortOpen(), c.open);
        EXPECT_EQ(link.CommandsEnabled(), c.open);
        ASSERT_NE(link.Monitor(), nullptr); // kept until CloseTargetLink, open or not
        if (c.open) {
            EXPECT_EQ(link.StatusText(), link.Monitor()->GetSerialPortConnectStatusString());
            EXPECT_FALSE(link.StatusText().empty());
            EXPECT_EQ(link.PortErrorText(), "");
        } else {
            EXPECT_EQ(link.StatusText(), c.status);
        }
        if (c.config.PortType == PORT_UART && !c.open) {
            EXPECT_NE(link.PortErrorText().find("no-such-tty"), std::string::npos) << link.PortErrorText();
        }
        link.CloseTargetLink();
        EXPECT_EQ(link.Monitor(), nullptr);
        EXPECT_FALSE(link.IsPortOpen());
        EXPECT_EQ(link.StatusText(), "");
        EXPECT_FALSE(link.CommandsEnabled());
    }
}

TEST(TargetConnectionTest, UsbDeviceAppearsWhenTheHandsetListens) {
    ClearPortEnvironment();
    CTempDir dir;
    QuilletSetUsbDevicePath(dir.File("csr0"));
    EXPECT_FALSE(UsbDevicePresent());
    {
        vsim::CSimulatorHost host;
        ASSERT_TRUE(host.StartUsb(dir.File("csr0")));
        EXPECT_TRUE(UsbDevicePresent());
        // the probe leaves the device free for the link
        CTargetConnection link;
        EXPECT_TRUE(link.OpenTargetLink({PORT_USB, 0, 12, 3, 0, 0, 0}));
    }
    EXPECT_FALSE(UsbDevicePresent()); // the handset went away
}

TEST(TargetConnectionTest, LogStartsWithTheBannerAndTheWaitingLine) {
    CLogRecorder log;
    log.AppendLog("old text");
    StartTargetLog(log, "3.0.0");
    const std::vector<std::string> expected = {
        "old text",
        "<clear>",
        "\r\n",
        "**************************************\r\n",
        "*\t\t                                                 *\r\n",
        "*                    Vandrel for R3700      \t\t *\r\n",
        "*                        Version 3.0.0            \t\t *\r\n",
        "*\t\t                                                 *\r\n",
        "**************************************\r\n",
        "\r\nWaiting response from the target.",
    };
    EXPECT_EQ(log.Appends(), expected);
    EXPECT_EQ(BannerLines("")[4], "*                        Version             \t\t *\r\n");
}

TEST(TargetConnectionTest, AnswersAreJudgedAndLogged) {
    const struct {
        signed char status;
        int result;
        TE_TARGET_ANSWER answer;
        const char* line;
    } cases[] = {
        {0, 0, ANSWER_READY, "\r\n\r\n>>>>> Target is ready => Download is possible <<<<<\r\n"},
        {3, 0, ANSWER_READY, "\r\n\r\n>>>>> Target is ready => Download is possible <<<<<\r\n"},
        {0, 1, ANSWER_NOT_POSSIBLE, "\r\n\r\n>>>>> Target is ready => Download is not possible <<<<<\r\n"},
        {0, 2, ANSWER_UNKNOWN, "\r\n\r\n>>>>> Target is not ready(unknown status) <<<<<\r\n"},
        {0, 0xBA, ANSWER_UNKNOWN, "\r\n\r\n>>>>> Target is not ready(unknown status) <<<<<\r\n"},
        {TM_ERR_TIMEOUT, -1, ANSWER_KEEP_WAITING, nullptr},
        {TM_ERR_CHECKSUM, -1, ANSWER_FAILED, nullptr},
        {-4, -1, ANSWER_FAILED, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + "/" + std::to_string(c.result));
        EXPECT_EQ(ClassifyTargetAnswer(c.status, c.result), c.answer);
        const char* line = TargetAnswerLine(c.answer);
        EXPECT_EQ(line ? std::string(line) : std::string("none"), c.line ? std::string(c.line) : "none");
    }
}

TEST(TargetConnectionTest, PollAndWaitForTheAnswer) {
    for (bool usb : {false, true}) {
        SCOPED_TRACE(usb ? "USB" : "UART");
        CSimHarness sim(usb ? ESimLink::Usb : ESimLink::Uart);
        auto monitor = OpenMonitor(sim, usb);
        CLogRecorder log;
        const TS_TARGET_POLL poll = PollTargetAnswer(*monitor, log);
        EXPECT_EQ(poll.answer, ANSWER_READY);
        EXPECT_EQ(log.Text(), "\r\n\r\n>>>>> Target is ready => Download is possible <<<<<\r\n");

        // a silent target: the wait keeps asking until its limit, and logs nothing
        sim.Host().SetFault(vsim::EFault::DropReply, {0, 1000, vsim::cmd::RequestFlashWrite});
        CLogRecorder quiet;
        const TS_TARGET_POLL limited = WaitForTargetAnswer(*monitor, quiet, std::chrono::milliseconds(400));
        EXPECT_EQ(limited.answer, ANSWER_NO_ANSWER);
        EXPECT_EQ(limited.status, TM_ERR_TIMEOUT);
        EXPECT_GE(limited.polls, 3);
        EXPECT_EQ(quiet.Text(), "");

        // without a limit only the cancel flag ends it (set from another thread)
        std::atomic<bool> cancel{false};
        std::thread canceller([&] {
            sim.Host().WaitForCommands(sim.Host().Snapshot().commands.size() + 2, std::chrono::seconds(10));
            cancel = true;
        });
        const TS_TARGET_POLL cancelled =
            WaitForTargetAnswer(*monitor, quiet, std::chrono::milliseconds(0), &cancel);
        canceller.join();
        EXPECT_EQ(cancelled.answer, ANSWER_CANCELLED);

        // the target answers again
        sim.Host().ClearFaults();
        EXPECT_EQ(WaitForTargetAnswer(*monitor, quiet, std::chrono::seconds(10)).answer, ANSWER_READY);
    }
}

TEST(TargetConnectionTest, TargetStatusLinesAndTheFlashWriterDecision) {
    const std::string label = "\r\n\xE2\x97\x88 Target status : ";
    const struct {
        bool usb;
        vsim::ERunner runner;
        std::string line;
        int runnerType;
        bool needsWriter;
    } cases[] = {
        {false, vsim::ERunner::BootLoader, "Boot loader is running[UART - 1.0.0]\r\n", 0, true},
        {false, vsim::ERunner::FlashWriter, "Flash writer is running[UART - 2.1.0]\r\n", 1, false},
        {true, vsim::ERunner::BootLoader, "Boot loader is running[USB - 1.0.0]\r\n", 2, true},
        {true, vsim::ERunner::FlashWriter, "Flash writer is running[USB - 2.1.0]\r\n", 3, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        vsim::SSimulatorOptions options;
        options.startRunner = c.runner;
        CSimHarness sim(c.usb ? ESimLink::Usb : ESimLink::Uart, options);
        auto monitor = OpenMonitor(sim, c.usb);
        CLogRecorder log;
        int runner = -1;
        const signed char status = ReportTargetStatus(*monitor, log, runner);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(runner, c.runnerType);
        EXPECT_EQ(log.Text(), label + c.line);
        EXPECT_EQ(NeedsFlashWriter(status, runner), c.needsWriter);
    }
    EXPECT_EQ(RunnerLine(4, "1.2.3"), "Cannot confirm the target work manager!!");
    EXPECT_FALSE(NeedsFlashWriter(TM_ERR_TIMEOUT, 0));
    EXPECT_FALSE(NeedsFlashWriter(0, -1));

    // no answer: the error line, the runner type untouched, no flash writer
    CSimHarness sim(ESimLink::Uart);
    auto monitor = OpenMonitor(sim, false);
    sim.Host().SetFault(vsim::EFault::DropReply, {0, 1, vsim::cmd::QueryTargetRunner});
    CLogRecorder log;
    int runner = -1;
    const signed char status = ReportTargetStatus(*monitor, log, runner);
    EXPECT_EQ(status, TM_ERR_TIMEOUT);
    EXPECT_EQ(runner, -1);
    EXPECT_EQ(log.Text(), label + " *** Error occurred => code[-103]\r\n");
    EXPECT_FALSE(NeedsFlashWriter(status, runner));
}

TEST(FlashIdentificationTest, NamesOfTheFourChipSelects) {
    const std::string cs[] = {"\r\nChip Select #0 flash memory : ", "\r\nChip Select #1 flash memory : ",
                              "\r\nChip Select #2 flash memory : ", "\r\nChip Select #3 flash memory : "};
    const std::string err = " *** Error occurred => code[-103]\r\n";
    vsim::SSimulatorOptions unknownPart;
    unknownPart.chips = {{{19, 8u << 20}, {0, 0}, {18, 8u << 20}, {25, 8u << 20}}};
    const struct {
        const char* what;
        vsim::SSimulatorOptions options;
        vsim::EFault fault;
        vsim::SFaultSpec rule;
        std::string log;
    } cases[] = {
        {"every chip select answers",
         {},
         vsim::EFault::Garbage,
         {0, 0},
         cs[0] + "FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM" + cs[1] + "FLASH_NOT_FOUND" + cs[2] +
             "FLASH_TOSHIBA_50VPF5683DASB_8MB_BOTTOM" + cs[3] + "FLASH_NOT_FOUND" + "\r\n"},
        {"-7 is an answer",
         {},
         vsim::EFault::FlashIdValid,
         {0, 4},
         cs[0] + "FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM" + cs[1] + "FLASH_NOT_FOUND" + cs[2] +
             "FLASH_TOSHIBA_50VPF5683DASB_8MB_BOTTOM" + cs[3] + "FLASH_NOT_FOUND" + "\r\n"},
        {"the target stops answering after CS#0",
         {},
         vsim::EFault::DropReply,
         {1, 3, vsim::cmd::QueryFlashId},
         cs[0] + "FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM" + err + err + err + "\r\n"},
        {"an identifier without a name",
         unknownPart,
         vsim::EFault::Garbage,
         {0, 0},
         cs[0] + "FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM" + cs[1] + "FLASH_NOT_FOUND" + cs[2] +
             "FLASH_TOSHIBA_50VPF5683DASB_8MB_BOTTOM" + cs[3] + "UNKNOWN(25)" + "\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CSimHarness sim(ESimLink::Uart, c.options);
        auto monitor = OpenMonitor(sim, false);
        sim.Host().SetFault(c.fault, c.rule);
        CLogRecorder log;
        const auto answers = GetFlashId(*monitor, log);
        EXPECT_EQ(log.Text(), c.log);
        EXPECT_TRUE(answers[0].answered);
    }
    EXPECT_EQ(FlashPartName(0), "FLASH_NOT_FOUND");
    EXPECT_EQ(FlashPartName(19), "FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM");
    EXPECT_EQ(FlashPartName(20), "UNKNOWN(20)");
    EXPECT_EQ(FlashPartName(0xBA), "UNKNOWN(186)");
}
