// Whether the USB packet device (the vendor driver's device, or what stands in for it) is there,
// as each system has it: UsbPacketDevicePosix.cpp, UsbPacketDeviceWin.cpp.
#pragma once

#include <string>

bool UsbPacketDeviceThere(const std::string& path);
