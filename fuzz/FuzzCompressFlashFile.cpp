// CompressFlashFile on any file. A source it refuses leaves no .cp64 and says why; a source it
// accepts gives a .cp64 that the download's record reader takes to its end, whose every block
// carries a correct count and checksum, and whose bytes land on exactly the addresses, in exactly
// the order, that the source's S3 records put them.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "download/CompressFlashFile.h"
#include "download/RecordReader.h"

namespace {

std::string g_dir;

int Hex(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

uint64_t HexField(std::string_view s, size_t at, size_t digits) {
    uint64_t v = 0;
    for (size_t i = 0; i < digits; ++i) {
        v = v << 4 | static_cast<uint64_t>(Hex(s[at + i]));
    }
    return v;
}

// (address, byte) in the order the source writes them. The source was accepted, so every S3 line
// has a two-digit count of at least 5, an address and count - 5 data bytes in hexadecimal.
std::vector<std::pair<uint64_t, uint8_t>> SourceWrites(std::string_view text) {
    std::vector<std::pair<uint64_t, uint8_t>> writes;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.size() < 2 || line[0] != 'S' || line[1] != '3') {
            continue;
        }
        const uint64_t count = HexField(line, 2, 2);
        const uint64_t address = HexField(line, 4, 8);
        for (uint64_t i = 0; i + 5 < count; ++i) {
            writes.emplace_back(address + i, static_cast<uint8_t>(HexField(line, 12 + 2 * i, 2)));
        }
    }
    return writes;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    std::string pattern = std::string(base) + "/vandrel-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_dir = pattern;
    std::atexit([] {
        unlink((g_dir + "/vfuzz.m0").c_str());
        unlink((g_dir + "/vfuzz.cp64").c_str());
        rmdir(g_dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string source = g_dir + "/vfuzz.m0";
    const std::string target = g_dir + "/vfuzz.cp64";
    unlink(target.c_str());
    {
        FILE* f = std::fopen(source.c_str(), "wb");
        if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
            std::abort();
        }
    }
    std::vector<uint32_t> marks;
    TS_COMPRESS_HOOKS hooks;
    hooks.MarkArea = [&](uint32_t address) { marks.push_back(address); };
    std::string output;
    std::string error;
    if (!CompressFlashFile(source, output, hooks, &error)) {
        if (error.empty() || access(target.c_str(), F_OK) == 0) {
            std::abort(); // a refusal without a reason, or a partial .cp64 left behind
        }
        return 0;
    }
    if (output != target) {
        std::abort();
    }

    std::vector<std::pair<uint64_t, uint8_t>> written;
    CRecordReader reader(CRecordReader::COUNT_TWO_BYTES);
    if (!reader.Open(target)) {
        std::abort();
    }
    CRecordReader::TE_NEXT_RESULT r;
    while ((r = reader.Next()) == CRecordReader::RECORD_READ) {
        const TS_SRECORD& record = reader.Record();
        if (!record.IsData()) {
            continue;
        }
        if (record.count < 5 || record.bytes.size() != record.count ||
            record.data.size() != record.count - 5 || record.data.size() > MAX_BLOCK_DATA) {
            std::abort();
        }
        uint32_t sum = (record.count >> 8) + (record.count & 0xFF);
        for (size_t i = 0; i + 1 < record.bytes.size(); ++i) {
            sum += record.bytes[i];
        }
        if (static_cast<uint8_t>(~sum) != record.bytes.back()) {
            std::abort(); // the target would refuse the block
        }
        for (size_t i = 0; i < record.data.size(); ++i) {
            written.emplace_back(uint64_t{record.address} + i, record.data[i]);
        }
    }
    if (r != CRecordReader::RECORD_END) {
        std::abort(); // accepted when packed, refused when sent
    }
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (written != SourceWrites(text)) {
        std::abort(); // a byte at the wrong address, lost or added
    }
    return 0;
}
