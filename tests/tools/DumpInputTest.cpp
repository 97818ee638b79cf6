#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "tools/DumpToFile.h"
#include "tools/MemoryDump.h"

TEST(DumpInputTest, AddressTexts) {
    struct Case {
        const char* text;
        TE_ADDRESS_TEXT result;
        uint32_t value;
    } cases[] = {
        {"", ADDRESS_OK, 0},
        {"0", ADDRESS_OK, 0},
        {"1A2b", ADDRESS_OK, 0x1A2B},
        {"ffffffff", ADDRESS_OK, 0xFFFFFFFF},
        {"08700000", ADDRESS_OK, 0x08700000},
        {"000000010", ADDRESS_OK, 0x10}, // leading zeros beyond eight digits are harmless
        {"100000000", ADDRESS_TOO_LARGE, 0},
        {"0x10", ADDRESS_NOT_HEX, 0},
        {"12 ", ADDRESS_NOT_HEX, 0},
        {" 12", ADDRESS_NOT_HEX, 0},
        {"g", ADDRESS_NOT_HEX, 0},
        {"-1", ADDRESS_NOT_HEX, 0},
        {"+1", ADDRESS_NOT_HEX, 0},
        {"12\n", ADDRESS_NOT_HEX, 0},
        {"1FFFFFFFFz", ADDRESS_NOT_HEX, 0}, // a bad character counts even past an overflow
        {"\xC3\xA9", ADDRESS_NOT_HEX, 0},
    };
    for (const Case& c : cases) {
        uint32_t value = 0xDEADBEEF;
        EXPECT_EQ(ParseAddressText(c.text, value), c.result) << '"' << c.text << '"';
        EXPECT_EQ(value, c.result == ADDRESS_OK ? c.value : 0xDEADBEEF) << '"' << c.text << '"';
    }
}

TEST(DumpInputTest, ScreenInputIsRewrittenOrRefused) {
    struct Case {
        std::string text;
        bool ok;
        std::string rewritten;
        uint32_t start;
    } cases[] = {
        {"", true, "00000000", 0},
        {"8100000", true, "08100000", 0x08100000},
        {"ABCDEF12", true, "abcdef12", 0xABCDEF12},
        {"12x4", false, "12x4", 0},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        uint32_t start = 0;
        std::string message;
        EXPECT_EQ(CheckScreenDumpInput(text, start, message), c.ok) << c.text;
        EXPECT_EQ(text, c.rewritten) << c.text;
        if (c.ok) {
            EXPECT_EQ(start, c.start);
            EXPECT_EQ(message, "");
        } else {
            EXPECT_EQ(message,
                      "Start-address information should be entered by hex format.\n\nPlease check again.");
        }
    }
}

TEST(DumpInputTest, FileInputChecksStartThenEndThenOrder) {
    struct Case {
        std::string start;
        std::string end;
        bool ok;
        std::string startAfter;
        std::string endAfter;
        const char* message;
    } cases[] = {
        {"0", "406", true, "00000000", "00000406", ""},
        {"", "1", true, "00000000", "00000001", ""},
        {"q", "406", false, "q", "406", DUMP_START_NOT_HEX_TEXT},
        {"10", "4o6", false, "00000010", "4o6", DUMP_END_NOT_HEX_TEXT},
        {"10", "10", false, "00000010", "00000010",
         "Start-address shoulb be higher compare than end-address.\n\nPlease check again."},
        {"20", "10", false, "00000020", "00000010", DUMP_RANGE_ORDER_TEXT},
        {"", "", false, "00000000", "00000000", DUMP_RANGE_ORDER_TEXT},
    };
    for (const Case& c : cases) {
        std::string start = c.start;
        std::string end = c.end;
        uint32_t first = 0;
        uint32_t last = 0;
        std::string message;
        EXPECT_EQ(CheckFileDumpInput(start, end, first, last, message), c.ok) << c.start << ".." << c.end;
        EXPECT_EQ(start, c.startAfter);
        EXPECT_EQ(end, c.endAfter);
        EXPECT_EQ(message, c.message);
    }
}

TEST(DumpInputTest, SizeRulesPerUnit) {
    struct Case {
        int64_t size;
        int unit;
        uint32_t expected;
    } cases[] = {
        {600, DUMP_WORD, 500},           {0, DUMP_WORD, 1},       {0, DUMP_BYTE, 1},
        {1000, DUMP_BYTE, 1000},         {1001, DUMP_BYTE, 1000}, {250, DUMP_DWORD, 250},
        {251, DUMP_DWORD, 250},          {499, DUMP_WORD, 499},   {-5, DUMP_DWORD, 1},
        {4294967295LL, DUMP_BYTE, 1000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClampDumpSize(c.size, c.unit), c.expected) << c.size << " unit " << c.unit;
    }
    EXPECT_EQ(MaxDumpUnits(DUMP_BYTE) * UnitBytes(DUMP_BYTE), 1000u);
    EXPECT_EQ(MaxDumpUnits(DUMP_WORD) * UnitBytes(DUMP_WORD), 1000u);
    EXPECT_EQ(MaxDumpUnits(DUMP_DWORD) * UnitBytes(DUMP_DWORD), 1000u);
}

TEST(DumpInputTest, FileDumpChunksOnBothLinks) {
    struct Case {
        uint32_t remaining;
        int linkLimit;
        uint16_t count;
        TE_DUMP_UNIT unit;
    } cases[] = {
        {1030, 20476, 250, DUMP_DWORD}, {30, 20476, 7, DUMP_DWORD},    {2, 20476, 2, DUMP_BYTE},
        {1000, 20476, 250, DUMP_DWORD}, {999, 20476, 249, DUMP_DWORD}, {4, 20476, 1, DUMP_DWORD},
        {3, 20476, 3, DUMP_BYTE},       {1, 996, 1, DUMP_BYTE},        {1030, 996, 249, DUMP_DWORD},
        {996, 996, 249, DUMP_DWORD},    {34, 996, 8, DUMP_DWORD},      {0xFFFFFFFF, 996, 249, DUMP_DWORD},
    };
    for (const Case& c : cases) {
        const TS_DUMP_CHUNK chunk = FileDumpChunk(c.remaining, c.linkLimit);
        EXPECT_EQ(chunk.Count, c.count) << c.remaining << " on " << c.linkLimit;
        EXPECT_EQ(chunk.Unit, c.unit) << c.remaining << " on " << c.linkLimit;
        EXPECT_LE(chunk.Bytes(), static_cast<uint32_t>(c.linkLimit));
    }
}

TEST(DumpInputTest, ProgressFitsASignedBarForAnyRange) {
    struct Case {
        uint32_t start;
        uint32_t current;
        uint32_t end;
        int percent;
    } cases[] = {
        {0xFFFFFF00, 0xFFFFFF00, 0xFFFFFFFF, 0},   {0xFFFFFF00, 0xFFFFFF80, 0xFFFFFFFF, 50},
        {0xFFFFFF00, 0xFFFFFFFF, 0xFFFFFFFF, 100}, {0x00000000, 0x7FFFFFFF, 0xFFFFFFFF, 49},
        {0x00000000, 0x80000000, 0xFFFFFFFF, 50},  {0x00000000, 0xFFFFFFFE, 0xFFFFFFFF, 99},
        {0x80000000, 0xC0000000, 0xFFFFFFFF, 50},  {0x00000000, 0x00000203, 0x00000406, 50},
    };
    for (const Case& c : cases) {
        const uint64_t length = uint64_t{c.end} - c.start;
        const uint64_t done = uint64_t{c.current} - c.start;
        EXPECT_EQ(DumpProgressPercent(done, length), c.percent) << std::hex << c.start << " " << c.current;
        const uint32_t high = DumpProgressValue(length, length);
        const uint32_t pos = DumpProgressValue(done, length);
        EXPECT_LE(high, static_cast<uint32_t>(INT_MAX));
        EXPECT_LE(pos, high);
        // The bar's own fraction agrees with the percentage to within one point.
        EXPECT_NEAR(100.0 * pos / high, c.percent, 1.0);
    }
    EXPECT_EQ(DumpSavingText(0x80, 0xFF), "Saving target flash memory to BIN file.. 50%");
    EXPECT_EQ(DumpSavingText(0, 1030), "Saving target flash memory to BIN file.. 0%");
}

TEST(DumpInputTest, ElapsedTimeText) {
    EXPECT_EQ(DumpElapsedText(0), "Elapsed time     :  00:00:00");
    EXPECT_EQ(DumpElapsedText(3725), "Elapsed time     :  01:02:05");
    EXPECT_EQ(DumpElapsedText(100 * 3600), "Elapsed time     :  100:00:00");
}
