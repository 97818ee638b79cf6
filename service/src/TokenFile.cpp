#include "TokenFile.h"

#include <fstream>

#include "line/Sha256.h"

namespace {

std::array<uint8_t, 32> Digest(const std::string& text) {
    CSha256 sha;
    sha.Update(text.data(), text.size());
    return sha.Final();
}

bool TokenCharacters(const std::string& token) {
    for (const char c : token) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '_' || c == '~' || c == '+' || c == '/' || c == '=' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

} // namespace

bool CTokenFile::Load(const std::string& path, std::string& error) {
    m_tokens.clear();
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the token file " + path;
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        const std::size_t roleEnd = line.find_first_of(" \t", start);
        const std::size_t tokenStart =
            roleEnd == std::string::npos ? roleEnd : line.find_first_not_of(" \t", roleEnd);
        const std::size_t tokenEnd =
            tokenStart == std::string::npos ? tokenStart : line.find_first_of(" \t\r", tokenStart);
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (tokenStart == std::string::npos ||
            (tokenEnd != std::string::npos &&
             line.find_first_not_of(" \t\r", tokenEnd) != std::string::npos)) {
            error = where + "a line is a role (viewer or operator) and a token";
            return false;
        }
        const std::string role = line.substr(start, roleEnd - start);
        const std::string token = line.substr(
            tokenStart, tokenEnd == std::string::npos ? std::string::npos : tokenEnd - tokenStart);
        TS_TOKEN entry;
        entry.Role = role == "viewer" ? ERole::Viewer : role == "operator" ? ERole::Operator : ERole::None;
        if (entry.Role == ERole::None) {
            error = where + "the role is viewer or operator, not '" + role + "'";
            return false;
        }
        if (token.size() < 16 || !TokenCharacters(token)) {
            error = where + "a token is at least 16 characters of A-Z a-z 0-9 . _ ~ + / = -";
            return false;
        }
        entry.Digest = Digest(token);
        m_tokens.push_back(entry);
    }
    if (m_tokens.empty()) {
        error = path + ": no token in the file";
        return false;
    }
    return true;
}

ERole CTokenFile::RoleOf(const std::string& authorization) const {
    static const std::string kScheme = "Bearer ";
    if (authorization.size() <= kScheme.size() || authorization.compare(0, kScheme.size(), kScheme) != 0) {
        return ERole::None;
    }
    const std::array<uint8_t, 32> given = Digest(authorization.substr(kScheme.size()));
    ERole role = ERole::None;
    // every token is looked at, whichever matches
    for (const TS_TOKEN& token : m_tokens) {
        uint8_t difference = 0;
        for (std::size_t k = 0; k < given.size(); ++k) {
            difference = static_cast<uint8_t>(difference | (given[k] ^ token.Digest[k]));
        }
        if (difference == 0 && token.Role > role) {
            role = token.Role;
        }
    }
    return role;
}
