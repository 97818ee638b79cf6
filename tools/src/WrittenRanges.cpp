#include "tools/WrittenRanges.h"

#include <cstdio>

#include "download/RecordReader.h"
#include "tools/MemoryDump.h"

void CWrittenRanges::Add(uint32_t address, uint32_t length) {
    if (length == 0) {
        return;
    }
    uint64_t start = address;
    uint64_t end = start + length;
    // merge with a range that starts before and reaches this one
    auto it = m_ranges.upper_bound(address);
    if (it != m_ranges.begin()) {
        auto prev = std::prev(it);
        if (uint64_t{prev->first} + prev->second >= start) {
            start = prev->first;
            end = std::max(end, uint64_t{prev->first} + prev->second);
            it = m_ranges.erase(prev);
        }
    }
    // and with the ranges that start inside or right after it
    while (it != m_ranges.end() && uint64_t{it->first} <= end) {
        end = std::max(end, uint64_t{it->first} + it->second);
        it = m_ranges.erase(it);
    }
    m_ranges[static_cast<uint32_t>(start)] = end - start;
}

std::vector<CWrittenRanges::TS_RANGE> CWrittenRanges::Ranges() const {
    std::vector<TS_RANGE> out;
    for (const auto& [start, length] : m_ranges) {
        out.push_back({start, length});
    }
    return out;
}

uint64_t CWrittenRanges::TotalBytes() const {
    uint64_t total = 0;
    for (const auto& [start, length] : m_ranges) {
        total += length;
    }
    return total;
}

bool TS_IMAGE_BYTES::Lookup(uint32_t address, uint8_t& value) const {
    auto it = blocks.upper_bound(address);
    if (it == blocks.begin()) {
        return false;
    }
    --it;
    const uint64_t offset = uint64_t{address} - it->first;
    if (offset >= it->second.size()) {
        return false;
    }
    value = it->second[offset];
    return true;
}

bool ReadImageFile(const std::string& path, bool compressedLayout, TS_IMAGE_BYTES* image,
                   TS_IMAGE_FILE_INFO& info, std::string& error) {
    CRecordReader reader(compressedLayout ? CRecordReader::COUNT_TWO_BYTES : CRecordReader::COUNT_ONE_BYTE);
    if (!reader.Open(path)) {
        error = reader.ErrorText();
        return false;
    }
    for (;;) {
        const auto next = reader.Next();
        if (next == CRecordReader::RECORD_END) {
            return true;
        }
        if (next == CRecordReader::RECORD_ERROR) {
            error = reader.ErrorText();
            return false;
        }
        const TS_SRECORD& r = reader.Record();
        if (r.IsEnd()) {
            info.hasEndRecord = true;
        } else if (r.IsData() && !r.data.empty()) {
            info.payload += r.data.size();
            if (image != nullptr) {
                image->blocks[r.address].assign(r.data.begin(), r.data.end());
            }
        }
    }
}

bool ReadImageBytes(const std::string& path, bool compressedLayout, TS_IMAGE_BYTES& image,
                    std::string& error) {
    TS_IMAGE_FILE_INFO info;
    return ReadImageFile(path, compressedLayout, &image, info, error);
}

namespace {
// Maps the positions of one range onto the whole verification.
class COffsetObserver final : public IJobObserver {
public:
    COffsetObserver(IJobObserver* inner, uint64_t total) : m_inner(inner), m_total(total) {}
    void SetBase(uint64_t base) { m_base = base; }
    void SetCaption(const std::string&) override {}
    void SetStatus(const std::string&) override {}
    void SetProgressText(const std::string&) override {}
    void SetProgressRange(uint32_t, uint32_t) override {}
    void SetProgressPos(uint32_t pos) override {
        if (m_inner) {
            m_inner->SetProgressPos(Scale(m_base + pos));
        }
    }
    void StepProgress() override {}
    uint32_t Scale(uint64_t value) const {
        return m_total > UINT32_MAX ? static_cast<uint32_t>(value >> 1) : static_cast<uint32_t>(value);
    }

private:
    IJobObserver* m_inner;
    uint64_t m_total;
    uint64_t m_base = 0;
};
} // namespace

TS_VERIFY_RESULT VerifyWrittenRanges(COstraMonitor& monitor, const CWrittenRanges& written,
                                     const TS_IMAGE_BYTES& image, IJobObserver* observer,
                                     const std::atomic<bool>* stop) {
    TS_VERIFY_RESULT result;
    const uint64_t total = written.TotalBytes();
    COffsetObserver offsets(observer, total);
    if (observer) {
        observer->SetCaption("Verifying");
        observer->SetProgressPos(0);
        observer->SetProgressRange(0, offsets.Scale(total));
    }
    uint64_t base = 0;
    for (const auto& range : written.Ranges()) {
        // a written range never runs past the 32-bit address space; read it in pieces that fit
        uint64_t done = 0;
        while (done < range.length) {
            const auto piece = static_cast<uint32_t>(std::min<uint64_t>(range.length - done, 0x40000000u));
            const uint32_t start = static_cast<uint32_t>(range.start + done);
            offsets.SetBase(base + done);
            if (observer) {
                char text[48];
                std::snprintf(text, sizeof text, "[0x%08X]", start);
                observer->SetStatus(text);
            }
            const TS_MEMORY_READ read = ReadTargetMemoryTo(
                monitor, start, piece,
                [&](uint32_t address, const uint8_t* data, std::size_t length) {
                    for (std::size_t k = 0; k < length; ++k) {
                        const uint32_t at = address + static_cast<uint32_t>(k);
                        uint8_t expected = 0xFF;
                        if (!image.Lookup(at, expected)) {
                            continue; // written, but not by this image (cannot happen): not compared
                        }
                        ++result.bytesCompared;
                        if (data[k] != expected) {
                            if (result.mismatches == 0) {
                                result.firstMismatch = at;
                                result.expected = expected;
                                result.actual = data[k];
                            }
                            ++result.mismatches;
                        }
                    }
                    return true;
                },
                &offsets, stop);
            if (read.Stopped) {
                result.stopped = true;
                result.text = "verification stopped";
                return result;
            }
            if (!read.Ok()) {
                result.readFailed = true;
                result.readStatus = read.Status;
                result.readFailedAt = read.FailedAddress;
                char text[160];
                std::snprintf(text, sizeof text, "verification failed: reading 0x%08X back gave code[%d]%s%s",
                              read.FailedAddress, read.Status, TmStatusName(read.Status) ? " " : "",
                              TmStatusName(read.Status) ? TmStatusName(read.Status) : "");
                result.text = text;
                return result;
            }
            done += piece;
        }
        base += range.length;
    }
    if (result.mismatches == 0) {
        result.ok = true;
        result.text = "verified " + std::to_string(result.bytesCompared) + " bytes";
    } else {
        char text[200];
        std::snprintf(text, sizeof text,
                      "verification failed at 0x%08X: expected 0x%02X, read 0x%02X; %llu mismatching "
                      "byte%s in %llu",
                      result.firstMismatch, result.expected, result.actual,
                      static_cast<unsigned long long>(result.mismatches), result.mismatches == 1 ? "" : "s",
                      static_cast<unsigned long long>(result.bytesCompared));
        result.text = text;
    }
    return result;
}
