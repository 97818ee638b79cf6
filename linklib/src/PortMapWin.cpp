// Where the device names the link uses are found on Windows.
//
// "COM1" .. "COM4" (and any "COMn"): the environment variable VANDREL_COMn first, then the path set
// with QuilletSetComPath, then the Windows port of that name, "\\.\COMn". "\\.\Csr0": the
// environment variable VANDREL_USB_DEVICE, then QuilletSetUsbDevicePath, then the vendor driver's
// "\\.\Csr0". The serial ports present are those the Ports device class lists (SetupAPI), or, where
// it lists none, the ones in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
#include "quillet/PortMap.h"

#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

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

std::string Utf8(const wchar_t* text) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) {
        return {};
    }
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

bool ComOrder(const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b) {
    const int na = ComNumber(a.first);
    const int nb = ComNumber(b.first);
    return na != nb ? na < nb : a.first < b.first;
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
        return g_UsbPath.empty() ? std::string("\\\\.\\Csr0") : g_UsbPath;
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
    return "\\\\.\\COM" + std::to_string(n);
}

namespace {

// The COM ports present with their friendly names ("Communications Port (COM1)"), in number
// order.
std::vector<std::pair<std::string, std::string>> WinListComPorts() {
    std::vector<std::pair<std::string, std::string>> ports;
    const HDEVINFO set = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
            HKEY key = ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
            if (key == INVALID_HANDLE_VALUE) {
                continue;
            }
            wchar_t name[64] = {};
            DWORD size = sizeof name - sizeof(wchar_t);
            DWORD type = 0;
            const bool named = ::RegQueryValueExW(key, L"PortName", nullptr, &type,
                                                  reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
                               type == REG_SZ;
            ::RegCloseKey(key);
            if (!named || ComNumber(Utf8(name)) == 0) {
                continue; // a printer port or another member of the class
            }
            wchar_t friendly[256] = {};
            if (!::SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_FRIENDLYNAME, nullptr,
                                                     reinterpret_cast<BYTE*>(friendly),
                                                     sizeof friendly - sizeof(wchar_t), nullptr)) {
                ::SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_DEVICEDESC, nullptr,
                                                    reinterpret_cast<BYTE*>(friendly),
                                                    sizeof friendly - sizeof(wchar_t), nullptr);
            }
            ports.emplace_back(Utf8(name), Utf8(friendly));
        }
        ::SetupDiDestroyDeviceInfoList(set);
    }
    if (ports.empty()) {
        // No device class entries (wine keeps none): the serial ports' device map.
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) ==
            ERROR_SUCCESS) {
            for (DWORD i = 0;; ++i) {
                wchar_t valueName[256];
                wchar_t data[64] = {};
                DWORD nameSize = 256;
                DWORD dataSize = sizeof data - sizeof(wchar_t);
                DWORD type = 0;
                if (::RegEnumValueW(key, i, valueName, &nameSize, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data), &dataSize) != ERROR_SUCCESS) {
                    break;
                }
                if (type == REG_SZ && ComNumber(Utf8(data)) != 0) {
                    ports.emplace_back(Utf8(data), Utf8(valueName));
                }
            }
            ::RegCloseKey(key);
        }
    }
    std::sort(ports.begin(), ports.end(), ComOrder);
    ports.erase(
        std::unique(ports.begin(), ports.end(),
                    [](const auto& a, const auto& b) { return EqualsNoCase(a.first, b.first.c_str()); }),
        ports.end());
    return ports;
}

} // namespace

std::vector<std::string> QuilletListSerialDevices() {
    std::vector<std::string> out;
    for (const auto& port : WinListComPorts()) {
        out.push_back(port.first);
    }
    return out;
}
