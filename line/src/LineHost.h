// What the line asks of the operating system beyond the C++ library, one file per system
// (LineHostPosix.cpp, LineHostWin.cpp; RecordStore.h declares the owner tokens and the default
// store).
#pragma once

#include <string>

// The running program's file name without its folder (and without ".exe"): "vandrel-cli".
std::string ProgramFileName();

// Whether process pid of this host still runs, and is still the one whose token ended in `since`
// (the part after the pid's "/": "bootid:starttick", or "windows:creationtime"). A pid that may
// not be looked at belongs to someone else and counts as running.
bool ProcessStillRuns(unsigned long pid, const std::string& since);
