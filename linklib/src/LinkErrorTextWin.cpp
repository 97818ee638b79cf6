// The words for a port result code on Windows: the system's own message (FormatMessage), the
// number, and for the usual causes at a COM port what they mean there:
//   "Access is denied (error 5): another program has it open" (and the same for a sharing
//   violation, error 32).
#include "LinkError.h"
#include "WinUtf8.h"

#include <windows.h>

#include <cstdio>

namespace quillet {

namespace {

std::string SystemMessage(uint32_t code) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out;
    if (n > 0 && text != nullptr) {
        out = WideToUtf8(std::wstring_view(text, n));
    }
    if (text != nullptr) {
        ::LocalFree(text);
    }
    // One line, without the closing full stop.
    while (!out.empty() &&
           (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    return out;
}

} // namespace

std::string WinErrorText(uint32_t code) {
    std::string text;
    switch (code) {
    case kErrInvalidArg:
        text = "a port setting is outside its table";
        break;
    case kErrInvalidFunction:
        text = "not a serial device";
        break;
    default:
        text = SystemMessage(code);
        break;
    }
    char number[32];
    std::snprintf(number, sizeof number, "error %u", code);
    std::string out = text.empty() ? std::string(number) : text + " (" + number + ")";
    switch (code) {
    case kErrAccessDenied:
    case kErrSharingViolation:
        out += ": another program has it open";
        break;
    case kErrFileNotFound:
        out += ": there is no such port on this machine";
        break;
    default:
        break;
    }
    return out;
}

} // namespace quillet
