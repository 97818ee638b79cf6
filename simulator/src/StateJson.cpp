#include "vsim/StateJson.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

namespace vsim {

namespace {

// A JSON string (nlohmann-json's escaping; what is not UTF-8 becomes U+FFFD). The document
// itself keeps its own layout, one counter a line, which scripts read line by line.
std::string Quote(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Hex32(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\"0x%08X\"", value);
    return buf;
}

std::string Version(const SVersion& v) {
    return Quote(std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]));
}

} // namespace

std::string StateToJson(const SHandsetSnapshot& s) {
    std::string j = "{\n";
    j += "  \"runner\": " + Quote(s.runner == ERunner::BootLoader ? "boot-loader" : "flash-writer") + ",\n";
    j += "  \"bootLoaderVersion\": " + Version(s.bootLoaderVersion) + ",\n";
    j += "  \"flashWriterVersion\": " + Version(s.flashWriterVersion) + ",\n";
    j += "  \"chipSelects\": [";
    for (int cs = 0; cs < kChipSelects; ++cs) {
        const SChipSelect& c = s.chips[size_t(cs)];
        j += std::string(cs ? ", " : "") + "{\"base\": " + Hex32(uint32_t(cs) * kChipSelectStride) +
             ", \"part\": " + std::to_string(c.part) + ", \"size\": " + std::to_string(c.size) + "}";
    }
    j += "],\n";
    j += "  \"blocksStored\": " + std::to_string(s.blocksStored) + ",\n";
    j += "  \"writerBlocks\": " + std::to_string(s.writerBlocks) + ",\n";
    j += "  \"links\": {\"uartConnections\": " + std::to_string(s.links.uartConnections) +
         ", \"usbConnections\": " + std::to_string(s.links.usbConnections) +
         ", \"hangUps\": " + std::to_string(s.links.hangUps) +
         ", \"hostCloses\": " + std::to_string(s.links.hostCloses) +
         ", \"strayFrames\": " + std::to_string(s.links.strayFrames) +
         ", \"oversizeFrames\": " + std::to_string(s.links.oversizeFrames) +
         ", \"badPackets\": " + std::to_string(s.links.badPackets) +
         ", \"badChecksums\": " + std::to_string(s.links.badChecksums) + "},\n";
    j += "  \"commands\": [";
    for (size_t i = 0; i < s.commands.size(); ++i) {
        const SCommandRecord& c = s.commands[i];
        char cid[8];
        std::snprintf(cid, sizeof cid, "0x%02X", c.cid);
        j += std::string(i ? ",\n    " : "\n    ") + "{\"seq\": " + std::to_string(c.seq) +
             ", \"transport\": " + Quote(TransportName(c.transport)) + ", \"cid\": " + Quote(cid) +
             ", \"address\": " + Hex32(c.address) + ", \"end\": " + Hex32(c.endAddress) +
             ", \"length\": " + std::to_string(c.length) + ", \"unit\": " + std::to_string(c.unit) +
             ", \"status\": " + std::to_string(c.status) +
             ", \"replied\": " + (c.replied ? "true" : "false") +
             (c.lateMs ? ", \"lateMs\": " + std::to_string(c.lateMs) : std::string()) +
             (c.fault.empty() ? "" : ", \"fault\": " + Quote(c.fault)) + "}";
    }
    j += s.commands.empty() ? "],\n" : "\n  ],\n";
    j += "  \"erases\": [";
    for (size_t i = 0; i < s.erases.size(); ++i) {
        const SEraseRecord& e = s.erases[i];
        j += std::string(i ? ", " : "") + "{\"start\": " + Hex32(e.start) + ", \"end\": " + Hex32(e.end) +
             ", \"wholeChip\": " + (e.wholeChip ? "true" : "false") + "}";
    }
    j += "],\n";
    j += "  \"refusedWrites\": [";
    for (size_t i = 0; i < s.refusedWrites.size(); ++i) {
        const SRefusedWrite& r = s.refusedWrites[i];
        char cid[8];
        std::snprintf(cid, sizeof cid, "0x%02X", r.cid);
        j += std::string(i ? ", " : "") + "{\"cid\": " + Quote(cid) + ", \"address\": " + Hex32(r.address) +
             ", \"length\": " + std::to_string(r.length) + ", \"badAddress\": " + Hex32(r.badAddress) +
             ", \"status\": " + std::to_string(r.status) + ", \"reason\": " + Quote(StatusName(r.status)) +
             "}";
    }
    j += "],\n";
    j += "  \"notes\": [";
    for (size_t i = 0; i < s.notes.size(); ++i) {
        j += std::string(i ? ",\n    " : "\n    ") + Quote(s.notes[i]);
    }
    j += s.notes.empty() ? "]\n" : "\n  ]\n";
    j += "}\n";
    return j;
}

bool WriteStateFile(const SHandsetSnapshot& snapshot, const std::string& path, std::string* error) {
    const std::string tmp = path + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) {
        if (error) {
            *error = "cannot write " + tmp + ": " + std::strerror(errno);
        }
        return false;
    }
    const std::string json = StateToJson(snapshot);
    const bool written = std::fwrite(json.data(), 1, json.size(), f) == json.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed || std::rename(tmp.c_str(), path.c_str()) != 0) {
        if (error) {
            *error = "cannot write " + path + ": " + std::strerror(errno);
        }
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace vsim
