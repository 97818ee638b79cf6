// The engines against a handset that misbehaves on purpose, over the pseudo-terminal and the USB
// socket: unplugged in the middle of a download, an erase and a dump (a clear error at once, no
// hang, and a fresh link reaches the handset when it is back), the three answers to the request
// for a flash write, and a late flash-writer block over USB.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "SessionTestSupport.h"
#include "download/DownloadSession.h"
#include "download/TargetConnection.h"
#include "tools/DumpToFile.h"
#include "tools/EraseJob.h"

using namespace sessiontest;
using testsupport::CSimHarness;
using testsupport::ESimLink;
using Clock = std::chrono::steady_clock;

namespace {

// A job that runs out a command's time-out (20 s for a block, 60 s for an erase, 10 s for a dump)
// fails this bound; a prompt end passes it with a wide margin even under the sanitizers.
constexpr auto kPrompt = std::chrono::seconds(8);

class FaultOverLink : public ::testing::TestWithParam<bool> {
protected:
    bool Usb() const { return GetParam(); }
    ESimLink Link() const { return Usb() ? ESimLink::Usb : ESimLink::Uart; }
    // A fresh monitor reaches the handset: it answers the request for a flash write and says which
    // program runs.
    void ExpectReachable(CSimHarness& sim) {
        auto monitor = OpenMonitor(sim, Usb());
        TE_REQ_FLASH_WRITE_RESULT result = FLASH_WRITE_NOT_POSSIBLE;
        EXPECT_EQ(monitor->RequestAndWaitConfirmatonForFlashWrite(result), 0);
        EXPECT_EQ(result, FLASH_WRITE_POSSIBLE);
        TE_TARGET_RUNNER_TYPES runner{};
        std::string version;
        EXPECT_EQ(monitor->QueryTargetRunner(runner, version), 0);
        EXPECT_EQ(runner, Usb() ? RUNNER_FLASH_WRITER_USB : RUNNER_FLASH_WRITER_UART);
        EXPECT_EQ(monitor->GetPortErrorText(), "");
        monitor->Quit();
    }
    static void ExpectDisconnected(COstraMonitor& monitor) {
        const std::string text = monitor.GetPortErrorText();
        EXPECT_NE(text.find("the device was disconnected"), std::string::npos) << text;
    }
};

INSTANTIATE_TEST_SUITE_P(Links, FaultOverLink, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Usb" : "Uart"; });

TEST_P(FaultOverLink, UnpluggedDuringADownload) {
    CSimHarness sim(Link(), WriterRunning(0xFF));
    CTempDir dir;
    // 64 KiB blocks: the handset goes away on the fourth
    const std::vector<uint8_t> image = Pattern(6 * 65520, 21);
    const std::string m0 = dir.Write("vmain.m0", M0Text({{0x00010000, image}}, 240));
    sim.Host().SetFault(vsim::EFault::HangUp, {3, 1, 0, false});

    auto monitor = OpenMonitor(sim, Usb());
    CObserverRecorder observer;
    CDownloadSession session(MODE_APP_CODE, m0, monitor.get(), &observer);
    const auto start = Clock::now();
    EXPECT_FALSE(session.RunSession());
    EXPECT_LT(Clock::now() - start, kPrompt);
    // the code as the log has always shown it, then the reason on a line of its own
    EXPECT_EQ(session.GetErrorText().rfind(ErrorCodeText(TM_ERR_TIMEOUT), 0), 0u) << session.GetErrorText();
    EXPECT_NE(session.GetErrorText().find("the device was disconnected"), std::string::npos);
    // what a front end decides from: the class, from the port's typed error
    EXPECT_EQ(session.Outcome().Class, OUTCOME_LINK_LOST);
    EXPECT_EQ(session.Outcome().Step, STEP_PROGRAM);
    EXPECT_EQ(session.Outcome().Status, TM_ERR_TIMEOUT);
    ExpectDisconnected(*monitor);
    // What the session says it wrote is what the handset holds; nothing after the hang-up.
    EXPECT_EQ(session.BytesWritten(), 3u * 65520u);
    EXPECT_EQ(sim.Host().ReadMemory(0x00010000, 3 * 65520),
              std::vector<uint8_t>(image.begin(), image.begin() + 3 * 65520));
    EXPECT_TRUE(sim.Host().WaitUntil([](const vsim::SHandsetSnapshot& s) { return s.links.hangUps == 1; },
                                     std::chrono::seconds(5)));
    monitor->Quit();

    // The handset is back: a fresh link reaches it and the download goes through.
    ExpectReachable(sim);
    auto again = OpenMonitor(sim, Usb());
    CDownloadSession second(MODE_APP_CODE, m0, again.get(), nullptr);
    EXPECT_TRUE(second.RunSession()) << second.GetErrorText();
    EXPECT_TRUE(sim.Host().ReadMemory(0x00010000, image.size()) == image);
    again->Quit();
}

TEST_P(FaultOverLink, UnpluggedDuringAnErase) {
    CSimHarness sim(Link(), WriterRunning(0xFF));
    sim.Host().SetFault(vsim::EFault::HangUp, {0, 1, vsim::cmd::EraseFlashAll, false});
    auto monitor = OpenMonitor(sim, Usb());
    CEraseSelection selection;
    ASSERT_TRUE(selection.SetTicked(ERASE_CS0, true));
    ASSERT_TRUE(selection.SetTicked(ERASE_DDRIVE, true));
    CEraseJob job(*monitor);
    const auto start = Clock::now();
    const TS_ERASE_RESULT result = job.RunErase(selection);
    EXPECT_LT(Clock::now() - start, kPrompt);
    EXPECT_EQ(result.Outcome, ERASE_INCOMPLETE);
    ASSERT_EQ(result.Steps.size(), 2u);
    EXPECT_EQ(result.Steps[0].Status, TM_ERR_TIMEOUT); // the chip erase the handset went away in
    EXPECT_EQ(result.Steps[1].Status, TM_ERR_TIMEOUT); // and the area after it, at once
    EXPECT_NE(result.Message.find("CS #0"), std::string::npos) << result.Message;
    ExpectDisconnected(*monitor);
    EXPECT_TRUE(sim.Host().Snapshot().erases.empty());
    monitor->Quit();
    ExpectReachable(sim);
}

TEST_P(FaultOverLink, UnpluggedDuringADump) {
    CSimHarness sim(Link(), WriterRunning(0xFF));
    const std::vector<uint8_t> memory = Pattern(8000, 5);
    sim.Host().Handset().LoadMemory(0x08000000, memory);
    // the third MemoryDump command: two have come back
    sim.Host().SetFault(vsim::EFault::HangUp, {2, 1, vsim::cmd::MemoryDump, false});
    auto monitor = OpenMonitor(sim, Usb());
    CTempDir dir;
    const std::string bin = dir.File("dump.bin");
    const auto start = Clock::now();
    const TS_DUMP_FILE_RESULT result = DumpToFile(*monitor, bin, 0x08000000, 0x08000000 + 8000);
    EXPECT_LT(Clock::now() - start, kPrompt);
    EXPECT_EQ(result.Outcome, DUMP_FILE_READ_ERROR);
    EXPECT_EQ(result.Status, TM_ERR_TIMEOUT);
    const uint32_t chunk = Usb() ? 996 : 1000;
    EXPECT_EQ(result.Reached, 0x08000000 + 2 * chunk);
    EXPECT_EQ(ReadFile(bin), std::string(memory.begin(), memory.begin() + 2 * chunk));
    EXPECT_FALSE(result.Detail.empty());
    ExpectDisconnected(*monitor);
    monitor->Quit();
    ExpectReachable(sim);
}

// The three answers to the request for a flash write, as the connect dialog's wait judges them.
TEST_P(FaultOverLink, RequestForAFlashWriteHasThreeAnswers) {
    const struct {
        uint8_t answer;
        TE_TARGET_ANSWER expected;
    } cases[] = {{0, ANSWER_READY}, {1, ANSWER_NOT_POSSIBLE}, {0x37, ANSWER_UNKNOWN}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.answer));
        // by option
        vsim::SSimulatorOptions options = WriterRunning(0xFF);
        options.flashWriteAnswer = c.answer;
        CSimHarness sim(Link(), options);
        auto monitor = OpenMonitor(sim, Usb());
        CLogRecorder log;
        TS_TARGET_POLL poll = WaitForTargetAnswer(*monitor, log, std::chrono::seconds(5));
        EXPECT_EQ(poll.answer, c.expected);
        EXPECT_EQ(poll.result, c.answer);
        // by fault, after a silent first request: the wait asks again and takes the answer
        sim.Host().SetFault(vsim::EFault::DropReply, {0, 1, vsim::cmd::RequestFlashWrite, false});
        // (the dropped request is one of the answer fault's events too: it acts on the second)
        sim.Host().SetFault(vsim::EFault::FlashWriteAnswer, {1, 1, 0, false, c.answer ? c.answer : 1u});
        poll = WaitForTargetAnswer(*monitor, log, std::chrono::seconds(5));
        EXPECT_EQ(poll.polls, 2);
        EXPECT_EQ(poll.result, c.answer ? c.answer : 1);
        monitor->Quit();
    }
}

// A flash-writer block whose reply never comes: over USB the session asks ConfirmFlashWriting and,
// told -10, sends the block again; the writer then starts.
TEST(LateWriterBlock, RecoversOverUsb) {
    for (const bool stored : {false, true}) {
        SCOPED_TRACE(stored ? "stored" : "not stored");
        CSimHarness sim(ESimLink::Usb);
        CTempDir dir;
        const std::vector<uint8_t> writer = Pattern(3000, 17);
        const std::vector<uint8_t> tail = Pattern(500, 18);
        // two blocks; the second one's reply never comes
        const std::string m0 =
            dir.Write("vwriter.m0", M0Text({{0x20001000, writer}, {0x20004000, tail}}, 32));
        sim.Host().SetFault(vsim::EFault::LateBlock, {1, 1, 0, stored});
        auto monitor = OpenMonitor(sim, true);
        CDownloadSession session(MODE_WRITER_CODE, m0, monitor.get(), nullptr);
        EXPECT_TRUE(session.RunSession()) << session.GetErrorText();
        EXPECT_EQ(sim.Host().Runner(), vsim::ERunner::FlashWriter);
        EXPECT_TRUE(sim.Host().ReadMemory(0x20001000, writer.size()) == writer);
        EXPECT_TRUE(sim.Host().ReadMemory(0x20004000, tail.size()) == tail);
        const auto confirms = CommandsOf(sim.Host().Snapshot(), vsim::cmd::ConfirmFlashWriting);
        ASSERT_EQ(confirms.size(), 1u);
        EXPECT_EQ(confirms[0].status, stored ? 0 : -10);
        monitor->Quit();
    }
}

} // namespace
