#include "CliOutput.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "CliConsole.h"
#include "CliJson.h"
#include "platform/Files.h"

std::string TerminalText(const std::string& logText) {
    std::string text;
    text.reserve(logText.size());
    for (std::size_t i = 0; i < logText.size(); ++i) {
        if (logText[i] == '\r' && i + 1 < logText.size() && logText[i + 1] == '\n') {
            continue;
        }
        text += logText[i];
    }
    return text;
}

std::string FormatBytes(uint64_t bytes) {
    char text[32];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    } else if (bytes < 1024ull * 1024) {
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%.2f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    }
    return text;
}

// ---- CCliOutput ----

CCliOutput::CCliOutput(std::FILE* out, std::FILE* err, bool quiet, bool interactive)
    : m_out(out), m_err(err), m_quiet(quiet), m_interactive(interactive) {}

CCliOutput::~CCliOutput() {
    std::lock_guard lock(m_mutex);
    if (m_progressShown && m_progressOnScreen) {
        WriteOut("\n");
        m_progressShown = false;
    }
    if (m_log) {
        if (!m_logAtLineStart) {
            std::fputc('\n', m_log);
        }
        std::fclose(m_log);
    }
    std::fflush(m_out);
}

bool CCliOutput::OpenLogFile(const std::string& path, std::string& error) {
    std::lock_guard lock(m_mutex);
    std::FILE* f = platform::OpenAppendStream(path);
    if (!f) {
        error = "cannot open the log file '" + path + "': " + std::strerror(errno);
        return false;
    }
    m_log = f;
    return true;
}

int CCliOutput::Columns() const {
    if (const int columns = m_interactive ? ConsoleColumns(m_out) : 0; columns > 10) {
        return columns;
    }
    return 80;
}

void CCliOutput::WriteOut(const std::string& text) {
    if (text.empty()) {
        return;
    }
    std::fwrite(text.data(), 1, text.size(), m_out);
    m_atLineStart = text.back() == '\n';
}

void CCliOutput::WriteLogFile(const std::string& text) {
    if (!m_log || text.empty()) {
        return;
    }
    std::fwrite(text.data(), 1, text.size(), m_log);
    std::fflush(m_log);
    m_logAtLineStart = text.back() == '\n';
}

void CCliOutput::ClearProgressLocked() {
    if (m_progressShown && m_progressOnScreen) {
        std::fputs("\r\033[K", m_out);
        m_atLineStart = true;
        m_progressOnScreen = false;
    }
}

void CCliOutput::RedrawProgressLocked() {
    if (!m_progressShown) {
        return;
    }
    if (!m_progressOnScreen && !m_atLineStart) {
        WriteOut("\n");
        m_swallowNewline = true;
    }
    std::string line = m_progressText;
    const auto columns = static_cast<std::size_t>(Columns() - 1);
    // cut at a character boundary so that a multi-byte character is never split
    if (line.size() > columns) {
        std::size_t cut = columns;
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        line.resize(cut);
    }
    std::fputs("\r\033[K", m_out);
    std::fwrite(line.data(), 1, line.size(), m_out);
    m_atLineStart = false;
    m_progressOnScreen = true;
    std::fflush(m_out);
}

void CCliOutput::AppendLog(const std::string& logText) {
    std::string text = TerminalText(logText);
    std::lock_guard lock(m_mutex);
    WriteLogFile(text);
    if (m_json) {
        JsonLogLocked(text);
        return;
    }
    if (m_quiet) {
        return;
    }
    ClearProgressLocked();
    if (m_swallowNewline && !text.empty()) {
        if (text[0] == '\n') {
            text.erase(0, 1);
        }
        m_swallowNewline = false;
    }
    WriteOut(text);
    RedrawProgressLocked();
    std::fflush(m_out);
}

void CCliOutput::Note(const std::string& line) {
    std::lock_guard lock(m_mutex);
    WriteLogFile((m_logAtLineStart ? "" : "\n") + line + "\n");
    if (m_json) {
        JsonLogLocked((m_jsonPartial.empty() ? "" : "\n") + line + "\n");
        return;
    }
    if (m_quiet) {
        return;
    }
    ClearProgressLocked();
    if (!m_atLineStart) {
        WriteOut("\n");
        m_swallowNewline = true;
    }
    WriteOut(line + "\n");
    RedrawProgressLocked();
    std::fflush(m_out);
}

void CCliOutput::Result(const std::string& line) {
    std::lock_guard lock(m_mutex);
    WriteLogFile((m_logAtLineStart ? "" : "\n") + line + "\n");
    if (m_json) {
        m_jsonResults.push_back(line);
        return;
    }
    ClearProgressLocked();
    if (!m_atLineStart) {
        WriteOut("\n");
        m_swallowNewline = true;
    }
    WriteOut(line + "\n");
    RedrawProgressLocked();
    std::fflush(m_out);
}

void CCliOutput::Error(const std::string& line) {
    std::lock_guard lock(m_mutex);
    const std::string text = "vandrel-cli: " + line + "\n";
    WriteLogFile((m_logAtLineStart ? "" : "\n") + text);
    if (m_json) {
        if (m_jsonError.empty()) {
            // one line: a hint on a line of its own follows after "; "
            for (std::size_t k = 0; k < line.size(); ++k) {
                if (line[k] == '\n') {
                    m_jsonError += "; ";
                    while (k + 1 < line.size() && line[k + 1] == ' ') {
                        ++k;
                    }
                } else {
                    m_jsonError += line[k];
                }
            }
        }
        std::fputs(text.c_str(), m_err);
        std::fflush(m_err);
        return;
    }
    ClearProgressLocked();
    if (!m_atLineStart) {
        // the error starts a line of its own on a shared terminal
        WriteOut("\n");
        m_swallowNewline = true;
    }
    std::fflush(m_out);
    std::fputs(text.c_str(), m_err);
    std::fflush(m_err);
    RedrawProgressLocked();
}

void CCliOutput::ShowProgress(const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (m_quiet || m_json) {
        return;
    }
    if (m_interactive) {
        m_progressText = text;
        m_progressShown = true;
        RedrawProgressLocked();
        return;
    }
    if (!m_atLineStart) {
        WriteOut("\n");
        m_swallowNewline = true;
    }
    WriteOut(text + "\n");
    std::fflush(m_out);
}

void CCliOutput::EndProgress() {
    std::lock_guard lock(m_mutex);
    if (m_progressShown) {
        RedrawProgressLocked();
        WriteOut("\n");
        m_progressShown = false;
        m_progressOnScreen = false;
        std::fflush(m_out);
    }
}

// ---- --json ----

void CCliOutput::EnableJson(const std::string& port) {
    std::lock_guard lock(m_mutex);
    m_json = true;
    m_jsonPort = port;
}

void CCliOutput::JsonLineLocked(const char* event, const std::string& fields) {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    std::fprintf(m_out, "{\"schema\":1,\"ts\":\"%s\",\"port\":%s,\"event\":\"%s\"%s}\n",
                 JsonTimestamp(now).c_str(), JsonString(m_jsonPort).c_str(), event, fields.c_str());
    std::fflush(m_out);
}

void CCliOutput::JsonLogLocked(const std::string& text) {
    m_jsonPartial += text;
    std::size_t start = 0;
    for (std::size_t end; (end = m_jsonPartial.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = m_jsonPartial.substr(start, end - start);
        if (line.find_first_not_of(" \t\r") != std::string::npos) {
            JsonLineLocked("log", ",\"text\":" + JsonString(line));
        }
    }
    m_jsonPartial.erase(0, start);
}

void CCliOutput::JsonBegin(const std::string& device, const std::string& command) {
    std::lock_guard lock(m_mutex);
    if (!m_json) {
        return;
    }
    m_jsonBegun = true;
    m_jsonPhase.clear();
    m_jsonResults.clear();
    m_jsonError.clear();
    m_jsonErrorName = nullptr;
    m_jsonBegin = std::chrono::steady_clock::now();
    JsonLineLocked("begin", ",\"device\":" + JsonString(device) + ",\"command\":" + JsonString(command));
}

void CCliOutput::JsonPhase(const std::string& phase) {
    std::lock_guard lock(m_mutex);
    if (!m_json || !m_jsonBegun) {
        return;
    }
    m_jsonPhase = phase;
    m_jsonLastProgress = {};
    JsonLineLocked("phase", ",\"phase\":" + JsonString(phase));
}

void CCliOutput::JsonProgress(uint64_t done, uint64_t total) {
    std::lock_guard lock(m_mutex);
    if (!m_json || !m_jsonBegun) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (done < total && now - m_jsonLastProgress < std::chrono::milliseconds(100)) {
        return;
    }
    m_jsonLastProgress = now;
    JsonLineLocked("progress", ",\"phase\":" + JsonString(m_jsonPhase) + ",\"done\":" + std::to_string(done) +
                                   ",\"total\":" + std::to_string(total));
}

void CCliOutput::JsonErrorKind(int code, const char* name) {
    std::lock_guard lock(m_mutex);
    m_jsonErrorCode = code;
    m_jsonErrorName = name;
}

void CCliOutput::JsonEnd(int exitStatus, uint64_t bytes, const std::string& summary,
                         const std::string& fields) {
    std::lock_guard lock(m_mutex);
    if (!m_json || !m_jsonBegun) {
        return;
    }
    JsonLogLocked(m_jsonPartial.empty() ? "" : "\n");
    m_jsonBegun = false;
    char seconds[48];
    std::snprintf(seconds, sizeof seconds, "%.3f",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - m_jsonBegin).count());
    std::string line = std::string(",\"result\":\"") + (exitStatus == 0 ? "ok" : "failed") +
                       "\",\"bytes\":" + std::to_string(bytes) + ",\"seconds\":" + seconds;
    if (exitStatus == 0) {
        ++m_jsonSucceeded;
        line += ",\"summary\":" + JsonString(!summary.empty()        ? summary
                                             : m_jsonResults.empty() ? std::string()
                                                                     : m_jsonResults.front());
    } else {
        ++m_jsonFailed;
        // the kind the command named, else the one its exit status stands for
        int code = m_jsonErrorCode;
        const char* name = m_jsonErrorName;
        if (!name) {
            code = exitStatus == 2 ? 1 : exitStatus == 1 ? 6 : 13;
            name = exitStatus == 2 ? "usage" : exitStatus == 1 ? "link" : "stopped";
        }
        line += ",\"error\":{\"code\":" + std::to_string(code) + ",\"name\":\"" + name +
                "\",\"message\":" + JsonString(m_jsonError) + "}";
    }
    std::string lines;
    for (const std::string& result : m_jsonResults) {
        lines += (lines.empty() ? "" : ",") + JsonString(result);
    }
    line += ",\"lines\":[" + lines + "]" + fields;
    JsonLineLocked("end", line);
}

void CCliOutput::JsonSummary() {
    std::lock_guard lock(m_mutex);
    if (!m_json || m_jsonSucceeded + m_jsonFailed == 0) {
        return;
    }
    const std::string port = m_jsonPort;
    m_jsonPort = "*";
    JsonLineLocked("summary", ",\"succeeded\":" + std::to_string(m_jsonSucceeded) +
                                  ",\"failed\":" + std::to_string(m_jsonFailed));
    m_jsonPort = port;
}

// ---- CProgressLine ----

namespace {
std::string Clock2(int64_t seconds) {
    if (seconds < 0) {
        seconds = 0;
    }
    char text[32];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    } else {
        std::snprintf(text, sizeof text, "%02lld:%02lld", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    }
    return text;
}
} // namespace

CProgressLine::CProgressLine(CCliOutput& out) : m_out(out) {
    if (m_out.Interactive() && !m_out.Quiet()) {
        m_ticker = std::thread([this] { Ticker(); });
    }
}

CProgressLine::~CProgressLine() {
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_tick.notify_all();
    if (m_ticker.joinable()) {
        m_ticker.join();
    }
}

void CProgressLine::Ticker() {
    std::unique_lock lock(m_mutex);
    while (!m_quit) {
        m_tick.wait_for(lock, std::chrono::milliseconds(250));
        if (m_active && !m_quit) {
            // a redraw that fails (out of memory) is left out: the ticker itself never ends the
            // program
            try {
                const std::string line = Compose();
                lock.unlock();
                m_out.ShowProgress(line);
            } catch (...) {
            }
            if (!lock.owns_lock()) {
                lock.lock();
            }
        }
    }
}

void CProgressLine::Begin(const std::string& name) {
    std::lock_guard lock(m_mutex);
    m_active = true;
    m_name = name;
    m_caption.clear();
    m_status.clear();
    m_text.clear();
    m_low = m_high = m_pos = 0;
    m_erasing = false;
    m_bytes = 0;
    m_jobStart = m_sendStart = Clock::now();
    m_sending = false;
    m_lastDraw = {};
    m_lastDecile = -1;
}

void CProgressLine::End() {
    std::string line;
    {
        std::lock_guard lock(m_mutex);
        if (!m_active) {
            return;
        }
        line = Compose();
        m_active = false;
    }
    if (m_out.Interactive()) {
        m_out.ShowProgress(line);
        m_out.EndProgress();
    }
}

std::string CProgressLine::Compose() {
    const Clock::time_point now = Clock::now();
    if (m_erasing) {
        // the erase message says it all: no caption, so that the line fits 80 columns
        std::string line = m_name.empty() ? std::string() : m_name + " | ";
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - m_eraseStart).count();
        static const char spin[] = {'|', '/', '-', '\\'};
        const auto quarter =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - m_eraseStart).count() / 250;
        line += m_eraseMessage + " " + spin[quarter % 4] + " " + Clock2(seconds);
        return line;
    }
    std::string line = m_caption.empty() ? m_name : m_caption;
    if (!m_caption.empty() && !m_name.empty()) {
        line += " " + m_name;
    }
    if (!m_status.empty()) {
        line += " | " + m_status;
    }
    const uint64_t span = m_high > m_low ? m_high - m_low : 0;
    const uint64_t done = m_pos > m_low ? std::min<uint64_t>(m_pos - m_low, span) : 0;
    const int percent = span ? static_cast<int>(done * 100 / span) : 0;
    line += " | " + std::to_string(percent) + "%";
    const uint64_t bytes = m_bytes.load();
    line += " | " + FormatBytes(bytes);
    const double elapsed = std::chrono::duration<double>(now - m_sendStart).count();
    if (m_sending && bytes == 0) {
        line += " | " + Clock2(static_cast<int64_t>(elapsed));
    }
    if (m_sending && elapsed > 0.2 && bytes > 0) {
        line += " | " + FormatBytes(static_cast<uint64_t>(static_cast<double>(bytes) / elapsed)) + "/s";
        if (done > 0 && span > 0) {
            const double left = elapsed * static_cast<double>(span - done) / static_cast<double>(done);
            line += " | " + Clock2(static_cast<int64_t>(left + 0.5)) + " left";
        }
    }
    return line;
}

void CProgressLine::Update(bool force) {
    std::string line;
    {
        std::lock_guard lock(m_mutex);
        if (!m_active) {
            return;
        }
        if (m_out.Interactive()) {
            const Clock::time_point now = Clock::now();
            if (!force && now - m_lastDraw < std::chrono::milliseconds(100)) {
                return;
            }
            m_lastDraw = now;
        } else {
            // a plain line every 10 %
            if (m_erasing || m_high <= m_low) {
                return;
            }
            const uint64_t span = m_high - m_low;
            const uint64_t done = m_pos > m_low ? std::min<uint64_t>(m_pos - m_low, span) : 0;
            const int decile = static_cast<int>(done * 10 / span);
            if (decile <= m_lastDecile || decile == 0) {
                if (m_lastDecile < 0) {
                    m_lastDecile = 0;
                }
                return;
            }
            m_lastDecile = decile;
        }
        line = Compose();
    }
    m_out.ShowProgress(line);
}

void CProgressLine::SetCaption(const std::string& text) {
    {
        std::lock_guard lock(m_mutex);
        m_caption = text;
    }
    Update(true);
}

void CProgressLine::SetStatus(const std::string& text) {
    {
        std::lock_guard lock(m_mutex);
        m_status = text;
    }
    Update(false);
}

void CProgressLine::SetProgressText(const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_text = text;
}

void CProgressLine::SetProgressRange(uint32_t low, uint32_t high) {
    std::lock_guard lock(m_mutex);
    m_low = low;
    m_high = high;
    m_lastDecile = -1;
    if (!m_erasing && !m_sending) {
        m_sending = true;
        m_sendStart = Clock::now();
    }
}

void CProgressLine::SetProgressPos(uint32_t pos) {
    std::optional<uint64_t> json;
    {
        std::lock_guard lock(m_mutex);
        if (m_bytesFromPosition && pos >= m_low) {
            m_bytes = pos - m_low;
        }
        m_pos = pos;
        if (m_jsonTotal > 0 && m_high > m_low && pos >= m_low) {
            const uint64_t span = m_high - m_low;
            json = m_jsonTotal * std::min<uint64_t>(pos - m_low, span) / span;
        }
    }
    if (json) {
        m_out.JsonProgress(*json, m_jsonTotal);
    }
    Update(false);
}

void CProgressLine::SetEraseAnimation(bool on, const std::string& message) {
    {
        std::lock_guard lock(m_mutex);
        m_erasing = on;
        if (on) {
            m_eraseMessage = message;
            m_eraseStart = Clock::now();
        } else {
            // the time of the transfer starts after the erase
            m_sending = false;
        }
    }
    if (on && !m_out.Interactive()) {
        m_out.ShowProgress(message);
    } else {
        Update(true);
    }
}

void CProgressLine::OnBlockWritten(uint32_t, uint32_t length) {
    m_bytes += length;
}
