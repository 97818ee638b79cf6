// libquillet's COstraMonitor against the virtual handset, over a pseudo-terminal and over the USB
// socket: each side checks the other.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "SimHarness.h"
#include "SimTestUtil.h"
#include "quillet/OstraMonitor.h"
#include "quillet/PortMap.h"

using namespace vsim;
using simtest::Bytes;
using simtest::MakeBlock;
using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = uint8_t(seed + i * 31 + (i >> 8));
    }
    return b;
}

class EndToEnd : public ::testing::TestWithParam<ESimLink> {
protected:
    void Start(const SSimulatorOptions& options = {}) {
        m_Sim = std::make_unique<CSimHarness>(GetParam(), options);
        if (Usb()) {
            QuilletSetUsbDevicePath(m_Sim->Path());
        } else {
            QuilletSetComPath(1, m_Sim->Path());
        }
        Connect();
    }
    void Connect() {
        const TS_PORT_CONFIG config{Usb() ? PORT_USB : PORT_UART, 0, 12, 3, 0, 0, 0};
        m_Monitor = std::make_unique<COstraMonitor>(config);
        m_Monitor->Initialize();
        ASSERT_TRUE(m_Monitor->IsSerialOpen()) << m_Monitor->GetPortErrorText();
    }
    void TearDown() override {
        if (m_Monitor) {
            m_Monitor->Quit();
        }
        m_Monitor.reset();
        m_Sim.reset();
        QuilletSetUsbDevicePath("");
        QuilletSetComPath(1, "");
    }
    bool Usb() const { return GetParam() == ESimLink::Usb; }
    CSimulatorHost& Host() { return m_Sim->Host(); }
    COstraMonitor& Monitor() { return *m_Monitor; }

    // What the connect dialog does: ask every 50 ms until the handset answers.
    signed char WaitForAnswer(int attempts = 100) {
        signed char rc = TM_ERR_TIMEOUT;
        for (int i = 0; i < attempts; ++i) {
            TE_REQ_FLASH_WRITE_RESULT result = FLASH_WRITE_NOT_POSSIBLE;
            rc = Monitor().RequestAndWaitConfirmatonForFlashWrite(result);
            if (rc == 0) {
                EXPECT_EQ(result, FLASH_WRITE_POSSIBLE);
                return rc;
            }
        }
        return rc;
    }
    // One FlashWrite the way the download session makes it: the block with its record checksum.
    signed char Write(TE_FLASH_CMDS command, uint32_t address, const Bytes& data) {
        const Bytes block = MakeBlock(address, data, true);
        return Monitor().FlashWrite(command, static_cast<unsigned short>(block.size()),
                                    reinterpret_cast<const char*>(block.data()));
    }
    Bytes Dump(uint32_t address, size_t length) {
        Bytes out(length);
        const size_t step = size_t(Monitor().MaxDumpBytes());
        for (size_t at = 0; at < length; at += step) {
            const size_t n = std::min(step, length - at);
            const signed char rc = Monitor().MemoryDump(
                address + uint32_t(at), static_cast<unsigned short>(n), DUMP_BYTE, out.data() + at);
            EXPECT_EQ(rc, 0) << "dump at " << address + at;
            if (rc != 0) {
                break;
            }
        }
        return out;
    }
    void StartWriterDirectly() { Host().Handset().SetRunner(ERunner::FlashWriter); }

    std::unique_ptr<CSimHarness> m_Sim;
    std::unique_ptr<COstraMonitor> m_Monitor;
};

std::string LinkName(const ::testing::TestParamInfo<ESimLink>& info) {
    return info.param == ESimLink::Usb ? "Usb" : "Uart";
}

} // namespace

TEST_P(EndToEnd, DownloadSession) {
    Start();
    ASSERT_EQ(WaitForAnswer(), 0);

    TE_TARGET_RUNNER_TYPES runner{};
    std::string version;
    ASSERT_EQ(Monitor().QueryTargetRunner(runner, version), 0);
    EXPECT_EQ(runner, Usb() ? RUNNER_BOOT_LOADER_USB : RUNNER_BOOT_LOADER_UART);
    EXPECT_EQ(version, "1.0.0");

    // The flash writer into RAM, then its end command.
    const Bytes writer = Pattern(2500, 1);
    for (uint32_t at = 0; at < writer.size(); at += 1000) {
        const Bytes part(writer.begin() + at, writer.begin() + std::min<size_t>(at + 1000, writer.size()));
        ASSERT_EQ(Write(FLASH_CMD_WRITER_DATA, kRamStart + at, part), 0);
    }
    ASSERT_EQ(Monitor().FlashWrite(FLASH_CMD_WRITER_END, 0, nullptr), 0);
    ASSERT_EQ(Monitor().QueryTargetRunner(runner, version), 0);
    EXPECT_EQ(runner, Usb() ? RUNNER_FLASH_WRITER_USB : RUNNER_FLASH_WRITER_UART);
    EXPECT_EQ(version, "2.1.0");
    EXPECT_EQ(Host().ReadMemory(kRamStart, writer.size()), writer);

    const TE_FLASH_MANUFACTURE_ID expected[4] = {FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM, FLASH_NOT_FOUND,
                                                 FLASH_TOSHIBA_50VPF5683DASB_8MB_BOTTOM, FLASH_NOT_FOUND};
    for (int cs = 0; cs < 4; ++cs) {
        TE_FLASH_MANUFACTURE_ID id = FLASH_UNSUPPORTED;
        ASSERT_EQ(Monitor().QueryFlashId(uint32_t(cs) * kChipSelectStride, id), 0);
        EXPECT_EQ(id, expected[cs]) << "CS#" << cs;
    }

    // Old contents in the main area, erased before the image goes in.
    Host().Handset().LoadMemory(0x6000, Bytes(0x100, 0x00));
    ASSERT_EQ(Monitor().EraseFlashBlock(0x00006000, 0x00380000), 0);
    ASSERT_EQ(Monitor().EraseFlashAll(0x08000000), 0);
    const Bytes big = Pattern(65520, 7); // the largest merged block
    const Bytes small = Pattern(333, 9);
    ASSERT_EQ(Write(FLASH_CMD_APP_DATA, 0x6000, big), 0);
    ASSERT_EQ(Write(FLASH_CMD_APP_DATA, 0x08100000, small), 0);
    ASSERT_EQ(Monitor().FlashWrite(FLASH_CMD_APP_END, 0, nullptr), 0);

    EXPECT_EQ(Dump(0x6000, big.size()), big);
    EXPECT_EQ(Dump(0x08100000, small.size()), small);
    // Words and dwords read the same bytes.
    Bytes words(64);
    ASSERT_EQ(Monitor().MemoryDump(0x08100000, 16, DUMP_DWORD, words.data()), 0);
    EXPECT_TRUE(std::equal(words.begin(), words.end(), small.begin()));

    const auto s = Host().Snapshot();
    EXPECT_TRUE(s.refusedWrites.empty());
    ASSERT_EQ(s.erases.size(), 2u);
    EXPECT_EQ(s.erases[0].start, 0x6000u);
    EXPECT_EQ(s.erases[0].end, 0x380000u);
    EXPECT_TRUE(s.erases[1].wholeChip);
    size_t appBlocks = 0;
    for (const auto& c : s.commands) {
        EXPECT_EQ(c.transport, Usb() ? ETransport::Usb : ETransport::Uart);
        if (c.cid == cmd::AppData) {
            EXPECT_EQ(c.length, appBlocks++ == 0 ? big.size() : small.size());
        }
    }
    EXPECT_EQ(appBlocks, 2u);
}

TEST_P(EndToEnd, WriteToUnerasedFlashIsRefusedAndRecorded) {
    Start();
    StartWriterDirectly();
    ASSERT_EQ(WaitForAnswer(), 0);
    ASSERT_EQ(Write(FLASH_CMD_APP_DATA, 0x00010000, Pattern(100, 1)), 0);
    EXPECT_EQ(Write(FLASH_CMD_APP_DATA, 0x00010000 + 50, Pattern(100, 2)), status::NotErased);
    EXPECT_EQ(Write(FLASH_CMD_APP_DATA, 0x04000000, Pattern(10, 2)), status::OutsideMemory);
    const auto s = Host().Snapshot();
    ASSERT_EQ(s.refusedWrites.size(), 2u);
    EXPECT_EQ(s.refusedWrites[0].badAddress, 0x00010000u + 50);
    EXPECT_EQ(s.refusedWrites[0].status, status::NotErased);
    EXPECT_EQ(Dump(0x00010000 + 100, 50), Bytes(50, 0xFF));
}

TEST_P(EndToEnd, ReplyFaults) {
    Start();
    ASSERT_EQ(WaitForAnswer(), 0);
    TE_REQ_FLASH_WRITE_RESULT result{};

    Host().SetFault(EFault::DropReply, {});
    EXPECT_EQ(Monitor().RequestAndWaitConfirmatonForFlashWrite(result), TM_ERR_TIMEOUT);
    EXPECT_EQ(WaitForAnswer(), 0);

    Host().SetFault(EFault::Garbage, {0, 3, 0, false});
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Monitor().RequestAndWaitConfirmatonForFlashWrite(result), 0);
    }

    Host().SetFault(EFault::FlashIdValid, {});
    TE_FLASH_MANUFACTURE_ID id{};
    EXPECT_EQ(Monitor().QueryFlashId(0, id), status::FlashIdStillValid);
    EXPECT_EQ(id, FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM);

    if (!Usb()) {
        Host().SetFault(EFault::CorruptReply, {});
        EXPECT_EQ(Monitor().RequestAndWaitConfirmatonForFlashWrite(result), TM_ERR_CHECKSUM);
        EXPECT_EQ(Monitor().RequestAndWaitConfirmatonForFlashWrite(result), 0);
    }
    const auto s = Host().Snapshot();
    EXPECT_TRUE(std::any_of(s.commands.begin(), s.commands.end(),
                            [](const SCommandRecord& c) { return c.fault == "drop-reply" && !c.replied; }));
}

TEST_P(EndToEnd, BlockFaults) {
    Start();
    StartWriterDirectly();
    ASSERT_EQ(WaitForAnswer(), 0);
    const Bytes data = Pattern(500, 3);

    // -4: the block was not stored; the session sends it again.
    Host().SetFault(EFault::ResendBlock, {});
    EXPECT_EQ(Write(FLASH_CMD_APP_DATA, 0x20000, data), status::ResendBlock);
    EXPECT_EQ(Host().ReadMemory(0x20000, 4), Bytes(4, 0xFF));
    EXPECT_EQ(Write(FLASH_CMD_APP_DATA, 0x20000, data), 0);

    // A bit flips after the write: reading back shows it.
    Host().SetFault(EFault::BitFlip, {});
    ASSERT_EQ(Write(FLASH_CMD_APP_DATA, 0x30000, data), 0);
    Bytes flipped = data;
    flipped[250] ^= 0x01;
    EXPECT_EQ(Dump(0x30000, data.size()), flipped);

    if (Usb()) {
        // Late: the host times out, asks ConfirmFlashWriting, and resends after -10.
        Host().SetFault(EFault::LateBlock, {});
        EXPECT_EQ(Write(FLASH_CMD_APP_DATA, 0x40000, data), TM_ERR_TIMEOUT);
        EXPECT_EQ(Monitor().ConfirmFlashWriting(), status::ConfirmResend);
        EXPECT_EQ(Write(FLASH_CMD_APP_DATA, 0x40000, data), 0);
        EXPECT_EQ(Dump(0x40000, data.size()), data);
        // Late but stored: ConfirmFlashWriting says 0 and the block is there.
        Host().SetFault(EFault::LateBlock, {0, 1, 0, true});
        EXPECT_EQ(Write(FLASH_CMD_APP_DATA, 0x50000, data), TM_ERR_TIMEOUT);
        EXPECT_EQ(Monitor().ConfirmFlashWriting(), 0);
        EXPECT_EQ(Dump(0x50000, data.size()), data);
    }
}

TEST_P(EndToEnd, HangUpAndReconnect) {
    Start();
    StartWriterDirectly();
    ASSERT_EQ(WaitForAnswer(), 0);
    Host().SetFault(EFault::HangUp, {1, 1, 0, false});
    ASSERT_EQ(Write(FLASH_CMD_APP_DATA, 0x60000, Pattern(64, 1)), 0);
    // The handset hangs up on the second block. Over UART the block's time-out is 20 s: the test
    // stops waiting as soon as the handset has hung up.
    std::thread canceller([&] {
        Host().WaitUntil([](const SHandsetSnapshot& s) { return s.links.hangUps >= 1; },
                         std::chrono::seconds(30));
        Monitor().CancelWaits(true);
    });
    EXPECT_LT(Write(FLASH_CMD_APP_DATA, 0x70000, Pattern(64, 2)), 0);
    canceller.join();
    m_Monitor->Quit();

    // A new connection finds the handset as it left it.
    Connect();
    ASSERT_EQ(WaitForAnswer(), 0);
    TE_TARGET_RUNNER_TYPES runner{};
    std::string version;
    ASSERT_EQ(Monitor().QueryTargetRunner(runner, version), 0);
    EXPECT_EQ(runner, Usb() ? RUNNER_FLASH_WRITER_USB : RUNNER_FLASH_WRITER_UART);
    EXPECT_EQ(Dump(0x60000, 64), Pattern(64, 1));
    EXPECT_EQ(Dump(0x70000, 4), Bytes(4, 0xFF));
}

TEST_P(EndToEnd, BareStartBytesAndNoGreeting) {
    SSimulatorOptions o;
    o.escape02 = false;
    o.usbGreeting = false;
    Start(o);
    Host().Handset().LoadMemory(0x1000, {0x02, 0x02, 0x0A, 0x10});
    if (Usb()) {
        // Without a greeting the host's discarded first read eats the first reply.
        TE_REQ_FLASH_WRITE_RESULT result{};
        EXPECT_EQ(Monitor().RequestAndWaitConfirmatonForFlashWrite(result), TM_ERR_TIMEOUT);
    }
    ASSERT_EQ(WaitForAnswer(), 0);
    EXPECT_EQ(Dump(0x1000, 4), (Bytes{0x02, 0x02, 0x0A, 0x10}));
}

TEST_P(EndToEnd, LargestDumpOfBytesThatAllNeedEscaping) {
    Start();
    const size_t largest = Usb() ? kMaxDumpUsb : kMaxDumpUart;
    Bytes memory(largest);
    for (size_t i = 0; i < largest; ++i) {
        memory[i] = std::array<uint8_t, 3>{0x02, 0x0A, 0x10}[i % 3];
    }
    Host().Handset().LoadMemory(0x08000000, memory);
    ASSERT_EQ(WaitForAnswer(), 0);
    Bytes out(largest + 1);
    ASSERT_EQ(Monitor().MemoryDump(0x08000000, static_cast<unsigned short>(largest), DUMP_BYTE, out.data()),
              0);
    EXPECT_TRUE(std::equal(memory.begin(), memory.end(), out.begin()));
    // One byte more than a frame carries is refused by the handset.
    EXPECT_EQ(
        Monitor().MemoryDump(0x08000000, static_cast<unsigned short>(largest + 1), DUMP_BYTE, out.data()),
        status::DumpTooLarge);
}

INSTANTIATE_TEST_SUITE_P(Links, EndToEnd, ::testing::Values(ESimLink::Uart, ESimLink::Usb), LinkName);
