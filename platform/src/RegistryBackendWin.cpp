#include "RegistryBackendWin.h"

#include "WinUtf8.h"

#include <windows.h>

#include <cstring>

namespace platform::winreg {

namespace {

HKEY RootHandle(uint32_t root) {
    // The predefined keys are these numbers sign-extended to a handle.
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG_PTR>(static_cast<int32_t>(root))));
}

bool IsText(uint32_t type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

} // namespace

long OpenKey(uint32_t root, const std::string& path, bool fullAccess) {
    HKEY key = nullptr;
    const LSTATUS rc = ::RegOpenKeyExW(RootHandle(root), quillet::Utf8ToWide(path).c_str(), 0,
                                       fullAccess ? KEY_ALL_ACCESS : KEY_READ, &key);
    if (rc == ERROR_SUCCESS) {
        ::RegCloseKey(key);
    }
    return rc;
}

long CreateKey(uint32_t root, const std::string& path) {
    HKEY key = nullptr;
    const LSTATUS rc = ::RegCreateKeyExW(RootHandle(root), quillet::Utf8ToWide(path).c_str(), 0, nullptr,
                                         REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) {
        ::RegCloseKey(key);
    }
    return rc;
}

long QueryValue(uint32_t root, const std::string& path, const std::string& name, uint32_t& type,
                std::string& data) {
    HKEY key = nullptr;
    LSTATUS rc = ::RegOpenKeyExW(RootHandle(root), quillet::Utf8ToWide(path).c_str(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    const std::wstring wname = quillet::Utf8ToWide(name);
    DWORD valueType = 0;
    DWORD size = 0;
    rc = ::RegQueryValueExW(key, wname.c_str(), nullptr, &valueType, nullptr, &size);
    std::string bytes;
    if (rc == ERROR_SUCCESS) {
        bytes.resize(size);
        rc = ::RegQueryValueExW(key, wname.c_str(), nullptr, &valueType,
                                reinterpret_cast<BYTE*>(bytes.data()), &size);
        bytes.resize(size);
    }
    ::RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    type = valueType;
    if (IsText(valueType)) {
        std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
        std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0') {
            text.pop_back();
        }
        data = quillet::WideToUtf8(text);
    } else {
        data = std::move(bytes);
    }
    return ERROR_SUCCESS;
}

long SetValue(uint32_t root, const std::string& path, const std::string& name, uint32_t type,
              const std::string& data) {
    HKEY key = nullptr;
    LSTATUS rc = ::RegOpenKeyExW(RootHandle(root), quillet::Utf8ToWide(path).c_str(), 0, KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    if (IsText(type)) {
        const std::wstring text = quillet::Utf8ToWide(data);
        rc = ::RegSetValueExW(key, quillet::Utf8ToWide(name).c_str(), 0, type,
                              reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    } else {
        rc = ::RegSetValueExW(key, quillet::Utf8ToWide(name).c_str(), 0, type,
                              reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
    }
    ::RegCloseKey(key);
    return rc;
}

long DeleteTree(uint32_t root, const std::string& path) {
    return ::RegDeleteTreeW(RootHandle(root), quillet::Utf8ToWide(path).c_str());
}

} // namespace platform::winreg
