// Device access on POSIX: a device node belongs to a group (dialout, plugdev, uucp); a user who is
// not in it is told which and how to join.
#include "CliDeviceAccess.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr unsigned kAccessDenied = 5;

std::string GroupName(gid_t gid) {
    const group* g = ::getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}
} // namespace

std::string PermissionHint(const std::string& devicePath) {
    struct stat st {};
    if (devicePath.empty() || ::stat(devicePath.c_str(), &st) != 0) {
        return {};
    }
    const std::string name = GroupName(st.st_gid);
    return "you lack permission to open " + devicePath + "; it belongs to the group '" + name +
           "': join it with 'sudo usermod -aG " + name +
           " $USER', then log in again (\"Device access\" in 'man vandrel-cli' and in the README)";
}

std::string PortOpenAdvice(const std::string& devicePath, unsigned systemError) {
    return systemError == kAccessDenied ? PermissionHint(devicePath) : std::string();
}

std::string DeviceUseNote(const std::string& devicePath) {
    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0) {
        return "  (missing)";
    }
    if (::access(devicePath.c_str(), R_OK | W_OK) != 0) {
        return "  (no permission; group " + GroupName(st.st_gid) + ")";
    }
    return "";
}

std::string UsbNodeUseNote(const std::string& node) {
    return ::access(node.c_str(), R_OK | W_OK) == 0 ? "" : "  (no permission: see 'vandrel-cli udev-rule')";
}
