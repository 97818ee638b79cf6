// USB devices reached through libusb-1.0: the handset's bulk endpoints without a kernel driver.
//
// A device text names one:
//   usb:VVVV:PPPP            vendor and product id (hexadecimal, 1 to 4 digits each)
//   usb:VVVV:PPPP@B-P.P      ... on bus B at port path P.P (for several identical handsets)
//   usb:B-P.P                whatever is plugged in at that place
// each optionally followed by "#IF", the number of the interface to claim (default: the first
// interface with one bulk IN and one bulk OUT endpoint). The text is accepted wherever a USB
// device is named (VANDREL_USB_DEVICE, QuilletSetUsbDevicePath, --usb).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quillet/QuilletExport.h"

struct TS_USB_DEVICE_TEXT {
    bool HasIds = false;
    uint16_t Vendor = 0;
    uint16_t Product = 0;
    int Bus = -1;           // -1: any bus
    std::vector<int> Ports; // port path from the root hub; empty: any place
    int Interface = -1;     // -1: the first interface with a bulk pair
};

// Whether text is meant as a libusb device text (begins with "usb:", any case).
QUILLET_API bool QuilletIsUsbDeviceText(const std::string& text);
// Parses a device text; false with a message that shows the accepted forms.
QUILLET_API bool QuilletParseUsbDeviceText(const std::string& text, TS_USB_DEVICE_TEXT& device,
                                           std::string& error);
// "1234:5678", "1-2.3", "1234:5678@1-2.3" (the device text without "usb:" and the interface).
QUILLET_API std::string QuilletUsbDeviceLabel(const TS_USB_DEVICE_TEXT& device);
// "1-2.3" for bus 1, ports {2, 3}.
QUILLET_API std::string QuilletUsbPortPath(int bus, const std::vector<int>& ports);

// A udev rule that gives the user at the seat access to the device and keeps ModemManager off
// it. Needs vendor and product ids; empty otherwise, and on Windows (no udev there).
QUILLET_API std::string QuilletUdevRule(const TS_USB_DEVICE_TEXT& device);

struct TS_USB_DEVICE_INFO {
    uint16_t Vendor = 0;
    uint16_t Product = 0;
    int Bus = 0;
    int Address = 0;
    std::vector<int> Ports;
    std::string Node;         // /dev/bus/usb/BBB/DDD
    std::string Manufacturer; // from sysfs; empty when not readable
    std::string ProductName;
    int BulkInterface = -1; // the first interface with a bulk IN + OUT pair; -1: none
};

// The USB devices present, in bus and port order. Opens nothing and claims nothing; empty when
// libusb cannot start.
QUILLET_API std::vector<TS_USB_DEVICE_INFO> QuilletListUsbDevices();
// "usb:VVVV:PPPP@B-P.P": the device text that names a listed device by its ids and its place.
QUILLET_API std::string QuilletUsbDeviceText(const TS_USB_DEVICE_INFO& device);
// Whether a device that the text names is present (exactly one, or several when the text is not
// precise enough: the open then says which to choose). False for an unparsable text.
QUILLET_API bool QuilletUsbDevicePresent(const std::string& text);
