// The memory dump jobs against the virtual handset: the commands each read is split into on either
// link, the bytes that reach the file or the screen, and every way a dump to file ends.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <future>
#include <thread>

#include "TempDir.h"
#include "ToolTestSupport.h"
#include "tools/DumpToFile.h"
#include "tools/MemoryDump.h"

using namespace tooltest;

namespace {

struct SDump {
    uint32_t address;
    uint32_t count;
    uint8_t unit;
    bool operator==(const SDump&) const = default;
};
std::ostream& operator<<(std::ostream& os, const SDump& d) {
    return os << "{0x" << std::hex << d.address << std::dec << ", " << d.count << ", unit " << int(d.unit)
              << "}";
}

std::vector<SDump> Dumps(CLinkedHandset& h) {
    std::vector<SDump> out;
    for (const vsim::SCommandRecord& r : h.Commands(0x51)) {
        out.push_back({r.address, r.length, r.unit});
    }
    return out;
}

// Recognisable bytes in CS#0 from address 0.
std::vector<uint8_t> LoadPattern(CLinkedHandset& h, std::size_t length) {
    std::vector<uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251 + 3);
    }
    h.Host().Handset().LoadMemory(0, bytes);
    return bytes;
}

std::string AsString(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class DumpTest : public ::testing::TestWithParam<ESimLink> {
protected:
    bool Usb() const { return GetParam() == ESimLink::Usb; }
};

} // namespace

TEST_P(DumpTest, DumpToFileReadsInLinkSizedChunksAndTheFileEqualsMemory) {
    CLinkedHandset h(GetParam());
    LoadPattern(h, 0x2000);
    CTempDir dir;
    const std::string path = dir.File("cs0.bin");
    CRecordingObserver view;
    const TS_DUMP_FILE_RESULT r =
        DumpToFile(h.Monitor(), path, 0x00000000, 0x00000406, {&view, nullptr, nullptr});

    ASSERT_TRUE(r.Ok()) << r.Detail;
    if (Usb()) {
        EXPECT_EQ(Dumps(h), (std::vector<SDump>{{0, 249, 2}, {996, 8, 2}, {1028, 2, 0}}));
    } else {
        EXPECT_EQ(Dumps(h), (std::vector<SDump>{{0, 250, 2}, {1000, 7, 2}, {1028, 2, 0}}));
    }
    EXPECT_EQ(ReadFile(path), AsString(h.Host().ReadMemory(0, 0x406)));
    EXPECT_EQ(r.StatusText, "BIN file is created");
    EXPECT_EQ(r.FileInfo, path + "[1030 bytes]");
    EXPECT_EQ(r.BytesWritten, 1030u);
    EXPECT_EQ(view.Events("status:"), (std::vector<std::string>{"", "BIN file is created"}));
    EXPECT_EQ(view.Events("range:"), (std::vector<std::string>{"0..1030"}));
    const auto texts = view.Events("text:");
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts.front(), "Saving target flash memory to BIN file.. 0%");
    EXPECT_EQ(texts.back(), "Saving target flash memory to BIN file.. 100%");
    EXPECT_EQ(view.Events("pos:").back(), "1030");
}

TEST_P(DumpTest, AFewBytesAreReadAsBytes) {
    CLinkedHandset h(GetParam());
    LoadPattern(h, 0x100);
    CTempDir dir;
    const TS_DUMP_FILE_RESULT r = DumpToFile(h.Monitor(), dir.File("two.bin"), 0x10, 0x12);
    ASSERT_TRUE(r.Ok()) << r.Detail;
    EXPECT_EQ(Dumps(h), (std::vector<SDump>{{0x10, 2, 0}}));
    EXPECT_EQ(ReadFile(dir.File("two.bin")), AsString(h.Host().ReadMemory(0x10, 2)));
}

TEST_P(DumpTest, TheTopOfTheAddressSpaceDumpsWithProgressThatFitsTheBar) {
    CLinkedHandset h(GetParam());
    CTempDir dir;
    CRecordingObserver view;
    const TS_DUMP_FILE_RESULT r =
        DumpToFile(h.Monitor(), dir.File("top.bin"), 0xFFFFFF00, 0xFFFFFFFF, {&view, nullptr, nullptr});
    ASSERT_TRUE(r.Ok()) << r.Detail;
    EXPECT_EQ(Dumps(h), (std::vector<SDump>{{0xFFFFFF00, 63, 2}, {0xFFFFFFFC, 3, 0}}));
    EXPECT_EQ(ReadFile(dir.File("top.bin")), std::string(255, '\0'));
    EXPECT_EQ(view.Events("range:"), (std::vector<std::string>{"0..255"}));
    EXPECT_EQ(view.Events("pos:"), (std::vector<std::string>{"0", "252", "255"}));
    EXPECT_EQ(view.Events("text:"),
              (std::vector<std::string>{"Saving target flash memory to BIN file.. 0%",
                                        "Saving target flash memory to BIN file.. 98%",
                                        "Saving target flash memory to BIN file.. 100%"}));
}

TEST_P(DumpTest, DumpToScreenOfTheLargestSizeInEveryUnit) {
    CLinkedHandset h(GetParam());
    LoadPattern(h, 0x2000);
    struct Case {
        TE_DUMP_UNIT unit;
        uint32_t size;
        std::vector<SDump> usb;
    } cases[] = {
        {DUMP_BYTE, 1000, {{0x100, 996, 0}, {0x100 + 996, 4, 0}}},
        {DUMP_WORD, 500, {{0x100, 498, 1}, {0x100 + 996, 2, 1}}},
        {DUMP_DWORD, 250, {{0x100, 249, 2}, {0x100 + 996, 1, 2}}},
    };
    for (const Case& c : cases) {
        h.Host().ClearRecord();
        std::vector<uint8_t> data;
        const TS_MEMORY_READ r = DumpToScreen(h.Monitor(), 0x100, c.size, c.unit, data);
        ASSERT_TRUE(r.Ok()) << ScreenDumpErrorText(r);
        EXPECT_EQ(data, h.Host().ReadMemory(0x100, 1000)) << "unit " << c.unit;
        const std::vector<SDump> uart{{0x100, c.size, static_cast<uint8_t>(c.unit)}};
        EXPECT_EQ(Dumps(h), Usb() ? c.usb : uart) << "unit " << c.unit;
    }
}

TEST_P(DumpTest, AFailedDumpToScreenKeepsTheOldBytes) {
    CLinkedHandset h(GetParam());
    // The second command's reply never comes; the page's owner ends the wait (as on closing).
    h.Host().SetFault(vsim::EFault::DropReply, {.after = 1, .times = 1, .cid = 0x51});
    std::vector<uint8_t> data{1, 2, 3};
    std::thread canceller([&] {
        if (h.Host().WaitForCommands(2, std::chrono::seconds(30))) {
            h.Monitor().CancelWaits(true);
        }
    });
    const TS_MEMORY_READ r = DumpToScreen(h.Monitor(), 0, Usb() ? 1000 : 30000, DUMP_BYTE, data);
    canceller.join();
    h.Monitor().CancelWaits(false);
    EXPECT_EQ(r.Status, TM_ERR_TIMEOUT);
    EXPECT_EQ(ScreenDumpErrorText(r), "Memory read error(-103)");
    EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(r.FailedAddress, Usb() ? 996u : 20476u);
}

TEST_P(DumpTest, ReadTargetMemoryUsesWholeLinkRepliesAndAlignedDoubleWords) {
    CLinkedHandset h(GetParam());
    LoadPattern(h, 0x10000);
    CRecordingObserver view;
    std::vector<uint8_t> out;
    const TS_MEMORY_READ r = ReadTargetMemory(h.Monitor(), 0x1003, 30002, out, &view);
    ASSERT_TRUE(r.Ok());
    EXPECT_EQ(out, h.Host().ReadMemory(0x1003, 30002));
    const auto dumps = Dumps(h);
    const uint32_t limit = Usb() ? 996 : 20476;
    uint64_t total = 0;
    for (const SDump& d : dumps) {
        const uint32_t bytes = d.count << d.unit;
        EXPECT_LE(bytes, limit) << d;
        if (d.unit == DUMP_DWORD) {
            EXPECT_EQ(d.address % 4, 0u) << d;
        }
        total += bytes;
    }
    EXPECT_EQ(total, 30002u);
    EXPECT_EQ(dumps.front(), (SDump{0x1003, 1, 0}));
    EXPECT_EQ(dumps.size(), Usb() ? 1u + 30u + 1u + 1u : 1u + 2u + 1u);
    EXPECT_EQ(view.Events("pos:").back(), "30002");

    // A receiver that cannot take the bytes ends the read at once.
    h.Host().ClearRecord();
    const TS_MEMORY_READ refused = ReadTargetMemoryTo(
        h.Monitor(), 0x2000, 5000, [](uint32_t, const uint8_t*, std::size_t) { return false; });
    EXPECT_TRUE(refused.SinkFailed);
    EXPECT_FALSE(refused.Ok());
    EXPECT_EQ(Dumps(h).size(), 1u);
}

TEST_P(DumpTest, AStoppedDumpLeavesThePartialFileAndSaysSo) {
    CLinkedHandset h(GetParam());
    LoadPattern(h, 0x2000);
    CTempDir dir;
    const std::string path = dir.File("part.bin");
    std::atomic<bool> stop{false};
    std::promise<void> stopSet;
    std::future<void> stopSeen = stopSet.get_future();
    CRecordingObserver view;
    // After the first chunk the job waits until the stop has been requested from the other thread.
    view.OnEvent = [&](const std::string& e) {
        if (e.rfind("pos:", 0) == 0 && e != "pos:0" && stopSeen.valid()) {
            stopSeen.wait();
        }
    };
    TS_DUMP_FILE_RESULT r;
    std::thread worker([&] { r = DumpToFile(h.Monitor(), path, 0, 0x2000, {&view, nullptr, &stop}); });
    ASSERT_TRUE(h.Host().WaitForCommands(1, std::chrono::seconds(20)));
    stop = true;
    stopSet.set_value();
    worker.join();

    const uint32_t first = Usb() ? 996 : 1000;
    EXPECT_EQ(r.Outcome, DUMP_FILE_STOPPED);
    EXPECT_EQ(Dumps(h).size(), 1u);
    EXPECT_EQ(ReadFile(path), AsString(h.Host().ReadMemory(0, first)));
    EXPECT_EQ(r.FileInfo, path + "[" + std::to_string(first) + " bytes]");
    char expected[120];
    std::snprintf(expected, sizeof expected,
                  "BIN file is incomplete: the dump was stopped at 0x%08x [ %u bytes ]", first, first);
    EXPECT_EQ(r.StatusText, expected);
    EXPECT_EQ(view.Events("status:").back(), expected);
}

TEST_P(DumpTest, AFileThatDoesNotOpenSendsNothing) {
    CLinkedHandset h(GetParam());
    CTempDir dir;
    CRecordingObserver view;
    const std::string path = dir.File("no such folder/x.bin");
    const TS_DUMP_FILE_RESULT r = DumpToFile(h.Monitor(), path, 0, 0x406, {&view, nullptr, nullptr});
    EXPECT_EQ(r.Outcome, DUMP_FILE_OPEN_ERROR);
    EXPECT_EQ(r.MessageBox, "File Open Error");
    EXPECT_NE(r.Detail.find(path), std::string::npos);
    EXPECT_NE(r.Detail.find("No such file or directory"), std::string::npos);
    EXPECT_EQ(r.StatusText, "");
    EXPECT_EQ(r.FileInfo, "");
    EXPECT_TRUE(view.Events().empty());
    EXPECT_TRUE(Dumps(h).empty());

    const TS_DUMP_FILE_RESULT same = DumpToFile(h.Monitor(), dir.File("x.bin"), 0x40, 0x40);
    EXPECT_EQ(same.Outcome, DUMP_FILE_BAD_RANGE);
    EXPECT_EQ(same.MessageBox, DUMP_RANGE_ORDER_TEXT);
    EXPECT_TRUE(Dumps(h).empty());
    EXPECT_FALSE(std::filesystem::exists(dir.File("x.bin")));
}

TEST_P(DumpTest, AFullDiskFailsTheDumpInsteadOfReportingItCreated) {
    CLinkedHandset h(GetParam());
    CRecordingObserver view;
    const TS_DUMP_FILE_RESULT r = DumpToFile(h.Monitor(), "/dev/full", 0, 0x406, {&view, nullptr, nullptr});
    EXPECT_EQ(r.Outcome, DUMP_FILE_WRITE_ERROR);
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(r.StatusText, "BIN file write error [ No space left on device ]");
    EXPECT_EQ(r.FileInfo, "");
    EXPECT_NE(r.Detail.find("/dev/full"), std::string::npos);
    EXPECT_EQ(Dumps(h).size(), 1u);
    EXPECT_EQ(view.Events("status:").back(), r.StatusText);
}

INSTANTIATE_TEST_SUITE_P(Links, DumpTest, ::testing::Values(ESimLink::Uart, ESimLink::Usb),
                         [](const auto& info) { return std::string(LinkName(info.param)); });

// The reply that never comes: the dump waits out the command's 10 s time-out.
TEST(DumpReadErrorTest, ADroppedReplyLeavesThePartialFileAndTheStatusText) {
    CLinkedHandset h(ESimLink::Uart);
    LoadPattern(h, 0x2000);
    h.Host().SetFault(vsim::EFault::DropReply, {.after = 1, .times = 1, .cid = 0x51});
    CTempDir dir;
    const std::string path = dir.File("dropped.bin");
    CRecordingObserver view;
    const TS_DUMP_FILE_RESULT r = DumpToFile(h.Monitor(), path, 0, 0x2000, {&view, nullptr, nullptr});
    EXPECT_EQ(r.Outcome, DUMP_FILE_READ_ERROR);
    EXPECT_EQ(r.Status, TM_ERR_TIMEOUT);
    EXPECT_EQ(r.StatusText, "Memory read error [ Error code : -103 ]");
    EXPECT_EQ(r.FileInfo, "");
    EXPECT_EQ(r.Reached, 1000u);
    EXPECT_EQ(ReadFile(path), AsString(h.Host().ReadMemory(0, 1000)));
    EXPECT_EQ(view.Events("status:").back(), "Memory read error [ Error code : -103 ]");
    EXPECT_EQ(Dumps(h).size(), 2u);
}
