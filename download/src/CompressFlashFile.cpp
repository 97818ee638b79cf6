#include "download/CompressFlashFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <unistd.h>

#include "download/FlashFile.h"
#include "download/LineReader.h"
#include "download/RecordReader.h"
#include "platform/Files.h"

namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";
constexpr std::size_t kFlushAt = 1u << 20;
// The buffer is flushed at line boundaries once it holds kFlushAt; an open block (at most 131057
// characters) and one copied line fit in the rest.
constexpr std::size_t kOutputCapacity = kFlushAt + 2 * RECORD_LINE_BUFFER + 64;

// The folder and the name of a file, split at its last separator: '/', and on Windows '\\' too. The
// folder keeps the separators it was named with; "." when there is none.
struct TS_SPLIT_PATH {
    std::string Folder;
    std::string Name;
};
TS_SPLIT_PATH SplitPath(const std::string& path) {
    TS_SPLIT_PATH split;
    split.Name = std::filesystem::path(path).filename().string();
    split.Folder = path.substr(0, path.size() - split.Name.size());
    const char last = split.Folder.empty() ? '\0' : split.Folder.back();
    if (split.Folder.empty()) {
        split.Folder = ".";
    } else if (split.Folder.size() > 1 &&
               (last == '/' || last == static_cast<char>(std::filesystem::path::preferred_separator))) {
        split.Folder.pop_back();
    }
    return split;
}

// The .cp64 file under construction: a temporary file beside the final one.
class CCompressedOutput {
public:
    ~CCompressedOutput() { Discard(); }

    bool Create(const std::string& finalPath, std::string& error) {
        static std::atomic<unsigned> counter{0};
        m_finalPath = finalPath;
        const auto [dir, name] = SplitPath(finalPath);
        for (int attempt = 0; attempt < 100; ++attempt) {
            m_tempPath = (dir == "/" ? std::string() : dir) + "/." + name + ".tmp-" +
                         std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
            m_fd = platform::OpenFile(m_tempPath, platform::EFileOpen::CreateNew);
            if (m_fd >= 0 || errno != EEXIST) {
                break;
            }
        }
        if (m_fd < 0) {
            error = "cannot create a file in " + dir + " for " + finalPath + ": " + std::strerror(errno);
            m_tempPath.clear();
            return false;
        }
        m_buffer = std::make_unique<char[]>(kOutputCapacity);
        m_used = 0;
        return true;
    }

    char* Data() { return m_buffer.get(); }
    std::size_t& Used() { return m_used; }

    void Append(const char* p, std::size_t n) {
        std::memcpy(m_buffer.get() + m_used, p, n);
        m_used += n;
    }
    void Append(char c) { m_buffer[m_used++] = c; }

    // Writes the buffer out once it holds kFlushAt; call only when no block is open. A failure is
    // kept (Failed(), Error()) and the buffer dropped, so that it never overflows.
    void FlushIfFull() {
        if (m_used >= kFlushAt && !m_failed && !Flush(m_error)) {
            m_failed = true;
        }
        if (m_failed) {
            m_used = 0;
        }
    }
    bool Failed() const { return m_failed; }
    const std::string& Error() const { return m_error; }

    bool Flush(std::string& error) {
        std::size_t done = 0;
        while (done < m_used) {
            const ssize_t n = ::write(m_fd, m_buffer.get() + done, m_used - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                error = "cannot write " + m_finalPath + ": " + std::strerror(n < 0 ? errno : ENOSPC);
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        m_used = 0;
        return true;
    }

    // Writes what is left, closes and renames the file to its final name.
    bool Commit(std::string& error) {
        if (!Flush(error)) {
            return false;
        }
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            error = "cannot write " + m_finalPath + ": " + std::strerror(errno);
            return false;
        }
        if (const int err = platform::RenameReplacing(m_tempPath, m_finalPath); err != 0) {
            error = "cannot replace " + m_finalPath + ": " + std::strerror(err);
            return false;
        }
        m_tempPath.clear();
        return true;
    }

    void Discard() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
        if (!m_tempPath.empty()) {
            ::unlink(m_tempPath.c_str());
            m_tempPath.clear();
        }
    }

private:
    std::string m_finalPath;
    std::string m_tempPath;
    int m_fd = -1;
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_used = 0;
    bool m_failed = false;
    std::string m_error;
};

// The sum of the bytes that 2 * n hexadecimal digits encode (digits already checked).
uint32_t SumOfBytes(const unsigned char* digits, std::size_t n) {
    uint32_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sum += static_cast<uint32_t>(kHexDigitValue[digits[2 * i]] << 4 | kHexDigitValue[digits[2 * i + 1]]);
    }
    return sum;
}

class CCompressor {
public:
    CCompressor(const TS_COMPRESS_HOOKS& hooks, CCompressedOutput& out) : m_hooks(hooks), m_out(out) {}

    void Record(std::string_view line, const TS_S3_FIELDS& f) {
        if (m_hooks.MarkArea) {
            // The record's first byte and, when it is another, its last: a record that runs across
            // an area boundary touches both areas, and both must be erased before it is written.
            m_hooks.MarkArea(f.address);
            const uint64_t last = uint64_t{f.address} + f.dataLength - 1;
            if (f.dataLength > 1 && last <= UINT32_MAX) {
                m_hooks.MarkArea(static_cast<uint32_t>(last));
            }
        }
        const auto* digits = reinterpret_cast<const unsigned char*>(line.data());
        const unsigned char* data = digits + f.dataOffset;
        const uint32_t dataSum = SumOfBytes(data, f.dataLength);
        const bool joins = m_open && f.address == m_prevAddress + m_prevLength &&
                           m_blockLength + f.dataLength <= MAX_BLOCK_DATA;
        m_counts.DataBytes += f.dataLength;
        if (joins) {
            m_out.Append(line.data() + f.dataOffset, 2 * f.dataLength);
            m_blockSum += dataSum;
            m_blockLength += f.dataLength;
        } else {
            Close();
            m_out.FlushIfFull();
            m_open = true;
            ++m_counts.Blocks;
            m_out.Append("S3", 2);
            m_countPosition = m_out.Used();
            m_out.Append("FFFF", 4);
            // the address and data digits as they stand in the source
            m_out.Append(line.data() + f.dataOffset - 8, 8 + 2 * f.dataLength);
            const uint32_t a = f.address;
            m_blockSum = (a >> 24) + (a >> 16 & 0xFF) + (a >> 8 & 0xFF) + (a & 0xFF) + dataSum;
            m_blockLength = f.dataLength;
        }
        // 64-bit, so that a record ending at the top of the address space is not followed by one at 0
        m_prevAddress = f.address;
        m_prevLength = f.dataLength;
    }

    // Closes the open block, if any: the count goes into its placeholder, the checksum at the end.
    void Close() {
        if (!m_open) {
            return;
        }
        m_open = false;
        const std::size_t count = m_blockLength + 5;
        char* c = m_out.Data() + m_countPosition;
        c[0] = kUpperHex[count >> 12 & 15];
        c[1] = kUpperHex[count >> 8 & 15];
        c[2] = kUpperHex[count >> 4 & 15];
        c[3] = kUpperHex[count & 15];
        const uint32_t checksum =
            ~(m_blockSum + static_cast<uint32_t>(count >> 8) + static_cast<uint32_t>(count & 0xFF)) & 0xFF;
        m_out.Append(kUpperHex[checksum >> 4]);
        m_out.Append(kUpperHex[checksum & 15]);
        // Lines end with a line feed alone here; the reference platform wrote CR LF (text mode).
        // Readers of this program take both.
        m_out.Append('\n');
    }

    bool IsOpen() const { return m_open; }
    const TS_COMPRESS_COUNTS& Counts() const { return m_counts; }

private:
    const TS_COMPRESS_HOOKS& m_hooks;
    CCompressedOutput& m_out;
    bool m_open = false;
    std::size_t m_countPosition = 0;
    uint64_t m_prevAddress = 0;
    uint64_t m_prevLength = 0;
    std::size_t m_blockLength = 0;
    uint32_t m_blockSum = 0;
    TS_COMPRESS_COUNTS m_counts;
};

} // namespace

std::string CompressedFilePath(std::string_view sourcePath) {
    const std::size_t slash = sourcePath.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? sourcePath : sourcePath.substr(slash + 1);
    std::string out(sourcePath);
    if (name.size() >= 3 && name.substr(name.size() - 3) == ".m0") {
        out.resize(out.size() - 3);
    }
    return out + ".cp64";
}

bool CompressFlashFile(const std::string& sourcePath, std::string& outputPath, const TS_COMPRESS_HOOKS& hooks,
                       std::string* errorText, TS_COMPRESS_COUNTS* counts) {
    std::string error;
    auto fail = [&] {
        if (errorText) {
            *errorText = error;
        }
        return false;
    };

    CLineReader in;
    if (!in.Open(sourcePath)) {
        error = sourcePath + ": cannot open: " + std::strerror(in.Errno());
        return fail();
    }
    const std::string finalPath = CompressedFilePath(sourcePath);
    CCompressedOutput out;
    if (!out.Create(finalPath, error)) {
        return fail();
    }

    struct StatusGuard {
        ICompressObserver* observer;
        ~StatusGuard() {
            if (observer) {
                observer->SetStatus("");
            }
        }
    } statusGuard{hooks.Observer};
    if (hooks.Observer) {
        hooks.Observer->SetCaption(COMPRESS_CAPTION);
        hooks.Observer->SetStatus(COMPRESS_STATUS);
    }

    CCompressor compressor(hooks, out);
    bool dataSeen = false;
    std::string problem;
    TS_S3_FIELDS fields;
    for (;;) {
        const CLineReader::TE_LINE_RESULT r = in.Next();
        if (r == CLineReader::LINE_END) {
            break;
        }
        if (r == CLineReader::LINE_TOO_LONG) {
            error = FlashFileErrorText(sourcePath, in.LineNumber(),
                                       "the line is longer than " + std::to_string(MAX_RECORD_LINE) +
                                           " characters");
            return fail();
        }
        if (r == CLineReader::LINE_READ_ERROR) {
            error = FlashFileErrorText(sourcePath, in.LineNumber() + 1,
                                       std::string("read error: ") + std::strerror(in.Errno()));
            return fail();
        }
        if (hooks.Stop && (in.LineNumber() & 1023) == 0 && hooks.Stop->load(std::memory_order_relaxed)) {
            error = sourcePath + ": compression stopped";
            return fail();
        }
        const std::string_view line = in.Line();
        const bool isData = line.size() >= 2 && line[0] == 'S' && line[1] == '3';
        if (isData) {
            if (!CheckS3Line(line, CRecordReader::COUNT_ONE_BYTE, fields, problem)) {
                error = FlashFileErrorText(sourcePath, in.LineNumber(), problem);
                return fail();
            }
            dataSeen = true;
            compressor.Record(line, fields);
            if (out.Failed()) {
                error = out.Error();
                return fail();
            }
            continue;
        }
        if (!dataSeen) {
            continue; // the lines before the first data record (the S0 header) are not written
        }
        compressor.Close();
        out.Append(line.data(), line.size());
        out.Append('\n');
        out.FlushIfFull();
        if (out.Failed()) {
            error = out.Error();
            return fail();
        }
    }
    compressor.Close();
    if (out.Failed()) {
        error = out.Error();
        return fail();
    }
    if (!out.Commit(error)) {
        return fail();
    }
    outputPath = finalPath;
    if (counts) {
        *counts = compressor.Counts();
    }
    return true;
}
