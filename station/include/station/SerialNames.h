// The stable names of serial devices: the links udev keeps in /dev/serial/by-path (the USB socket
// or slot an adapter sits in) and /dev/serial/by-id (the adapter's make and serial number), so a
// fixture's cable stays the same port whatever order the adapters enumerate in.
#pragma once

#include <string>
#include <vector>

// The links in root/by-path and root/by-id that lead to device (compared once every symbolic
// link is followed), by-path first, each folder in name order.
std::vector<std::string> StableSerialNames(const std::string& device,
                                           const std::string& root = "/dev/serial");

// "  [by-path: ..., by-id: ...]" for a device that has stable names; empty otherwise.
std::string StableSerialNamesText(const std::string& device, const std::string& root = "/dev/serial");

// The one name of the port a device path opens, for telling whether two texts name the same port:
// on Linux the file every link leads to (/dev/serial/by-id/... and its /dev/ttyUSB0 are one); on
// Windows "\.\COM3" for "COM3", "com3" and "\.\COM3" alike, other device names and paths in
// one case. A path that leads nowhere stays as it is.
std::string CanonicalPortName(const std::string& device);
