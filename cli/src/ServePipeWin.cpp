// vandrel-cli serve's pipe and scratch file on Windows: an anonymous pipe through the C runtime's
// descriptors (binary, so the JSON Lines pass unchanged, and not inherited), and a file in the
// user's temporary folder that the system removes when it is closed (the C runtime's tmpfile
// would write to the drive's root folder, which an ordinary user may not).
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <climits>
#include <string>

#include "ServePipe.h"

namespace {
constexpr unsigned kPipeBytes = 64 * 1024;
}

bool OpenServePipe(TS_SERVE_PIPE& pipe) {
    int fds[2];
    if (::_pipe(fds, kPipeBytes, _O_BINARY | _O_NOINHERIT) != 0) {
        return false;
    }
    pipe.Writer = ::_fdopen(fds[1], "wb");
    if (!pipe.Writer) {
        ::_close(fds[0]);
        ::_close(fds[1]);
        return false;
    }
    pipe.Reader = fds[0];
    return true;
}

long ReadServePipe(int reader, char* buffer, std::size_t size) {
    const unsigned count = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
    return ::_read(reader, buffer, count);
}

void CloseServePipeReader(int reader) {
    ::_close(reader);
}

std::FILE* OpenScratchFile() {
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    wchar_t path[MAX_PATH + 1];
    if (length == 0 || length > MAX_PATH || ::GetTempFileNameW(folder, L"vdl", 0, path) == 0) {
        return nullptr;
    }
    // "D": removed when closed; "T": kept in memory while it is small
    std::FILE* file = ::_wfopen(path, L"w+bTD");
    if (!file) {
        ::DeleteFileW(path);
    }
    return file;
}
