// Job files: a TOML file that pins everything a production line flashes, so that an operator
// cannot get it wrong. Paths are relative to the job file. docs/JOBS.md describes the format.
//
//   TS_LINE_JOB job;
//   TS_JOB_ERROR error;
//   if (!LoadJobFile("line.toml", job, error)) { puts(error.Text().c_str()); return 2; }
//
// Loading refuses, naming file, line and column: a syntax error, an unknown key, a missing key or
// file, an image or writer whose SHA-256 differs from the pinned one, a serial field outside every
// area the job's images erase.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "line/SerialNumber.h"

struct TS_JOB_ERROR {
    std::string File;
    int Line = 0; // 1-based; 0 when the refusal has no place in the file
    int Column = 0;
    std::string Reason;
    // "line.toml:4:1: unknown key 'verfy'"
    std::string Text() const;
};

struct TS_JOB_FILE {
    std::string Path;   // as the job names it, made absolute against the job file's folder
    std::string Sha256; // pinned, lower case
};

// An area the job's images erase.
struct TS_JOB_AREA {
    std::string Name; // "Ostra Main Code"
    uint32_t Start = 0;
    uint32_t End = 0;
};

struct TS_LINE_JOB {
    std::string Path;   // of the job file
    std::string Sha256; // of the job file
    std::string Text;   // the job file's text
    std::string Name;
    TS_JOB_FILE WriterUart; // empty Path: none for that link
    TS_JOB_FILE WriterUsb;
    std::vector<TS_JOB_FILE> Images; // in order
    bool Verify = true;
    std::array<int, 4> ExpectedParts{-1, -1, -1, -1}; // per chip select; -1: any
    bool HasSerial = false;
    CSerialPlan Serial;
    std::string SerialPool; // [serial] pool, else the plan's definition (a list's: with its file name)
    std::string SerialListPath;
    std::string Store; // empty: the default store
    std::vector<TS_JOB_AREA> Erased;
};

bool LoadJobFile(const std::string& path, TS_LINE_JOB& job, TS_JOB_ERROR& error);

// The areas the images erase, with the ranges of CS#0 part flashType (-1: not known: the areas
// marked in either layout, each with the ranges of the layout that marked it).
bool ErasedAreas(const std::vector<TS_JOB_FILE>& images, int flashType, std::vector<TS_JOB_AREA>& areas,
                 std::string& error);
