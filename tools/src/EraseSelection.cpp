#include "tools/EraseSelection.h"

namespace {
constexpr const char* kTexts[ERASE_ITEM_COUNT] = {
    "CS #0 [0x00000000]", "CS #1 [0x04000000]", "CS #2 [0x08000000]",  "CS #3 [0x0C000000]",
    "Ostra Boot Block",   "Ostra Main Block",   "Ostra C-Drive Block", "Ostra D-Drive Block",
    "Ostra DB Block",     "Ostra Media Block",
};

struct SAreaName {
    std::string_view name;
    TE_ERASE_ITEM item;
};
constexpr SAreaName kAreaNames[] = {
    {"boot", ERASE_BOOT},     {"main", ERASE_MAIN}, {"cdrive", ERASE_CDRIVE},
    {"ddrive", ERASE_DDRIVE}, {"db", ERASE_DB},     {"media", ERASE_MEDIA},
};
} // namespace

CEraseSelection::CEraseSelection() {
    m_fitted.fill(true);
}

int CEraseSelection::ChipSelectOf(TE_ERASE_ITEM item) {
    switch (item) {
    case ERASE_BOOT:
    case ERASE_MAIN:
    case ERASE_CDRIVE:
        return 0;
    case ERASE_DDRIVE:
    case ERASE_DB:
    case ERASE_MEDIA:
        return 2;
    default:
        return static_cast<int>(item);
    }
}

int CEraseSelection::FirstAreaOf(int chipSelect) {
    return chipSelect == 0 ? ERASE_BOOT : chipSelect == 2 ? ERASE_DDRIVE : -1;
}

const char* CEraseSelection::Text(TE_ERASE_ITEM item) {
    return kTexts[Index(item)];
}

bool CEraseSelection::AreaByName(std::string_view name, TE_ERASE_ITEM& item) {
    for (const SAreaName& area : kAreaNames) {
        if (area.name == name) {
            item = area.item;
            return true;
        }
    }
    return false;
}

bool CEraseSelection::IsEnabled(TE_ERASE_ITEM item) const {
    const int cs = ChipSelectOf(item);
    if (!IsFitted(cs)) {
        return false;
    }
    return !IsArea(item) || !m_ticked[static_cast<std::size_t>(cs)];
}

bool CEraseSelection::SetTicked(TE_ERASE_ITEM item, bool ticked) {
    if (!IsEnabled(item)) {
        return false;
    }
    m_ticked[Index(item)] = ticked;
    if (!IsArea(item)) {
        return true; // the area boxes follow from IsEnabled
    }
    const int cs = ChipSelectOf(item);
    const std::size_t first = static_cast<std::size_t>(FirstAreaOf(cs));
    if (m_ticked[first] && m_ticked[first + 1] && m_ticked[first + 2]) {
        m_ticked[first] = m_ticked[first + 1] = m_ticked[first + 2] = false;
        m_ticked[static_cast<std::size_t>(cs)] = true;
    }
    return true;
}

void CEraseSelection::SetFitted(int chipSelect, bool fitted) {
    m_fitted[static_cast<std::size_t>(chipSelect)] = fitted;
    if (fitted) {
        return;
    }
    m_ticked[static_cast<std::size_t>(chipSelect)] = false;
    const int first = FirstAreaOf(chipSelect);
    for (int i = 0; first >= 0 && i < 3; ++i) {
        m_ticked[static_cast<std::size_t>(first + i)] = false;
    }
}

bool CEraseSelection::Any() const {
    for (bool ticked : m_ticked) {
        if (ticked) {
            return true;
        }
    }
    return false;
}
