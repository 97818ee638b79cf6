// Reading target memory: the inputs of the Memory Dump page (address texts, sizes per unit), the
// dump to screen, and the general chunked read that verification uses. Every read is split into
// as many MemoryDump commands as the link needs: one reply carries at most
// COstraMonitor::MaxDumpBytes() bytes (20476 on UART, 996 on USB).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "quillet/OstraMonitor.h"
#include "tools/ToolJob.h"

inline constexpr const char* DUMP_NO_LINK_TEXT =
    "Cannot communicate with the target.\n\nPlease try to connect to the target first.";
inline constexpr const char* DUMP_START_NOT_HEX_TEXT =
    "Start-address information should be entered by hex format.\n\nPlease check again.";
inline constexpr const char* DUMP_END_NOT_HEX_TEXT =
    "End-address information should be entered by hex format.\n\nPlease check again.";
inline constexpr const char* DUMP_RANGE_ORDER_TEXT =
    "Start-address shoulb be higher compare than end-address.\n\nPlease check again.";

// Whether the page has a link to dump through: a monitor whose port is open.
bool CanReachTarget(const COstraMonitor* monitor);

// ---- address texts ----

enum TE_ADDRESS_TEXT : int32_t {
    ADDRESS_OK = 0,
    ADDRESS_NOT_HEX = 1,   // a character outside 0-9, a-f, A-F
    ADDRESS_TOO_LARGE = 2, // hexadecimal, but above 0xFFFFFFFF
};
// A hexadecimal address without prefix; the empty text is 0. address is set only on ADDRESS_OK.
TE_ADDRESS_TEXT ParseAddressText(std::string_view text, uint32_t& address);
// The text an accepted address is rewritten to: "%08x".
std::string FormatAddressText(uint32_t address);

// Dump to screen, before anything is sent: checks the start address text and rewrites it as
// "%08x". False with the message to show (nothing changed) when it is refused.
bool CheckScreenDumpInput(std::string& startText, uint32_t& start, std::string& message);
// Dump to file, before anything is sent: the start text is checked and rewritten, then the end
// text, then start < end. False with the message to show when refused; a start text already
// accepted stays rewritten even when the end is refused.
bool CheckFileDumpInput(std::string& startText, std::string& endText, uint32_t& start, uint32_t& end,
                        std::string& message);

// ---- sizes ----

// Bytes of one unit: 1, 2, 4; 0 for any other unit.
unsigned UnitBytes(int unit);
// Largest size of a dump to screen, in units: 1000 (byte), 500 (word), 250 (dword), so at most
// 1000 bytes. Any other unit is taken as bytes.
uint32_t MaxDumpUnits(int unit);
// A size raised to 1 and cut to the unit's maximum.
uint32_t ClampDumpSize(int64_t size, int unit);

// ---- reads ----

struct TS_MEMORY_READ {
    int Status = 0;             // 0 or more: read; negative: the result of the MemoryDump that failed
    uint32_t FailedAddress = 0; // address of the command that failed
    uint64_t BytesRead = 0;     // bytes read and handed on before the end
    bool Stopped = false;       // the stop flag ended the read before a command
    bool OutOfRange = false;    // the range runs past 0xFFFFFFFF: nothing was sent
    bool SinkFailed = false;    // the receiver of the bytes refused them (a write error)

    bool Ok() const { return Status >= 0 && !Stopped && !OutOfRange && !SinkFailed; }
};

// Dump to screen: size units of the given unit from start, read into data (size x 1, 2 or 4
// bytes), in as many commands as the link needs. On failure data keeps what it held. Any unit but
// byte, word or dword reads nothing (Status 0, data unchanged).
TS_MEMORY_READ DumpToScreen(COstraMonitor& monitor, uint32_t start, uint32_t size, TE_DUMP_UNIT unit,
                            std::vector<uint8_t>& data, const std::atomic<bool>* stop = nullptr);
// The message box text of a failed dump to screen: "Memory read error(-103)".
std::string ScreenDumpErrorText(const TS_MEMORY_READ& read);

// Receives the bytes of a read in address order; false ends the read (SinkFailed).
using MemorySinkFn = std::function<bool(uint32_t address, const uint8_t* data, std::size_t length)>;

// [address, address + length) read with commands as large as the link carries: bytes up to the
// first address divisible by 4, then double words, then the last bytes. The observer (optional)
// gets the range 0..length and the position in bytes (see DumpProgressValue); the stop flag is
// looked at before each command.
TS_MEMORY_READ ReadTargetMemoryTo(COstraMonitor& monitor, uint32_t address, uint32_t length,
                                  const MemorySinkFn& sink, IJobObserver* observer = nullptr,
                                  const std::atomic<bool>* stop = nullptr);
// The same into a vector (resized to length; on failure it holds the bytes read before it).
TS_MEMORY_READ ReadTargetMemory(COstraMonitor& monitor, uint32_t address, uint32_t length,
                                std::vector<uint8_t>& out, IJobObserver* observer = nullptr,
                                const std::atomic<bool>* stop = nullptr);

// ---- chunks and progress ----

struct TS_DUMP_CHUNK {
    uint16_t Count = 0; // units
    TE_DUMP_UNIT Unit = DUMP_DWORD;
    uint32_t Bytes() const { return static_cast<uint32_t>(Count) * UnitBytes(Unit); }
};
// The next command of a dump to file with `remaining` bytes to go (at least 1): 250 double words
// (1000 bytes) while that many remain and the link carries them (249 on USB), remaining / 4
// double words down to 4 bytes, then the last 1..3 as bytes.
TS_DUMP_CHUNK FileDumpChunk(uint32_t remaining, int maxDumpBytes);

// Progress of a range of `length` bytes as a bar shows it: offsets from the start, halved when the
// length does not fit a signed 32-bit bar, so every value fits one for any 32-bit range.
uint32_t DumpProgressValue(uint64_t offset, uint64_t length);
// done x 100 / length, truncated; 100 for an empty range.
int DumpProgressPercent(uint64_t done, uint64_t length);
