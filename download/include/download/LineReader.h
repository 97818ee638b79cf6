// Reads a text file line by line through one fixed buffer: no allocation per line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "download/FlashFile.h"

class CLineReader {
public:
    // readChunk: how much is asked of the file at a time; the buffer holds that plus one longest line.
    explicit CLineReader(std::size_t readChunk = 1u << 20);
    ~CLineReader();
    CLineReader(const CLineReader&) = delete;
    CLineReader& operator=(const CLineReader&) = delete;

    // Opens a regular file for reading; false with errno's value in Errno() otherwise.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

    enum TE_LINE_RESULT {
        LINE_READ,      // Line() holds the next line
        LINE_END,       // the end of the file: no line is left
        LINE_TOO_LONG,  // the next line is longer than maxLine characters, its line feed included
        LINE_READ_ERROR // reading failed; Errno() says why
    };
    // Reads the next line. Its line feed and a carriage return right before it are not part of
    // Line(); a line longer than maxLine (counted without the carriage return, with the line feed)
    // is refused, and the file then stays at that line.
    TE_LINE_RESULT Next(std::size_t maxLine = MAX_RECORD_LINE);

    // The line read by the last Next(); valid until the next call.
    std::string_view Line() const { return m_line; }
    // 1-based number of the line read last (of the offending line after LINE_TOO_LONG).
    std::size_t LineNumber() const { return m_lineNumber; }
    // File position after the line read last, line end included.
    int64_t Position() const { return m_position; }
    // Size of the file when it was opened.
    int64_t FileSize() const { return m_fileSize; }
    int Errno() const { return m_errno; }

private:
    bool Fill();

    int m_fd = -1;
    std::vector<char> m_buffer;
    std::size_t m_readChunk;
    std::size_t m_begin = 0; // first unread character in m_buffer
    std::size_t m_end = 0;   // end of the characters read from the file
    bool m_eof = false;
    std::string_view m_line;
    std::size_t m_lineNumber = 0;
    int64_t m_position = 0;
    int64_t m_fileSize = 0;
    int m_errno = 0;
};
