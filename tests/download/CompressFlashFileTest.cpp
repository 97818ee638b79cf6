#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

#include "SrecText.h"
#include "TempDir.h"
#include "download/CompressFlashFile.h"
#include "download/OstraAreaTable.h"
#include "download/RecordReader.h"

namespace {

struct Recorder : ICompressObserver {
    std::vector<std::string> events;
    void SetCaption(const std::string& text) override { events.push_back("caption:" + text); }
    void SetStatus(const std::string& text) override { events.push_back("status:" + text); }
};

struct Compressed {
    bool ok = false;
    std::string output; // the .cp64 text
    std::string error;
    std::vector<uint32_t> marked;
};

Compressed Compress(const CTempDir& dir, const std::string& source, const std::string& name = "vimage.m0") {
    Compressed c;
    const std::string path = dir.Write(name, source);
    std::string out;
    TS_COMPRESS_HOOKS hooks;
    hooks.MarkArea = [&](uint32_t a) { c.marked.push_back(a); };
    TS_COMPRESS_COUNTS counts;
    c.ok = CompressFlashFile(path, out, hooks, &c.error, &counts);
    if (c.ok) {
        EXPECT_EQ(out, CompressedFilePath(path));
        c.output = ReadFile(out);
        // the counts the compression reports are those of the data lines it wrote
        TS_COMPRESS_COUNTS written;
        std::istringstream lines(c.output);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("S3", 0) == 0) {
                ++written.Blocks;
                written.DataBytes += std::stoul(line.substr(2, 4), nullptr, 16) - 5;
            }
        }
        EXPECT_EQ(counts.Blocks, written.Blocks);
        EXPECT_EQ(counts.DataBytes, written.DataBytes);
    }
    return c;
}

} // namespace

// The packing rules, each on a small source.
TEST(CompressFlashFileTest, PacksContiguousRecords) {
    const struct {
        const char* what;
        std::string source;
        std::string expected;
    } cases[] = {
        {"two contiguous records merge; S7 is copied",
         "S30D0000600001020304050607086E\nS30D00006008090A0B0C0D0E0F1026\nS705000060009A\n",
         "S30015000060000102030405060708090A0B0C0D0E0F1002\nS705000060009A\n"},
        {"a one-byte gap gives two lines", "S30D0000600001020304050607086E\nS30D00006009090A0B0C0D0E0F1025\n",
         "S3000D0000600001020304050607086E\nS3000D00006009090A0B0C0D0E0F1025\n"},
        {"an overlap opens a new block", "S30D0000600001020304050607086E\nS30D00006007090A0B0C0D0E0F1027\n",
         "S3000D0000600001020304050607086E\nS3000D00006007090A0B0C0D0E0F1027\n"},
        {"descending addresses open a new block",
         "S30D00006008090A0B0C0D0E0F1026\nS30D0000600001020304050607086E\n",
         "S3000D00006008090A0B0C0D0E0F1026\nS3000D0000600001020304050607086E\n"},
        {"the S0 header is dropped, S5 closes the block and is copied",
         "S00600004844521B\nS30D0000600001020304050607086E\nS5030001FB\nS30D00006008090A0B0C0D0E0F1026\n",
         "S3000D0000600001020304050607086E\nS5030001FB\nS3000D00006008090A0B0C0D0E0F1026\n"},
        {"lower-case data digits stay lower case", "S30D00006000aabbccddeeff0011ff\n",
         "S3000D00006000aabbccddeeff001186\n"},
        {"a source without S3 records gives an empty output", "S00600004844521B\nS9030000FC\n", ""},
        {"an empty source gives an empty output", "", ""},
        {"a last line without its line feed is packed", "S30D0000600001020304050607086E",
         "S3000D0000600001020304050607086E\n"},
        {"an empty data record still has its count and checksum", "S305000060009A\n", "S30005000060009A\n"},
    };
    for (const auto& c : cases) {
        CTempDir dir;
        const Compressed r = Compress(dir, c.source);
        ASSERT_TRUE(r.ok) << c.what << ": " << r.error;
        EXPECT_EQ(r.output, c.expected) << c.what;
    }
}

TEST(CompressFlashFileTest, CountHasFourDigitsAndChecksumTwo) {
    CTempDir dir;
    // 16 data bytes -> count 0015. Data chosen so that the checksum is 0x0F:
    // address bytes 0, count bytes 0x00 + 0x15, data 15 x 0x00 and one byte b: ~(0x15 + b) & 0xFF = 0x0F
    std::vector<uint8_t> data(16, 0);
    data[15] = static_cast<uint8_t>((0xFF - 0x0F) - 0x15);
    const Compressed r = Compress(dir, S3Line(0, data));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.output.substr(0, 6), "S30015");
    EXPECT_EQ(r.output.substr(r.output.size() - 3), "0F\n");
}

TEST(CompressFlashFileTest, SplitsRunsAt65520DataBytes) {
    CTempDir dir;
    // 4100 records of 16 bytes = 65600 bytes: 4095 records (65520 bytes) in the first line
    std::string source;
    for (uint32_t i = 0; i < 4100; ++i) {
        source += S3Line(0x00100000 + 16 * i, Pattern(16, i));
    }
    const Compressed r = Compress(dir, source);
    ASSERT_TRUE(r.ok) << r.error;
    const std::size_t lf = r.output.find('\n');
    ASSERT_NE(lf, std::string::npos);
    EXPECT_EQ(r.output.substr(0, 14), "S3FFF500100000");
    EXPECT_EQ(lf, 2 + 4 + 8 + 2 * 65520 + 2u);
    EXPECT_EQ(r.output.substr(lf + 1, 14), "S300550010FFF0"); // 5 records = 80 bytes, count 0x55
    EXPECT_EQ(r.marked.size(), 2 * 4100u);                    // the first and the last byte of every record
    // The split line fits the reader: read it back record by record.
    CRecordReader reader;
    ASSERT_TRUE(reader.Open(CompressedFilePath(dir.File("vimage.m0"))));
    ASSERT_EQ(reader.Next(), CRecordReader::RECORD_READ) << reader.ErrorText();
    EXPECT_EQ(reader.Record().count, 0xFFF5u);
    EXPECT_EQ(reader.Record().data.size(), 65520u);
    ASSERT_EQ(reader.Next(), CRecordReader::RECORD_READ) << reader.ErrorText();
    EXPECT_EQ(reader.Record().address, 0x0010FFF0u);
    EXPECT_EQ(reader.Next(), CRecordReader::RECORD_END);
}

TEST(CompressFlashFileTest, CrLfSourcePacksLikeItsLfTwin) {
    std::string lf = "S00600004844521B\nS30D0000600001020304050607086E\nS30D00006008090A0B0C0D0E0F1026\n"
                     "S5030002FA\nS705000060009A\n";
    std::string crlf;
    for (char ch : lf) {
        crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    }
    CTempDir a, b;
    const Compressed ra = Compress(a, lf);
    const Compressed rb = Compress(b, crlf);
    ASSERT_TRUE(ra.ok && rb.ok) << ra.error << rb.error;
    EXPECT_EQ(ra.output, rb.output);
    EXPECT_EQ(ra.output.find('\r'), std::string::npos);
    EXPECT_EQ(ra.marked, rb.marked);
}

TEST(CompressFlashFileTest, MarksTheFirstAndLastByteOfEveryRecordAndReportsTheStages) {
    CTempDir dir;
    const std::string path = dir.Write(
        "vimage.m0", S3Line(0x5FF0, Pattern(32, 1)) + S3Line(0x08150000, Pattern(8, 2)) +
                         S3Line(0x00400000, Pattern(1, 3)) + S3Line(0x00400010, {}) + "S70500000000FA\n");
    TS_AREA_MARKS marks;
    Recorder recorder;
    TS_COMPRESS_HOOKS hooks;
    std::vector<uint32_t> marked;
    hooks.MarkArea = [&](uint32_t a) {
        marks.MarkArea(a);
        marked.push_back(a);
    };
    hooks.Observer = &recorder;
    std::string out, error;
    ASSERT_TRUE(CompressFlashFile(path, out, hooks, &error)) << error;
    // 0x5FF0..0x600F starts in the boot area and ends in main: both are marked. A one-byte and an
    // empty record mark their address once. 0x08150000 is DB with the default ranges, media with
    // those of flash part 19.
    EXPECT_EQ(marked,
              (std::vector<uint32_t>{0x5FF0, 0x600F, 0x08150000, 0x08150007, 0x00400000, 0x00400010}));
    EXPECT_EQ(marks.defaultFlags, AREA_BOOT | AREA_MAIN | AREA_CDRIVE | AREA_DB);
    EXPECT_EQ(marks.movedFlags, AREA_BOOT | AREA_MAIN | AREA_CDRIVE | AREA_MEDIA);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"caption:Compressing flash file",
                                                         "status:File is being compressed...", "status:"}));
}

TEST(CompressFlashFileTest, OutputNameReplacesTheEndingOfTheFileNameOnly) {
    const struct {
        const char* source;
        const char* output;
    } cases[] = {
        {"/img/vmain.m0", "/img/vmain.cp64"},       {"/img/v.m0files/vmain.m0", "/img/v.m0files/vmain.cp64"},
        {"/img/vmain.m0.m0", "/img/vmain.m0.cp64"}, {"vmain.m0", "vmain.cp64"},
        {"/img/vmain", "/img/vmain.cp64"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CompressedFilePath(c.source), c.output) << c.source;
    }
    CTempDir dir;
    std::filesystem::create_directory(dir.File("v.m0files"));
    const Compressed r = Compress(dir, "S30D0000600001020304050607086E\n", "v.m0files/vmain.m0");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(std::filesystem::exists(dir.File("v.m0files/vmain.cp64")));
    EXPECT_EQ(dir.Listing(), "v.m0files ");
}

// Every bad source fails with a text naming the file, the line and the problem, and leaves no
// .cp64 nor temporary file behind; an older .cp64 of the same name is left as it was.
TEST(CompressFlashFileTest, BadSourcesFailClearly) {
    const std::string good = "S00600004844521B\nS30D0000600001020304050607086E\n";
    const struct {
        const char* what;
        std::string source;
        std::string expected; // part of the error text after "<path>: "
    } cases[] = {
        {"line too long", good + "S3" + std::string(131068, '0') + "\n",
         "line 3: the line is longer than 131069 characters"},
        {"line too long without line feed", good + std::string(140000, '0'),
         "line 3: the line is longer than 131069 characters"},
        {"count below 5", good + "S3040000600001\n", "line 3: the S3 record's count 4 is below 5"},
        {"count promising more", good + "S3150000600001020304\n",
         "line 3: the S3 record's count 21 promises more bytes than the line holds (8)"},
        {"no count", good + "S3\n", "line 3: the S3 record has no count"},
        {"non-hex digit", good + "S30D00006000010203040506070G6E\n",
         "line 3: 'G' in column 28 is not a hexadecimal digit"},
        {"carriage return inside", good + "S30D000060000102\r03040506070806E\n",
         "line 3: byte 0x0D in column 17 is not a hexadecimal digit"},
        {"space at the end", good + "S30D0000600001020304050607086E \n",
         "line 3: ' ' in column 31 is not a hexadecimal digit"},
    };
    for (const auto& c : cases) {
        CTempDir dir;
        const std::string path = dir.Write("vimage.m0", c.source);
        dir.Write("vimage.cp64", "older\n");
        std::string out = "unchanged", error;
        EXPECT_FALSE(CompressFlashFile(path, out, {}, &error)) << c.what;
        EXPECT_EQ(error, path + ": " + c.expected) << c.what;
        EXPECT_EQ(out, "unchanged") << c.what;
        EXPECT_EQ(ReadFile(dir.File("vimage.cp64")), "older\n") << c.what;
        EXPECT_EQ(dir.Listing(), "vimage.cp64 vimage.m0 ") << c.what;
    }
}

TEST(CompressFlashFileTest, LongestLineAllowedIsAccepted) {
    CTempDir dir;
    // 131068 characters and the line feed: exactly the longest line (a non-S3 line after data)
    const Compressed r = Compress(dir, "S305000060009A\nS5" + std::string(131066, '0') + "\n");
    EXPECT_TRUE(r.ok) << r.error;
}

TEST(CompressFlashFileTest, MissingSourceMakesNoOutput) {
    CTempDir dir;
    std::string out, error;
    EXPECT_FALSE(CompressFlashFile(dir.File("vnone.m0"), out, {}, &error));
    EXPECT_NE(error.find("vnone.m0: cannot open: No such file or directory"), std::string::npos) << error;
    EXPECT_EQ(dir.Listing(), "");
}

TEST(CompressFlashFileTest, OutputThatCannotReplaceTheOldNameLeavesNothing) {
    CTempDir dir;
    const std::string path = dir.Write("vimage.m0", "S30D0000600001020304050607086E\n");
    std::filesystem::create_directory(dir.File("vimage.cp64"));
    std::string out, error;
    EXPECT_FALSE(CompressFlashFile(path, out, {}, &error));
    EXPECT_NE(error.find("cannot replace " + dir.File("vimage.cp64")), std::string::npos) << error;
    EXPECT_EQ(dir.Listing(), "vimage.cp64 vimage.m0 ");
}

TEST(CompressFlashFileTest, FullDiskLeavesNoTruncatedOutput) {
    CTempDir dir;
    std::string source;
    for (uint32_t i = 0; i < 3000; ++i) { // about 140 kB of source, 100 kB of output
        source += S3Line(0x6000 + 16 * i, Pattern(16, i));
    }
    const std::string path = dir.Write("vimage.m0", source);
    // A file size limit makes writes fail as a full disk does.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 16384;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string out, error;
    const bool ok = CompressFlashFile(path, out, {}, &error);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(ok);
    EXPECT_NE(error.find("cannot write " + dir.File("vimage.cp64") + ": File too large"), std::string::npos)
        << error;
    EXPECT_EQ(dir.Listing(), "vimage.m0 ");
}

TEST(CompressFlashFileTest, ReadOnlyFolderFailsClearly) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root writes into read-only folders";
    }
    CTempDir dir;
    const std::string path = dir.Write("vimage.m0", "S30D0000600001020304050607086E\n");
    std::filesystem::permissions(dir.Path(),
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    std::string out, error;
    EXPECT_FALSE(CompressFlashFile(path, out, {}, &error));
    EXPECT_NE(error.find("cannot create a file in " + dir.Path()), std::string::npos) << error;
    EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
    EXPECT_EQ(dir.Listing(), "vimage.m0 ");
}

TEST(CompressFlashFileTest, StopRequestFailsWithoutOutput) {
    CTempDir dir;
    std::string source;
    for (uint32_t i = 0; i < 5000; ++i) {
        source += S3Line(0x6000 + 16 * i, Pattern(16, i));
    }
    const std::string path = dir.Write("vimage.m0", source);
    std::atomic<bool> stop{true};
    TS_COMPRESS_HOOKS hooks;
    hooks.Stop = &stop;
    std::string out, error;
    EXPECT_FALSE(CompressFlashFile(path, out, hooks, &error));
    EXPECT_EQ(error, path + ": compression stopped");
    EXPECT_EQ(dir.Listing(), "vimage.m0 ");
}
