// A whole regular file, read only, as bytes in memory: mapped on POSIX (FilesPosix.cpp), a view of
// a file mapping on Windows (FilesWin.cpp).
#pragma once

#include <cstddef>
#include <string>

namespace platform {

class CMappedFile {
public:
    CMappedFile() = default;
    ~CMappedFile() { Close(); }
    CMappedFile(const CMappedFile&) = delete;
    CMappedFile& operator=(const CMappedFile&) = delete;

    // false for a file that does not open, is not a regular file or is empty
    bool Open(const std::string& path);
    void Close();

    const unsigned char* Data() const { return m_data; }
    std::size_t Size() const { return m_size; }

private:
    const unsigned char* m_data = nullptr;
    std::size_t m_size = 0;
};

} // namespace platform
