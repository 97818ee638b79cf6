// UTF-8 and UTF-16 on Windows: the program's texts are UTF-8, the W functions of the system take
// and give UTF-16. Header-only and Windows-only (the target quillet_wintext): the backend files of
// linklib/, platform/ and station/ share it without linking anything of libquillet.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace quillet {

// Bytes that are not UTF-8 become U+FFFD, as the system converts them.
inline std::wstring Utf8ToWide(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) {
        return {};
    }
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

inline std::string WideToUtf8(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                        nullptr, nullptr);
    if (n <= 0) {
        return {};
    }
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                          nullptr);
    return out;
}

// A zero-terminated text the system filled in; empty for none.
inline std::string WideToUtf8(const wchar_t* text) {
    return text != nullptr ? WideToUtf8(std::wstring_view(text)) : std::string();
}

} // namespace quillet
