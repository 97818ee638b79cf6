// The Memory Dump page's inputs kept between runs, below HKEY_LOCAL_MACHINE in the settings store,
// read when the page starts and written when it ends.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* KEY_MEMORY_DUMP = "Software\\Vandrel\\Memory Dump";
inline constexpr const char* KEY_MEMORY_DUMP_TO_SCREEN = "Software\\Vandrel\\Memory Dump\\To Screen";
inline constexpr const char* KEY_MEMORY_DUMP_TO_FILE = "Software\\Vandrel\\Memory Dump\\To File";

struct TS_MEMORY_DUMP_SETTINGS {
    int32_t OutputMode = 0;                     // flag: 0 to screen, 1 to file
    std::string ScreenStartAddress = "0000000"; // hexadecimal text
    uint32_t Size = 1;                          // units of a dump to screen, 1 .. the unit's maximum
    int32_t ShowAscii = 0;                      // flag
    int32_t Unit = 0;                           // TE_DUMP_UNIT
    std::string BinFilePath;
    std::string FileStartAddress = "0000000";
    std::string FileEndAddress = "0000000";
};

// configDirectory: where the settings are kept; empty for the directory from the environment.
// Creates the three keys that are missing and reads every value with its default. A unit other
// than byte, word or dword reads as byte, and the size is brought into 1 .. the unit's maximum
// (values the page itself never saves).
TS_MEMORY_DUMP_SETTINGS ReadMemoryDumpSettings(const std::string& configDirectory = {});
// Writes every value. Failures are not reported; a text longer than 254 bytes is not written and
// its old value stays.
void WriteMemoryDumpSettings(const TS_MEMORY_DUMP_SETTINGS& settings,
                             const std::string& configDirectory = {});
