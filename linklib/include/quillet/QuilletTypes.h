// Types shared by the link library and its users: the port configuration, the enumerations of
// the monitor interface and the link status codes.
#pragma once

#include <cstdint>

#include "quillet/QuilletExport.h"

// Port configuration. Every field but PortType is an index into a fixed table.
struct TS_PORT_CONFIG {
    int32_t PortType;    // TE_PORT_TYPES; any other value opens nothing
    int32_t Port;        // zero-based COM port number: 0 opens COM1
    int32_t Baud;        // 0..14: 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400,
                         //        56000, 57600, 115200, 128000, 256000 bit/s
    int32_t Databits;    // 0..3: 5, 6, 7, 8 data bits
    int32_t Parity;      // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int32_t Stopbits;    // 0 = 1, 1 = 1.5, 2 = 2 stop bits
    int32_t FlowControl; // 0 none, 1 software (XON/XOFF), 2 hardware (RTS/CTS)
};

enum TE_PORT_TYPES : int32_t {
    PORT_UART = 0,
    PORT_USB = 1,
};

// Command identifiers that FlashWrite sends. The end command of a kind is its data command + 1.
enum TE_FLASH_CMDS : int32_t {
    FLASH_CMD_WRITER_DATA = 0x21,
    FLASH_CMD_WRITER_END = 0x22,
    FLASH_CMD_APP_DATA = 0x31,
    FLASH_CMD_APP_END = 0x32,
};

enum TE_TARGET_RUNNER_TYPES : int32_t {
    RUNNER_BOOT_LOADER_UART = 0,
    RUNNER_FLASH_WRITER_UART = 1,
    RUNNER_BOOT_LOADER_USB = 2,
    RUNNER_FLASH_WRITER_USB = 3,
};

enum TE_REQ_FLASH_WRITE_RESULT : int32_t {
    FLASH_WRITE_POSSIBLE = 0,
    FLASH_WRITE_NOT_POSSIBLE = 1,
};

enum TE_DUMP_UNIT : int32_t {
    DUMP_BYTE = 0,
    DUMP_WORD = 1,
    DUMP_DWORD = 2,
};

enum TE_FLASH_MANUFACTURE_ID : int32_t {
    FLASH_NOT_FOUND = 0,
    FLASH_UNSUPPORTED = 1,
    FLASH_AMD_LV017_2MB = 2,
    FLASH_AMD_DL800_1MB_BOTTOM = 3,
    FLASH_AMD_DL800_1MB_TOP = 4,
    FLASH_AMD_DL323_4MB_BOTTOM = 5,
    FLASH_AMD_DL323_4MB_TOP = 6,
    FLASH_AMD_LV160_2MB_BOTTOM = 7,
    FLASH_AMD_LV160_2MB_TOP = 8,
    FLASH_INTEL_BURST_8MB_BOTTOM = 9,
    FLASH_INTEL_BURST_8MB_TOP = 10,
    FLASH_INTEL_BURST_16MB_BOTTOM = 11,
    FLASH_INTEL_BURST_16MB_TOP = 12,
    FLASH_INTEL_STRATA_4MB = 13,
    FLASH_INTEL_STRATA_8MB = 14,
    FLASH_INTEL_STRATA_16MB = 15,
    FLASH_TOSHIBA_50VSF4682_8MB_TOP = 16,
    FLASH_TOSHIBA_50VSF4683_8MB_BOTTOM = 17,
    FLASH_TOSHIBA_50VPF5683DASB_8MB_BOTTOM = 18,
    FLASH_TOSHIBA_50VPF5683CDSB_8MB_BOTTOM = 19,
};

// Link status. Every monitor operation returns a signed 8-bit value: 0 or more is the target's
// status byte, a negative value is one of the link failures below or a negative status byte that
// the target sent.
constexpr signed char TM_ERR_NO_MEMORY = -63;     // a buffer cannot be allocated
constexpr signed char TM_ERR_PORT_OPEN = -90;     // the port does not open
constexpr signed char TM_ERR_WRITE = -92;         // the request cannot be written
constexpr signed char TM_ERR_CID_MISMATCH = -100; // the reply answers another command
constexpr signed char TM_ERR_UNEXPECTED = -101;   // a reply value differs from the expected one
constexpr signed char TM_ERR_TIMEOUT = -103;      // no reply within the time-out
constexpr signed char TM_ERR_CHECKSUM = -104;     // the reply's checksum is wrong (UART)

// The name of a link status ("TM_ERR_TIMEOUT"), or nullptr for a status that is not a link failure.
QUILLET_API const char* TmStatusName(int status);
