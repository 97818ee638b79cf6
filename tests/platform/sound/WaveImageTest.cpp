#include "WaveTestData.h"

#include "platform/sound/WaveImage.h"

#include <gtest/gtest.h>

#include <random>

using namespace platform;
using namespace wavetest;

namespace {

struct ParseCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    TE_WAVE_RESULT expected;
    std::size_t dataSize = 0;
};

std::vector<ParseCase> ParseCases() {
    std::vector<std::uint8_t> notRiff = GoodWave();
    notRiff[0] = 'X';
    std::vector<std::uint8_t> truncated = GoodWave(400);
    truncated.resize(truncated.size() - 1);
    std::vector<std::uint8_t> truncatedFormat = Riff({{"fmt ", FormatBody(1, 1, 8000, 16)}});
    truncatedFormat.resize(truncatedFormat.size() - 4);
    return {
        {"canonical", GoodWave(400), WAVE_OK, 400},
        {"list chunk before the data",
         Riff({{"fmt ", FormatBody(1, 2, 44100, 16)},
               {"LIST", std::vector<std::uint8_t>(26, 'x')},
               {"data", Samples(64)}}),
         WAVE_OK, 64},
        {"odd chunk padded",
         Riff({{"junk", std::vector<std::uint8_t>(3, 1)},
               {"fmt ", FormatBody(1, 1, 8000, 8)},
               {"data", Samples(5)}}),
         WAVE_OK, 5},
        {"data before fmt", Riff({{"data", Samples(8)}, {"fmt ", FormatBody(1, 1, 8000, 16)}}), WAVE_OK, 8},
        {"basic 14-byte format", Riff({{"fmt ", FormatBody(1, 1, 8000, 16, 14)}, {"data", Samples(8)}}),
         WAVE_OK, 8},
        {"empty", {}, WAVE_NOT_RIFF},
        {"eleven bytes", std::vector<std::uint8_t>{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V'},
         WAVE_NOT_RIFF},
        {"not riff", notRiff, WAVE_NOT_RIFF},
        {"not wave", Riff({{"fmt ", FormatBody(1, 1, 8000, 16)}, {"data", Samples(4)}}, "AVI "),
         WAVE_NOT_WAVE},
        {"no chunks", Riff({}), WAVE_NO_FORMAT},
        {"no fmt", Riff({{"data", Samples(8)}}), WAVE_NO_FORMAT},
        {"no data", Riff({{"fmt ", FormatBody(1, 1, 8000, 16)}}), WAVE_NO_DATA},
        {"fmt too short", Riff({{"fmt ", FormatBody(1, 1, 8000, 16, 12)}, {"data", Samples(8)}}),
         WAVE_FORMAT_TOO_SHORT},
        {"no channels", Riff({{"fmt ", FormatBody(1, 0, 8000, 16)}, {"data", Samples(8)}}), WAVE_BAD_FORMAT},
        {"data cut short", truncated, WAVE_TRUNCATED},
        {"fmt cut short", truncatedFormat, WAVE_TRUNCATED},
        {"huge data length", Riff({{"fmt ", FormatBody(1, 1, 8000, 16)}, {"data", Samples(8), 0xFFFFFFFF}}),
         WAVE_TRUNCATED},
        {"damaged chunk after both",
         Riff({{"fmt ", FormatBody(1, 1, 8000, 16)}, {"data", Samples(8)}, {"junk", Samples(2), 1000}}),
         WAVE_OK, 8},
        {"damaged chunk before data",
         Riff({{"fmt ", FormatBody(1, 1, 8000, 16)}, {"junk", Samples(2), 1000}}), WAVE_NO_DATA},
    };
}

} // namespace

TEST(WaveImage, ParsesOrRefusesEachCase) {
    for (const ParseCase& c : ParseCases()) {
        SCOPED_TRACE(c.name);
        TS_WAVE_IMAGE image;
        const TE_WAVE_RESULT result = ParseWaveImage(c.bytes, image);
        EXPECT_EQ(result, c.expected) << WaveResultText(result);
        if (c.expected == WAVE_OK) {
            EXPECT_EQ(image.dataSize, c.dataSize);
            ASSERT_LE(image.dataOffset + image.dataSize, c.bytes.size());
            EXPECT_EQ(c.bytes[image.dataOffset], Samples(1)[0]);
        }
    }
}

TEST(WaveImage, ReadsTheFormatFields) {
    TS_WAVE_IMAGE image;
    ASSERT_EQ(ParseWaveImage(Riff({{"fmt ", FormatBody(1, 2, 22050, 16)}, {"data", Samples(8)}}), image),
              WAVE_OK);
    EXPECT_EQ(image.format.formatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(image.format.channels, 2);
    EXPECT_EQ(image.format.samplesPerSec, 22050u);
    EXPECT_EQ(image.format.avgBytesPerSec, 22050u * 4);
    EXPECT_EQ(image.format.blockAlign, 4);
    EXPECT_EQ(image.format.bitsPerSample, 16);
    EXPECT_TRUE(IsPlayableWaveFormat(image.format));

    // The extensible record names its real sample format in the sub-format.
    std::vector<std::uint8_t> ext = FormatBody(WAVE_FORMAT_EXTENSIBLE, 2, 48000, 32, 40);
    ext[24] = WAVE_FORMAT_IEEE_FLOAT;
    ASSERT_EQ(ParseWaveImage(Riff({{"fmt ", ext}, {"data", Samples(8)}}), image), WAVE_OK);
    EXPECT_EQ(image.format.formatTag, WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_TRUE(IsPlayableWaveFormat(image.format));
}

TEST(WaveImage, PlayableFormats) {
    struct Case {
        unsigned tag, channels, rate, bits;
        bool playable;
    } cases[] = {
        {1, 1, 8000, 8, true},   {1, 2, 44100, 16, true}, {1, 2, 48000, 24, true}, {1, 1, 8000, 32, true},
        {3, 2, 48000, 32, true}, {3, 1, 48000, 64, true}, {1, 1, 8000, 12, false}, {3, 1, 8000, 16, false},
        {2, 2, 8000, 4, false},  {1, 9, 8000, 16, false}, {1, 1, 100, 16, false},  {1, 2, 8000, 12, false},
    };
    for (const Case& c : cases) {
        TS_WAVE_IMAGE image;
        ASSERT_EQ(
            ParseWaveImage(
                Riff({{"fmt ", FormatBody(c.tag, c.channels, c.rate, c.bits)}, {"data", Samples(8)}}), image),
            WAVE_OK);
        EXPECT_EQ(IsPlayableWaveFormat(image.format), c.playable)
            << c.tag << "/" << c.channels << "/" << c.rate << "/" << c.bits;
    }
    // The basic 14-byte record does not say how many bits a sample has.
    TS_WAVE_IMAGE basic;
    ASSERT_EQ(ParseWaveImage(Riff({{"fmt ", FormatBody(1, 1, 8000, 16, 14)}, {"data", Samples(8)}}), basic),
              WAVE_OK);
    EXPECT_FALSE(IsPlayableWaveFormat(basic.format));
}

// Every prefix of a good image and random damage: the parser never reads outside the bytes
// (the sanitizer build checks) and never reports data it does not have.
TEST(WaveImage, PrefixesAndDamageStayInBounds) {
    const std::vector<std::uint8_t> good = Riff({{"fmt ", FormatBody(1, 1, 8000, 16)},
                                                 {"LIST", std::vector<std::uint8_t>(9, 'x')},
                                                 {"data", Samples(50)}});
    for (std::size_t n = 0; n <= good.size(); ++n) {
        std::vector<std::uint8_t> prefix(good.begin(), good.begin() + static_cast<long>(n));
        TS_WAVE_IMAGE image;
        const TE_WAVE_RESULT r = ParseWaveImage(prefix, image);
        if (n == good.size())
            EXPECT_EQ(r, WAVE_OK);
        else
            EXPECT_NE(r, WAVE_OK) << "prefix of " << n << " bytes";
    }
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::uint8_t> damaged = good;
        for (int k = 0; k < 4; ++k)
            damaged[rng() % damaged.size()] = static_cast<std::uint8_t>(rng());
        TS_WAVE_IMAGE image;
        if (ParseWaveImage(damaged, image) == WAVE_OK) {
            EXPECT_LE(image.dataOffset + image.dataSize, damaged.size());
            EXPECT_LE(image.formatOffset + 14, damaged.size());
        }
    }
}
