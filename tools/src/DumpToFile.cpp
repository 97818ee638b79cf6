#include "tools/DumpToFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "download/ElapsedTimer.h"
#include "platform/Files.h"
#include "tools/MemoryDump.h"

namespace {

// Writes all of data, retrying interrupted and short writes. 0 or the errno of the failure.
int WriteAll(int fd, const uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return 0;
}

// "<path>[N bytes]" with the size of the file opened again for reading, or "<path>[error]".
std::string FileInformation(const std::string& path) {
    const int fd = platform::OpenFile(path, platform::EFileOpen::Read);
    struct stat st {};
    const bool ok = fd >= 0 && ::fstat(fd, &st) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok ? path + "[" + std::to_string(static_cast<long long>(st.st_size)) + " bytes]"
              : path + "[error]";
}

std::string Hex(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", address);
    return text;
}

} // namespace

std::string DumpElapsedText(int64_t seconds) {
    return std::string(DUMP_ELAPSED_LABEL) + "  " + CElapsedTimer::Format(seconds);
}

std::string DumpSavingText(uint64_t done, uint64_t length) {
    return std::string(DUMP_SAVING_TEXT) + " " + std::to_string(DumpProgressPercent(done, length)) + "%";
}

TS_JOB_OUTCOME TS_DUMP_FILE_RESULT::JobOutcome() const {
    TS_JOB_OUTCOME outcome;
    outcome.Step = STEP_READ;
    outcome.Text = Detail.empty() ? StatusText : Detail;
    switch (Outcome) {
    case DUMP_FILE_CREATED:
        return {};
    case DUMP_FILE_BAD_RANGE:
        outcome.Class = OUTCOME_INTERNAL;
        break;
    case DUMP_FILE_OPEN_ERROR:
        outcome.Class = OUTCOME_FILE_ERROR;
        outcome.File = FILE_PROBLEM_OPEN;
        break;
    case DUMP_FILE_WRITE_ERROR:
        outcome.Class = OUTCOME_FILE_ERROR;
        outcome.File = FILE_PROBLEM_READ;
        break;
    case DUMP_FILE_READ_ERROR:
        outcome.Class = LinkLost ? OUTCOME_LINK_LOST : OUTCOME_TARGET_REFUSED;
        outcome.Status = Status;
        break;
    case DUMP_FILE_STOPPED:
        outcome.Class = OUTCOME_CANCELLED;
        break;
    }
    return outcome;
}

TS_DUMP_FILE_RESULT DumpToFile(COstraMonitor& monitor, const std::string& path, uint32_t start, uint32_t end,
                               const TS_JOB_HOOKS& hooks) {
    TS_DUMP_FILE_RESULT result;
    result.Reached = start;
    if (start >= end) {
        result.Outcome = DUMP_FILE_BAD_RANGE;
        result.MessageBox = DUMP_RANGE_ORDER_TEXT;
        result.Detail = "The start address " + Hex(start) + " is not below the end address " + Hex(end);
        return result;
    }
    const int fd = path.empty() ? -1 : platform::OpenFile(path, platform::EFileOpen::CreateOrEmpty);
    if (fd < 0) {
        const int error = path.empty() ? ENOENT : errno;
        result.Outcome = DUMP_FILE_OPEN_ERROR;
        result.MessageBox = DUMP_FILE_OPEN_ERROR_TEXT;
        result.Detail = path.empty() ? std::string("No BIN file is named")
                                     : "Cannot open " + path + " for writing: " + std::strerror(error);
        return result;
    }

    const uint64_t length = uint64_t{end} - start;
    IJobObserver* view = hooks.Observer;
    if (view) {
        view->SetStatus("");
        view->OnJobPhase(JOB_PHASE_READ);
        view->SetProgressRange(0, DumpProgressValue(length, length));
        view->SetProgressPos(0);
        view->SetProgressText(DumpSavingText(0, length));
    }

    std::array<uint8_t, 1000> buffer{};
    const int linkLimit = monitor.MaxDumpBytes();
    uint32_t current = start;
    int writeError = 0;
    while (current != end) {
        if (StopRequested(hooks)) {
            result.Outcome = DUMP_FILE_STOPPED;
            break;
        }
        const TS_DUMP_CHUNK chunk = FileDumpChunk(end - current, linkLimit);
        const signed char status = monitor.MemoryDump(current, chunk.Count, chunk.Unit, buffer.data());
        if (status < 0) {
            result.Outcome = DUMP_FILE_READ_ERROR;
            result.Status = status;
            result.LinkLost = monitor.IsSerialOpen() && monitor.GetPortLastError() != 0;
            break;
        }
        writeError = WriteAll(fd, buffer.data(), chunk.Bytes());
        if (writeError != 0) {
            result.Outcome = DUMP_FILE_WRITE_ERROR;
            break;
        }
        current += chunk.Bytes();
        result.Reached = current;
        result.BytesWritten = uint64_t{current} - start;
        if (view) {
            view->SetProgressText(DumpSavingText(result.BytesWritten, length));
            view->SetProgressPos(DumpProgressValue(result.BytesWritten, length));
        }
    }
    if (::close(fd) != 0 && writeError == 0 && result.Outcome != DUMP_FILE_READ_ERROR) {
        // The last bytes may not have reached the disk (a full disk shows here on some file systems).
        writeError = errno;
        result.Outcome = DUMP_FILE_WRITE_ERROR;
    }

    const std::string saved = std::to_string(result.BytesWritten) + " bytes";
    switch (result.Outcome) {
    case DUMP_FILE_CREATED:
        result.StatusText = DUMP_FILE_CREATED_TEXT;
        result.FileInfo = FileInformation(path);
        result.Detail = path + ": " + saved + " from " + Hex(start) + " to " + Hex(end);
        break;
    case DUMP_FILE_READ_ERROR:
        result.StatusText = "Memory read error [ Error code : " + std::to_string(result.Status) + " ]";
        result.Detail = "Memory read error at " + Hex(current) + " (code " + std::to_string(result.Status) +
                        "); " + path + " holds the " + saved + " read before it";
        break;
    case DUMP_FILE_WRITE_ERROR:
        result.StatusText = std::string("BIN file write error [ ") + std::strerror(writeError) + " ]";
        result.Detail = "Cannot write " + path + " after " + saved + " (address " + Hex(current) +
                        "): " + std::strerror(writeError) + "; the file is incomplete";
        break;
    case DUMP_FILE_STOPPED:
        result.StatusText =
            "BIN file is incomplete: the dump was stopped at " + Hex(current) + " [ " + saved + " ]";
        result.FileInfo = FileInformation(path);
        result.Detail = "Dump stopped at " + Hex(current) + "; " + path + " holds the first " + saved;
        break;
    default:
        break;
    }
    if (view) {
        view->SetStatus(result.StatusText);
        view->OnJobEnd(result.JobOutcome());
    }
    return result;
}
