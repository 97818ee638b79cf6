// vandrel-cli serve's pipe and scratch file on POSIX.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "ServePipe.h"

bool OpenServePipe(TS_SERVE_PIPE& pipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    pipe.Writer = ::fdopen(fds[1], "w");
    if (!pipe.Writer) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    pipe.Reader = fds[0];
    return true;
}

long ReadServePipe(int reader, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(reader, buffer, size);
        if (n >= 0 || errno != EINTR) {
            return static_cast<long>(n);
        }
    }
}

void CloseServePipeReader(int reader) {
    ::close(reader);
}

std::FILE* OpenScratchFile() {
    return std::tmpfile();
}
