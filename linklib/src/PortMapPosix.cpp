// Where the device names the link uses open by default on Linux, and the serial devices present.
#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "PortMapSystem.h"
#include "quillet/PortMap.h"

namespace {

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

namespace quillet {

std::string DefaultComDevice(int n) {
    // the USB serial adapters take the first numbers, /dev/ttyS0.. the rest.
    const std::vector<std::string> adapters = UsbSerialAdapters();
    if (static_cast<size_t>(n) <= adapters.size()) {
        return adapters[static_cast<size_t>(n) - 1];
    }
    return "/dev/ttyS" + std::to_string(n - 1 - static_cast<int>(adapters.size()));
}

std::string DefaultUsbDevice() {
    return "/dev/csr0";
}

} // namespace quillet

std::vector<std::string> QuilletListSerialDevices() {
    std::vector<std::string> out = UsbSerialAdapters();
    for (const std::string& path : DevicesWithPrefix("ttyS")) {
        if (SerialPortPresent(path)) {
            out.push_back(path);
        }
    }
    return out;
}
