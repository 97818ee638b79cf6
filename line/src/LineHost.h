// What the line asks of the operating system beyond the C++ library, one file per system
// (LineHostPosix.cpp, LineHostWin.cpp; RecordStore.h declares the owner tokens and the default
// store).
#pragma once

#include <string>

// The running program's file name without its folder (and without ".exe"): "vandrel-cli".
std::string ProgramFileName();
