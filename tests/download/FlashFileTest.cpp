#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "download/FlashFile.h"

TEST(FlashFileTest, KindByTheEndOfThePath) {
    const struct {
        const char* path;
        TE_FLASH_FILE_KIND kind;
    } cases[] = {
        {"/img/vmain.m0", KIND_M0},
        {"/img/vmain.cp64", KIND_CP64},
        {"/img/vmain.cp128", KIND_CP128},
        {"/img/VMAIN.M0", KIND_UNKNOWN},
        {"/img/vmain.CP64", KIND_UNKNOWN},
        {"/img/vmain.m0.bak", KIND_UNKNOWN},
        {"/img/vmain.m01", KIND_UNKNOWN},
        {".m0", KIND_M0},
        {"", KIND_UNKNOWN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetFileKind(c.path), c.kind) << c.path;
    }
}

TEST(FlashFileTest, WhichPathsAreFlashFiles) {
    const struct {
        const char* path;
        TE_FLASH_NAME_RULE broken; // the rule that refuses it, or NAME_RULES_HOLD
    } cases[] = {
        {"C:\\img\\vmain.m0", NAME_RULES_HOLD},        // written on Windows: the backslash still separates
        {"C:\\img\\amain.m0", NAME_RULE_V_FIRST},      // the name must start with v or V
        {"/home/me/img/vmain.m0", NAME_RULES_HOLD},    // on Linux the name follows the last slash
        {"/home/me/img/Vmain.cp64", NAME_RULES_HOLD},  // either case of v
        {"/home/me/vimg/amain.m0", NAME_RULE_V_FIRST}, // a folder starting with v does not count
        {"/home/me/img/vmain.cp128", NAME_RULES_HOLD},
        {"v.m0", NAME_RULE_LENGTH},          // shorter than 8 characters
        {"vbin.m0", NAME_RULE_LENGTH},       // a good name, but the path is too short
        {"vmain.m0", NAME_RULES_HOLD},       // no folder at all: the path is the name
        {"/img/VMAIN.M0", NAME_RULE_ENDING}, // the extension is case-sensitive
        {"/img/vmain.bin", NAME_RULE_ENDING},
        {"/v/amain.m0", NAME_RULE_V_FIRST},
        {"C:\\v/amain.m0", NAME_RULE_V_FIRST}, // the last separator of either kind wins
        {"/img/x\\vmain.m0", NAME_RULES_HOLD},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BrokenFlashNameRule(c.path), c.broken) << c.path;
        EXPECT_EQ(IsValidFlashFile(c.path), c.broken == NAME_RULES_HOLD) << c.path;
    }
}

namespace {
std::vector<uint8_t> Decode(const std::string& line, TS_DECODED_LINE* result = nullptr,
                            std::size_t room = 256) {
    std::vector<uint8_t> out(room, 0xEE);
    const TS_DECODED_LINE r = DecodeRecordLine(line, out);
    if (result) {
        *result = r;
    }
    out.resize(r.size);
    return out;
}
std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
    std::vector<uint8_t> out;
    for (int b : v) {
        out.push_back(static_cast<uint8_t>(b));
    }
    return out;
}
} // namespace

TEST(FlashFileTest, DecodesRecordLines) {
    const struct {
        const char* line;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"S7\n", Bytes({'S', '7'})},
        {"S7", Bytes({'S', '7'})},
        {"\n", {}},
        {"S\n", Bytes({'S'})},
        {"S30A0102\n", Bytes({'S', '3', 0x0A, 0x01, 0x02})},
        {"S30A0102\r\n", Bytes({'S', '3', 0x0A, 0x01, 0x02})}, // CR LF like LF
        {"S30A0102\r", Bytes({'S', '3', 0x0A, 0x01, 0x02})},
        {"S30A010\n", Bytes({'S', '3', 0x0A, 0x01})}, // a last single digit is dropped
        {"S3ff7a\n", Bytes({'S', '3', 0xFF, 0x7A})},  // lower case digits
        {"S30A\nFFFF", Bytes({'S', '3', 0x0A})},      // the line ends at its line feed
    };
    for (const auto& c : cases) {
        TS_DECODED_LINE r;
        EXPECT_EQ(Decode(c.line, &r), c.bytes) << c.line;
        EXPECT_EQ(r.badColumn, 0u) << c.line;
    }
}

TEST(FlashFileTest, ReportsTheFirstCharacterThatIsNoHexDigit) {
    const struct {
        const char* line;
        std::size_t column;
        char bad;
    } cases[] = {
        {"S30G\n", 4, 'G'},
        {"S3 0\n", 3, ' '},
        {"S301\r02\n", 5, '\r'},
        {"S3012x\n", 6, 'x'},
    };
    for (const auto& c : cases) {
        TS_DECODED_LINE r;
        Decode(c.line, &r);
        EXPECT_EQ(r.badColumn, c.column) << c.line;
        EXPECT_EQ(r.badChar, c.bad) << c.line;
    }
}

TEST(FlashFileTest, NeverWritesPastTheOutput) {
    std::array<uint8_t, 8> guarded{};
    guarded.fill(0xEE);
    const TS_DECODED_LINE r = DecodeRecordLine("S3000102030405060708", std::span<uint8_t>(guarded.data(), 5));
    EXPECT_TRUE(r.truncated);
    EXPECT_EQ(r.size, 5u);
    EXPECT_EQ(guarded[5], 0xEE);
    EXPECT_EQ(guarded[7], 0xEE);
}
