// What vandrel-cli serve needs of the system to hand the station's output to the service: a pipe
// whose writing end is a C stream (the station writes its JSON Lines there as it writes stdout)
// and whose reading end a thread reads, and a scratch file for the station's error messages. One
// file per system: ServePipePosix.cpp (pipe2, tmpfile) and ServePipeWin.cpp (the C runtime's
// _pipe, a delete-on-close file in the user's temporary folder).
#pragma once

#include <cstddef>
#include <cstdio>

struct TS_SERVE_PIPE {
    std::FILE* Writer = nullptr; // closing it (fclose) ends the reader's reads
    int Reader = -1;
};

// false: no pipe (nothing is left open)
bool OpenServePipe(TS_SERVE_PIPE& pipe);
// Blocks until something was written: the byte count, 0 once the writer is closed, -1 on an error.
long ReadServePipe(int reader, char* buffer, std::size_t size);
void CloseServePipeReader(int reader);
// A file to write and read back, removed when closed; nullptr when none can be made.
std::FILE* OpenScratchFile();
