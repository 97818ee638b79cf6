// Packs an .m0 S-record file into the .cp64 form that the download sends: every run of contiguous
// "S3" data records becomes one "S3" line of up to 65520 data bytes with a four-digit count.
//
// The .cp64 lines, in order: nothing of what comes before the first "S3" record; one data line per
// block of contiguous records ("S3", count of 4 upper-case digits = 4 + data + 1, the address of
// the block's first byte, the data digits as they stand in the source, a checksum of 2 upper-case
// digits: the ones' complement of the low byte of the sum of the address bytes, the data bytes and
// both count bytes); every later line that is not an "S3" record, unchanged, at its place.
//
// The whole source is checked while it is packed: a line too long, a character that is not a
// hexadecimal digit, an "S3" count below 5 or one that promises more than the line holds fails the
// compression with a text naming the file, the line and the problem, so that the session fails
// before it erases or sends anything. The output is written to a temporary file beside it and
// renamed when complete: a failure never leaves a partial .cp64 behind.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// What a compression shows: the session's dialog, the CLI's terminal, a test's recorder.
class ICompressObserver {
public:
    virtual ~ICompressObserver() = default;
    virtual void SetCaption(const std::string& text) = 0;
    virtual void SetStatus(const std::string& text) = 0;
};

// Called, in file order, with the address of every "S3" record's first data byte and, when it is
// another one, of its last data byte (so that a record across an area boundary marks both areas).
using MarkAreaFn = std::function<void(uint32_t address)>;

struct TS_COMPRESS_HOOKS {
    MarkAreaFn MarkArea;                     // may be empty
    ICompressObserver* Observer = nullptr;   // may be null
    const std::atomic<bool>* Stop = nullptr; // when it becomes true the compression fails, leaving no output
};

inline constexpr const char* COMPRESS_CAPTION = "Compressing flash file";
inline constexpr const char* COMPRESS_STATUS = "File is being compressed...";
// Data bytes of one .cp64 line at most: the line stays inside the reader's 131069 characters.
inline constexpr std::size_t MAX_BLOCK_DATA = 65520;

// The .cp64 path of a source: its file name's ".m0" ending replaced by ".cp64" (".cp64" is
// appended to a name without that ending), in the same folder.
std::string CompressedFilePath(std::string_view sourcePath);

// What a compression wrote into the .cp64: its data bytes and its data lines (blocks).
struct TS_COMPRESS_COUNTS {
    uint64_t DataBytes = 0;
    uint64_t Blocks = 0;
};

// Compresses sourcePath into CompressedFilePath(sourcePath), replacing any file of that name.
// On success returns true with outputPath (and counts, when given) set. On failure returns false
// with the reason in errorText; an existing .cp64 is then left as it was. A source without "S3"
// records gives an empty output and success.
bool CompressFlashFile(const std::string& sourcePath, std::string& outputPath,
                       const TS_COMPRESS_HOOKS& hooks = {}, std::string* errorText = nullptr,
                       TS_COMPRESS_COUNTS* counts = nullptr);
