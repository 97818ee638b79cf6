// CFlashModel: the handset's memory. Four chip selects of NOR flash and 1 MiB of RAM, stored
// sparsely (4 KiB pages, made on the first write), so an 8 MiB chip costs only what was written.
//
// NOR rules: an erase sets bytes to 0xFF; programming only clears bits. Programming a byte that is
// not erased is refused (a data byte 0xFF programs nothing and is accepted anywhere). A write is
// all or nothing: a refused block leaves memory untouched. Not thread-safe: the owner locks.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "vsim/SimTypes.h"

namespace vsim {

enum class EWriteResult : uint8_t {
    Ok,
    OutsideMemory, // not fitted flash (nor RAM, where RAM is allowed)
    NotErased,     // a byte would need bits set
};

class CFlashModel {
public:
    static constexpr uint32_t kPageSize = 4096;

    explicit CFlashModel(const std::array<SChipSelect, kChipSelects>& chips, uint8_t flashFill = 0xFF);

    const std::array<SChipSelect, kChipSelects>& Chips() const { return m_Chips; }
    // Chip select whose window holds address (0..3), or -1 above the four windows.
    static int ChipSelectOf(uint32_t address);
    static uint32_t ChipBase(int chipSelect) { return uint32_t(chipSelect) * kChipSelectStride; }
    // True when [address, address + length) lies inside one fitted chip.
    bool InFittedFlash(uint32_t address, uint64_t length) const;
    static bool InRam(uint32_t address, uint64_t length);

    // Erases [start, end) of one fitted chip. False (nothing erased) when the range leaves it.
    bool Erase(uint32_t start, uint32_t end);
    bool EraseChip(int chipSelect);

    // Programs flash with the NOR rules, or (allowRam) writes RAM. On failure badAddress is the first
    // byte that could not be written.
    EWriteResult Program(uint32_t address, const uint8_t* data, size_t length, bool allowRam,
                         uint32_t* badAddress = nullptr);

    // Writes any memory without rules (preloading, fault injection). Addresses that are neither
    // fitted flash nor RAM are skipped.
    void Poke(uint32_t address, const uint8_t* data, size_t length);
    void FlipBit(uint32_t address, int bit);

    // Reads memory: flash and RAM as stored, anything else reads 0x00.
    std::vector<uint8_t> Read(uint32_t address, size_t length) const;
    void Read(uint32_t address, uint8_t* out, size_t length) const;

    // Pages in use, for tests of the sparse store.
    size_t PagesAllocated() const { return m_Pages.size(); }

    // Back to the state of a new handset: flash as delivered, RAM cleared.
    void Clear();
    void ClearRam();

private:
    using Page = std::array<uint8_t, kPageSize>;

    // The value a byte has when its page was never written.
    uint8_t Background(uint32_t address) const;
    bool Writable(uint32_t address) const; // fitted flash or RAM
    uint8_t& ByteAt(uint32_t address);     // allocates the page
    void DropPages(uint32_t start, uint32_t end, uint8_t value);

    std::array<SChipSelect, kChipSelects> m_Chips;
    uint8_t m_FlashFill;
    // A flash page that was erased reads 0xFF even where the fill is something else; an erased
    // page is kept as a page of 0xFF when the fill is not 0xFF, and dropped when it is.
    std::unordered_map<uint32_t, std::unique_ptr<Page>> m_Pages;
};

} // namespace vsim
