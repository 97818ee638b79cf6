// SHA-256 (FIPS 180-4) of bytes and of files: the job file pins every image by its digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CSha256 {
public:
    CSha256();
    void Update(const void* data, std::size_t size);
    // The digest; the object is spent afterwards.
    std::array<uint8_t, 32> Final();
    // Lower-case hexadecimal of the digest.
    std::string FinalHex();

private:
    void Block(const uint8_t* block);

    std::array<uint32_t, 8> m_state;
    std::array<uint8_t, 64> m_buffer{};
    std::size_t m_used = 0;
    uint64_t m_length = 0; // bytes
};

std::string Sha256Hex(std::string_view bytes);
// False with the reason (errno's text) when the file does not read.
bool Sha256OfFile(const std::string& path, std::string& hex, std::string& error);
