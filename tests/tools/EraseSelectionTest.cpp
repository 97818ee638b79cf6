#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "tools/EraseJob.h"
#include "tools/EraseSelection.h"

namespace {

// The ticked boxes as a string of ten characters in item order: 'x' ticked, '.' not.
std::string Ticks(const CEraseSelection& s) {
    std::string out;
    for (TE_ERASE_ITEM item : ERASE_ITEMS) {
        out += s.IsTicked(item) ? 'x' : '.';
    }
    return out;
}
// The enabled boxes likewise: 'e' enabled, '-' disabled.
std::string Enabled(const CEraseSelection& s) {
    std::string out;
    for (TE_ERASE_ITEM item : ERASE_ITEMS) {
        out += s.IsEnabled(item) ? 'e' : '-';
    }
    return out;
}

struct SClick {
    TE_ERASE_ITEM item;
    bool ticked;
};

} // namespace

//                                       CS0 CS1 CS2 CS3 boot main C  D  DB media
TEST(EraseSelectionTest, ClicksFollowTheBoxRules) {
    struct Case {
        const char* name;
        std::vector<SClick> clicks;
        const char* ticks;
        const char* enabled;
    } cases[] = {
        {"nothing", {}, "..........", "eeeeeeeeee"},
        {"three CS#0 areas become CS#0",
         {{ERASE_BOOT, true}, {ERASE_MAIN, true}, {ERASE_CDRIVE, true}},
         "x.........",
         "eeee---eee"},
        {"three CS#2 areas become CS#2",
         {{ERASE_MEDIA, true}, {ERASE_DB, true}, {ERASE_DDRIVE, true}},
         "..x.......",
         "eeeeeee---"},
        {"two areas stay areas", {{ERASE_BOOT, true}, {ERASE_CDRIVE, true}}, "....x.x...", "eeeeeeeeee"},
        {"an area unticked again does not count",
         {{ERASE_BOOT, true}, {ERASE_MAIN, true}, {ERASE_MAIN, false}, {ERASE_CDRIVE, true}},
         "....x.x...",
         "eeeeeeeeee"},
        {"CS#0 ticked keeps earlier area ticks but disables them",
         {{ERASE_BOOT, true}, {ERASE_CS0, true}},
         "x...x.....",
         "eeee---eee"},
        {"CS#0 unticked gives the areas back",
         {{ERASE_BOOT, true}, {ERASE_CS0, true}, {ERASE_CS0, false}},
         "....x.....",
         "eeeeeeeeee"},
        {"an area of a ticked chip select takes no click",
         {{ERASE_CS2, true}, {ERASE_DB, true}},
         "..x.......",
         "eeeeeee---"},
        {"CS#1 and CS#3 are plain", {{ERASE_CS1, true}, {ERASE_CS3, true}}, ".x.x......", "eeeeeeeeee"},
        {"areas of the two chips do not mix",
         {{ERASE_BOOT, true}, {ERASE_MAIN, true}, {ERASE_DDRIVE, true}},
         "....xx.x..",
         "eeeeeeeeee"},
    };
    for (const Case& c : cases) {
        CEraseSelection s;
        for (const SClick& click : c.clicks) {
            s.SetTicked(click.item, click.ticked);
        }
        EXPECT_EQ(Ticks(s), c.ticks) << c.name;
        EXPECT_EQ(Enabled(s), c.enabled) << c.name;
        EXPECT_EQ(s.Any(), std::string(c.ticks).find('x') != std::string::npos) << c.name;
    }
}

TEST(EraseSelectionTest, ChipSelectsWithoutFlashAreDisabledAndUnticked) {
    CEraseSelection s;
    s.SetTicked(ERASE_CS1, true);
    s.SetTicked(ERASE_DB, true);
    TS_FLASH_QUERY query;
    query.Fitted = {true, false, false, true};
    query.ApplyTo(s);
    EXPECT_EQ(Ticks(s), "..........");
    EXPECT_EQ(Enabled(s), "e--eeee---");
    EXPECT_FALSE(s.SetTicked(ERASE_CS1, true));
    EXPECT_FALSE(s.SetTicked(ERASE_MEDIA, true));
    EXPECT_FALSE(s.Any());
}

TEST(EraseSelectionTest, FittedMeansAnAnswerAndAKnownPart) {
    struct Case {
        int status;
        int type;
        bool fitted;
    } cases[] = {
        {0, 2, true},   {0, 19, true},     {5, 7, true},   {-7, 13, true}, {0, 0, false},  {0, 1, false},
        {0, 20, false}, {-103, 19, false}, {-6, 5, false}, {-8, 5, false}, {-7, 1, false}, {0, -1, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsFlashFitted(c.status, c.type), c.fitted) << c.status << " " << c.type;
    }
}

TEST(EraseSelectionTest, PlanOrderRangesAndTheWholeChipRule) {
    COstraAreaTable defaults;
    COstraAreaTable moved;
    moved.RemapForFlashType(19);
    struct Step {
        bool whole;
        uint32_t start;
        uint32_t end;
        const char* message;
    };
    struct Case {
        const char* name;
        std::vector<SClick> clicks;
        const COstraAreaTable* areas;
        std::vector<Step> plan;
    } cases[] = {
        {"whole CS#0 from its three areas",
         {{ERASE_BOOT, true}, {ERASE_MAIN, true}, {ERASE_CDRIVE, true}},
         &defaults,
         {{true, 0x00000000, 0, "CS #0 flash memory is erasing.."}}},
        {"only DB with part 19",
         {{ERASE_DB, true}},
         &moved,
         {{false, 0x08700000, 0x08800000, "Erasing ostra DB block.."}}},
        {"CS#0 ignores its area ticks, CS#2 areas still erased",
         {{ERASE_MAIN, true}, {ERASE_CS0, true}, {ERASE_MEDIA, true}, {ERASE_DDRIVE, true}},
         &defaults,
         {{true, 0x00000000, 0, "CS #0 flash memory is erasing.."},
          {false, 0x08000000, 0x08100000, "Erasing ostra D-drive block.."},
          {false, 0x08200000, 0x08800000, "Erasing ostra media block.."}}},
        {"every chip select in order",
         {{ERASE_CS3, true}, {ERASE_CS1, true}, {ERASE_CS2, true}, {ERASE_CS0, true}},
         &defaults,
         {{true, 0x00000000, 0, "CS #0 flash memory is erasing.."},
          {true, 0x04000000, 0, "CS #1 flash memory is erasing.."},
          {true, 0x08000000, 0, "CS #2 flash memory is erasing.."},
          {true, 0x0C000000, 0, "CS #3 flash memory is erasing.."}}},
        {"areas in table order with their messages",
         {{ERASE_MEDIA, true}, {ERASE_CDRIVE, true}, {ERASE_BOOT, true}, {ERASE_DB, true}},
         &moved,
         {{false, 0x00000000, 0x00006000, "Erasing ostra boot code block.."},
          {false, 0x00380000, 0x00800000, "Erasing ostra C-drive block.."},
          {false, 0x08700000, 0x08800000, "Erasing ostra DB block.."},
          {false, 0x08100000, 0x08700000, "Erasing ostra media block.."}}},
        {"main alone",
         {{ERASE_MAIN, true}},
         &defaults,
         {{false, 0x00006000, 0x00380000, "Erasing ostra main code block.."}}},
    };
    for (const Case& c : cases) {
        CEraseSelection s;
        for (const SClick& click : c.clicks) {
            s.SetTicked(click.item, click.ticked);
        }
        const std::vector<TS_ERASE_STEP> plan = PlanErase(s, *c.areas);
        ASSERT_EQ(plan.size(), c.plan.size()) << c.name;
        for (std::size_t i = 0; i < plan.size(); ++i) {
            EXPECT_EQ(plan[i].WholeChip, c.plan[i].whole) << c.name << " #" << i;
            EXPECT_EQ(plan[i].Start, c.plan[i].start) << c.name << " #" << i;
            if (!plan[i].WholeChip) {
                EXPECT_EQ(plan[i].End, c.plan[i].end) << c.name << " #" << i;
            }
            EXPECT_STREQ(plan[i].Message, c.plan[i].message) << c.name << " #" << i;
        }
    }
}

TEST(EraseSelectionTest, FailureTextsNameWhatWasNotErasedAndTheCode) {
    CEraseSelection s;
    s.SetTicked(ERASE_CS1, true);
    s.SetTicked(ERASE_DB, true);
    const auto plan = PlanErase(s, COstraAreaTable());
    ASSERT_EQ(plan.size(), 2u);
    EXPECT_EQ(EraseFailureText(plan[0], -30),
              "Error occurred while erasing CS #1 flash memory [0x04000000] => code[-30]");
    EXPECT_EQ(EraseFailureText(plan[1], -103),
              "Error occurred while erasing ostra DB block [0x08100000-0x08200000] => code[-103]");
}

TEST(EraseSelectionTest, BoxTextsAndCommandLineNames) {
    EXPECT_STREQ(CEraseSelection::Text(ERASE_CS3), "CS #3 [0x0C000000]");
    EXPECT_STREQ(CEraseSelection::Text(ERASE_CDRIVE), "Ostra C-Drive Block");
    EXPECT_STREQ(CEraseSelection::Text(ERASE_MEDIA), "Ostra Media Block");
    TE_ERASE_ITEM item = ERASE_CS0;
    EXPECT_TRUE(CEraseSelection::AreaByName("cdrive", item));
    EXPECT_EQ(item, ERASE_CDRIVE);
    EXPECT_TRUE(CEraseSelection::AreaByName("db", item));
    EXPECT_EQ(item, ERASE_DB);
    EXPECT_FALSE(CEraseSelection::AreaByName("DB", item));
    EXPECT_FALSE(CEraseSelection::AreaByName("c-drive", item));
}
