// Device access on Windows: a COM port opens for one program at a time, and Windows refuses a
// second one with "access denied" (5) or a sharing violation (32). There are no device groups.
#include "CliDeviceAccess.h"

#include <cctype>

#include "platform/Files.h"

namespace {
constexpr unsigned kAccessDenied = 5;
constexpr unsigned kSharingViolation = 32;

// "COM3" for "COM3", "com3" and "\\.\COM3"; other devices by their own name.
std::string PortName(const std::string& devicePath) {
    std::string name = devicePath.rfind("\\\\.\\", 0) == 0 ? devicePath.substr(4) : devicePath;
    if (name.size() > 3 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(name[2])) == 'M' &&
        name.find_first_not_of("0123456789", 3) == std::string::npos) {
        return "COM" + name.substr(3);
    }
    return devicePath;
}
} // namespace

std::string PortOpenAdvice(const std::string& devicePath, unsigned systemError) {
    if (devicePath.empty() || (systemError != kAccessDenied && systemError != kSharingViolation)) {
        return {};
    }
    return PortName(devicePath) +
           " is in use by another program: close it there (a terminal program, another vandrel-cli or "
           "the station window) and try again";
}

std::string DeviceUseNote(const std::string& devicePath) {
    // whether another program holds a port is known only by opening it, which is not done here
    return platform::PathPresent(devicePath) ? "" : "  (missing)";
}

std::string UsbNodeUseNote(const std::string& /*node*/) {
    return ""; // the vendor driver's device has no permissions of its own to set
}
