#include "tools/MemoryDump.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

constexpr uint64_t kAddressSpace = uint64_t{1} << 32;
constexpr uint32_t kMaxCount = std::numeric_limits<uint16_t>::max(); // the command's unit count

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

bool Stopping(const std::atomic<bool>* stop) {
    return stop != nullptr && stop->load(std::memory_order_acquire);
}

// The link's reply limit, never below one double word.
uint32_t LinkLimit(const COstraMonitor& monitor) {
    return static_cast<uint32_t>(std::max(monitor.MaxDumpBytes(), 4));
}

} // namespace

bool CanReachTarget(const COstraMonitor* monitor) {
    return monitor != nullptr && monitor->IsSerialOpen() != 0;
}

TE_ADDRESS_TEXT ParseAddressText(std::string_view text, uint32_t& address) {
    uint64_t value = 0;
    bool tooLarge = false;
    for (char c : text) {
        if (!IsHexDigit(c)) {
            return ADDRESS_NOT_HEX;
        }
        value = value << 4 | static_cast<uint64_t>(HexValue(c));
        if (value >= kAddressSpace) {
            tooLarge = true;
            value &= kAddressSpace - 1; // keep scanning for characters that are not hex
        }
    }
    if (tooLarge) {
        return ADDRESS_TOO_LARGE;
    }
    address = static_cast<uint32_t>(value);
    return ADDRESS_OK;
}

std::string FormatAddressText(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", address);
    return text;
}

bool CheckScreenDumpInput(std::string& startText, uint32_t& start, std::string& message) {
    uint32_t value = 0;
    if (ParseAddressText(startText, value) != ADDRESS_OK) {
        message = DUMP_START_NOT_HEX_TEXT;
        return false;
    }
    start = value;
    startText = FormatAddressText(value);
    return true;
}

bool CheckFileDumpInput(std::string& startText, std::string& endText, uint32_t& start, uint32_t& end,
                        std::string& message) {
    uint32_t first = 0;
    if (ParseAddressText(startText, first) != ADDRESS_OK) {
        message = DUMP_START_NOT_HEX_TEXT;
        return false;
    }
    startText = FormatAddressText(first);
    uint32_t last = 0;
    if (ParseAddressText(endText, last) != ADDRESS_OK) {
        message = DUMP_END_NOT_HEX_TEXT;
        return false;
    }
    endText = FormatAddressText(last);
    if (first >= last) {
        message = DUMP_RANGE_ORDER_TEXT;
        return false;
    }
    start = first;
    end = last;
    return true;
}

unsigned UnitBytes(int unit) {
    switch (unit) {
    case DUMP_BYTE:
        return 1;
    case DUMP_WORD:
        return 2;
    case DUMP_DWORD:
        return 4;
    default:
        return 0;
    }
}

uint32_t MaxDumpUnits(int unit) {
    return unit == DUMP_WORD ? 500 : unit == DUMP_DWORD ? 250 : 1000;
}

uint32_t ClampDumpSize(int64_t size, int unit) {
    return static_cast<uint32_t>(std::clamp<int64_t>(size, 1, MaxDumpUnits(unit)));
}

TS_MEMORY_READ DumpToScreen(COstraMonitor& monitor, uint32_t start, uint32_t size, TE_DUMP_UNIT unit,
                            std::vector<uint8_t>& data, const std::atomic<bool>* stop) {
    TS_MEMORY_READ read;
    const uint32_t unitBytes = UnitBytes(unit);
    if (unitBytes == 0) {
        return read;
    }
    const uint64_t total = uint64_t{size} * unitBytes;
    if (start + total > kAddressSpace) {
        read.OutOfRange = true;
        read.FailedAddress = start;
        return read;
    }
    std::vector<uint8_t> bytes(static_cast<std::size_t>(total));
    const uint32_t unitsPerCommand = std::min(LinkLimit(monitor) / unitBytes, kMaxCount);
    uint32_t done = 0; // units
    while (done < size) {
        if (Stopping(stop)) {
            read.Stopped = true;
            return read;
        }
        const uint32_t count = std::min(size - done, unitsPerCommand);
        const uint32_t address = start + done * unitBytes;
        const signed char status = monitor.MemoryDump(address, static_cast<unsigned short>(count), unit,
                                                      bytes.data() + std::size_t{done} * unitBytes);
        if (status < 0) {
            read.Status = status;
            read.FailedAddress = address;
            return read;
        }
        done += count;
        read.BytesRead = uint64_t{done} * unitBytes;
    }
    data.swap(bytes);
    return read;
}

std::string ScreenDumpErrorText(const TS_MEMORY_READ& read) {
    if (read.OutOfRange) {
        char text[120];
        std::snprintf(text, sizeof text, "Memory read error: the range from 0x%08x runs past 0xffffffff",
                      read.FailedAddress);
        return text;
    }
    return "Memory read error(" + std::to_string(read.Status) + ")";
}

TS_MEMORY_READ ReadTargetMemoryTo(COstraMonitor& monitor, uint32_t address, uint32_t length,
                                  const MemorySinkFn& sink, IJobObserver* observer,
                                  const std::atomic<bool>* stop) {
    TS_MEMORY_READ read;
    if (address + uint64_t{length} > kAddressSpace) {
        read.OutOfRange = true;
        read.FailedAddress = address;
        return read;
    }
    const uint32_t maxDwords = std::min(LinkLimit(monitor) / 4, kMaxCount);
    std::vector<uint8_t> buffer(std::size_t{maxDwords} * 4);
    if (observer) {
        observer->SetProgressRange(0, DumpProgressValue(length, length));
        observer->SetProgressPos(0);
    }
    uint32_t done = 0;
    while (done < length) {
        if (Stopping(stop)) {
            read.Stopped = true;
            return read;
        }
        const uint32_t at = address + done;
        const uint32_t remaining = length - done;
        TS_DUMP_CHUNK chunk;
        if (at % 4 != 0 || remaining < 4) {
            chunk.Unit = DUMP_BYTE;
            chunk.Count = static_cast<uint16_t>(std::min(remaining, at % 4 ? 4 - at % 4 : remaining));
        } else {
            chunk.Unit = DUMP_DWORD;
            chunk.Count = static_cast<uint16_t>(std::min(remaining / 4, maxDwords));
        }
        const signed char status = monitor.MemoryDump(at, chunk.Count, chunk.Unit, buffer.data());
        if (status < 0) {
            read.Status = status;
            read.FailedAddress = at;
            return read;
        }
        if (sink && !sink(at, buffer.data(), chunk.Bytes())) {
            read.SinkFailed = true;
            read.FailedAddress = at;
            return read;
        }
        done += chunk.Bytes();
        read.BytesRead = done;
        if (observer) {
            observer->SetProgressPos(DumpProgressValue(done, length));
        }
    }
    return read;
}

TS_MEMORY_READ ReadTargetMemory(COstraMonitor& monitor, uint32_t address, uint32_t length,
                                std::vector<uint8_t>& out, IJobObserver* observer,
                                const std::atomic<bool>* stop) {
    out.clear();
    if (address + uint64_t{length} <= kAddressSpace) {
        out.reserve(length);
    }
    const TS_MEMORY_READ read = ReadTargetMemoryTo(
        monitor, address, length,
        [&out](uint32_t, const uint8_t* data, std::size_t n) {
            out.insert(out.end(), data, data + n);
            return true;
        },
        observer, stop);
    return read;
}

TS_DUMP_CHUNK FileDumpChunk(uint32_t remaining, int maxDumpBytes) {
    const uint32_t maxDwords = std::min<uint32_t>(250, static_cast<uint32_t>(std::max(maxDumpBytes, 4)) / 4);
    TS_DUMP_CHUNK chunk;
    if (remaining >= 4) {
        chunk.Unit = DUMP_DWORD;
        chunk.Count = static_cast<uint16_t>(std::min(remaining / 4, maxDwords));
    } else {
        chunk.Unit = DUMP_BYTE;
        chunk.Count = static_cast<uint16_t>(remaining);
    }
    return chunk;
}

uint32_t DumpProgressValue(uint64_t offset, uint64_t length) {
    const uint64_t value =
        length > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ? offset >> 1 : offset;
    return static_cast<uint32_t>(value);
}

int DumpProgressPercent(uint64_t done, uint64_t length) {
    return length == 0 ? 100 : static_cast<int>(done * 100 / length);
}
