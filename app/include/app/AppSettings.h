// The main window's settings record and how it is kept: read once at start, written once at
// close, below HKEY_LOCAL_MACHINE\Software\Vandrel in the settings store. Store failures are not
// reported: reads fall back to their defaults, writes do nothing.
//
// These functions hold what the main window does with the store; the window itself feeds the
// paths to its file list, shows the radio value and moves itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quillet/QuilletTypes.h"

struct AppSettings {
    // port type (0 RS232, 1 USB), COM port (0 = COM1), baud-rate index (12 = 115200 bit/s), then
    // data bits, parity, stop bits, flow control: always 3, 0, 0, 0 (8N1, no flow control)
    TS_PORT_CONFIG PortConfig{PORT_UART, 0, 12, 3, 0, 0, 0};
    // Three download options: stored and restored only, so that the stored values survive.
    int32_t AppCodeDownload = 1;
    int32_t VirtualDriveDownload = 0;
    int32_t OstraDataDownload = 0;
    // The flash writer file for each port type: [PORT_UART] and [PORT_USB].
    std::string FlashWriterPath[2];
};

inline constexpr const char* KEY_COM_PORT_CONFIG = "Software\\Vandrel\\COM port config";
inline constexpr const char* KEY_FLASH_DOWNLOAD_OPTIONS = "Software\\Vandrel\\Flash download options";
inline constexpr const char* KEY_WINDOWS = "Software\\Vandrel\\Windows";
inline constexpr int MAX_SAVED_FLASH_FILES = 5;

// What the main window starts with.
struct TS_LOADED_SETTINGS {
    AppSettings Settings;
    int32_t RadioValue = PORT_UART; // the port type, for the RS232 / USB radio buttons
    // The saved list rows, in order, at most five. Not checked here: the list drops duplicates and
    // files that no longer open.
    std::vector<std::string> FilePaths;
};

// configDirectory: where the settings are kept; empty for the directory from the environment.
// Creates the two option keys when they are missing, reads every value with its default, and
// replaces data bits, parity, stop bits and flow control by 3, 0, 0, 0.
TS_LOADED_SETTINGS ReadAppSettings(const std::string& configDirectory = {});
// Writes the record and the list's paths (the first five; the remaining slots are emptied).
// A path longer than 254 bytes is not written: its old value stays.
void WriteAppSettings(const AppSettings& settings, const std::vector<std::string>& listPaths,
                      const std::string& configDirectory = {});

// The main window's placement: show state and normal-position rectangle.
struct TS_WINDOW_PLACEMENT {
    int32_t Status = 1;
    int32_t Top = 20;
    int32_t Left = 171;
    int32_t Bottom = 595;
    int32_t Right = 770;
};
// Creates the window key when missing and reads the placement; nothing when the key does not
// open or a value reads as -1 (the window then keeps the position it has).
std::optional<TS_WINDOW_PLACEMENT> ReadWindowPlacement(const std::string& configDirectory = {});
void WriteWindowPlacement(const TS_WINDOW_PLACEMENT& placement, const std::string& configDirectory = {});

struct TS_SCREEN_METRICS {
    int WorkLeft = 0, WorkTop = 0; // the work area's origin (the desktop without panels)
    int ScreenWidth = 0, ScreenHeight = 0;
    int IconWidth = 32, IconHeight = 32;
};
struct TS_WINDOW_POSITION {
    int x = 0;
    int y = 0;
};
// Where a restored window goes: its stored left / top moved by the work area's origin, at most an
// icon's width / height short of the screen's right and bottom edges (no lower limit). The stored
// size is not applied.
TS_WINDOW_POSITION RestoredWindowPosition(const TS_WINDOW_PLACEMENT& placement,
                                          const TS_SCREEN_METRICS& screen);
