// Files, folders and devices on POSIX.
#include "platform/Files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "MappedFile.h"

namespace platform {

int OpenFile(const std::string& path, EFileOpen how, unsigned permissions) {
    int flags = O_CLOEXEC;
    switch (how) {
    case EFileOpen::Read:
        flags |= O_RDONLY;
        break;
    case EFileOpen::ReadNoWait:
        flags |= O_RDONLY | O_NONBLOCK | O_NOCTTY;
        break;
    case EFileOpen::CreateNew:
        flags |= O_WRONLY | O_CREAT | O_EXCL;
        break;
    case EFileOpen::CreateOrEmpty:
        flags |= O_WRONLY | O_CREAT | O_TRUNC;
        break;
    }
    return ::open(path.c_str(), flags, static_cast<mode_t>(permissions));
}

std::FILE* OpenAppendStream(const std::string& path) {
    return std::fopen(path.c_str(), "ae");
}

int RenameReplacing(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int SyncFile(int fd) {
    return ::fsync(fd) == 0 ? 0 : errno;
}

void SyncFolder(const std::string& path) {
    if (const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

int MakeFolder(const std::string& path) {
    return ::mkdir(path.c_str(), 0700) == 0 ? 0 : errno;
}

std::string MakeTemporaryFolder(const std::string& stem) {
    std::string base = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp) {
        base = tmp;
    }
    std::string pattern = base + "/" + stem + "XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

bool PathPresent(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

void SetEnvironment(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
}

// ---- CMappedFile: mmap ----

bool CMappedFile::Open(const std::string& path) {
    Close();
    const int fd = OpenFile(path, EFileOpen::Read);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        ::close(fd);
        return false;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        return false;
    }
    m_data = static_cast<const unsigned char*>(map);
    m_size = size;
    return true;
}

void CMappedFile::Close() {
    if (m_data) {
        ::munmap(const_cast<unsigned char*>(m_data), m_size);
    }
    m_data = nullptr;
    m_size = 0;
}

} // namespace platform
