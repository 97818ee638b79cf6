// The USB packet device on Windows: the vendor driver's device name ("\\.\Csr0") that the object
// manager knows, or a named pipe standing in for it that a server offers. Nothing is opened: an
// open would take the driver's only handle, or connect to the pipe's server.
#include "UsbPacketDevice.h"

#include "platform/Files.h"

bool UsbPacketDeviceThere(const std::string& path) {
    return platform::PathPresent(path);
}
