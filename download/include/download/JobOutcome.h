// What a job tells its front ends as values, not as texts: the phase it entered, which program
// the target runs, and how it ended (TS_JOB_OUTCOME). The connect sequence, the download session,
// the erase and the dump report these; the station, the command-line tool and the records decide
// from them alone. The texts a job writes (its log, its error text) are for people to read; no
// front end looks inside them.
#pragma once

#include <string>

// How a job ended. Stable numbers.
enum TE_OUTCOME_CLASS : int {
    OUTCOME_OK = 0,
    OUTCOME_OPEN_REFUSED = 1,    // the port (or its device) did not open; Reason: the system's
    OUTCOME_LINK_LOST = 2,       // the device went away under the open port; Reason: the port's
    OUTCOME_NO_ANSWER = 3,       // the target stayed silent within the wait
    OUTCOME_TARGET_REFUSED = 4,  // the target refused or failed a command (Status), or answered
                                 // that a download is not possible (Result), or the flash writer
                                 // did not start (Runner)
    OUTCOME_FILE_ERROR = 5,      // a flash file did not read, is not set, or is not valid (File)
    OUTCOME_VERIFY_MISMATCH = 6, // what was read back differs from what was written
    OUTCOME_CANCELLED = 7,       // the stop flag was set
    OUTCOME_INTERNAL = 8,        // the program itself failed (no link, out of memory...)
};
// "ok", "open-refused", "link-lost", "no-answer", "target-refused", "file", "verify", "cancelled",
// "internal".
const char* OutcomeClassName(TE_OUTCOME_CLASS outcome);

// Where in a job the outcome came from.
enum TE_JOB_STEP : int {
    STEP_NONE = 0,
    STEP_DEVICE,       // waiting for the device (a USB packet device or socket) to appear
    STEP_OPEN,         // opening the port
    STEP_ANSWER,       // waiting for the target's answer
    STEP_STATUS,       // asking which program runs
    STEP_WRITER,       // sending the flash writer
    STEP_WRITER_START, // the flash writer was sent: does it report itself running?
    STEP_FLASH_ID,     // asking the chip selects
    STEP_COMPRESS,     // preparing a file
    STEP_ERASE,        // erasing
    STEP_PROGRAM,      // sending a file's blocks
    STEP_VERIFY,       // reading back what was written
    STEP_READ,         // reading memory (a dump, the erase job's query)
};

// What was wrong with a file (OUTCOME_FILE_ERROR).
enum TE_FILE_PROBLEM : int {
    FILE_PROBLEM_NONE = 0,
    FILE_PROBLEM_COMPRESS, // the .m0 did not compress (a bad record, a write error)
    FILE_PROBLEM_FORMAT,   // neither an .m0 nor a .cp64
    FILE_PROBLEM_OPEN,     // it does not open
    FILE_PROBLEM_READ,     // a record of it did not read
    FILE_PROBLEM_NOT_SET,  // no file is set (the flash writer)
};

struct TS_JOB_OUTCOME {
    TE_OUTCOME_CLASS Class = OUTCOME_OK;
    TE_JOB_STEP Step = STEP_NONE;
    int Status = 0;           // the monitor status of a failed command (negative), 0 otherwise
    int Result = -1;          // STEP_ANSWER: the target's answer when it was one (0 or more)
    int Runner = -1;          // STEP_WRITER_START: the runner that answered instead (-1: none)
    int ExpectedRunner = -1;  // STEP_WRITER_START: the runner the flash writer reports
    std::string Version;      // STEP_WRITER_START: the version that answered
    unsigned SystemError = 0; // OUTCOME_OPEN_REFUSED, OUTCOME_LINK_LOST: the port's error code
    std::string Reason;       // OUTCOME_OPEN_REFUSED, OUTCOME_LINK_LOST: the port's text, whole
    TE_FILE_PROBLEM File = FILE_PROBLEM_NONE;
    std::string Text; // the job's error text as its log gets it (may be empty)

    bool Ok() const { return Class == OUTCOME_OK; }
};

// The phases a job reports as it enters them.
enum TE_JOB_PHASE : int {
    JOB_PHASE_CONNECT,    // opening, waiting for the answer, which program runs
    JOB_PHASE_WRITER,     // the flash writer goes to the boot loader
    JOB_PHASE_COMPRESS,   // an .m0 is compressed
    JOB_PHASE_ERASE,      // a download's touched areas are erased
    JOB_PHASE_PROGRAM,    // a file's blocks are sent
    JOB_PHASE_VERIFY,     // what was written is read back
    JOB_PHASE_READ,       // memory is read (a dump)
    JOB_PHASE_ERASE_CHIP, // the erase job: query and erase
    JOB_PHASE_FLASH_ID,   // the chip selects are asked
};
