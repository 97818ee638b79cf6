// The few POSIX calls the engines and the command line use, for the Windows build (mingw-w64).
// Force-included into every file of that build (cmake/VandrelWindows.cmake); implemented in
// posix-compat.cpp. The C runtime already has open/read/write/close, fstat and friends; what it
// lacks or does differently is here:
//
// - every open() of ours passes O_CLOEXEC, which is _O_BINARY here: no file of ours is ever
//   opened in text mode (which would turn 0A into 0D 0A);
// - rename() replaces an existing file, as POSIX rename does (MoveFileEx with replace; the link
//   step wraps the C runtime's rename, cmake/VandrelWindows.cmake);
// - stat() and access() also know devices ("COM3", "\\.\COM3", "\\.\pipe\name", "\\.\Csr0"),
//   which the C runtime reports as missing;
// - setenv, mkdtemp, localtime_r, fsync, mkdir with a mode, getpwuid, getgrgid, gethostname,
//   ioctl(TIOCGWINSZ) on the console.
//
// File names are UTF-8 throughout: the programs carry a manifest that makes UTF-8 the process
// code page, so the C runtime's narrow calls take UTF-8.
#pragma once

#ifdef __cplusplus
#include <cstdio>
#include <cstdlib>
#include <ctime>
#else
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#endif
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC _O_BINARY
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_DIRECTORY
#define O_DIRECTORY 0
#endif
#ifndef S_ISSOCK
#define S_ISSOCK(m) 0
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) 0
#endif
#ifndef S_IFSOCK
#define S_IFSOCK 0
#endif

#ifdef __cplusplus
extern "C" {
#endif

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
void* memmem(const void* haystack, size_t haystackLength, const void* needle, size_t needleLength);
int vandrel_mkdir(const char* path);

#ifdef __cplusplus
}
inline int mkdir(const char* path, int /*mode*/) {
    return vandrel_mkdir(path);
}
// std::filesystem::path::c_str() is a wide string here.
int vandrel_access(const wchar_t* path, int mode);
#endif

#define stat(path, st) vandrel_stat(path, st)
#define access(path, mode) vandrel_access(path, mode)
