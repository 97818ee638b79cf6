// Get Flash ID: which flash part sits on each of the four chip selects, written into the log by
// name. Runs on the caller's thread (the GUI's UI thread, the CLI's only thread); each query takes
// at most its 250 ms time-out.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "download/JobObserver.h"
#include "quillet/OstraMonitor.h"

inline constexpr int FLASH_NAME_COUNT = 20;
// The flash part names, indexed by TE_FLASH_MANUFACTURE_ID.
extern const char* const FLASH_NAME_TABLE[FLASH_NAME_COUNT];

// The name of a flash part; "UNKNOWN(n)" for an identifier without an entry (20 or more; a reply
// without an identifier byte reads as the link's filler 0xBA).
std::string FlashPartName(int id);

struct TS_CHIP_SELECT_INFO {
    uint32_t base;
    const char* label; // "\r\nChip Select #0 flash memory : "
};
inline constexpr std::array<TS_CHIP_SELECT_INFO, 4> CHIP_SELECTS = {{
    {0x00000000, "\r\nChip Select #0 flash memory : "},
    {0x04000000, "\r\nChip Select #1 flash memory : "},
    {0x08000000, "\r\nChip Select #2 flash memory : "},
    {0x0C000000, "\r\nChip Select #3 flash memory : "},
}};

struct TS_FLASH_ID_ANSWER {
    signed char status = 0; // of QueryFlashId; -7 counts as an answer
    int id = 0;             // the part identifier, when answered
    bool answered = false;
};

// Queries the four chip selects in order and logs the label and name of each that answers, the
// error line of each that does not, then "\r\n". A failed chip select does not stop the others.
std::array<TS_FLASH_ID_ANSWER, 4> GetFlashId(COstraMonitor& monitor, ILogSink& log);
