// The POSIX calls of posix-compat.h on the Windows API.
#include <windows.h>

#include <direct.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "grp.h"
#include "pwd.h"
#include "sys/ioctl.h"
#include "sys/mman.h"
#include "sys/socket.h"

extern "C" {
int vandrel_stat(const char* path, struct stat* st);
int vandrel_access(const char* path, int mode);
int setenv(const char* name, const char* value, int overwrite);
int unsetenv(const char* name);
char* mkdtemp(char* pattern);
struct tm* localtime_r(const time_t* when, struct tm* out);
struct tm* gmtime_r(const time_t* when, struct tm* out);
int fsync(int fd);
unsigned int getuid(void);
unsigned int geteuid(void);
unsigned int getgid(void);
int gethostname(char* name, size_t length);
char* realpath(const char* path, char* resolved);
int vandrel_mkdir(const char* path);
int __wrap_rename(const char* from, const char* to);
void* memmem(const void* haystack, size_t haystackLength, const void* needle, size_t needleLength);
}
int vandrel_access(const wchar_t* path, int mode);

namespace {

std::wstring Wide(const char* utf8) {
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    if (n > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), n);
    }
    out.resize(std::wcslen(out.c_str()));
    return out;
}

bool StartsWithNoCase(const char* s, const char* prefix) {
    return ::_strnicmp(s, prefix, std::strlen(prefix)) == 0;
}

// "COM3", "\\.\COM3", "\\.\pipe\name", "\\.\Csr0": names of devices rather than files. 0 for a
// file name, 1 for a DOS device name, 2 for a pipe.
int DeviceKind(const char* path) {
    if (StartsWithNoCase(path, "\\\\.\\pipe\\")) {
        return 2;
    }
    const char* name = StartsWithNoCase(path, "\\\\.\\") ? path + 4 : path;
    if (name != path) {
        return 1;
    }
    if (StartsWithNoCase(name, "COM") && name[3] >= '1' && name[3] <= '9') {
        for (const char* p = name + 3; *p != '\0'; ++p) {
            if (*p < '0' || *p > '9') {
                return 0;
            }
        }
        return 1;
    }
    return 0;
}

// Whether a device exists: a DOS device name that the object manager knows, or a pipe that a
// server offers.
bool DeviceExists(const char* path, int kind) {
    if (kind == 2) {
        return ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES ||
               ::GetLastError() == ERROR_PIPE_BUSY;
    }
    const char* name = StartsWithNoCase(path, "\\\\.\\") ? path + 4 : path;
    wchar_t target[512];
    return ::QueryDosDeviceW(Wide(name).c_str(), target, 512) != 0;
}

} // namespace

extern "C" {

// Whether two files hold the same bytes.
bool SameContents(const wchar_t* a, const wchar_t* b) {
    FILE* fa = ::_wfopen(a, L"rb");
    FILE* fb = fa != nullptr ? ::_wfopen(b, L"rb") : nullptr;
    bool same = fa != nullptr && fb != nullptr;
    char ba[8192];
    char bb[8192];
    while (same) {
        const size_t na = std::fread(ba, 1, sizeof ba, fa);
        const size_t nb = std::fread(bb, 1, sizeof bb, fb);
        same = na == nb && std::memcmp(ba, bb, na) == 0;
        if (na == 0 || na < sizeof ba) {
            break;
        }
    }
    if (fa != nullptr) {
        std::fclose(fa);
    }
    if (fb != nullptr) {
        std::fclose(fb);
    }
    return same;
}

// POSIX rename replaces the target at once even while others have it open; Windows refuses while
// the target is open (access denied, sharing violation). Several handsets flashed at once write
// the same .cp64 beside the same source, and read it while others replace it: a target that
// already holds the very same bytes is left alone (it counts as replaced, and a reader never
// finds it gone), and a target in use is tried again for a while.
int __wrap_rename(const char* from, const char* to) {
    const std::wstring source = Wide(from);
    const std::wstring target = Wide(to);
    if (SameContents(source.c_str(), target.c_str())) {
        ::DeleteFileW(source.c_str());
        return 0;
    }
    for (int attempt = 0;; ++attempt) {
        if (::MoveFileExW(source.c_str(), target.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
            return 0;
        }
        const DWORD err = ::GetLastError();
        const bool inUse = err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION;
        if (inUse && SameContents(source.c_str(), target.c_str())) {
            ::DeleteFileW(source.c_str());
            return 0;
        }
        if (!inUse || attempt >= 200) {
            errno = err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
            return -1;
        }
        ::Sleep(10);
    }
}

int vandrel_stat(const char* path, struct stat* st) {
    if (const int kind = DeviceKind(path); kind != 0) {
        if (!DeviceExists(path, kind)) {
            errno = ENOENT;
            return -1;
        }
        std::memset(st, 0, sizeof *st);
        st->st_mode = kind == 2 ? _S_IFIFO : _S_IFCHR;
        return 0;
    }
    return ::stat(path, st);
}

int vandrel_access(const char* path, int mode) {
    if (const int kind = DeviceKind(path); kind != 0) {
        // Whether a device can be opened is known only by opening it: the open says why not.
        if (DeviceExists(path, kind)) {
            return 0;
        }
        errno = ENOENT;
        return -1;
    }
    return ::_access(path, mode & 6);
}

int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name) != nullptr) {
        return 0;
    }
    return ::_putenv_s(name, value) == 0 ? 0 : -1;
}

int unsetenv(const char* name) {
    return ::_putenv_s(name, "") == 0 ? 0 : -1;
}

char* mkdtemp(char* pattern) {
    const size_t length = std::strlen(pattern);
    if (length < 6 || std::strcmp(pattern + length - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned long long seed = ::GetTickCount64() * 2654435761ULL + ::GetCurrentProcessId() * 40503ULL +
                                  static_cast<unsigned>(attempt) * 97ULL;
        for (size_t i = length - 6; i < length; ++i) {
            pattern[i] = kChars[seed % 36];
            seed /= 36;
        }
        if (::CreateDirectoryW(Wide(pattern).c_str(), nullptr)) {
            return pattern;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    errno = EEXIST;
    return nullptr;
}

struct tm* localtime_r(const time_t* when, struct tm* out) {
    static std::mutex mutex; // the C runtime's localtime keeps one record per thread; copied at once
    std::lock_guard lock(mutex);
    const struct tm* t = std::localtime(when);
    return t != nullptr ? (*out = *t, out) : nullptr;
}

struct tm* gmtime_r(const time_t* when, struct tm* out) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    const struct tm* t = std::gmtime(when);
    return t != nullptr ? (*out = *t, out) : nullptr;
}

int fsync(int fd) {
    return ::_commit(fd);
}

void* memmem(const void* haystack, size_t haystackLength, const void* needle, size_t needleLength) {
    if (needleLength == 0) {
        return const_cast<void*>(haystack);
    }
    const auto* h = static_cast<const char*>(haystack);
    const auto* end = h + haystackLength;
    const auto* found = std::search(h, end, static_cast<const char*>(needle),
                                    static_cast<const char*>(needle) + needleLength);
    return found == end ? nullptr : const_cast<char*>(found);
}

char* realpath(const char* path, char* resolved) {
    char* full = ::_fullpath(resolved, path, resolved != nullptr ? MAX_PATH : 0);
    if (full != nullptr && ::GetFileAttributesW(Wide(full).c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (resolved == nullptr) {
            std::free(full);
        }
        errno = ENOENT;
        return nullptr;
    }
    return full;
}

int vandrel_mkdir(const char* path) {
    return ::_mkdir(path);
}

int socket(int, int, int) {
    errno = ENOSYS; // no Unix sockets here: the USB device is the driver's, or a named pipe
    return -1;
}

int connect(int, const struct sockaddr*, unsigned int) {
    errno = ENOSYS;
    return -1;
}

void* mmap(void*, size_t length, int, int, int fd, long long offset) {
    // Only what the version block reader needs: a private read-only view of a whole file.
    void* copy = std::malloc(length != 0 ? length : 1);
    if (copy == nullptr || ::_lseeki64(fd, offset, SEEK_SET) < 0) {
        std::free(copy);
        return MAP_FAILED;
    }
    size_t done = 0;
    while (done < length) {
        const int n = ::_read(fd, static_cast<char*>(copy) + done,
                              static_cast<unsigned>(std::min<size_t>(length - done, 1u << 30)));
        if (n <= 0) {
            std::free(copy);
            return MAP_FAILED;
        }
        done += static_cast<size_t>(n);
    }
    return copy;
}

int munmap(void* address, size_t) {
    std::free(address);
    return 0;
}

unsigned int getuid(void) {
    return 0;
}

unsigned int geteuid(void) {
    return 0;
}

unsigned int getgid(void) {
    return 0;
}

// the computer's DNS host name (winsock's gethostname would need WSAStartup)
int gethostname(char* name, size_t length) {
    DWORD size = static_cast<DWORD>(length);
    return ::GetComputerNameExA(ComputerNameDnsHostname, name, &size) ? 0 : -1;
}

struct passwd* getpwuid(unsigned int) {
    static char name[] = "user";
    static char home[MAX_PATH * 3] = "";
    static passwd entry{name, home};
    if (home[0] == '\0') {
        if (const char* profile = std::getenv("USERPROFILE")) {
            std::strncpy(home, profile, sizeof home - 1);
        }
    }
    return &entry;
}

struct group* getgrgid(unsigned int) {
    return nullptr;
}

int ioctl(int fd, unsigned long request, ...) {
    if (request != TIOCGWINSZ) {
        errno = EINVAL;
        return -1;
    }
    va_list args;
    va_start(args, request);
    winsize* ws = va_arg(args, winsize*);
    va_end(args);
    CONSOLE_SCREEN_BUFFER_INFO info;
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(h, &info)) {
        errno = ENOTTY;
        return -1;
    }
    ws->ws_col = static_cast<unsigned short>(info.srWindow.Right - info.srWindow.Left + 1);
    ws->ws_row = static_cast<unsigned short>(info.srWindow.Bottom - info.srWindow.Top + 1);
    ws->ws_xpixel = 0;
    ws->ws_ypixel = 0;
    return 0;
}

} // extern "C"

int vandrel_access(const wchar_t* path, int mode) {
    return ::_waccess(path, mode & 6);
}
