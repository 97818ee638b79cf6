// The Memory Dump page's dump to file, without any window: every byte of [start, end) read from
// the target and written to a .bin file (raw memory, no header, double words as received).
//
// Commands: 250 double words (1000 bytes) while that many remain (249 on USB, whose replies carry
// at most 996 bytes), then remaining / 4 double words, then the last 1..3 bytes as bytes.
//
// Shown on the observer: the status line emptied at the start; the progress range and position as
// offsets from the start (DumpProgressValue: they fit a signed 32-bit bar for any range) and the
// text "Saving target flash memory to BIN file.. N%" after every command; the final status text.
// The view shows the progress bar while the job runs, runs the elapsed time and, when the job has
// returned, shows the result's file information.
//
// Failures: the file that does not open ("File Open Error", nothing else changes); a read error
// ("Memory read error [ Error code : N ]", the bytes before it stay in the file); a write error,
// such as a full disk ("BIN file write error [ reason ]", never reported as created); a stop
// request, looked at before each command ("BIN file is incomplete ...", the bytes before it stay).
#pragma once

#include "download/JobOutcome.h"

#include <cstdint>
#include <string>

#include "quillet/OstraMonitor.h"
#include "tools/ToolJob.h"

inline constexpr const char* DUMP_SAVING_TEXT = "Saving target flash memory to BIN file..";
inline constexpr const char* DUMP_FILE_CREATED_TEXT = "BIN file is created";
inline constexpr const char* DUMP_FILE_OPEN_ERROR_TEXT = "File Open Error";
inline constexpr const char* DUMP_ELAPSED_LABEL = "Elapsed time     :";
inline constexpr int DUMP_ELAPSED_TIMER_MS = 1000;

// "Elapsed time     :  hh:mm:ss", what the page's elapsed time shows on every tick.
std::string DumpElapsedText(int64_t seconds);
// "Saving target flash memory to BIN file.. 42%" for `done` of `length` bytes.
std::string DumpSavingText(uint64_t done, uint64_t length);

enum TE_DUMP_FILE_OUTCOME : int32_t {
    DUMP_FILE_CREATED = 0,
    DUMP_FILE_BAD_RANGE = 1,   // start not below end: nothing opened, nothing sent
    DUMP_FILE_OPEN_ERROR = 2,  // the file does not open: nothing sent
    DUMP_FILE_READ_ERROR = 3,  // a MemoryDump failed: the file holds the bytes before it
    DUMP_FILE_WRITE_ERROR = 4, // the file could not take the bytes: it is incomplete
    DUMP_FILE_STOPPED = 5,     // stopped before a command: the file holds the bytes before it
};

struct TS_DUMP_FILE_RESULT {
    TE_DUMP_FILE_OUTCOME Outcome = DUMP_FILE_CREATED;
    // The same, as the typed outcome every job reports (OnJobEnd): a read error is the target's
    // refusal (Status) or a lost link, a file that does not open or take the bytes a file error.
    TS_JOB_OUTCOME JobOutcome() const;
    int Status = 0;            // the MemoryDump result, on a read error
    bool LinkLost = false;     // a read error: the port's error says that the device went away
    uint32_t Reached = 0;      // the file holds [start, Reached)
    uint64_t BytesWritten = 0; // = Reached - start
    // The status line text at the end; empty when the status line is not shown (bad range, open error).
    std::string StatusText;
    // The file information: "<path>[N bytes]" or "<path>[error]" after a created (or stopped) dump;
    // empty otherwise.
    std::string FileInfo;
    // A text for a message box ("File Open Error", the range message), or empty.
    std::string MessageBox;
    // The reason in full, naming the file or the address (for the log and the command line).
    std::string Detail;

    bool Ok() const { return Outcome == DUMP_FILE_CREATED; }
};

// Runs the dump on the caller's thread. The file is created or truncated.
TS_DUMP_FILE_RESULT DumpToFile(COstraMonitor& monitor, const std::string& path, uint32_t start, uint32_t end,
                               const TS_JOB_HOOKS& hooks = {});
