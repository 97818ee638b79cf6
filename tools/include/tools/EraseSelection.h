// The erase tool's selection: ten check boxes (the four chip selects whole, and the three Ostra
// areas of CS#0 and of CS#2) and the rules that tie them together. The dialog is a thin view: it
// passes each click to SetTicked and then shows IsTicked and IsEnabled of every box; the CLI ticks
// the boxes its options name.
//
// Rules:
//  - A chip select's box enables or disables its three area boxes: they are usable exactly when
//    the chip select is not ticked (and has a flash part). Area ticks set before the chip select
//    was ticked stay, but the erase ignores them while the whole chip is erased.
//  - Ticking the third area of a chip select turns the three into the chip select: the areas are
//    unticked and the chip select ticked (so its areas become disabled).
//  - CS#1 and CS#3 have no areas.
//  - A chip select without a flash part (SetFitted false) has all its boxes disabled and unticked.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

enum TE_ERASE_ITEM : int32_t {
    ERASE_CS0 = 0,
    ERASE_CS1 = 1,
    ERASE_CS2 = 2,
    ERASE_CS3 = 3,
    ERASE_BOOT = 4, // areas of CS#0
    ERASE_MAIN = 5,
    ERASE_CDRIVE = 6,
    ERASE_DDRIVE = 7, // areas of CS#2
    ERASE_DB = 8,
    ERASE_MEDIA = 9,
};
inline constexpr int ERASE_ITEM_COUNT = 10;
inline constexpr int ERASE_CHIP_SELECTS = 4;

// The items in the order the erase job runs them: chip selects 0 to 3, then boot, main, C-drive,
// D-drive, DB, media.
inline constexpr std::array<TE_ERASE_ITEM, ERASE_ITEM_COUNT> ERASE_ITEMS = {
    ERASE_CS0,  ERASE_CS1,    ERASE_CS2,    ERASE_CS3, ERASE_BOOT,
    ERASE_MAIN, ERASE_CDRIVE, ERASE_DDRIVE, ERASE_DB,  ERASE_MEDIA,
};

class CEraseSelection {
public:
    // Nothing ticked; every box usable (as the dialog opens, before the chip selects are asked).
    CEraseSelection();

    // A box was clicked to the given state; the rules above follow. A disabled box takes no click:
    // returns false and nothing changes.
    bool SetTicked(TE_ERASE_ITEM item, bool ticked);
    bool IsTicked(TE_ERASE_ITEM item) const { return m_ticked[Index(item)]; }
    bool IsEnabled(TE_ERASE_ITEM item) const;

    // Whether a chip select (0..3) carries a flash part, as the query job found.
    void SetFitted(int chipSelect, bool fitted);
    bool IsFitted(int chipSelect) const { return m_fitted[static_cast<std::size_t>(chipSelect)]; }

    // Whether any box is ticked (Start refuses an empty selection).
    bool Any() const;

    // The chip select an item belongs to (0..3), and whether it is an area.
    static int ChipSelectOf(TE_ERASE_ITEM item);
    static bool IsArea(TE_ERASE_ITEM item) { return item >= ERASE_BOOT; }
    // The three areas of CS#0 or CS#2 (first of three consecutive items); -1 for CS#1 and CS#3.
    static int FirstAreaOf(int chipSelect);
    // The check box text: "CS #0 [0x00000000]" ... "Ostra Media Block".
    static const char* Text(TE_ERASE_ITEM item);
    // The area names of the command line: boot, main, cdrive, ddrive, db, media. False for others.
    static bool AreaByName(std::string_view name, TE_ERASE_ITEM& item);

private:
    static std::size_t Index(TE_ERASE_ITEM item) { return static_cast<std::size_t>(item); }

    std::array<bool, ERASE_ITEM_COUNT> m_ticked{};
    std::array<bool, ERASE_CHIP_SELECTS> m_fitted{};
};
