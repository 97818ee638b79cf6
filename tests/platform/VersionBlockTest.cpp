#include <gtest/gtest.h>

#include <filesystem>

#include "TempDir.h"
#include "platform/VersionBlock.h"

using platform::ReadVersionBlock;
namespace vb = platform::versionblock;

// This test program embeds its block with vandrel_embed_version() (tests/platform/CMakeLists.txt).
TEST(VersionBlockTest, ReadsTheRunningProgramsBlock) {
    const auto info = ReadVersionBlock();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->FileDescription, "Vandrel platform tests");
    EXPECT_EQ(info->FileVersion, "3.0.0.7");
    EXPECT_EQ(info->PrivateBuild, "test build \"quoted\" \\ ◈");
    EXPECT_EQ(info->Language, 0x0412);
    EXPECT_EQ(info->CodePage, 0x03B5);
    EXPECT_EQ(info->Value("ProductName"), "Vandrel");
    EXPECT_EQ(info->Value("Comments"), "made by the tests");
    EXPECT_EQ(info->Value("Missing"), "");
    // Read from the module's file by name, as for any other module.
    const auto byPath = ReadVersionBlock(std::filesystem::read_symlink("/proc/self/exe").string());
    ASSERT_TRUE(byPath.has_value());
    EXPECT_EQ(byPath->Strings, info->Strings);
}

TEST(VersionBlockTest, FilesWithoutABlockGiveNothing) {
    CTempDir dir;
    const std::string files[] = {
        dir.Write("empty", ""),
        dir.Write("text", "just some text that is long enough to hold a header"),
        dir.File("missing"),
        dir.Path(), // a folder
        "/bin/sh",
    };
    for (const auto& f : files) {
        EXPECT_FALSE(ReadVersionBlock(f).has_value()) << f;
    }
}

TEST(VersionBlockTest, DamagedBlocksAreRefusedAndTheNextGoodOneIsFound) {
    static constexpr unsigned char payload[] = {'F', 'i', 'l', 'e', 'V', 'e', 'r',
                                                's', 'i', 'o', 'n', 0,   '1', 0};
    constexpr auto image = vb::Make(payload);
    const std::string good(reinterpret_cast<const char*>(image.bytes), sizeof image.bytes);
    ASSERT_TRUE(vb::Parse(image.bytes, sizeof image.bytes).has_value());
    EXPECT_EQ(vb::Parse(image.bytes, sizeof image.bytes)->FileVersion, "1");

    std::string badSum = good;
    badSum.back() = 'x'; // payload changed: the checksum no longer matches
    std::string badLength = good;
    badLength[vb::kMarkerSize + 4] = 100; // longer than the file
    const std::string truncated = good.substr(0, good.size() - 3);
    std::string unterminated = good;
    unterminated.back() = '1';
    for (const std::string* damaged :
         std::initializer_list<const std::string*>{&badSum, &badLength, &truncated, &unterminated}) {
        EXPECT_FALSE(
            vb::Parse(reinterpret_cast<const unsigned char*>(damaged->data()), damaged->size()).has_value());
    }
    CTempDir dir;
    EXPECT_FALSE(ReadVersionBlock(dir.Write("bad", "junk" + badSum + "junk")).has_value());
    const auto found =
        ReadVersionBlock(dir.Write("two", "junk" + badSum + truncated + "junk" + good + "tail"));
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->FileVersion, "1");
}
