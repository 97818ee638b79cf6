// Where the device names the link uses are found on Windows.
//
// "COM1" .. "COM4" (and any "COMn"): the environment variable VANDREL_COMn first, then the path set
// with QuilletSetComPath, then the Windows port of that name, "\\.\COMn". "\\.\Csr0": the
// environment variable VANDREL_USB_DEVICE, then QuilletSetUsbDevicePath, then the vendor driver's
// "\\.\Csr0". The serial ports present are those the Ports device class lists (SetupAPI), or, where
// it lists none, the ones in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM.
#include "PortMapSystem.h"
#include "WinUtf8.h"
#include "quillet/PortMap.h"

#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool ComOrder(const std::pair<std::string, std::string>& a, const std::pair<std::string, std::string>& b) {
    const int na = quillet::ComNumber(a.first);
    const int nb = quillet::ComNumber(b.first);
    return na != nb ? na < nb : a.first < b.first;
}

} // namespace

namespace quillet {

std::string DefaultComDevice(int n) {
    return "\\\\.\\COM" + std::to_string(n);
}

std::string DefaultUsbDevice() {
    return "\\\\.\\Csr0";
}

} // namespace quillet

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
            if (!named || quillet::ComNumber(quillet::WideToUtf8(name)) == 0) {
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
            ports.emplace_back(quillet::WideToUtf8(name), quillet::WideToUtf8(friendly));
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
                if (type == REG_SZ && quillet::ComNumber(quillet::WideToUtf8(data)) != 0) {
                    ports.emplace_back(quillet::WideToUtf8(data), quillet::WideToUtf8(valueName));
                }
            }
            ::RegCloseKey(key);
        }
    }
    std::sort(ports.begin(), ports.end(), ComOrder);
    ports.erase(std::unique(ports.begin(), ports.end(),
                            [](const auto& a, const auto& b) {
                                return quillet::EqualsNoCase(a.first, b.first.c_str());
                            }),
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
