// Files, folders and devices on Windows: CreateFileW handles that no child process inherits,
// shared for reading, writing and deletion (so that replacing a file others read is possible),
// handed to the C runtime as descriptors; MoveFileExW for replacing; the object manager's names
// for devices.
#include "platform/Files.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

#include <cerrno>
#include <cwctype>
#include <random>

#include "MappedFile.h"
#include "WinUtf8.h"

namespace platform {

namespace {

using quillet::Utf8ToWide;
using quillet::WideToUtf8;

int ErrnoOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
        return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
        return EINVAL;
    default:
        return EIO;
    }
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
    for (std::size_t i = 0; prefix[i] != L'\0'; ++i) {
        if (i >= text.size() || std::towlower(text[i]) != std::towlower(prefix[i])) {
            return false;
        }
    }
    return true;
}

// "COM3" (a DOS device name in every folder) or "\\.\NAME": the name the object manager knows it by.
bool DosDeviceName(const std::wstring& path, std::wstring& name) {
    if (StartsWithNoCase(path, L"\\\\.\\")) {
        name = path.substr(4);
        return true;
    }
    if (path.size() > 3 && StartsWithNoCase(path, L"com")) {
        for (std::size_t i = 3; i < path.size(); ++i) {
            if (path[i] < L'0' || path[i] > L'9') {
                return false;
            }
        }
        name = path;
        return true;
    }
    return false;
}

} // namespace

int OpenFile(const std::string& path, EFileOpen how, unsigned /*permissions*/) {
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    int crtFlags = _O_RDONLY | _O_NOINHERIT;
    switch (how) {
    case EFileOpen::Read:
    case EFileOpen::ReadNoWait:
        break;
    case EFileOpen::CreateNew:
        access = GENERIC_WRITE;
        disposition = CREATE_NEW;
        crtFlags = _O_WRONLY | _O_NOINHERIT;
        break;
    case EFileOpen::CreateOrEmpty:
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        crtFlags = _O_WRONLY | _O_NOINHERIT;
        break;
    }
    const std::wstring name = Utf8ToWide(path);
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE}; // not inherited
    const HANDLE h =
        ::CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security,
                      disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        // a folder opened as a file is refused as access denied
        errno = error == ERROR_ACCESS_DENIED && IsFolder(name) ? EISDIR : ErrnoOf(error);
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), crtFlags);
    if (fd < 0) {
        ::CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

std::FILE* OpenAppendStream(const std::string& path) {
    // "N": the C runtime's handle is not inherited
    return ::_wfopen(Utf8ToWide(path).c_str(), L"abN");
}

int RenameReplacing(const std::string& from, const std::string& to) {
    const std::wstring source = Utf8ToWide(from);
    const std::wstring target = Utf8ToWide(to);
    for (int attempt = 0;; ++attempt) {
        if (::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            return 0;
        }
        const DWORD error = ::GetLastError();
        // another process has the target open (a reader of the same file): it lets go soon
        const bool inUse = (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                            error == ERROR_LOCK_VIOLATION) &&
                           !IsFolder(target);
        if (!inUse || attempt >= 200) {
            return ErrnoOf(error);
        }
        ::Sleep(10);
    }
}

int SyncFile(int fd) {
    return ::_commit(fd) == 0 ? 0 : errno;
}

void SyncFolder(const std::string& /*path*/) {}

int MakeFolder(const std::string& path) {
    return ::CreateDirectoryW(Utf8ToWide(path).c_str(), nullptr) ? 0 : ErrnoOf(::GetLastError());
}

std::string MakeTemporaryFolder(const std::string& stem) {
    wchar_t base[MAX_PATH + 1] = {};
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
    if (n == 0 || n > MAX_PATH) {
        return {};
    }
    std::random_device seed;
    std::mt19937_64 random(seed() ^ (static_cast<unsigned long long>(::GetCurrentProcessId()) << 32));
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = stem;
        for (int i = 0; i < 8; ++i) {
            name += kChars[random() % 36];
        }
        const std::wstring path = std::wstring(base) + Utf8ToWide(name);
        if (::CreateDirectoryW(path.c_str(), nullptr)) {
            return WideToUtf8(path);
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    return {};
}

bool PathPresent(const std::string& path) {
    const std::wstring name = Utf8ToWide(path);
    if (StartsWithNoCase(name, L"\\\\.\\pipe\\")) {
        // a server offers it: free (TRUE) or all its instances busy; nothing is connected
        return ::WaitNamedPipeW(name.c_str(), 1) || ::GetLastError() == ERROR_SEM_TIMEOUT ||
               ::GetLastError() == ERROR_PIPE_BUSY;
    }
    if (std::wstring device; DosDeviceName(name, device)) {
        wchar_t target[1024];
        return ::QueryDosDeviceW(device.c_str(), target, 1024) != 0;
    }
    return !name.empty() && ::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void SetEnvironment(const std::string& name, const std::string& value) {
    // the C runtime's copy, which getenv reads and child processes get
    ::_wputenv_s(Utf8ToWide(name).c_str(), Utf8ToWide(value).c_str());
}

// ---- CMappedFile: a view of a file mapping ----

bool CMappedFile::Open(const std::string& path) {
    Close();
    const HANDLE file = ::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size{};
    const bool regular = ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileSizeEx(file, &size) &&
                         size.QuadPart > 0 && static_cast<unsigned long long>(size.QuadPart) <= SIZE_MAX;
    const HANDLE mapping =
        regular ? ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr) : nullptr;
    ::CloseHandle(file);
    if (mapping == nullptr) {
        return false;
    }
    // the view keeps the mapping for itself
    const void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    ::CloseHandle(mapping);
    if (view == nullptr) {
        return false;
    }
    m_data = static_cast<const unsigned char*>(view);
    m_size = static_cast<std::size_t>(size.QuadPart);
    return true;
}

void CMappedFile::Close() {
    if (m_data) {
        ::UnmapViewOfFile(m_data);
    }
    m_data = nullptr;
    m_size = 0;
}

} // namespace platform
