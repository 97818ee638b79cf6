#include "platform/VersionBlock.h"

#include "HexDigit.h"
#include "MappedFile.h"
#include "ModulePath.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace platform {

std::string TS_VERSION_INFO::Value(std::string_view name) const {
    for (const auto& [key, value] : Strings) {
        if (key == name) {
            return value;
        }
    }
    return {};
}

namespace versionblock {

namespace {
uint32_t ReadLe32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

} // namespace

std::optional<TS_VERSION_INFO> Parse(const unsigned char* data, std::size_t size) {
    if (size < kHeaderSize) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < kMarkerSize; ++i) {
        if (data[i] != static_cast<unsigned char>(kMarkerComplement[i] ^ 0xFF)) {
            return std::nullopt;
        }
    }
    if (data[kMarkerSize] != kFormat) {
        return std::nullopt;
    }
    const uint32_t length = ReadLe32(data + kMarkerSize + 4);
    const uint32_t hash = ReadLe32(data + kMarkerSize + 8);
    if (length > size - kHeaderSize || Fnv1a(data + kHeaderSize, length) != hash) {
        return std::nullopt;
    }
    std::string_view payload(reinterpret_cast<const char*>(data + kHeaderSize), length);
    TS_VERSION_INFO info;
    while (!payload.empty()) {
        const std::size_t nameEnd = payload.find('\0');
        if (nameEnd == std::string_view::npos) {
            return std::nullopt;
        }
        const std::size_t valueEnd = payload.find('\0', nameEnd + 1);
        if (valueEnd == std::string_view::npos) {
            return std::nullopt;
        }
        std::string name(payload.substr(0, nameEnd));
        std::string value(payload.substr(nameEnd + 1, valueEnd - nameEnd - 1));
        payload.remove_prefix(valueEnd + 1);
        if (name == "Translation") {
            // "LLLLCCCC": language, then code page, as a version resource names its string table
            uint32_t t = 0;
            bool ok = value.size() == 8;
            for (char c : value) {
                const int h = detail::HexDigitValue(c);
                ok = ok && h >= 0;
                t = t * 16 + static_cast<uint32_t>(h < 0 ? 0 : h);
            }
            if (ok) {
                info.Language = static_cast<uint16_t>(t >> 16);
                info.CodePage = static_cast<uint16_t>(t & 0xFFFF);
            }
            continue;
        }
        if (name == "FileDescription") {
            info.FileDescription = value;
        } else if (name == "FileVersion") {
            info.FileVersion = value;
        } else if (name == "PrivateBuild") {
            info.PrivateBuild = value;
        }
        info.Strings.emplace_back(std::move(name), std::move(value));
    }
    return info;
}

} // namespace versionblock

std::optional<TS_VERSION_INFO> ReadVersionBlock(const std::string& modulePath) {
    const std::string path =
        modulePath.empty() || modulePath == "/proc/self/exe" ? detail::RunningModulePath() : modulePath;
    CMappedFile file;
    if (!file.Open(path) || file.Size() < versionblock::kHeaderSize) {
        return std::nullopt;
    }
    const std::size_t size = file.Size();
    // The marker is put together here, at run time, so that this code does not carry it whole.
    unsigned char marker[versionblock::kMarkerSize];
    for (std::size_t i = 0; i < versionblock::kMarkerSize; ++i) {
        const volatile unsigned char complement = versionblock::kMarkerComplement[i];
        marker[i] = static_cast<unsigned char>(complement ^ 0xFF);
    }
    const unsigned char* data = file.Data();
    const std::boyer_moore_horspool_searcher searcher(marker, marker + sizeof marker);
    std::optional<TS_VERSION_INFO> result;
    std::size_t offset = 0;
    while (offset + versionblock::kHeaderSize <= size) {
        const unsigned char* hit = std::search(data + offset, data + size, searcher);
        if (hit == data + size) {
            break;
        }
        const std::size_t at = static_cast<std::size_t>(hit - data);
        result = versionblock::Parse(data + at, size - at);
        if (result) {
            break;
        }
        offset = at + 1;
    }
    return result;
}

} // namespace platform
