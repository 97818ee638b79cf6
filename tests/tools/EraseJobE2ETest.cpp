// The erase tool's jobs against the virtual handset: what the chip selects answer, and which erase
// commands reach the handset for a selection.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ToolTestSupport.h"
#include "tools/EraseJob.h"

using namespace tooltest;

namespace {

constexpr uint32_t k8MiB = 8u << 20;

vsim::SSimulatorOptions Chips(uint8_t cs0, uint8_t cs1, uint8_t cs2, uint8_t cs3) {
    vsim::SSimulatorOptions o = FlashWriterOptions();
    const uint8_t parts[4] = {cs0, cs1, cs2, cs3};
    for (int i = 0; i < 4; ++i) {
        o.chips[static_cast<std::size_t>(i)] = {parts[i], parts[i] ? k8MiB : 0};
    }
    return o;
}

std::vector<vsim::SEraseRecord> Erases(CLinkedHandset& h) {
    return h.Host().Snapshot().erases;
}

void Tick(CEraseSelection& s, std::initializer_list<TE_ERASE_ITEM> items) {
    for (TE_ERASE_ITEM item : items) {
        ASSERT_TRUE(s.SetTicked(item, true)) << CEraseSelection::Text(item);
    }
}

class EraseJobTest : public ::testing::TestWithParam<ESimLink> {};

} // namespace

TEST_P(EraseJobTest, QueryFindsTheFittedChipSelectsAndAppliesCs2TypeLast) {
    // CS#1 answers "unsupported" (1), CS#3 "not found" (0): neither is fitted.
    CLinkedHandset h(GetParam(), Chips(19, 1, 18, 0));
    CEraseJob job(h.Monitor());
    const TS_FLASH_QUERY q = job.RunQuery();
    EXPECT_EQ(q.Status, (std::array<int, 4>{0, 0, 0, 0}));
    EXPECT_EQ(q.FlashType, (std::array<int, 4>{19, 1, 18, 0}));
    EXPECT_EQ(q.Fitted, (std::array<bool, 4>{true, false, true, false}));
    // Part 19 on CS#0 moved DB and media, part 18 on CS#2 put them back.
    EXPECT_EQ(job.Areas().AreaOfFlag(AREA_DB)->start, 0x08100000u);
    EXPECT_EQ(job.Areas().AreaOfFlag(AREA_MEDIA)->end, 0x08800000u);

    const auto queries = h.Commands(0x11);
    ASSERT_EQ(queries.size(), 4u);
    for (int cs = 0; cs < 4; ++cs) {
        EXPECT_EQ(queries[static_cast<std::size_t>(cs)].address, ChipSelectBase(cs));
    }

    CEraseSelection s;
    q.ApplyTo(s);
    EXPECT_TRUE(s.IsEnabled(ERASE_CS0));
    EXPECT_FALSE(s.IsEnabled(ERASE_CS1));
    EXPECT_TRUE(s.IsEnabled(ERASE_DB));
    EXPECT_FALSE(s.IsEnabled(ERASE_CS3));
}

TEST_P(EraseJobTest, StatusMinus7CountsAsAnAnswerAndAFailedQueryAsNoFlash) {
    CLinkedHandset h(GetParam(), Chips(18, 5, 19, 13));
    h.Host().SetFault(vsim::EFault::FlashIdValid, {.after = 0, .times = 1});           // CS#0 answers -7
    h.Host().SetFault(vsim::EFault::DropReply, {.after = 3, .times = 1, .cid = 0x11}); // CS#3 silent
    CEraseJob job(h.Monitor());
    const TS_FLASH_QUERY q = job.RunQuery();
    EXPECT_EQ(q.Status, (std::array<int, 4>{-7, 0, 0, TM_ERR_TIMEOUT}));
    EXPECT_EQ(q.Fitted, (std::array<bool, 4>{true, true, true, false}));
    EXPECT_EQ(job.Areas().AreaOfFlag(AREA_DB)->start, 0x08700000u);
    EXPECT_EQ(job.Areas().AreaOfFlag(AREA_MEDIA)->start, 0x08100000u);
}

TEST_P(EraseJobTest, ThreeAreasOfCs0AreErasedByOneWholeChipCommand) {
    CLinkedHandset h(GetParam());
    CRecordingObserver view;
    CEraseJob job(h.Monitor(), {&view, nullptr, nullptr});
    CEraseSelection s;
    job.RunQuery().ApplyTo(s);
    Tick(s, {ERASE_BOOT, ERASE_MAIN, ERASE_CDRIVE});
    h.Host().ClearRecord();

    const TS_ERASE_RESULT r = job.RunErase(s);
    EXPECT_TRUE(r.AllErased());
    EXPECT_EQ(r.Message, "");
    const auto erases = Erases(h);
    ASSERT_EQ(erases.size(), 1u);
    EXPECT_TRUE(erases[0].wholeChip);
    EXPECT_EQ(erases[0].start, 0u);
    EXPECT_EQ(h.Commands(0x12).size(), 1u);
    EXPECT_EQ(h.Commands(0x13).size(), 0u);
    EXPECT_EQ(view.Events(), (std::vector<std::string>{
                                 "status:",
                                 "text:CS #0 flash memory is erasing..",
                                 "range:0..150",
                                 "pos:0",
                                 "anim:on:CS #0 flash memory is erasing..",
                                 "anim:off",
                                 "pos:0",
                                 "text:0%",
                             }));
}

TEST_P(EraseJobTest, OnlyDbWithPart19OnCs2ErasesTheMovedRange) {
    CLinkedHandset h(GetParam(), Chips(18, 0, 19, 0));
    CEraseJob job(h.Monitor());
    CEraseSelection s;
    job.RunQuery().ApplyTo(s);
    Tick(s, {ERASE_DB});
    const TS_ERASE_RESULT r = job.RunErase(s);
    EXPECT_TRUE(r.AllErased());
    const auto erases = Erases(h);
    ASSERT_EQ(erases.size(), 1u);
    EXPECT_FALSE(erases[0].wholeChip);
    EXPECT_EQ(erases[0].start, 0x08700000u);
    EXPECT_EQ(erases[0].end, 0x08800000u);
}

TEST_P(EraseJobTest, Cs0TickedIgnoresItsAreasWhileCs2AreasAreStillErased) {
    CLinkedHandset h(GetParam());
    CEraseJob job(h.Monitor());
    CEraseSelection s;
    job.RunQuery().ApplyTo(s);
    Tick(s, {ERASE_BOOT, ERASE_CS0, ERASE_MEDIA, ERASE_DDRIVE});
    const TS_ERASE_RESULT r = job.RunErase(s);
    EXPECT_TRUE(r.AllErased());
    const auto erases = Erases(h);
    ASSERT_EQ(erases.size(), 3u);
    EXPECT_TRUE(erases[0].wholeChip);
    EXPECT_EQ(erases[0].start, 0x00000000u);
    EXPECT_EQ(erases[1].start, 0x08000000u);
    EXPECT_EQ(erases[1].end, 0x08100000u);
    EXPECT_EQ(erases[2].start, 0x08200000u);
    EXPECT_EQ(erases[2].end, 0x08800000u);
    // A second Start repeats the same erase.
    EXPECT_TRUE(job.RunErase(s).AllErased());
    EXPECT_EQ(Erases(h).size(), 6u);
}

TEST_P(EraseJobTest, AFailedEraseIsReportedWithItsCodeAndTheJobGoesOn) {
    CLinkedHandset h(GetParam()); // CS#1 and CS#3 carry no flash: the handset refuses them with -30
    CRecordingObserver view;
    CRecordingLog log;
    CEraseJob job(h.Monitor(), {&view, &log, nullptr});
    CEraseSelection s; // not queried: every box usable
    Tick(s, {ERASE_CS1, ERASE_DB});

    const TS_ERASE_RESULT r = job.RunErase(s);
    EXPECT_EQ(r.Outcome, ERASE_INCOMPLETE);
    EXPECT_FALSE(r.AllErased());
    ASSERT_EQ(r.Steps.size(), 2u);
    EXPECT_EQ(r.Steps[0].Status, -30);
    EXPECT_EQ(r.Steps[1].Status, 0);
    EXPECT_EQ(r.Failures(), 1);
    const std::string failure = "Error occurred while erasing CS #1 flash memory [0x04000000] => code[-30]";
    EXPECT_EQ(r.Message, failure);
    EXPECT_EQ(log.Text(), " *** " + failure + "\r\n");
    EXPECT_EQ(view.Events("status:"), (std::vector<std::string>{"", failure, failure}));
    const auto events = view.Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[events.size() - 2], "text:0%");
    // DB was erased after the failure.
    const auto erases = Erases(h);
    ASSERT_EQ(erases.size(), 1u);
    EXPECT_EQ(erases[0].start, 0x08100000u);

    CEraseSelection both;
    Tick(both, {ERASE_CS1, ERASE_CS2, ERASE_CS3});
    const TS_ERASE_RESULT r2 = job.RunErase(both);
    EXPECT_EQ(r2.Failures(), 2);
    EXPECT_EQ(r2.Message, "2 of 3 erase commands failed: CS #1 flash memory => code[-30], "
                          "CS #3 flash memory => code[-30]");
}

TEST_P(EraseJobTest, NothingTickedIsRefusedBeforeAnythingIsSent) {
    CLinkedHandset h(GetParam());
    CRecordingObserver view;
    CEraseJob job(h.Monitor(), {&view, nullptr, nullptr});
    const TS_ERASE_RESULT r = job.RunErase(CEraseSelection());
    EXPECT_EQ(r.Outcome, ERASE_NOTHING_SELECTED);
    EXPECT_EQ(r.Message, "Please select a flash memory to erase.");
    EXPECT_TRUE(view.Events().empty());
    EXPECT_TRUE(h.Host().Snapshot().commands.empty());
}

TEST_P(EraseJobTest, AStopFromAnotherThreadEndsTheJobBeforeItsNextCommand) {
    vsim::SSimulatorOptions o = FlashWriterOptions();
    o.eraseUsPer64K = 20000; // 2.5 s for a whole chip: the stop surely comes while it runs
    CLinkedHandset h(GetParam(), o);
    CRecordingObserver view;
    CRecordingLog log;
    CEraseJob job(h.Monitor(), {&view, &log, nullptr});
    CEraseSelection s;
    Tick(s, {ERASE_CS0, ERASE_CS2});

    TS_ERASE_RESULT r;
    std::thread worker([&] { r = job.RunErase(s); });
    ASSERT_TRUE(h.Host().WaitForCommands(1, std::chrono::seconds(20)));
    job.RequestStop();
    worker.join();

    EXPECT_EQ(r.Outcome, ERASE_STOPPED);
    ASSERT_EQ(r.Steps.size(), 2u);
    EXPECT_TRUE(r.Steps[0].Sent);
    EXPECT_EQ(r.Steps[0].Status, 0);
    EXPECT_FALSE(r.Steps[1].Sent);
    EXPECT_EQ(r.Message, "Erase stopped; not erased: CS #2 flash memory");
    EXPECT_EQ(log.Text(), " *** Erase stopped; not erased: CS #2 flash memory\r\n");
    EXPECT_EQ(h.Commands(0x12).size(), 1u);
    EXPECT_EQ(view.Events("text:").back(), "0%");

    // The request stays until cleared: the next job sends nothing.
    EXPECT_EQ(job.RunErase(s).Outcome, ERASE_STOPPED);
    EXPECT_EQ(h.Commands(0x12).size(), 1u);
    job.ClearStop();
}

TEST_P(EraseJobTest, TheHooksStopFlagStopsTheQueryAndTheErase) {
    CLinkedHandset h(GetParam());
    std::atomic<bool> stop{true};
    CEraseJob job(h.Monitor(), {nullptr, nullptr, &stop});
    const TS_FLASH_QUERY q = job.RunQuery();
    EXPECT_TRUE(q.Stopped);
    EXPECT_EQ(q.Fitted, (std::array<bool, 4>{false, false, false, false}));
    CEraseSelection s;
    Tick(s, {ERASE_MAIN});
    EXPECT_EQ(job.RunErase(s).Outcome, ERASE_STOPPED);
    EXPECT_TRUE(h.Host().Snapshot().commands.empty());
    stop = false;
    EXPECT_TRUE(job.RunErase(s).AllErased());
    EXPECT_EQ(h.Commands(0x13).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Links, EraseJobTest, ::testing::Values(ESimLink::Uart, ESimLink::Usb),
                         [](const auto& info) { return std::string(LinkName(info.param)); });
