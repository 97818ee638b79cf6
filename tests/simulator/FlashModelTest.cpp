// The flash model: NOR rules, erase ranges, chip bounds, sparse memory.
#include <gtest/gtest.h>

#include "SimTestUtil.h"
#include "vsim/FlashModel.h"

using namespace vsim;
using simtest::Bytes;

namespace {
const std::array<SChipSelect, kChipSelects> kDefaultChips = SSimulatorOptions{}.chips;
constexpr uint32_t kCs2 = 0x08000000;
constexpr uint32_t kEightMiB = 8u << 20;
} // namespace

TEST(FlashModel, FreshMemoryReads) {
    CFlashModel flash(kDefaultChips);
    EXPECT_EQ(flash.Read(0x00000000, 4), Bytes(4, 0xFF));           // CS#0, erased
    EXPECT_EQ(flash.Read(kCs2 + kEightMiB - 2, 2), Bytes(2, 0xFF)); // end of CS#2
    EXPECT_EQ(flash.Read(0x04000000, 4), Bytes(4, 0x00));           // CS#1 not fitted
    EXPECT_EQ(flash.Read(kEightMiB, 4), Bytes(4, 0x00));            // beyond CS#0's chip
    EXPECT_EQ(flash.Read(kRamStart, 4), Bytes(4, 0x00));            // RAM
    EXPECT_EQ(flash.Read(0xFFFFFFFE, 4).size(), 4u);                // wraps without harm
    EXPECT_EQ(flash.PagesAllocated(), 0u);
}

TEST(FlashModel, ProgramFollowsNorRules) {
    CFlashModel flash(kDefaultChips);
    const Bytes data{0x12, 0x34, 0xFF, 0x00};
    ASSERT_EQ(flash.Program(0x6000, data.data(), data.size(), false), EWriteResult::Ok);
    EXPECT_EQ(flash.Read(0x6000, 4), data);
    EXPECT_EQ(flash.PagesAllocated(), 1u);

    // 0xFF programs nothing and is accepted on written bytes.
    const Bytes ff(4, 0xFF);
    EXPECT_EQ(flash.Program(0x6000, ff.data(), ff.size(), false), EWriteResult::Ok);
    EXPECT_EQ(flash.Read(0x6000, 4), data);

    // A block that reaches one unerased byte is refused whole.
    const Bytes block{0xAA, 0xBB, 0xCC};
    uint32_t bad = 0;
    EXPECT_EQ(flash.Program(0x5FFE, block.data(), block.size(), false, &bad), EWriteResult::NotErased);
    EXPECT_EQ(bad, 0x6000u);
    EXPECT_EQ(flash.Read(0x5FFE, 2), Bytes(2, 0xFF));
    // The byte already 0xFF at 0x6002 takes new data.
    const Bytes one{0x5A};
    EXPECT_EQ(flash.Program(0x6002, one.data(), 1, false), EWriteResult::Ok);
    EXPECT_EQ(flash.Read(0x6002, 1), one);
}

TEST(FlashModel, WritesOutsideFittedFlash) {
    CFlashModel flash(kDefaultChips);
    const Bytes data(8, 0x11);
    struct Case {
        const char* name;
        uint32_t address;
        bool allowRam;
        EWriteResult result;
        uint32_t badAddress;
    };
    const std::vector<Case> cases = {
        {"across the end of CS#0", kEightMiB - 4, false, EWriteResult::OutsideMemory, kEightMiB},
        {"unfitted CS#1", 0x04000000, false, EWriteResult::OutsideMemory, 0x04000000},
        {"RAM without leave", kRamStart, false, EWriteResult::OutsideMemory, kRamStart},
        {"RAM", kRamStart + 0x100, true, EWriteResult::Ok, 0},
        {"across the end of RAM", kRamStart + kRamSize - 4, true, EWriteResult::OutsideMemory,
         kRamStart + kRamSize},
        {"top of the address space", 0xFFFFFFFC, true, EWriteResult::OutsideMemory, 0xFFFFFFFC},
        {"CS#2", kCs2 + 0x100000, false, EWriteResult::Ok, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t bad = 0;
        EXPECT_EQ(flash.Program(c.address, data.data(), data.size(), c.allowRam, &bad), c.result);
        if (c.result != EWriteResult::Ok) {
            EXPECT_EQ(bad, c.badAddress);
        }
    }
    EXPECT_EQ(flash.Read(kEightMiB - 4, 4), Bytes(4, 0xFF)); // nothing of the refused block
    EXPECT_EQ(flash.Read(kRamStart + 0x100, 8), data);
}

TEST(FlashModel, EraseRangesAndChips) {
    CFlashModel flash(kDefaultChips);
    const Bytes data(0x4000, 0x00);
    ASSERT_EQ(flash.Program(0x1000, data.data(), data.size(), false), EWriteResult::Ok);
    EXPECT_EQ(flash.PagesAllocated(), 4u);

    EXPECT_TRUE(flash.Erase(0x1800, 0x3800)); // half a page, a whole page, half a page
    EXPECT_EQ(flash.Read(0x17FF, 1), Bytes{0x00});
    EXPECT_EQ(flash.Read(0x1800, 0x2000), Bytes(0x2000, 0xFF));
    EXPECT_EQ(flash.Read(0x3800, 1), Bytes{0x00});
    EXPECT_EQ(flash.PagesAllocated(), 3u);

    EXPECT_FALSE(flash.Erase(0x3000, 0x3000));                         // empty
    EXPECT_FALSE(flash.Erase(0x3000, 0x2000));                         // reversed
    EXPECT_FALSE(flash.Erase(kEightMiB - 0x1000, kEightMiB + 0x1000)); // leaves the chip
    EXPECT_FALSE(flash.Erase(0x04000000, 0x04001000));                 // unfitted
    EXPECT_FALSE(flash.EraseChip(1));
    EXPECT_EQ(flash.Read(0x3800, 1), Bytes{0x00}); // nothing erased by the refusals

    EXPECT_TRUE(flash.EraseChip(0));
    EXPECT_EQ(flash.PagesAllocated(), 0u);
    EXPECT_EQ(flash.Read(0x1000, 0x4000), Bytes(0x4000, 0xFF));
}

TEST(FlashModel, OldContentsMustBeErasedFirst) {
    CFlashModel flash(kDefaultChips, 0x5A);
    EXPECT_EQ(flash.Read(0x6000, 2), Bytes(2, 0x5A));
    const Bytes data{0x01, 0x02};
    uint32_t bad = 0;
    EXPECT_EQ(flash.Program(0x6000, data.data(), 2, false, &bad), EWriteResult::NotErased);
    EXPECT_EQ(bad, 0x6000u);
    ASSERT_TRUE(flash.Erase(0x6000, 0x7000));
    EXPECT_EQ(flash.Read(0x6FFF, 2), (Bytes{0xFF, 0x5A}));
    EXPECT_EQ(flash.Program(0x6000, data.data(), 2, false), EWriteResult::Ok);
    EXPECT_EQ(flash.Read(0x6000, 2), data);
}

TEST(FlashModel, SparseStoreCostsOnlyWhatIsWritten) {
    std::array<SChipSelect, kChipSelects> chips{{{15, 64u << 20}, {15, 64u << 20}, {15, 128u << 20}, {0, 0}}};
    CFlashModel flash(chips);
    EXPECT_EQ(flash.Chips()[2].size, kChipSelectStride); // a chip never reaches into the next window
    const uint8_t b = 0x00;
    for (uint32_t a = 0; a < 3 * kChipSelectStride; a += 0x100000) {
        ASSERT_EQ(flash.Program(a, &b, 1, false), EWriteResult::Ok);
    }
    EXPECT_EQ(flash.PagesAllocated(), 3u * 64u);
    EXPECT_TRUE(flash.EraseChip(0));
    EXPECT_EQ(flash.PagesAllocated(), 2u * 64u);
    flash.FlipBit(0x04000000, 3);
    EXPECT_EQ(flash.Read(0x04000000, 1), Bytes{0x08});
}
