// Who and where on Windows: the computer's DNS host name, the account this process runs as, the
// user's profile folder.
#include "platform/HostIdentity.h"

#include <windows.h>

#include <lmcons.h>

#include <cstdlib>

#include "WinUtf8.h"

namespace platform {

std::string HostName() {
    wchar_t name[256] = {};
    DWORD size = 256;
    if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &size) || size == 0) {
        return "localhost";
    }
    return quillet::WideToUtf8(std::wstring_view(name, size));
}

std::string UserName() {
    wchar_t name[UNLEN + 1] = {};
    DWORD size = UNLEN + 1;
    if (::GetUserNameW(name, &size) && size > 1) {
        return quillet::WideToUtf8(std::wstring_view(name, size - 1)); // size counted the terminator
    }
    const wchar_t* user = ::_wgetenv(L"USERNAME");
    return user ? quillet::WideToUtf8(user) : std::string();
}

std::string HomeFolder() {
    const wchar_t* profile = ::_wgetenv(L"USERPROFILE");
    return profile ? quillet::WideToUtf8(profile) : std::string();
}

} // namespace platform
