// The terminal vandrel-cli writes to: whether standard output is one that takes the progress
// line's control sequences (carriage return, erase to the end of the line). On Windows this also
// prepares the console: UTF-8 output, and virtual terminal sequences where the console has them
// (where it has not, the output is plain lines).
#pragma once

#include <cstdio>

bool PrepareConsoleOutput();

// The width in characters of the terminal (or console window) a stream writes to; 0 when it
// writes to none (a pipe, a file) or the width is unknown.
int ConsoleColumns(std::FILE* stream);
