#include "download/OstraAreaTable.h"

namespace {
constexpr std::array<TS_OSTRA_AREA, COstraAreaTable::AREA_COUNT> kDefaultAreas = {{
    {0x00000000, 0x00006000, AREA_BOOT, "Ostra Boot Code", 0, true},
    {0x00006000, 0x00380000, AREA_MAIN, "Ostra Main Code", 0, true},
    {0x00380000, 0x00800000, AREA_CDRIVE, "Ostra C-drive Code", 0, true},
    {0x08000000, 0x08100000, AREA_DDRIVE, "Ostra D-drive Code", 2, true},
    {0x08100000, 0x08200000, AREA_DB, "Ostra DB Code", 2, true},
    {0x08200000, 0x08800000, AREA_MEDIA, "Ostra Media Code", 2, true},
}};
constexpr std::size_t kDb = 4;
constexpr std::size_t kMedia = 5;

template <typename Areas>
int32_t FlagIn(const Areas& areas, uint32_t address) {
    for (const TS_OSTRA_AREA& area : areas) {
        if (area.start <= address && address < area.end) {
            return area.flag;
        }
    }
    return 0;
}

std::array<TS_OSTRA_AREA, COstraAreaTable::AREA_COUNT> MovedAreas() {
    auto areas = kDefaultAreas;
    areas[kDb].start = 0x08700000;
    areas[kDb].end = 0x08800000;
    areas[kMedia].start = 0x08100000;
    areas[kMedia].end = 0x08700000;
    return areas;
}
const std::array<TS_OSTRA_AREA, COstraAreaTable::AREA_COUNT> kMovedAreas = MovedAreas();
} // namespace

COstraAreaTable::COstraAreaTable() : m_areas(kDefaultAreas) {}

bool COstraAreaTable::RemapForFlashType(int flashType) {
    const auto* source = flashType == FLASH_TYPE_DEFAULT_LAYOUT ? &kDefaultAreas
                         : flashType == FLASH_TYPE_MOVED_LAYOUT ? &kMovedAreas
                                                                : nullptr;
    if (!source) {
        return false;
    }
    for (std::size_t i : {kDb, kMedia}) {
        m_areas[i].start = (*source)[i].start;
        m_areas[i].end = (*source)[i].end;
    }
    return true;
}

int32_t COstraAreaTable::FlagOf(uint32_t address) const {
    return FlagIn(m_areas, address);
}

bool COstraAreaTable::EnterArea(uint32_t address, std::string& areaName) {
    for (TS_OSTRA_AREA& area : m_areas) {
        if (area.notYetEntered && area.start <= address && address < area.end) {
            area.notYetEntered = false;
            areaName = area.displayName;
            return true;
        }
    }
    return false;
}

const TS_OSTRA_AREA* COstraAreaTable::AreaOfFlag(int32_t flag) const {
    for (const TS_OSTRA_AREA& area : m_areas) {
        if (area.flag == flag) {
            return &area;
        }
    }
    return nullptr;
}

void TS_AREA_MARKS::MarkArea(uint32_t address) {
    defaultFlags |= FlagIn(kDefaultAreas, address);
    movedFlags |= FlagIn(kMovedAreas, address);
}

int32_t TS_AREA_MARKS::ForFlashType(int flashType) const {
    return flashType == FLASH_TYPE_MOVED_LAYOUT ? movedFlags : defaultFlags;
}
