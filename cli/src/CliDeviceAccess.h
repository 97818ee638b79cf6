// What the command line says about a device the user may not be able to use, as each system has
// it: CliDeviceAccessPosix.cpp (device nodes and the groups that own them), CliDeviceAccessWin.cpp
// (COM ports and devices held by another program).
#pragma once

#include <string>

// The advice that follows "cannot open ..." for the link's error code (the link speaks Windows'
// codes on every system: 5 access denied, 32 sharing violation); empty when there is none.
std::string PortOpenAdvice(const std::string& devicePath, unsigned systemError);

// What `ports` adds after a serial device: "" when it can be used, else "  (why not)".
std::string DeviceUseNote(const std::string& devicePath);

// What `ports` adds after a USB device node the user cannot open; "" when it can.
std::string UsbNodeUseNote(const std::string& node);

// POSIX: why a device could not be opened for lack of permission, with the group that owns it and
// how to join it; empty when the device cannot be looked at.
std::string PermissionHint(const std::string& devicePath);
