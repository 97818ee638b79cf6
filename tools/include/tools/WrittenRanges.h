// Verify-after-write: what an image put into the target, read back and compared.
//
// The expected bytes come from the prepared (.cp64) file the session sent; the ranges compared are
// those the target acknowledged (IJobObserver::OnBlockWritten). The read goes through the memory
// dump engine, split by the link's limits.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "download/JobObserver.h"
#include "quillet/OstraMonitor.h"

// Address ranges [start, start + length) that were written, merged where they touch.
class CWrittenRanges {
public:
    void Add(uint32_t address, uint32_t length);
    struct TS_RANGE {
        uint32_t start;
        uint64_t length;
    };
    std::vector<TS_RANGE> Ranges() const;
    uint64_t TotalBytes() const;
    void Clear() { m_ranges.clear(); }

private:
    std::map<uint32_t, uint64_t> m_ranges; // start -> length
};

// The data records of a flash file, by address. False with the reason when the file does not
// read (the text names the file and line).
struct TS_IMAGE_BYTES {
    std::map<uint32_t, std::vector<uint8_t>> blocks; // record address -> data
    bool Lookup(uint32_t address, uint8_t& value) const;
};
bool ReadImageBytes(const std::string& path, bool compressedLayout, TS_IMAGE_BYTES& image,
                    std::string& error);

// What else a reading of the file tells: its data bytes, and whether it ends with an end record
// ("S7": the session sends the end command).
struct TS_IMAGE_FILE_INFO {
    uint64_t payload = 0;
    bool hasEndRecord = false;
};
// The one reader of a flash file's records (compressedLayout: a .cp64's two-byte counts). image
// may be null when only the info is wanted; otherwise as ReadImageBytes.
bool ReadImageFile(const std::string& path, bool compressedLayout, TS_IMAGE_BYTES* image,
                   TS_IMAGE_FILE_INFO& info, std::string& error);

struct TS_VERIFY_RESULT {
    bool ok = false;
    uint64_t bytesCompared = 0;
    uint64_t mismatches = 0;
    uint32_t firstMismatch = 0;
    uint8_t expected = 0;
    uint8_t actual = 0;
    int readStatus = 0; // a MemoryDump that failed
    uint32_t readFailedAt = 0;
    bool readFailed = false;
    bool stopped = false;
    // "verified 1024 bytes" or what failed, naming the address
    std::string text;
};

// Reads back every written range and compares it with the image.
TS_VERIFY_RESULT VerifyWrittenRanges(COstraMonitor& monitor, const CWrittenRanges& written,
                                     const TS_IMAGE_BYTES& image, IJobObserver* observer,
                                     const std::atomic<bool>* stop);
