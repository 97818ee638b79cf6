// The names Windows knows a serial port by: its friendly name from the Ports device class
// ("Communications Port (COM1)", "USB Serial Port (COM7)"), or, where the class lists none, the
// device behind it in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM ("\Device\Serial0"). There are no
// /dev/serial links here; root is not used.
#include "WinUtf8.h"
#include "station/SerialNames.h"

#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <cctype>
#include <cwctype>

namespace {

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// "COM3" of "COM3", "\\.\COM3".
std::string PortName(const std::string& device) {
    return device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
}

std::string FriendlyName(const std::string& port) {
    std::string found;
    const HDEVINFO set = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        for (DWORD i = 0; found.empty() && ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
            HKEY key = ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
            if (key == INVALID_HANDLE_VALUE) {
                continue;
            }
            wchar_t name[64] = {};
            DWORD size = sizeof name - sizeof(wchar_t);
            const bool named = ::RegQueryValueExW(key, L"PortName", nullptr, nullptr,
                                                  reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS;
            ::RegCloseKey(key);
            if (!named || !SameName(quillet::WideToUtf8(name), port)) {
                continue;
            }
            wchar_t friendly[256] = {};
            if (::SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_FRIENDLYNAME, nullptr,
                                                    reinterpret_cast<BYTE*>(friendly),
                                                    sizeof friendly - sizeof(wchar_t), nullptr)) {
                found = quillet::WideToUtf8(friendly);
            }
        }
        ::SetupDiDestroyDeviceInfoList(set);
    }
    if (!found.empty()) {
        return found;
    }
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) ==
        ERROR_SUCCESS) {
        for (DWORD i = 0; found.empty(); ++i) {
            wchar_t valueName[256];
            wchar_t data[64] = {};
            DWORD nameSize = 256;
            DWORD dataSize = sizeof data - sizeof(wchar_t);
            if (::RegEnumValueW(key, i, valueName, &nameSize, nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                                &dataSize) != ERROR_SUCCESS) {
                break;
            }
            if (SameName(quillet::WideToUtf8(data), port)) {
                found = quillet::WideToUtf8(valueName);
            }
        }
        ::RegCloseKey(key);
    }
    return found;
}

} // namespace

std::vector<std::string> StableSerialNames(const std::string& device, const std::string& /*root*/) {
    const std::string name = FriendlyName(PortName(device));
    return name.empty() ? std::vector<std::string>{} : std::vector<std::string>{name};
}

std::string StableSerialNamesText(const std::string& device, const std::string& root) {
    std::string text;
    for (const std::string& name : StableSerialNames(device, root)) {
        text += (text.empty() ? "  [" : ", ") + name;
    }
    return text.empty() ? text : text + "]";
}

std::string CanonicalPortName(const std::string& device) {
    std::wstring name = quillet::Utf8ToWide(device);
    const bool deviceSpace = name.rfind(L"\\\\.\\", 0) == 0;
    if (deviceSpace) {
        name.erase(0, 4);
    }
    const bool com = name.size() > 3 && (name[0] == L'C' || name[0] == L'c') &&
                     (name[1] == L'O' || name[1] == L'o') && (name[2] == L'M' || name[2] == L'm') &&
                     name.find_first_not_of(L"0123456789", 3) == std::wstring::npos;
    if (!com && !deviceSpace) {
        // a file or another path: its full form; Windows' names know no case
        wchar_t full[MAX_PATH * 4];
        const DWORD n = ::GetFullPathNameW(name.c_str(), MAX_PATH * 4, full, nullptr);
        if (n == 0 || n >= MAX_PATH * 4) {
            return device;
        }
        name.assign(full, n);
    }
    for (wchar_t& c : name) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return quillet::WideToUtf8((com || deviceSpace ? L"\\\\.\\" : L"") + name);
}
