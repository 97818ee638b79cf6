#include "FlashFileCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "download/CompressFlashFile.h"
#include "download/FlashFile.h"
#include "download/RecordReader.h"
#include "download/TargetConnection.h"

namespace fs = std::filesystem;

namespace {
const char* FileTypeName(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    return "not a regular file";
}
} // namespace

std::string CheckFlashFile(const std::string& path, bool applicationFile, bool readRecords) {
    // Only a regular file is read: reading a FIFO or a device could wait for ever. It is looked at
    // before it is opened, and opened without waiting in case it changed in between.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return "cannot open '" + path + "': " + std::strerror(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        return "'" + path + "' is a folder, not a flash file";
    }
    if (!S_ISREG(st.st_mode)) {
        return "'" + path + "' is " + FileTypeName(st.st_mode) +
               ", not a flash file: only a regular file is read";
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return "cannot open '" + path + "': " + std::strerror(errno);
    }
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular) {
        return "'" + path + "' is " + FileTypeName(st.st_mode) +
               ", not a flash file: only a regular file is read";
    }
    const TE_FLASH_FILE_KIND kind = GetFileKind(path);
    if (kind != KIND_M0 && kind != KIND_CP64) {
        return "'" + path + "' is not a flash file: the name must end in .m0 (or .cp64)";
    }
    if (applicationFile) {
        // The name rules see the full path, as the desktop program's file dialogs give it.
        std::error_code ec;
        const fs::path absolute = fs::absolute(path, ec);
        const std::string full = ec ? path : absolute.string();
        std::string rule;
        switch (BrokenFlashNameRule(full)) {
        case NAME_RULES_HOLD:
            break;
        case NAME_RULE_LENGTH:
            rule = "its full path '" + full + "' is shorter than 8 characters";
            break;
        case NAME_RULE_ENDING:
            rule = "its name must end in .m0, .cp64 or .cp128";
            break;
        case NAME_RULE_V_FIRST:
            rule = "its name must begin with v or V";
            break;
        }
        if (!rule.empty()) {
            return "'" + path + "' is not a valid OSTRA(*.m0) flash file: " + rule;
        }
    }
    if (readRecords) {
        // every record read and checked, none kept: the file may be large
        CRecordReader reader(kind == KIND_CP64 ? CRecordReader::COUNT_TWO_BYTES
                                               : CRecordReader::COUNT_ONE_BYTE);
        CRecordReader::TE_NEXT_RESULT next = reader.Open(path) ? reader.Next() : CRecordReader::RECORD_ERROR;
        while (next == CRecordReader::RECORD_READ) {
            next = reader.Next();
        }
        if (next == CRecordReader::RECORD_ERROR) {
            return OneLine(reader.ErrorText());
        }
    }
    if (kind == KIND_M0) {
        const fs::path parent =
            fs::path(path).has_parent_path() ? fs::path(path).parent_path() : fs::path(".");
        if (::access(parent.c_str(), W_OK) != 0) {
            return "cannot write '" + CompressedFilePath(path) + "' beside '" + path +
                   "': " + std::strerror(errno);
        }
    }
    return {};
}
