#include <gtest/gtest.h>

#include "TempDir.h"
#include "download/RecordReader.h"

namespace {
struct Step {
    std::string type;
    uint32_t count;
    uint32_t address;
    std::size_t dataSize;
    int64_t position;
    std::size_t line;
};

std::vector<Step> ReadAll(const std::string& path, std::string* error = nullptr, int64_t* size = nullptr) {
    CRecordReader reader;
    std::vector<Step> steps;
    if (!reader.Open(path)) {
        if (error) {
            *error = reader.ErrorText();
        }
        return steps;
    }
    if (size) {
        *size = reader.FileSize();
    }
    CRecordReader::TE_NEXT_RESULT r;
    while ((r = reader.Next()) == CRecordReader::RECORD_READ) {
        const TS_SRECORD& rec = reader.Record();
        steps.push_back({std::string(rec.type, 2), rec.count, rec.address, rec.data.size(), reader.Position(),
                         reader.LineNumber()});
        if (rec.IsData()) {
            EXPECT_EQ(rec.bytes.size(), rec.count);
            EXPECT_EQ(rec.bytes.data() + 4, rec.data.data());
        }
    }
    if (error) {
        *error = r == CRecordReader::RECORD_ERROR ? reader.ErrorText() : std::string();
    }
    return steps;
}
} // namespace

TEST(RecordReaderTest, ReadsCompressedRecordsWithPositions) {
    CTempDir dir;
    const std::string text = "S30015000060000102030405060708090A0B0C0D0E0F1002\r\n"
                             "S5030001FB\n"
                             "S705000060009A"; // no line feed at the end
    const std::string path = dir.Write("vimage.cp64", text);
    std::string error;
    int64_t size = 0;
    const auto steps = ReadAll(path, &error, &size);
    EXPECT_EQ(error, "");
    EXPECT_EQ(size, static_cast<int64_t>(text.size()));
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[0].type, "S3");
    EXPECT_EQ(steps[0].count, 0x15u);
    EXPECT_EQ(steps[0].address, 0x6000u);
    EXPECT_EQ(steps[0].dataSize, 16u);
    EXPECT_EQ(steps[0].position, 50); // the CR LF counts in the file position
    EXPECT_EQ(steps[1].type, "S5");
    EXPECT_EQ(steps[1].position, 61);
    EXPECT_EQ(steps[2].type, "S7");
    EXPECT_EQ(steps[2].position, static_cast<int64_t>(text.size()));
    EXPECT_EQ(steps[2].line, 3u);
}

TEST(RecordReaderTest, EmptyFileEndsAtOnce) {
    CTempDir dir;
    std::string error;
    int64_t size = -1;
    EXPECT_TRUE(ReadAll(dir.Write("vempty.cp64", ""), &error, &size).empty());
    EXPECT_EQ(error, "");
    EXPECT_EQ(size, 0);
}

TEST(RecordReaderTest, BadLinesFailNamingFileLineAndProblem) {
    const struct {
        const char* what;
        std::string line;
        std::string problem;
    } cases[] = {
        {"too long", "S3" + std::string(131068, '0'), "the line is longer than 131069 characters"},
        {"non-hex", "S30015000060000102030405060708090A0B0C0D0E0F10z2",
         "'z' in column 47 is not a hexadecimal digit"},
        {"count below 5", "S30004000060", "the S3 record's count 4 is below 5"},
        {"count promising more", "S300150000600001",
         "the S3 record's count 21 promises more bytes than the line holds (5)"},
        {"one-byte count read as two", "S30D0000600001020304050607086E",
         "the S3 record's count 3328 promises more bytes than the line holds (12)"},
    };
    for (const auto& c : cases) {
        CTempDir dir;
        const std::string path = dir.Write("vimage.cp64", "S705000060009A\n" + c.line + "\nS705000060009A\n");
        std::string error;
        const auto steps = ReadAll(path, &error);
        EXPECT_EQ(steps.size(), 1u) << c.what; // nothing of the bad line is handed out
        EXPECT_EQ(error, path + ": line 2: " + c.problem) << c.what;
    }
}

TEST(RecordReaderTest, LongestLineIsRead) {
    CTempDir dir;
    // count 0xFFF5: 65520 data bytes, the longest data line (131056 characters)
    std::string line = "S3FFF500000000" + std::string(2 * 65520, 'A') + "00";
    const std::string path = dir.Write("vbig.cp64", line + "\r\n" + line + "\n");
    std::string error;
    const auto steps = ReadAll(path, &error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[1].dataSize, 65520u);
}

TEST(RecordReaderTest, MissingFileFailsWithItsName) {
    CTempDir dir;
    CRecordReader reader;
    EXPECT_FALSE(reader.Open(dir.File("vnone.cp64")));
    EXPECT_EQ(reader.ErrorText(), dir.File("vnone.cp64") + ": No such file or directory");
    EXPECT_FALSE(reader.Open(dir.Path()));
    EXPECT_EQ(reader.ErrorText(), dir.Path() + ": Is a directory");
}

TEST(RecordReaderTest, SmallReadChunksGiveTheSameRecords) {
    CTempDir dir;
    std::string text;
    for (int i = 0; i < 300; ++i) {
        text += "S30015000060000102030405060708090A0B0C0D0E0F1002\r\nS705000060009A\n";
    }
    const std::string path = dir.Write("vimage.cp64", text);
    CRecordReader big, small(CRecordReader::COUNT_TWO_BYTES, 4096);
    ASSERT_TRUE(big.Open(path));
    ASSERT_TRUE(small.Open(path));
    int n = 0;
    for (;;) {
        const auto a = big.Next();
        const auto b = small.Next();
        ASSERT_EQ(a, b);
        if (a != CRecordReader::RECORD_READ) {
            break;
        }
        ASSERT_EQ(big.Position(), small.Position());
        ASSERT_EQ(big.Line(), small.Line());
        ++n;
    }
    EXPECT_EQ(n, 600);
}

// Damaged files of every shape: the reader stops at the first bad line or reads to the end, and
// never reads or writes outside its buffers (the sanitizer builds watch that).
TEST(RecordReaderTest, RandomDamageIsReportedNeverOverrun) {
    uint32_t seed = 7;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    const char alphabet[] = "S30123456789ABCDEFabcdefG \r\n\t";
    for (int file = 0; file < 200; ++file) {
        std::string text;
        const int lines = 1 + static_cast<int>(next() % 20);
        for (int l = 0; l < lines; ++l) {
            std::string line = next() % 4 ? "S3" : "S7";
            const std::size_t length = next() % 90;
            for (std::size_t i = 0; i < length; ++i) {
                line +=
                    next() % 8 ? "0123456789ABCDEF"[next() % 16] : alphabet[next() % (sizeof alphabet - 1)];
            }
            text += line + (next() % 3 ? "\n" : "\r\n");
        }
        CTempDir dir;
        CRecordReader reader(file % 2 ? CRecordReader::COUNT_ONE_BYTE : CRecordReader::COUNT_TWO_BYTES, 4096);
        ASSERT_TRUE(reader.Open(dir.Write("vrandom.cp64", text)));
        CRecordReader::TE_NEXT_RESULT r;
        while ((r = reader.Next()) == CRecordReader::RECORD_READ) {
            const TS_SRECORD& rec = reader.Record();
            if (rec.IsData()) {
                ASSERT_GE(rec.count, 5u);
                ASSERT_EQ(rec.bytes.size(), rec.count);
                ASSERT_EQ(rec.data.size(), rec.count - 5);
            }
        }
        if (r == CRecordReader::RECORD_ERROR) {
            EXPECT_EQ(reader.ErrorText().rfind(dir.File("vrandom.cp64") + ": line ", 0), 0u)
                << reader.ErrorText();
        }
    }
}
