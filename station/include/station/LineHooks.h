// What a production line hands the station engine: a source of per-handset data (a serial number
// to write at an address) and a recorder of attempts. The engine calls them on the port's thread;
// it knows no job file and no database. Both may be used by several ports at once: an
// implementation locks what it shares.
//
// With hooks, a download job on a port runs:
//   BeginAttempt (before the port is touched; a failure stops the station: no handset is flashed
//   without its record) -> connect, flash writer -> flash parts asked -> the data field read back
//   (before anything is erased) -> TakeData (checks the parts, issues or keeps the serial) ->
//   images with the data patched in or written after them -> verify -> EndAttempt.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "station/StationEngine.h"

// What the station learnt about the handset before anything was erased.
struct TS_HANDSET_FACTS {
    int Port = 0;
    std::string PortLabel;
    std::string DevicePath;
    std::array<int, 4> FlashParts{-1, -1, -1, -1}; // -1: that chip select did not answer
    std::string Runners;                           // the programs that answered, as logged
    bool FieldRead = false;                        // the data field was read back
    std::vector<uint8_t> Field;                    // its bytes (FieldLength of them)
};

// The data of one handset.
struct TS_HANDSET_DATA {
    bool Present = false;
    uint32_t Address = 0;
    std::vector<uint8_t> Bytes;
    std::string Text;  // as people read it: "R3700-00001000"
    bool Kept = false; // the handset already held it (rework)
};

class IHandsetDataSource {
public:
    virtual ~IHandsetDataSource() = default;
    // The field the station reads back before erasing (rework); length 0: nothing to read.
    virtual uint32_t FieldAddress() const = 0;
    virtual std::size_t FieldLength() const = 0;
    // The data of the handset of an attempt: false with the error class and the reason (a flash
    // part the job does not expect, a range used up, a store that cannot be written).
    virtual bool TakeData(int64_t attempt, const TS_HANDSET_FACTS& facts, TS_HANDSET_DATA& data,
                          TE_STATION_ERROR& error, std::string& reason) = 0;
};

// A file of the attempt and the bytes the target acknowledged of it.
struct TS_ATTEMPT_FILE {
    std::string Role; // "writer", "image"
    std::string Path;
    uint64_t Bytes = 0;
};

struct TS_ATTEMPT_OUTCOME {
    TS_STATION_RESULT Result;
    TS_HANDSET_FACTS Facts;
    TS_HANDSET_DATA Data;
    std::string Verify; // "passed", "failed", "off", or empty when not reached
    std::vector<TS_ATTEMPT_FILE> Files;
    std::vector<std::pair<std::string, double>> Phases; // phase name, seconds
    std::string Log;                                    // the attempt's whole log
};

class IAttemptRecorder {
public:
    virtual ~IAttemptRecorder() = default;
    // The record is opened; false with the reason when the store cannot be written.
    virtual bool BeginAttempt(int port, const std::string& portLabel, const std::string& devicePath,
                              int64_t& attempt, std::string& reason) = 0;
    virtual bool EndAttempt(int64_t attempt, const TS_ATTEMPT_OUTCOME& outcome, std::string& reason) = 0;
};

// The files a line pins. The station hashes the very bytes it reads of every file it prepares (an
// image or a flash writer, at each preparation) and compresses or sends only bytes whose digest is
// the pinned one; a mismatch fails the attempt before anything is erased and stops the station.
class IFilePins {
public:
    virtual ~IFilePins() = default;
    // The SHA-256 (64 lower-case hex digits) the file must have; empty: the file is not pinned.
    virtual std::string PinnedSha256(const std::string& path) const = 0;
    // The SHA-256 of bytes, in the same form.
    virtual std::string Sha256Of(const std::string& bytes) const = 0;
    // The digest of the bytes a preparation read, checked, and sent from then on.
    virtual void Prepared(const std::string& path, const std::string& sha256) = 0;
};

struct TS_LINE_HOOKS {
    IHandsetDataSource* Data = nullptr;
    IAttemptRecorder* Recorder = nullptr;
    IFilePins* Pins = nullptr;
};
