// The port map the link resolves device names through, the same on every system: "COMn" takes
// the environment variable VANDREL_COMn first, then the path set with QuilletSetComPath, then the
// system's default for that number; "\\.\Csr0" takes VANDREL_USB_DEVICE, then
// QuilletSetUsbDevicePath, then the system's default. The defaults and the list of serial devices
// present live in PortMapPosix.cpp and PortMapWin.cpp.
#include "PortMapSystem.h"

#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>

#include "quillet/PortMap.h"

namespace {

std::mutex g_MapMutex;
std::map<int, std::string> g_ComPaths;
std::string g_UsbPath;

std::string Env(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    return v != nullptr ? std::string(v) : std::string();
}

} // namespace

namespace quillet {

bool EqualsNoCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

// "COM3" or "\\.\COM3" (any case): 3; otherwise 0.
int ComNumber(const std::string& name) {
    std::string s = name;
    if (s.rfind("\\\\.\\", 0) == 0) {
        s.erase(0, 4);
    }
    if (s.size() < 4 || !EqualsNoCase(s.substr(0, 3), "com")) {
        return 0;
    }
    int n = 0;
    for (size_t i = 3; i < s.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(s[i])) || n > 9999) {
            return 0;
        }
        n = n * 10 + (s[i] - '0');
    }
    return n;
}

} // namespace quillet

void QuilletSetComPath(int comNumber, const std::string& path) {
    if (comNumber < 1) {
        return;
    }
    std::lock_guard lock(g_MapMutex);
    if (path.empty()) {
        g_ComPaths.erase(comNumber);
    } else {
        g_ComPaths[comNumber] = path;
    }
}

void QuilletSetUsbDevicePath(const std::string& path) {
    std::lock_guard lock(g_MapMutex);
    g_UsbPath = path;
}

std::string QuilletResolveDevice(const std::string& deviceName) {
    if (quillet::EqualsNoCase(deviceName, "\\\\.\\Csr0")) {
        if (std::string env = Env("VANDREL_USB_DEVICE"); !env.empty()) {
            return env;
        }
        std::lock_guard lock(g_MapMutex);
        return g_UsbPath.empty() ? quillet::DefaultUsbDevice() : g_UsbPath;
    }
    const int n = quillet::ComNumber(deviceName);
    if (n == 0) {
        return deviceName;
    }
    if (std::string env = Env("VANDREL_COM" + std::to_string(n)); !env.empty()) {
        return env;
    }
    {
        std::lock_guard lock(g_MapMutex);
        if (auto it = g_ComPaths.find(n); it != g_ComPaths.end()) {
            return it->second;
        }
    }
    return quillet::DefaultComDevice(n);
}
