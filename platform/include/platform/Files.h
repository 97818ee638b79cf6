// Files, folders and devices as each operating system has them, one source file per system
// (FilesPosix.cpp, FilesWin.cpp, chosen in CMake). Paths are UTF-8 everywhere; the descriptors are
// the C runtime's (read, write, fstat, close on both systems).
#pragma once

#include <cstdio>
#include <string>

namespace platform {

enum class EFileOpen {
    Read,          // an existing file, for reading
    ReadNoWait,    // the same, without waiting for a writer (a FIFO) and never as a terminal
    CreateNew,     // a new file for writing: EEXIST when there is one
    CreateOrEmpty, // a file for writing, made or emptied
};

// A descriptor never inherited by a child process (and binary on Windows), or -1 with errno.
// permissions apply to a new file on POSIX (before the umask).
int OpenFile(const std::string& path, EFileOpen how, unsigned permissions = 0666);

// A stream appending to path (made when missing), never inherited by a child process; nullptr
// with errno.
std::FILE* OpenAppendStream(const std::string& path);

// from takes the place of to in one step, whether or not to exists; 0 or the errno value.
// Windows refuses while another process has to open without sharing its deletion: that is tried
// again for up to two seconds.
int RenameReplacing(const std::string& from, const std::string& to);

// The file's data on the disk; 0 or the errno value.
int SyncFile(int fd);
// A folder's entries on the disk after a file in it was replaced (POSIX; NTFS journals them).
void SyncFolder(const std::string& path);

// One folder, for this user only; 0 or the errno value (EEXIST when it is there).
int MakeFolder(const std::string& path);

// A new empty folder in the system's temporary folder, its name starting with stem; empty when
// none could be made.
std::string MakeTemporaryFolder(const std::string& stem);

// Whether a file, folder or device is there: device nodes and sockets on POSIX; on Windows also
// the device names "COM3", "\\.\COM3", "\\.\Csr0" and "\\.\pipe\name" (a pipe that a server
// offers), which the C runtime reports as missing. Nothing is opened.
bool PathPresent(const std::string& path);

// An environment variable of this process, as getenv and child processes see it.
void SetEnvironment(const std::string& name, const std::string& value);

} // namespace platform
