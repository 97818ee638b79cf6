#include "quillet/PortMap.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/serial.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

std::mutex g_MapMutex;
std::map<int, std::string> g_ComPaths;
std::string g_UsbPath;

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

std::string Env(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    return v != nullptr ? std::string(v) : std::string();
}

// /dev entries "<prefix><number>", in number order.
std::vector<std::string> DevicesWithPrefix(const char* prefix) {
    std::vector<std::pair<long, std::string>> found;
    const size_t plen = std::char_traits<char>::length(prefix);
    if (DIR* dir = ::opendir("/dev")) {
        while (dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name.size() > plen && name.compare(0, plen, prefix) == 0 &&
                std::all_of(name.begin() + static_cast<long>(plen), name.end(),
                            [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
                found.emplace_back(std::strtol(name.c_str() + plen, nullptr, 10), "/dev/" + name);
            }
        }
        ::closedir(dir);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> out;
    for (auto& f : found) {
        out.push_back(std::move(f.second));
    }
    return out;
}

// A /dev/ttyS device with a UART behind it (the kernel creates them whether or not one exists).
bool SerialPortPresent(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    std::ifstream type("/sys/class/tty/" + name + "/type");
    int t = 0;
    if (type >> t) {
        return t != 0; // PORT_UNKNOWN
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    serial_struct info{};
    const bool present = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    ::close(fd);
    return present;
}

std::vector<std::string> UsbSerialAdapters() {
    std::vector<std::string> all = DevicesWithPrefix("ttyUSB");
    std::vector<std::string> acm = DevicesWithPrefix("ttyACM");
    all.insert(all.end(), acm.begin(), acm.end());
    return all;
}

} // namespace

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
    if (EqualsNoCase(deviceName, "\\\\.\\Csr0")) {
        if (std::string env = Env("VANDREL_USB_DEVICE"); !env.empty()) {
            return env;
        }
        std::lock_guard lock(g_MapMutex);
        return g_UsbPath.empty() ? std::string("/dev/csr0") : g_UsbPath;
    }
    const int n = ComNumber(deviceName);
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
    // Default: the USB serial adapters take the first numbers, /dev/ttyS0.. the rest.
    const std::vector<std::string> adapters = UsbSerialAdapters();
    if (static_cast<size_t>(n) <= adapters.size()) {
        return adapters[static_cast<size_t>(n) - 1];
    }
    return "/dev/ttyS" + std::to_string(n - 1 - static_cast<int>(adapters.size()));
}

std::vector<std::string> QuilletListSerialDevices() {
    std::vector<std::string> out = UsbSerialAdapters();
    for (const std::string& path : DevicesWithPrefix("ttyS")) {
        if (SerialPortPresent(path)) {
            out.push_back(path);
        }
    }
    return out;
}
