// Builds wave images chunk by chunk for the sound tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wavetest {

inline void Put16(std::vector<std::uint8_t>& v, unsigned x) {
    v.push_back(static_cast<std::uint8_t>(x));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}

inline void Put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}

struct Chunk {
    std::string id;
    std::vector<std::uint8_t> body;
    long declaredLength = -1; // -1: the body's own length
};

inline std::vector<std::uint8_t> FormatBody(unsigned tag, unsigned channels, std::uint32_t rate,
                                            unsigned bits, std::size_t size = 16) {
    std::vector<std::uint8_t> b;
    const unsigned align = channels * bits / 8;
    Put16(b, tag);
    Put16(b, channels);
    Put32(b, rate);
    Put32(b, rate * align);
    Put16(b, align);
    Put16(b, bits);
    b.resize(size, 0);
    return b;
}

inline std::vector<std::uint8_t> Riff(const std::vector<Chunk>& chunks, const char* form = "WAVE") {
    std::vector<std::uint8_t> v;
    for (char c : std::string("RIFF"))
        v.push_back(static_cast<std::uint8_t>(c));
    Put32(v, 0);
    for (int i = 0; i < 4; ++i)
        v.push_back(static_cast<std::uint8_t>(form[i]));
    for (const Chunk& c : chunks) {
        for (char ch : c.id)
            v.push_back(static_cast<std::uint8_t>(ch));
        Put32(v, c.declaredLength >= 0 ? static_cast<std::uint32_t>(c.declaredLength)
                                       : static_cast<std::uint32_t>(c.body.size()));
        v.insert(v.end(), c.body.begin(), c.body.end());
        if (c.body.size() % 2 == 1 && c.declaredLength < 0)
            v.push_back(0);
    }
    const std::uint32_t riffSize = static_cast<std::uint32_t>(v.size() - 8);
    for (int i = 0; i < 4; ++i)
        v[4 + i] = static_cast<std::uint8_t>(riffSize >> (8 * i));
    return v;
}

inline std::vector<std::uint8_t> Samples(std::size_t n) {
    std::vector<std::uint8_t> s(n);
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return s;
}

// A canonical 16-bit mono 8000 Hz file with dataBytes bytes of samples.
inline std::vector<std::uint8_t> GoodWave(std::size_t dataBytes = 400) {
    return Riff({{"fmt ", FormatBody(1, 1, 8000, 16)}, {"data", Samples(dataBytes)}});
}

} // namespace wavetest
