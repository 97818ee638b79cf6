// What the station window needs that is no window: the ports an operator can choose from, the
// saved choice, the ports and the job made from the main window's list and settings, and the block
// of download information a station result leaves in the main window's log.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "app/AppSettings.h"
#include "station/StationEngine.h"

// One port the station can use.
struct TS_STATION_CHOICE {
    std::string Label;      // "COM1" .. "COM4", "USB", or the stable name of another serial device
    std::string DevicePath; // what it opens now
    bool Usb = false;       // the USB device (else a serial port)
};

// The COM ports of the port map (those that resolve to a device), the configured USB device, then
// every other serial device found (by its stable /dev/serial name when it has one), each once.
std::vector<TS_STATION_CHOICE> StationPortChoices();

inline constexpr const char* KEY_PRODUCTION_STATION = "Software\\Vandrel\\Production Station";

// What the station window keeps in the settings store.
struct TS_STATION_SETTINGS {
    std::vector<std::string> Ports; // the labels ticked, in order
    bool Verify = true;             // "Verify after writing"
    bool Watch = true;              // "Watch for handsets"
    std::string Job;                // the production line's job file last used; empty: none
    bool Saved = false;             // the key existed when read
};
TS_STATION_SETTINGS ReadStationSettings(const std::string& configDirectory = {});
bool WriteStationSettings(const TS_STATION_SETTINGS& settings, const std::string& configDirectory = {});

// The ports ticked when nothing was saved: the main window's own port.
std::vector<std::string> DefaultStationPorts(const AppSettings& settings);

// The station port of a choice, with the flash writer of its port type and the main window's
// baud rate.
TS_STATION_PORT MakeStationPort(const TS_STATION_CHOICE& choice, const AppSettings& settings);

// The download job: the list's files in order, the flash writer of the main window's port type.
TS_STATION_JOB MakeStationJob(const std::vector<std::string>& files, const AppSettings& settings,
                              bool verify);

// The one line a tile shows for a failure: what happened first (a handset taken off says so before
// the rest), the paths of the files shortened to their names.
std::string StationTileReason(const TS_STATION_RESULT& result, const std::vector<std::string>& paths);

// The block the main window's log shows for one station result, in the form of a file's download
// information, headed with the port's label.
std::string StationResultBlock(const std::string& label, const std::vector<std::string>& files,
                               std::time_t start, std::time_t end, const TS_STATION_RESULT& result);
