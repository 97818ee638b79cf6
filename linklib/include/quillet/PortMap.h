// Where the Windows-style device names the link uses are found on this machine.
//
// "COM1" .. "COM4": the environment variable VANDREL_COM1 .. VANDREL_COM4 first, then the path set
// with QuilletSetComPath, then the default: the USB serial adapters present (/dev/ttyUSB*, then
// /dev/ttyACM*, in number order) take COM1, COM2, ... and the numbers left over go to /dev/ttyS0,
// /dev/ttyS1, ... in order. A machine with one USB serial adapter finds it as COM1.
//
// "\\.\Csr0" (the USB device): VANDREL_USB_DEVICE first, then QuilletSetUsbDevicePath, then
// /dev/csr0. A path that names a Unix socket is connected as SOCK_SEQPACKET.
#pragma once

#include <string>
#include <vector>

#include "quillet/QuilletExport.h"

// Sets (or, with an empty path, clears) the program's own path for COM<comNumber>, 1..4.
QUILLET_API void QuilletSetComPath(int comNumber, const std::string& path);
QUILLET_API void QuilletSetUsbDevicePath(const std::string& path);

// The path a device name opens: "COM1" .. "COM4", "\\.\Csr0" or any path (returned unchanged).
QUILLET_API std::string QuilletResolveDevice(const std::string& deviceName);

// Serial devices present on this machine (/dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS* that answer).
QUILLET_API std::vector<std::string> QuilletListSerialDevices();
