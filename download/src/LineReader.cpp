#include "download/LineReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Files.h"

CLineReader::CLineReader(std::size_t readChunk) : m_readChunk(readChunk < 4096 ? 4096 : readChunk) {}

CLineReader::~CLineReader() {
    Close();
}

bool CLineReader::Open(const std::string& path) {
    Close();
    m_fd = platform::OpenFile(path, platform::EFileOpen::Read);
    struct stat st {};
    if (m_fd < 0) {
        // Windows refuses to open a folder as a file (access denied): say what it is.
        m_errno = errno == EACCES && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? EISDIR : errno;
        return false;
    }
    if (::fstat(m_fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        m_errno = S_ISDIR(st.st_mode) ? EISDIR : errno;
        Close();
        return false;
    }
    m_fileSize = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -1;
    // One read chunk plus the longest line and its carriage return; allocated once per file.
    m_buffer.resize(m_readChunk + MAX_RECORD_LINE + 2);
    m_begin = m_end = 0;
    m_eof = false;
    m_line = {};
    m_lineNumber = 0;
    m_position = 0;
    m_errno = 0;
    return true;
}

void CLineReader::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool CLineReader::Fill() {
    if (m_begin > 0) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    while (m_end < m_buffer.size()) {
        const std::size_t want = std::min(m_readChunk, m_buffer.size() - m_end);
        const ssize_t n = ::read(m_fd, m_buffer.data() + m_end, want);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            m_errno = errno;
            return false;
        }
        if (n == 0) {
            m_eof = true;
        }
        m_end += static_cast<std::size_t>(n);
        return true;
    }
    return true;
}

CLineReader::TE_LINE_RESULT CLineReader::Next(std::size_t maxLine) {
    m_line = {};
    maxLine = std::min(maxLine, MAX_RECORD_LINE);
    if (m_fd < 0) {
        return LINE_READ_ERROR;
    }
    for (;;) {
        const char* start = m_buffer.data() + m_begin;
        const std::size_t available = m_end - m_begin;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', available));
        std::size_t length = 0;   // characters of the line without its end
        std::size_t consumed = 0; // characters of the line with its end
        if (lf) {
            length = static_cast<std::size_t>(lf - start);
            consumed = length + 1;
        } else if (available > maxLine + 1) {
            ++m_lineNumber;
            return LINE_TOO_LONG; // no line feed within the longest line allowed
        } else if (!m_eof) {
            if (!Fill()) {
                return LINE_READ_ERROR;
            }
            continue;
        } else if (available == 0) {
            return LINE_END;
        } else {
            length = consumed = available; // the last line has no line feed
        }
        const bool hasCr = length > 0 && start[length - 1] == '\r';
        if (hasCr) {
            --length;
        }
        ++m_lineNumber;
        // Counted as the reference platform's text mode counts: without the carriage return, with
        // the line feed.
        if (length + (lf ? 1 : 0) > maxLine) {
            return LINE_TOO_LONG;
        }
        m_line = std::string_view(start, length);
        m_begin += consumed;
        m_position += static_cast<int64_t>(consumed);
        return LINE_READ;
    }
}
