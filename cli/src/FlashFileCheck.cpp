#include "FlashFileCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "download/CompressFlashFile.h"
#include "download/FlashFile.h"
#include "download/RecordReader.h"
#include "download/TargetConnection.h"
#include "platform/Files.h"

namespace fs = std::filesystem;

namespace {
const char* FileTypeName(const std::string& path) {
    std::error_code ec;
    switch (fs::status(path, ec).type()) {
    case fs::file_type::fifo:
        return "a FIFO";
    case fs::file_type::socket:
        return "a socket";
    case fs::file_type::character:
        return "a character device";
    case fs::file_type::block:
        return "a block device";
    default:
        return "not a regular file";
    }
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
        return "'" + path + "' is " + FileTypeName(path) + ", not a flash file: only a regular file is read";
    }
    const int fd = platform::OpenFile(path, platform::EFileOpen::ReadNoWait);
    if (fd < 0) {
        return "cannot open '" + path + "': " + std::strerror(errno);
    }
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular) {
        return "'" + path + "' is " + FileTypeName(path) + ", not a flash file: only a regular file is read";
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
        const std::string parent =
            fs::path(path).has_parent_path() ? fs::path(path).parent_path().string() : std::string(".");
        if (::access(parent.c_str(), W_OK) != 0) {
            return "cannot write '" + CompressedFilePath(path) + "' beside '" + path +
                   "': " + std::strerror(errno);
        }
    }
    return {};
}
