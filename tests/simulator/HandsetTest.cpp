// The monitor programs, driven request by request without a transport.
#include <gtest/gtest.h>

#include <random>

#include "SimTestUtil.h"
#include "vsim/VirtualHandset.h"

using namespace vsim;
using simtest::Be32;
using simtest::Bytes;
using simtest::MakeBlock;

namespace {

struct SAnswer {
    bool sent = false;
    uint8_t cid = 0;
    int status = 0;
    Bytes payload;
    SResponse raw;
};

SAnswer Ask(CVirtualHandset& h, ETransport t, uint8_t cid, const Bytes& payload = {}) {
    SResponse r = h.Handle(SRequest{t, cid, payload, 0});
    SAnswer a;
    a.sent = r.send;
    if (r.frame.empty()) { // withheld by a fault before any reply was made
        EXPECT_FALSE(r.send);
        a.raw = std::move(r);
        return a;
    }
    a.cid = r.frame.at(1);
    a.status = int8_t(r.frame.at(2));
    const size_t tail = t == ETransport::Uart ? 1 : 0;
    if (t == ETransport::Uart) {
        EXPECT_EQ(XorOf(r.frame.data() + 1, r.frame.size() - 1), 0) << "reply checksum";
    }
    a.payload.assign(r.frame.begin() + 3, r.frame.end() - long(tail));
    a.raw = std::move(r);
    return a;
}

Bytes Range(uint32_t start, uint32_t end) {
    Bytes p = Be32(start);
    const Bytes e = Be32(end);
    p.insert(p.end(), e.begin(), e.end());
    return p;
}

Bytes Dump(uint32_t address, uint16_t count, uint8_t unit) {
    Bytes p = Be32(address);
    p.push_back(uint8_t(count));
    p.push_back(uint8_t(count >> 8));
    p.push_back(unit);
    return p;
}

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = uint8_t(seed + i * 13);
    }
    return b;
}

// A handset with the flash writer running (downloaded over UART into RAM).
void StartWriter(CVirtualHandset& h) {
    ASSERT_EQ(Ask(h, ETransport::Uart, cmd::WriterData, MakeBlock(kRamStart, Pattern(64, 1), true)).status,
              0);
    ASSERT_EQ(Ask(h, ETransport::Uart, cmd::WriterEnd).status, 0);
}

constexpr auto U = ETransport::Uart;
constexpr auto B = ETransport::Usb;

} // namespace

TEST(Handset, BootLoaderCommandTable) {
    SSimulatorOptions o;
    o.bootLoaderVersion = {1, 2, 10};
    CVirtualHandset h(o);
    struct Case {
        const char* name;
        ETransport t;
        uint8_t cid;
        Bytes payload;
        int status;
        Bytes reply;
    };
    const std::vector<Case> cases = {
        {"ready", U, cmd::RequestFlashWrite, {}, 0, {0}},
        {"runner uart", U, cmd::QueryTargetRunner, {}, 0, {0, 1, 2, 10}},
        {"runner usb", B, cmd::QueryTargetRunner, {}, 0, {2, 1, 2, 10}},
        {"flash id CS#0", U, cmd::QueryFlashId, Be32(0x00000000), 0, {19}},
        {"flash id CS#1", U, cmd::QueryFlashId, Be32(0x04000000), 0, {0}},
        {"flash id CS#2", B, cmd::QueryFlashId, Be32(0x08000000), 0, {18}},
        {"flash id beyond", U, cmd::QueryFlashId, Be32(0x10000000), status::OutsideMemory, {0}},
        {"app block", U, cmd::AppData, MakeBlock(0x6000, {1, 2}, true), status::WrongPhase, {}},
        {"app end", U, cmd::AppEnd, {}, status::WrongPhase, {}},
        {"confirm", B, cmd::ConfirmFlashWriting, {}, status::WrongPhase, {}},
        {"writer end first", U, cmd::WriterEnd, {}, status::NoWriterImage, {}},
        {"unknown", U, 0x77, {}, status::UnknownCommand, {}},
        {"runner with payload", U, cmd::QueryTargetRunner, {1}, status::BadLength, {}},
        {"erase short", U, cmd::EraseFlashBlock, Be32(0), status::BadLength, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SAnswer a = Ask(h, c.t, c.cid, c.payload);
        EXPECT_TRUE(a.sent);
        EXPECT_EQ(a.cid, c.cid);
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(a.payload, c.reply);
    }
    EXPECT_EQ(h.Runner(), ERunner::BootLoader);
    EXPECT_EQ(h.Snapshot().commands.size(), cases.size());
}

TEST(Handset, WriterDownloadStartsTheFlashWriter) {
    CVirtualHandset h;
    const Bytes image = Pattern(300, 3);
    // Writer blocks: RAM, fitted flash, nowhere.
    EXPECT_EQ(Ask(h, U, cmd::WriterData, MakeBlock(kRamStart + 0x10, image, true)).status, 0);
    EXPECT_EQ(Ask(h, B, cmd::WriterData, MakeBlock(0x00001000, image, false)).status, 0);
    EXPECT_EQ(Ask(h, U, cmd::WriterData, MakeBlock(0x30000000, image, true)).status, status::OutsideMemory);
    EXPECT_EQ(h.ReadMemory(kRamStart + 0x10, 300), image);
    EXPECT_EQ(h.ReadMemory(0x00001000, 300), image);
    // Flash already written refuses a second writer block on top of it.
    EXPECT_EQ(Ask(h, U, cmd::WriterData, MakeBlock(0x00001000, image, true)).status, status::NotErased);

    EXPECT_EQ(Ask(h, U, cmd::WriterEnd).status, 0);
    EXPECT_EQ(h.Runner(), ERunner::FlashWriter);
    SSimulatorOptions o;
    EXPECT_EQ(Ask(h, U, cmd::QueryTargetRunner).payload,
              (Bytes{1, o.flashWriterVersion[0], o.flashWriterVersion[1], o.flashWriterVersion[2]}));
    EXPECT_EQ(Ask(h, B, cmd::QueryTargetRunner).payload.at(0), 3);
    EXPECT_EQ(Ask(h, U, cmd::WriterData, MakeBlock(kRamStart, image, true)).status, status::WrongPhase);
    EXPECT_EQ(Ask(h, U, cmd::WriterEnd).status, status::WrongPhase);

    const auto s = h.Snapshot();
    EXPECT_EQ(s.writerBlocks, 2u);
    ASSERT_EQ(s.refusedWrites.size(), 2u);
    EXPECT_EQ(s.refusedWrites[0].status, status::OutsideMemory);
    EXPECT_EQ(s.refusedWrites[1].badAddress, 0x00001000u);

    h.PowerCycle();
    EXPECT_EQ(h.Runner(), ERunner::BootLoader);
    EXPECT_EQ(h.ReadMemory(kRamStart + 0x10, 4), Bytes(4, 0x00));
    EXPECT_EQ(h.ReadMemory(0x00001000, 300), image);
}

TEST(Handset, ApplicationBlocks) {
    CVirtualHandset h;
    StartWriter(h);
    const Bytes data = Pattern(1000, 9);
    EXPECT_EQ(Ask(h, U, cmd::AppData, MakeBlock(0x6000, data, true)).status, 0);
    EXPECT_EQ(Ask(h, B, cmd::AppData, MakeBlock(0x08000000, data, false)).status, 0);
    EXPECT_EQ(h.ReadMemory(0x6000, 1000), data);
    EXPECT_EQ(h.ReadMemory(0x08000000, 1000), data);

    // A bad record checksum is refused and nothing is written.
    Bytes broken = MakeBlock(0x10000, data, true);
    broken.back() ^= 1;
    EXPECT_EQ(Ask(h, U, cmd::AppData, broken).status, status::BadRecordChecksum);
    EXPECT_EQ(h.ReadMemory(0x10000, 4), Bytes(4, 0xFF));
    // Too short to hold an address (and on UART a checksum).
    EXPECT_EQ(Ask(h, U, cmd::AppData, {0, 0, 0x60, 0}).status, status::BadLength);
    EXPECT_EQ(Ask(h, B, cmd::AppData, {0, 0, 0x60}).status, status::BadLength);
    // Writing over the first block: refused and recorded.
    EXPECT_EQ(Ask(h, U, cmd::AppData, MakeBlock(0x6100, {0x00}, true)).status, status::NotErased);
    EXPECT_EQ(Ask(h, U, cmd::AppData, MakeBlock(0x04000000, data, true)).status, status::OutsideMemory);
    EXPECT_EQ(Ask(h, U, cmd::AppEnd).status, 0);
    // ConfirmFlashWriting answers how the last block went.
    EXPECT_EQ(Ask(h, B, cmd::ConfirmFlashWriting).status, status::OutsideMemory);

    const auto s = h.Snapshot();
    ASSERT_EQ(s.refusedWrites.size(), 3u);
    EXPECT_EQ(s.refusedWrites[1].status, status::NotErased);
    EXPECT_EQ(s.refusedWrites[1].address, 0x6100u);
    EXPECT_EQ(s.refusedWrites[1].badAddress, 0x6100u);
    EXPECT_EQ(s.blocksStored, 3u); // writer block and two application blocks
    // The record names each block's address and data length.
    const SCommandRecord& first = s.commands[2];
    EXPECT_EQ(first.cid, cmd::AppData);
    EXPECT_EQ(first.address, 0x6000u);
    EXPECT_EQ(first.length, 1000u);
    EXPECT_EQ(first.status, 0);
}

TEST(Handset, EraseCommands) {
    CVirtualHandset h;
    StartWriter(h);
    ASSERT_EQ(Ask(h, U, cmd::AppData, MakeBlock(0x380000, Pattern(16, 1), true)).status, 0);
    ASSERT_EQ(Ask(h, U, cmd::AppData, MakeBlock(0x08200000, Pattern(16, 1), true)).status, 0);
    struct Case {
        uint8_t cid;
        Bytes payload;
        int status;
    };
    const std::vector<Case> cases = {
        {cmd::EraseFlashBlock, Range(0x380000, 0x800000), 0},
        {cmd::EraseFlashBlock, Range(0x08200000, 0x08800000), 0},
        {cmd::EraseFlashBlock, Range(0x800000, 0x900000), status::OutsideMemory},
        {cmd::EraseFlashBlock, Range(0x6000, 0x6000), status::BadEraseRange},
        {cmd::EraseFlashBlock, Range(0x7000, 0x6000), status::BadEraseRange},
        {cmd::EraseFlashAll, Be32(0x04000000), status::OutsideMemory},
        {cmd::EraseFlashAll, Be32(0x00000000), 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Ask(h, U, c.cid, c.payload).status, c.status);
    }
    EXPECT_EQ(h.ReadMemory(0x380000, 16), Bytes(16, 0xFF));
    EXPECT_EQ(h.ReadMemory(0x08200000, 16), Bytes(16, 0xFF));
    const auto s = h.Snapshot();
    ASSERT_EQ(s.erases.size(), 3u);
    EXPECT_EQ(s.erases[0].start, 0x380000u);
    EXPECT_EQ(s.erases[0].end, 0x800000u);
    EXPECT_FALSE(s.erases[0].wholeChip);
    EXPECT_TRUE(s.erases[2].wholeChip);
    EXPECT_EQ(s.erases[2].end, 0x800000u);
}

TEST(Handset, EraseAndProgrammingTakeTime) {
    SSimulatorOptions o;
    o.eraseUsPer64K = 1000;
    o.programUsPerKiB = 100;
    CVirtualHandset h(o);
    StartWriter(h);
    EXPECT_EQ(Ask(h, U, cmd::EraseFlashAll, Be32(0)).raw.busyUs, 128u * 1000u);
    EXPECT_EQ(Ask(h, U, cmd::EraseFlashBlock, Range(0, 0x6000)).raw.busyUs, 1000u);
    EXPECT_EQ(Ask(h, U, cmd::AppData, MakeBlock(0, Bytes(2049, 0), true)).raw.busyUs, 300u);
    h.SetTiming(0, 0);
    EXPECT_EQ(Ask(h, U, cmd::EraseFlashAll, Be32(0)).raw.busyUs, 0u);
}

TEST(Handset, MemoryDumpLimits) {
    CVirtualHandset h;
    const Bytes data = Pattern(2048, 5);
    h.LoadMemory(0x08100000, data);
    struct Case {
        const char* name;
        ETransport t;
        Bytes payload;
        int status;
        size_t bytes;
    };
    const std::vector<Case> cases = {
        {"bytes", U, Dump(0x08100000, 16, 0), 0, 16},
        {"words", U, Dump(0x08100000, 0x100, 1), 0, 512},
        {"uart limit", U, Dump(0x08100000, 5119, 2), 0, 20476},
        {"uart over", U, Dump(0x08100000, 20477, 0), status::DumpTooLarge, 0},
        {"usb limit", B, Dump(0x08100000, 249, 2), 0, 996},
        {"usb over", B, Dump(0x08100000, 997, 0), status::DumpTooLarge, 0},
        {"nothing", B, Dump(0x08100000, 0, 0), 0, 0},
        {"unit", U, Dump(0x08100000, 1, 3), status::BadDumpUnit, 0},
        {"past 4 GiB", U, Dump(0xFFFFFFF0, 32, 0), status::OutsideMemory, 0},
        {"short request", U, Bytes{8, 0x10, 0, 0, 16, 0}, status::BadLength, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SAnswer a = Ask(h, c.t, cmd::MemoryDump, c.payload);
        EXPECT_EQ(a.status, c.status);
        ASSERT_EQ(a.payload.size(), c.bytes);
        if (c.bytes) {
            const size_t n = std::min<size_t>(c.bytes, data.size());
            EXPECT_TRUE(std::equal(data.begin(), data.begin() + long(n), a.payload.begin()));
        }
    }
    const auto s = h.Snapshot();
    EXPECT_EQ(s.commands[1].address, 0x08100000u);
    EXPECT_EQ(s.commands[1].length, 0x100u);
    EXPECT_EQ(s.commands[1].unit, 1);
}

TEST(Handset, BrokenRequestsAreAnsweredWithTheTransportsStatus) {
    CVirtualHandset h;
    const SResponse r = h.Handle(SRequest{U, cmd::EraseFlashAll, {}, status::BadRequestChecksum});
    EXPECT_EQ(int8_t(r.frame.at(2)), status::BadRequestChecksum);
    EXPECT_TRUE(h.Snapshot().erases.empty());
}

TEST(Handset, ReplyFaultsActOnTheirCounters) {
    CVirtualHandset h;
    h.SetFault(EFault::DropReply, {1, 2, 0, false});
    std::vector<bool> sent;
    for (int i = 0; i < 5; ++i) {
        sent.push_back(Ask(h, U, cmd::RequestFlashWrite).sent);
    }
    EXPECT_EQ(sent, (std::vector<bool>{true, false, false, true, true}));
    EXPECT_EQ(h.Fault(EFault::DropReply).times, 0u);

    // Only replies to one command.
    h.SetFault(EFault::DropReply, {0, 1, cmd::QueryTargetRunner, false});
    EXPECT_TRUE(Ask(h, U, cmd::RequestFlashWrite).sent);
    EXPECT_FALSE(Ask(h, U, cmd::QueryTargetRunner).sent);

    // Every fourth reply to one command; the other commands do not count.
    h.SetFault(EFault::DropReply, {.after = 3, .times = 100, .cid = cmd::QueryTargetRunner, .every = 4});
    std::vector<bool> runner;
    for (int i = 0; i < 9; ++i) {
        EXPECT_TRUE(Ask(h, U, cmd::RequestFlashWrite).sent);
        runner.push_back(Ask(h, U, cmd::QueryTargetRunner).sent);
    }
    EXPECT_EQ(runner, (std::vector<bool>{true, true, true, false, true, true, true, false, true}));
    h.ClearFaults();

    // Corrupt: UART replies only; the USB reply in between does not count.
    h.SetFault(EFault::CorruptReply, {});
    EXPECT_TRUE(Ask(h, B, cmd::RequestFlashWrite).sent);
    const SResponse corrupt = h.Handle(SRequest{U, cmd::RequestFlashWrite, {}, 0});
    EXPECT_NE(XorOf(corrupt.frame.data() + 1, corrupt.frame.size() - 1), 0);

    h.SetFault(EFault::Garbage, {0, 2, 0, false});
    const SResponse g1 = h.Handle(SRequest{U, cmd::RequestFlashWrite, {}, 0});
    const SResponse g2 = h.Handle(SRequest{B, cmd::RequestFlashWrite, {}, 0});
    ASSERT_FALSE(g1.garbage.empty());
    EXPECT_EQ(std::count(g1.garbage.begin(), g1.garbage.end(), kUartStart), 0);
    ASSERT_FALSE(g2.garbage.empty());
    EXPECT_NE(g2.garbage[0], kLeadByte);

    h.SetFault(EFault::FlashIdValid, {});
    const SAnswer id = Ask(h, U, cmd::QueryFlashId, Be32(0x08000000));
    EXPECT_EQ(id.status, status::FlashIdStillValid);
    EXPECT_EQ(id.payload, Bytes{18});
    EXPECT_EQ(Ask(h, U, cmd::QueryFlashId, Be32(0x08000000)).status, 0);

    const auto s = h.Snapshot();
    EXPECT_EQ(s.commands[1].fault, "drop-reply");
    EXPECT_FALSE(s.commands[1].replied);
    h.ClearRecord();
    EXPECT_TRUE(h.Snapshot().commands.empty());
}

TEST(Handset, BlockFaults) {
    CVirtualHandset h;
    StartWriter(h);
    const Bytes data = Pattern(64, 2);

    // -4: nothing stored; the resend is.
    h.SetFault(EFault::ResendBlock, {});
    EXPECT_EQ(Ask(h, B, cmd::AppData, MakeBlock(0x6000, data, false)).status, status::ResendBlock);
    EXPECT_EQ(h.ReadMemory(0x6000, 4), Bytes(4, 0xFF));
    EXPECT_EQ(Ask(h, B, cmd::AppData, MakeBlock(0x6000, data, false)).status, 0);
    EXPECT_EQ(h.ReadMemory(0x6000, 64), data);

    // Late and lost: no reply, ConfirmFlashWriting says resend, then the resend is stored.
    h.SetFault(EFault::LateBlock, {});
    EXPECT_FALSE(Ask(h, B, cmd::AppData, MakeBlock(0x7000, data, false)).sent);
    EXPECT_EQ(h.ReadMemory(0x7000, 4), Bytes(4, 0xFF));
    EXPECT_EQ(Ask(h, B, cmd::ConfirmFlashWriting).status, status::ConfirmResend);
    EXPECT_EQ(Ask(h, B, cmd::AppData, MakeBlock(0x7000, data, false)).status, 0);
    EXPECT_EQ(Ask(h, B, cmd::ConfirmFlashWriting).status, 0);

    // Late but stored: ConfirmFlashWriting says 0.
    h.SetFault(EFault::LateBlock, {0, 1, 0, true});
    EXPECT_FALSE(Ask(h, B, cmd::AppData, MakeBlock(0x8000, data, false)).sent);
    EXPECT_EQ(h.ReadMemory(0x8000, 64), data);
    EXPECT_EQ(Ask(h, B, cmd::ConfirmFlashWriting).status, 0);

    // A bit flips in the block after it was stored.
    h.SetFault(EFault::BitFlip, {});
    EXPECT_EQ(Ask(h, U, cmd::AppData, MakeBlock(0x9000, data, true)).status, 0);
    Bytes expected = data;
    expected[32] ^= 0x01;
    EXPECT_EQ(h.ReadMemory(0x9000, 64), expected);

    // Hang-up after two blocks: the third is neither stored nor answered.
    h.SetFault(EFault::HangUp, {2, 1, 0, false});
    EXPECT_FALSE(Ask(h, U, cmd::AppData, MakeBlock(0xA000, data, true)).raw.hangUp);
    EXPECT_FALSE(Ask(h, U, cmd::AppData, MakeBlock(0xB000, data, true)).raw.hangUp);
    const SAnswer third = Ask(h, U, cmd::AppData, MakeBlock(0xC000, data, true));
    EXPECT_TRUE(third.raw.hangUp);
    EXPECT_FALSE(third.sent);
    EXPECT_EQ(h.ReadMemory(0xC000, 4), Bytes(4, 0xFF));

    // Block faults do not count other commands.
    h.SetFault(EFault::ResendBlock, {});
    EXPECT_EQ(Ask(h, B, cmd::RequestFlashWrite).status, 0);
    EXPECT_EQ(h.Fault(EFault::ResendBlock).times, 1u);
    h.ClearFaults();
    EXPECT_EQ(Ask(h, B, cmd::AppData, MakeBlock(0xD000, data, false)).status, 0);
    const auto s = h.Snapshot();
    EXPECT_EQ(std::count_if(s.commands.begin(), s.commands.end(),
                            [](const SCommandRecord& c) { return c.fault == "hang-up" && !c.replied; }),
              1);
}

TEST(Handset, FlashWriteAnswerByOptionAndByFault) {
    // The option sets what every 0x41 answers; the fault answers its value on its events.
    const struct {
        uint8_t option;
        SFaultSpec fault;
        std::vector<int> answers; // of four requests in a row
    } cases[] = {
        {0, {0, 0, 0, false, 1}, {0, 0, 0, 0}},
        {1, {0, 0, 0, false, 1}, {1, 1, 1, 1}},
        {7, {0, 0, 0, false, 1}, {7, 7, 7, 7}},
        {0, {1, 2, 0, false, 1}, {0, 1, 1, 0}},       // not possible, twice, after one request
        {0, {0, 1, 0, false, 0x5A}, {0x5A, 0, 0, 0}}, // an answer the host does not know
    };
    for (const auto& c : cases) {
        SSimulatorOptions o;
        o.flashWriteAnswer = c.option;
        CVirtualHandset h(o);
        h.SetFault(EFault::FlashWriteAnswer, c.fault);
        std::vector<int> got;
        for (int i = 0; i < 4; ++i) {
            const SAnswer a = Ask(h, i % 2 ? B : U, cmd::RequestFlashWrite);
            EXPECT_EQ(a.status, 0);
            got.push_back(a.payload.size() == 1 ? a.payload[0] : -1);
        }
        EXPECT_EQ(got, c.answers) << "option " << int(c.option) << ", fault value " << c.fault.value;
    }
}

TEST(Handset, ShortDumpLeavesOffTheEndOfTheReply) {
    CVirtualHandset h;
    const Bytes memory = Pattern(64, 9);
    h.LoadMemory(0x100, memory);
    const struct {
        uint32_t drop;
        uint16_t count;
        uint8_t unit;
        size_t expected; // bytes in the reply
    } cases[] = {{1, 16, 0, 15}, {6, 4, 2, 10}, {100, 8, 1, 0}};
    for (const auto& c : cases) {
        h.SetFault(EFault::ShortDump, {0, 1, 0, false, c.drop});
        const SAnswer a = Ask(h, B, cmd::MemoryDump, Dump(0x100, c.count, c.unit));
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(a.payload, Bytes(memory.begin(), memory.begin() + long(c.expected))) << c.drop;
        EXPECT_EQ(h.Snapshot().commands.back().fault, "short-dump");
        // once only
        EXPECT_EQ(Ask(h, U, cmd::MemoryDump, Dump(0x100, c.count, c.unit)).payload.size(), size_t(c.count)
                                                                                               << c.unit);
    }
    // A refused dump is not shortened and does not use the fault up.
    h.SetFault(EFault::ShortDump, {});
    EXPECT_EQ(Ask(h, U, cmd::MemoryDump, Dump(0x100, 1, 3)).status, status::BadDumpUnit);
    EXPECT_EQ(h.Fault(EFault::ShortDump).times, 1u);
}

TEST(Handset, HangUpOnANamedCommand) {
    CVirtualHandset h;
    StartWriter(h);
    for (const uint8_t cid : {cmd::EraseFlashAll, cmd::EraseFlashBlock, cmd::MemoryDump}) {
        h.SetFault(EFault::HangUp, {0, 1, cid, false});
        // other commands and data blocks pass
        EXPECT_FALSE(Ask(h, U, cmd::QueryFlashId, Be32(0)).raw.hangUp);
        EXPECT_FALSE(
            Ask(h, U, cmd::AppData, MakeBlock(0x6000 + cid * 0x100u, Pattern(16, cid), true)).raw.hangUp);
        const Bytes payload = cid == cmd::EraseFlashAll     ? Be32(0x08000000)
                              : cid == cmd::EraseFlashBlock ? Range(0x08000000, 0x08010000)
                                                            : Dump(0, 4, 0);
        const SAnswer a = Ask(h, B, cid, payload);
        EXPECT_TRUE(a.raw.hangUp) << int(cid);
        EXPECT_FALSE(a.sent);
    }
    EXPECT_TRUE(h.Snapshot().erases.empty()); // an erase the handset hung up on was not carried out
}

TEST(Handset, BootLoaderConfirmsALateWriterBlock) {
    CVirtualHandset h;
    const Bytes data = Pattern(64, 4);
    // Not asked about a late block: the boot loader does not know the command.
    EXPECT_EQ(Ask(h, B, cmd::ConfirmFlashWriting).status, status::WrongPhase);

    h.SetFault(EFault::LateBlock, {});
    EXPECT_FALSE(Ask(h, B, cmd::WriterData, MakeBlock(kRamStart, data, false)).sent);
    EXPECT_EQ(Ask(h, B, cmd::ConfirmFlashWriting).status, status::ConfirmResend);
    EXPECT_EQ(Ask(h, B, cmd::ConfirmFlashWriting).status, status::WrongPhase); // answered once
    EXPECT_EQ(Ask(h, B, cmd::WriterData, MakeBlock(kRamStart, data, false)).status, 0);

    h.SetFault(EFault::LateBlock, {0, 1, 0, true});
    EXPECT_FALSE(Ask(h, B, cmd::WriterData, MakeBlock(kRamStart + 64, data, false)).sent);
    EXPECT_EQ(Ask(h, B, cmd::ConfirmFlashWriting).status, 0);
    EXPECT_EQ(h.ReadMemory(kRamStart + 64, 64), data);
    EXPECT_EQ(Ask(h, B, cmd::WriterEnd).status, 0);
    EXPECT_EQ(h.Runner(), ERunner::FlashWriter);
}

TEST(Handset, SurvivesRandomRequests) {
    // Any identifier with any payload, on both transports, in both programs: without faults always
    // one well-formed reply, never a crash.
    std::mt19937 rng(3);
    CVirtualHandset h;
    const uint8_t interesting[] = {0x11, 0x12, 0x13, 0x21, 0x22, 0x31, 0x32, 0x33, 0x41, 0x42, 0x51};
    for (int i = 0; i < 20000; ++i) {
        const ETransport t = rng() % 2 ? U : B;
        const uint8_t cid = rng() % 4 ? interesting[rng() % sizeof interesting] : uint8_t(rng());
        Bytes payload(rng() % 3 ? rng() % 12 : rng() % 3000);
        for (auto& b : payload) {
            b = uint8_t(rng() % 3 ? rng() % 4 : rng());
        }
        if (payload.size() >= 4 && rng() % 2) {
            payload[0] = uint8_t(rng() % 3 == 0 ? 0x20 : rng() % 2 ? 0x08 : 0x00); // memory that exists
        }
        const SResponse r = h.Handle(SRequest{t, cid, payload, 0});
        ASSERT_TRUE(r.send);
        ASSERT_GE(r.frame.size(), t == U ? 4u : 3u);
        ASSERT_EQ(r.frame[1], cid);
        if (t == U) {
            ASSERT_EQ(XorOf(r.frame.data() + 1, r.frame.size() - 1), 0);
        }
        ASSERT_LE(r.frame.size(), size_t(t == U ? kMaxDumpUart + 4 : kMaxDumpUsb + 3));
        if (i % 5000 == 0) {
            h.PowerCycle();
            h.ClearRecord();
        }
    }
}

TEST(Handset, RamThatReadsBackDifferentlyAndAWriterThatDoesNotStart) {
    const Bytes writer = Pattern(64, 1);
    const Bytes flash = Pattern(32, 7);
    const struct {
        int ramReadsAs;
        bool noStart;
        uint8_t runnerAfterEnd; // on UART
    } cases[] = {
        {-1, false, 1},
        {0xFF, false, 1},
        {0x00, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ramReadsAs);
        SSimulatorOptions o;
        o.ramReadsAs = c.ramReadsAs;
        CVirtualHandset h(o);
        if (c.noStart) {
            h.SetFault(EFault::WriterNoStart, {});
        }
        ASSERT_EQ(Ask(h, U, cmd::WriterData, MakeBlock(kRamStart, writer, true)).status, 0);
        EXPECT_EQ(Ask(h, U, cmd::WriterEnd).status, 0);
        EXPECT_EQ(Ask(h, U, cmd::QueryTargetRunner).payload.at(0), c.runnerAfterEnd);
        EXPECT_EQ(h.Snapshot().commands.at(1).fault, c.noStart ? "writer-no-start" : "");
        const Bytes dumped =
            c.ramReadsAs < 0 ? Bytes(writer.begin(), writer.begin() + 4) : Bytes(4, uint8_t(c.ramReadsAs));
        EXPECT_EQ(Ask(h, B, cmd::MemoryDump, Dump(kRamStart, 4, 0)).payload, dumped);
        EXPECT_EQ(h.ReadMemory(kRamStart, writer.size()), writer) << "what is stored stays";
        // flash reads as it is, whatever RAM does
        h.LoadMemory(0x1000, flash);
        EXPECT_EQ(Ask(h, U, cmd::MemoryDump, Dump(0x1000, 32, 0)).payload, flash);
    }
}
