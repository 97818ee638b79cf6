// Who may do what: the service's token file, one token a line with its role,
//
//   # comment
//   viewer   3f1c...   (reads: the station, the events, the records, the jobs)
//   operator 9a77...   (and starts and stops the station)
//
// Tokens are at least 16 characters of [A-Za-z0-9._~+/=-]. A request's token (Authorization:
// Bearer) is compared with every token of the file through their SHA-256 digests in constant
// time, so neither the length nor the first differing character shows in the time taken.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

enum class ERole { None, Viewer, Operator };

class CTokenFile {
public:
    // False with the reason (the file's line, never a token).
    bool Load(const std::string& path, std::string& error);
    bool Empty() const { return m_tokens.empty(); }
    // The role of an Authorization header's value ("Bearer TOKEN"); None when it is none of ours.
    ERole RoleOf(const std::string& authorization) const;

private:
    struct TS_TOKEN {
        std::array<uint8_t, 32> Digest{};
        ERole Role = ERole::None;
    };
    std::vector<TS_TOKEN> m_tokens;
};
