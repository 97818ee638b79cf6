// The named Ostra flash areas of the handset software, their address ranges and area flags.
//
// The DB and media ranges depend on the flash part fitted on chip select 0: part 19 moves them.
// Compression runs before the part is known, so it marks every record against both layouts
// (TS_AREA_MARKS); once the part is known, the session takes the flags of the layout that applies
// (ForFlashType), and erases with the ranges of a table re-mapped for the same part.
#pragma once

#include <array>
#include <cstdint>
#include <string>

enum TE_AREA_FLAGS : int32_t {
    AREA_BOOT = 0x02,
    AREA_MAIN = 0x04,
    AREA_CDRIVE = 0x08,
    AREA_DDRIVE = 0x10,
    AREA_DB = 0x20,
    AREA_MEDIA = 0x40,
};
// The three CS#0 areas: all of them touched means the whole chip is erased at once.
inline constexpr int32_t AREA_CS0_MASK = AREA_BOOT | AREA_MAIN | AREA_CDRIVE;
inline constexpr int32_t AREA_CS2_MASK = AREA_DDRIVE | AREA_DB | AREA_MEDIA;

// Chip-select base addresses.
inline constexpr uint32_t CS0_BASE = 0x00000000;
inline constexpr uint32_t CS1_BASE = 0x04000000;
inline constexpr uint32_t CS2_BASE = 0x08000000;
inline constexpr uint32_t CS3_BASE = 0x0C000000;

// The flash parts of chip select 0 that decide the DB and media ranges.
inline constexpr int FLASH_TYPE_DEFAULT_LAYOUT = 18; // DB and media at their default ranges
inline constexpr int FLASH_TYPE_MOVED_LAYOUT =
    19; // DB = [0x08700000, 0x08800000), media = [0x08100000, 0x08700000)

struct TS_OSTRA_AREA {
    uint32_t start; // first address
    uint32_t end;   // one past the last address
    int32_t flag;   // TE_AREA_FLAGS
    const char* displayName;
    int chipSelect;     // 0 or 2
    bool notYetEntered; // cleared by EnterArea the first time a record falls in the area
};

class COstraAreaTable {
public:
    static constexpr int AREA_COUNT = 6;

    COstraAreaTable(); // default ranges, every area not yet entered

    // Re-maps the DB and media ranges for a CS#0 flash part: 18 sets the defaults, 19 moves them.
    // Returns false, changing nothing, for any other part.
    bool RemapForFlashType(int flashType);

    // The flag of the first area (in table order) that holds the address; 0 when none does.
    int32_t FlagOf(uint32_t address) const;

    // The first area, in table order, that holds the address and has not been entered yet is
    // marked entered and its display name given in areaName; returns true. Otherwise (outside
    // every area, or entered before) returns false and leaves areaName alone.
    bool EnterArea(uint32_t address, std::string& areaName);

    const TS_OSTRA_AREA& Area(int index) const { return m_areas[static_cast<std::size_t>(index)]; }
    const std::array<TS_OSTRA_AREA, AREA_COUNT>& Areas() const { return m_areas; }
    // The area that carries a flag, or nullptr.
    const TS_OSTRA_AREA* AreaOfFlag(int32_t flag) const;

private:
    std::array<TS_OSTRA_AREA, AREA_COUNT> m_areas;
};

// The area flags of an image, marked record by record while it is compressed.
struct TS_AREA_MARKS {
    int32_t defaultFlags = 0; // with the default ranges (and those of part 18)
    int32_t movedFlags = 0;   // with the ranges of CS#0 flash part 19

    // ORs in the flags of the area that holds a data record's start address, in both layouts.
    void MarkArea(uint32_t address);
    // The flags that apply once the CS#0 part is known: part 19 takes movedFlags, any other the
    // defaults (an unknown part keeps the default ranges).
    int32_t ForFlashType(int flashType) const;
    // Whether the image touches any area (the same answer in both layouts: they cover the same
    // addresses).
    bool Any() const { return (defaultFlags | movedFlags) != 0; }
};
