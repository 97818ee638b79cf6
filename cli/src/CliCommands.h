// vandrel-cli's commands: the connection the GUI makes (open, wait for the target's answer, target
// status, flash writer when the boot loader runs) and each job on the engines.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "CliSignals.h"
#include "app/AppSettings.h"
#include "app/ComPortMap.h"

// Exit statuses.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_TARGET = 1; // the target or the link failed, verification included
inline constexpr int EXIT_USAGE = 2;  // bad usage, unreadable or invalid files, a port that does not open

// The saved settings, read from a copy so that nothing is ever written to the user's folder (the
// reader creates missing keys, and sets aside a file it cannot parse).
struct TS_SAVED {
    TS_LOADED_SETTINGS loaded;
    TS_COM_PORT_MAP map;
};
TS_SAVED ReadSavedSettings();

// Runs the program on args (argv without the program name). out and err are stdout and stderr (or
// files in tests); interactive: out is a terminal. Returns the exit status.
int RunCli(const std::vector<std::string>& args, CStopSignals& signals, std::FILE* out, std::FILE* err,
           bool interactive);

// Why a device could not be opened for lack of permission, with the group that owns it and how to
// join it; empty when the device cannot be looked at.
std::string PermissionHint(const std::string& devicePath);

// Checks a flash file before anything is sent: it is a regular file that opens, its kind is .m0
// or .cp64, the name rules of the file list hold for its full path (application files), its
// records read (readRecords) and its .cp64 can be written beside it. Empty when it is fine, else
// the reason naming the file (and the rule that refuses it).
std::string CheckFlashFile(const std::string& path, bool applicationFile, bool readRecords = true);
