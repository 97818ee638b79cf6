// S-record files made by srec_cat and objcopy (tests/fixtures, see make-fixtures there), in LF and
// CR LF, packed and compared with their expected .cp64; the data read back from the .cp64 equals
// the data of the source.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "TempDir.h"
#include "download/CompressFlashFile.h"
#include "download/OstraAreaTable.h"
#include "download/RecordReader.h"

namespace {

std::map<uint32_t, uint8_t> ReadImage(const std::string& path, CRecordReader::TE_COUNT_FIELD countField) {
    std::map<uint32_t, uint8_t> image;
    CRecordReader reader(countField);
    EXPECT_TRUE(reader.Open(path)) << reader.ErrorText();
    CRecordReader::TE_NEXT_RESULT r;
    while ((r = reader.Next()) == CRecordReader::RECORD_READ) {
        if (reader.Record().IsData()) {
            uint32_t a = reader.Record().address;
            for (uint8_t b : reader.Record().data) {
                EXPECT_TRUE(image.emplace(a++, b).second) << path << ": address written twice";
            }
        }
    }
    EXPECT_EQ(r, CRecordReader::RECORD_END) << reader.ErrorText();
    return image;
}

} // namespace

TEST(FixtureTest, RealToolOutputPacksAsExpected) {
    const struct {
        const char* name;
        int32_t defaultFlags;
        int32_t movedFlags;
        std::size_t lines; // lines of the expected .cp64
    } cases[] = {
        {"vmain_srec", AREA_MAIN, AREA_MAIN, 4}, // two runs, S5, S7
        {"vmixed_srec", AREA_BOOT | AREA_MAIN | AREA_CDRIVE, AREA_BOOT | AREA_MAIN | AREA_CDRIVE, 4},
        {"vdb_objcopy", AREA_DB, AREA_MEDIA, 2}, // one run, S7
        {"vddrive_objcopy", AREA_DDRIVE, AREA_DDRIVE, 2},
    };
    const std::string fixtures = VANDREL_FIXTURE_DIR;
    for (const auto& c : cases) {
        const std::string expected = ReadFile(fixtures + "/" + c.name + ".cp64");
        ASSERT_FALSE(expected.empty()) << c.name;
        EXPECT_EQ(static_cast<std::size_t>(std::count(expected.begin(), expected.end(), '\n')), c.lines)
            << c.name;
        for (const std::string variant : {"", "_crlf"}) {
            const std::string label = std::string(c.name) + variant;
            CTempDir dir;
            const std::string source = dir.File(label + ".m0");
            std::filesystem::copy_file(fixtures + "/" + label + ".m0", source);
            TS_AREA_MARKS marks;
            TS_COMPRESS_HOOKS hooks;
            hooks.MarkArea = [&](uint32_t a) { marks.MarkArea(a); };
            std::string out, error;
            ASSERT_TRUE(CompressFlashFile(source, out, hooks, &error)) << label << ": " << error;
            EXPECT_EQ(ReadFile(out), expected) << label;
            EXPECT_EQ(marks.defaultFlags, c.defaultFlags) << label;
            EXPECT_EQ(marks.movedFlags, c.movedFlags) << label;
            const auto original = ReadImage(source, CRecordReader::COUNT_ONE_BYTE);
            EXPECT_GT(original.size(), 1000u) << label;
            EXPECT_EQ(ReadImage(out, CRecordReader::COUNT_TWO_BYTES), original) << label;
        }
    }
}
