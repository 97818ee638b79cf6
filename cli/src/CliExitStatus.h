// The exit statuses of vandrel-cli, for the single-port commands and the station alike.
#pragma once

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_TARGET = 1; // the target or the link failed, verification included
inline constexpr int EXIT_USAGE = 2;  // bad usage, unreadable or invalid files, a port that does not open
