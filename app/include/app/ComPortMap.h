// The device paths behind "COM1" .. "COM4" and the USB device, as the Global Settings dialog
// edits them. Kept in "Software\Vandrel\COM port config" as the texts "COM1 device" .. "COM4
// device" and "USB device"; an empty text leaves that name to the link library's default.
#pragma once

#include <array>
#include <string>

struct TS_COM_PORT_MAP {
    std::array<std::string, 4> ComDevice; // [0] is COM1
    std::string UsbDevice;
};

// The value name of COM<n>, n = 1..4: "COM1 device" ...
std::string ComDeviceValueName(int comNumber);
inline constexpr const char* USB_DEVICE_VALUE = "USB device";

TS_COM_PORT_MAP ReadComPortMap(const std::string& configDirectory = {});
// Returns whether every value was written (a path longer than 254 bytes is not).
bool WriteComPortMap(const TS_COM_PORT_MAP& map, const std::string& configDirectory = {});

// Hands the map to the link library (QuilletSetComPath, QuilletSetUsbDevicePath). Built in the
// target vandrel_app_portmap, which exists when the link library does.
void ApplyComPortMap(const TS_COM_PORT_MAP& map);
