#include <windows.h>

#include <vector>

#include "ModulePath.h"
#include "WinUtf8.h"

namespace platform::detail {
std::string RunningModulePath() {
    std::vector<wchar_t> name(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (n == 0) {
            return {};
        }
        if (n < name.size()) {
            name.resize(n);
            break;
        }
        name.resize(name.size() * 2);
    }
    return quillet::WideToUtf8(std::wstring_view(name.data(), name.size()));
}
} // namespace platform::detail
