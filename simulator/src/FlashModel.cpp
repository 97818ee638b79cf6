#include "vsim/FlashModel.h"

#include <algorithm>
#include <cstring>

namespace vsim {

CFlashModel::CFlashModel(const std::array<SChipSelect, kChipSelects>& chips, uint8_t flashFill)
    : m_Chips(chips), m_FlashFill(flashFill) {
    for (int cs = 0; cs < kChipSelects; ++cs) {
        SChipSelect& chip = m_Chips[size_t(cs)];
        // A chip never reaches into the next window.
        chip.size = std::min<uint32_t>(chip.size, kChipSelectStride);
        if (!chip.Fitted()) {
            chip = SChipSelect{};
        }
    }
}

int CFlashModel::ChipSelectOf(uint32_t address) {
    const uint32_t cs = address / kChipSelectStride;
    return cs < uint32_t(kChipSelects) ? int(cs) : -1;
}

bool CFlashModel::InFittedFlash(uint32_t address, uint64_t length) const {
    const int cs = ChipSelectOf(address);
    if (cs < 0 || !m_Chips[size_t(cs)].Fitted()) {
        return false;
    }
    const uint64_t end = uint64_t(ChipBase(cs)) + m_Chips[size_t(cs)].size;
    return uint64_t(address) + length <= end;
}

bool CFlashModel::InRam(uint32_t address, uint64_t length) {
    return address >= kRamStart && uint64_t(address) + length <= uint64_t(kRamStart) + kRamSize;
}

uint8_t CFlashModel::Background(uint32_t address) const {
    return InRam(address, 1) ? 0x00 : m_FlashFill;
}

bool CFlashModel::Writable(uint32_t address) const {
    return InFittedFlash(address, 1) || InRam(address, 1);
}

uint8_t& CFlashModel::ByteAt(uint32_t address) {
    const uint32_t pageNo = address / kPageSize;
    auto& page = m_Pages[pageNo];
    if (!page) {
        page = std::make_unique<Page>();
        page->fill(Background(pageNo * kPageSize));
    }
    return (*page)[address % kPageSize];
}

void CFlashModel::DropPages(uint32_t start, uint32_t end, uint8_t value) {
    uint32_t a = start;
    while (a < end) {
        const uint32_t pageNo = a / kPageSize;
        const uint32_t pageStart = pageNo * kPageSize;
        const uint64_t pageEnd = uint64_t(pageStart) + kPageSize;
        const uint32_t stop = uint32_t(std::min<uint64_t>(pageEnd, end));
        const bool whole = a == pageStart && stop == pageEnd;
        if (whole && value == Background(pageStart)) {
            m_Pages.erase(pageNo);
        } else if (whole || m_Pages.count(pageNo) || value != Background(pageStart)) {
            for (uint32_t b = a; b < stop; ++b) {
                ByteAt(b) = value;
            }
        }
        if (stop == 0) { // wrapped at 4 GiB
            break;
        }
        a = stop;
    }
}

bool CFlashModel::Erase(uint32_t start, uint32_t end) {
    if (end <= start || !InFittedFlash(start, uint64_t(end) - start)) {
        return false;
    }
    DropPages(start, end, 0xFF);
    return true;
}

bool CFlashModel::EraseChip(int chipSelect) {
    if (chipSelect < 0 || chipSelect >= kChipSelects || !m_Chips[size_t(chipSelect)].Fitted()) {
        return false;
    }
    const uint32_t base = ChipBase(chipSelect);
    return Erase(base, base + m_Chips[size_t(chipSelect)].size);
}

EWriteResult CFlashModel::Program(uint32_t address, const uint8_t* data, size_t length, bool allowRam,
                                  uint32_t* badAddress) {
    if (length == 0) {
        return EWriteResult::Ok;
    }
    const bool ram = allowRam && InRam(address, length);
    if (!ram && !InFittedFlash(address, length)) {
        if (badAddress) {
            // The first byte outside: the start itself, or the end of the region it starts in.
            uint32_t first = address;
            while (first - address < length && (InFittedFlash(first, 1) || (allowRam && InRam(first, 1)))) {
                ++first;
            }
            *badAddress = first;
        }
        return EWriteResult::OutsideMemory;
    }
    if (ram) {
        Poke(address, data, length);
        return EWriteResult::Ok;
    }
    std::vector<uint8_t> current(length);
    Read(address, current.data(), length);
    for (size_t i = 0; i < length; ++i) {
        if (current[i] != 0xFF && data[i] != 0xFF) {
            if (badAddress) {
                *badAddress = address + uint32_t(i);
            }
            return EWriteResult::NotErased;
        }
    }
    // Page by page; a page that would only receive 0xFF is not even made.
    for (size_t i = 0; i < length;) {
        const uint32_t a = address + uint32_t(i);
        const size_t n = std::min<size_t>(length - i, kPageSize - a % kPageSize);
        const uint8_t* src = data + i;
        if (std::any_of(src, src + n, [](uint8_t b) { return b != 0xFF; })) {
            uint8_t* dst = &ByteAt(a);
            for (size_t j = 0; j < n; ++j) {
                dst[j] &= src[j];
            }
        }
        i += n;
    }
    return EWriteResult::Ok;
}

void CFlashModel::Poke(uint32_t address, const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const uint32_t a = address + uint32_t(i);
        if (a < address) {
            break; // wrapped
        }
        if (Writable(a)) {
            ByteAt(a) = data[i];
        }
    }
}

void CFlashModel::FlipBit(uint32_t address, int bit) {
    if (Writable(address)) {
        ByteAt(address) ^= uint8_t(1u << (bit & 7));
    }
}

void CFlashModel::Read(uint32_t address, uint8_t* out, size_t length) const {
    size_t done = 0;
    while (done < length) {
        const uint32_t a = address + uint32_t(done);
        const uint32_t pageNo = a / kPageSize;
        const size_t inPage = std::min<size_t>(length - done, kPageSize - a % kPageSize);
        const auto it = m_Pages.find(pageNo);
        if (it != m_Pages.end()) {
            std::memcpy(out + done, it->second->data() + a % kPageSize, inPage);
        } else {
            for (size_t i = 0; i < inPage; ++i) {
                const uint32_t b = a + uint32_t(i);
                out[done + i] = InFittedFlash(b, 1) ? m_FlashFill : 0x00;
            }
        }
        done += inPage;
    }
}

std::vector<uint8_t> CFlashModel::Read(uint32_t address, size_t length) const {
    std::vector<uint8_t> out(length);
    Read(address, out.data(), length);
    return out;
}

void CFlashModel::Clear() {
    m_Pages.clear();
}

void CFlashModel::ClearRam() {
    for (uint32_t p = kRamStart / kPageSize; p < (kRamStart + kRamSize) / kPageSize; ++p) {
        m_Pages.erase(p);
    }
}

} // namespace vsim
