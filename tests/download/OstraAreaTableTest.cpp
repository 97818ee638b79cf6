#include <gtest/gtest.h>

#include "download/OstraAreaTable.h"

TEST(OstraAreaTableTest, FlagsAtTheAreaBoundaries) {
    COstraAreaTable table;
    const struct {
        uint32_t address;
        int32_t flag;
    } cases[] = {
        {0x00000000, AREA_BOOT},   {0x00005FFF, AREA_BOOT},   {0x00006000, AREA_MAIN},
        {0x0037FFFF, AREA_MAIN},   {0x00380000, AREA_CDRIVE}, {0x007FFFFF, AREA_CDRIVE},
        {0x00800000, 0},           {0x04000000, 0},           {0x07FFFFFF, 0},
        {0x08000000, AREA_DDRIVE}, {0x080FFFFF, AREA_DDRIVE}, {0x08100000, AREA_DB},
        {0x081FFFFF, AREA_DB},     {0x08200000, AREA_MEDIA},  {0x087FFFFF, AREA_MEDIA},
        {0x08800000, 0},           {0xFFFFFFFF, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(table.FlagOf(c.address), c.flag) << std::hex << c.address;
    }
}

TEST(OstraAreaTableTest, FlashPart19MovesDbAndMedia) {
    COstraAreaTable table;
    EXPECT_TRUE(table.RemapForFlashType(19));
    EXPECT_EQ(table.FlagOf(0x08100000), AREA_MEDIA);
    EXPECT_EQ(table.FlagOf(0x086FFFFF), AREA_MEDIA);
    EXPECT_EQ(table.FlagOf(0x08700000), AREA_DB);
    EXPECT_EQ(table.FlagOf(0x087FFFFF), AREA_DB);
    EXPECT_EQ(table.FlagOf(0x080FFFFF), AREA_DDRIVE); // the others stay
    EXPECT_EQ(table.AreaOfFlag(AREA_DB)->start, 0x08700000u);
    EXPECT_EQ(table.AreaOfFlag(AREA_MEDIA)->end, 0x08700000u);
    EXPECT_TRUE(table.RemapForFlashType(18)); // back to the defaults
    EXPECT_EQ(table.FlagOf(0x08100000), AREA_DB);
    EXPECT_FALSE(table.RemapForFlashType(5)); // unknown part: ranges unchanged
    EXPECT_EQ(table.FlagOf(0x08100000), AREA_DB);
}

TEST(OstraAreaTableTest, MarksPickTheLayoutOfThePartFound) {
    // An image in [0x08100000, 0x08200000): DB with the default ranges, media with part 19's.
    TS_AREA_MARKS marks;
    EXPECT_FALSE(marks.Any());
    marks.MarkArea(0x00006000);
    marks.MarkArea(0x08150000);
    marks.MarkArea(0x09000000); // outside every area
    EXPECT_TRUE(marks.Any());
    EXPECT_EQ(marks.ForFlashType(18), AREA_MAIN | AREA_DB);
    EXPECT_EQ(marks.ForFlashType(19), AREA_MAIN | AREA_MEDIA);
    EXPECT_EQ(marks.ForFlashType(3), AREA_MAIN | AREA_DB); // unknown part: the default ranges stay
    TS_AREA_MARKS high;
    high.MarkArea(0x08750000); // media by default, DB with part 19
    EXPECT_EQ(high.ForFlashType(18), AREA_MEDIA);
    EXPECT_EQ(high.ForFlashType(19), AREA_DB);
}

TEST(OstraAreaTableTest, EnterAreaNamesEachAreaOnce) {
    COstraAreaTable table;
    std::string name = "Flash Writer Code";
    EXPECT_FALSE(table.EnterArea(0x09000000, name));
    EXPECT_EQ(name, "Flash Writer Code");
    EXPECT_TRUE(table.EnterArea(0x00006000, name));
    EXPECT_EQ(name, "Ostra Main Code");
    EXPECT_TRUE(table.EnterArea(0x08000000, name));
    EXPECT_EQ(name, "Ostra D-drive Code");
    EXPECT_FALSE(table.EnterArea(0x00100000, name)); // main entered before: the name stays
    EXPECT_EQ(name, "Ostra D-drive Code");
    const char* names[] = {"Ostra Boot Code",    "Ostra Main Code", "Ostra C-drive Code",
                           "Ostra D-drive Code", "Ostra DB Code",   "Ostra Media Code"};
    for (int i = 0; i < COstraAreaTable::AREA_COUNT; ++i) {
        EXPECT_STREQ(table.Area(i).displayName, names[i]);
        EXPECT_EQ(table.Area(i).chipSelect, i < 3 ? 0 : 2);
    }
}
