// Holds a port the way a terminal program does: opened without sharing, until standard input
// ends. Says "held" once it has it. tests/windows/ports.sh runs it under wine beside vandrel-cli.
//   windows_hold_port COM5
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: windows_hold_port PORT\n");
        return 2;
    }
    const std::string name = std::string("\\\\.\\") + argv[1];
    const HANDLE port = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %s: error %lu\n", name.c_str(), ::GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    ::CloseHandle(port);
    return 0;
}
