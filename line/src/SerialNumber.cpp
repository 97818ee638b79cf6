#include "line/SerialNumber.h"

#include <charconv>
#include <sstream>

namespace {

struct TS_TEMPLATE_PARTS {
    std::string prefix;
    std::string suffix;
    int width = 0;
    bool zeros = false;
};

bool SplitTemplate(const std::string& text, TS_TEMPLATE_PARTS& parts, std::string& reason) {
    const std::size_t open = text.find("{serial");
    if (open == std::string::npos) {
        reason = "the template has no {serial}";
        return false;
    }
    const std::size_t close = text.find('}', open);
    if (close == std::string::npos) {
        reason = "the template's {serial is not closed";
        return false;
    }
    const std::string inner = text.substr(open + 7, close - open - 7);
    parts = {};
    if (!inner.empty()) {
        if (inner[0] != ':' || inner.size() < 2) {
            reason = "the template's field must be {serial} or {serial:N}";
            return false;
        }
        std::string digits = inner.substr(1);
        parts.zeros = digits.size() > 1 && digits[0] == '0';
        int width = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), width);
        if (ec != std::errc() || end != digits.data() + digits.size() || width < 1 || width > 20) {
            reason = "the template's width must be a number from 1 to 20";
            return false;
        }
        parts.width = width;
    }
    parts.prefix = text.substr(0, open);
    parts.suffix = text.substr(close + 1);
    if (parts.prefix.find('{') != std::string::npos || parts.suffix.find('{') != std::string::npos ||
        parts.prefix.find('}') != std::string::npos || parts.suffix.find('}') != std::string::npos) {
        reason = "the template holds more than one field";
        return false;
    }
    for (const char c : parts.prefix + parts.suffix) {
        if (c < 0x20 || c > 0x7E) {
            reason = "the template holds a character that is not printable ASCII";
            return false;
        }
    }
    return true;
}

bool ParseInteger(const std::string& text, int64_t& value) {
    std::string_view s = text;
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

bool IsBinary(TE_SERIAL_FORMAT format) {
    return format != SERIAL_TEXT;
}
std::size_t BinaryLength(TE_SERIAL_FORMAT format) {
    return format == SERIAL_U32LE || format == SERIAL_U32BE ? 4 : 8;
}
bool BigEndian(TE_SERIAL_FORMAT format) {
    return format == SERIAL_U32BE || format == SERIAL_U64BE;
}

} // namespace

bool CheckSerialTemplate(const std::string& text, std::string& reason) {
    TS_TEMPLATE_PARTS parts;
    return SplitTemplate(text, parts, reason);
}

bool ParseSerialFormat(const std::string& text, TE_SERIAL_FORMAT& format, std::string& reason) {
    static const std::pair<const char*, TE_SERIAL_FORMAT> kBinary[] = {
        {"u32le", SERIAL_U32LE}, {"u32be", SERIAL_U32BE}, {"u64le", SERIAL_U64LE}, {"u64be", SERIAL_U64BE}};
    for (const auto& [name, value] : kBinary) {
        if (text == name) {
            format = value;
            return true;
        }
    }
    format = SERIAL_TEXT;
    return CheckSerialTemplate(text, reason);
}

CSerialPlan::CSerialPlan(TS_SERIAL_SPEC spec) : m_spec(std::move(spec)) {
    if (IsBinary(m_spec.Format)) {
        m_length = BinaryLength(m_spec.Format);
    } else {
        for (int64_t k = 0; k < Count(); ++k) {
            // a counter's texts grow with the value: its first and last give the longest
            if (m_spec.FromList || k == 0 || k == Count() - 1) {
                m_length = std::max(m_length, Text(k).size());
            }
        }
    }
    if (m_spec.FromList) {
        for (std::size_t k = 0; k < m_spec.List.size(); ++k) {
            m_listIndex.emplace(Text(static_cast<int64_t>(k)), static_cast<int64_t>(k));
        }
    }
}

int64_t CSerialPlan::Count() const {
    if (m_spec.FromList) {
        return static_cast<int64_t>(m_spec.List.size());
    }
    if (m_spec.Step <= 0 || m_spec.Last < m_spec.First) {
        return 0;
    }
    return (m_spec.Last - m_spec.First) / m_spec.Step + 1;
}

bool CSerialPlan::ValueOf(int64_t index, int64_t& value) const {
    if (index < 0 || index >= Count()) {
        return false;
    }
    if (m_spec.FromList) {
        return ParseInteger(m_spec.List[static_cast<std::size_t>(index)], value);
    }
    value = m_spec.First + index * m_spec.Step;
    return true;
}

std::string CSerialPlan::Expand(const std::string& value) const {
    TS_TEMPLATE_PARTS parts;
    std::string reason;
    if (!SplitTemplate(m_spec.Template, parts, reason)) {
        return value;
    }
    std::string field = value;
    if (parts.width > 0 && field.size() < static_cast<std::size_t>(parts.width)) {
        field.insert(0, static_cast<std::size_t>(parts.width) - field.size(), parts.zeros ? '0' : ' ');
    }
    return parts.prefix + field + parts.suffix;
}

std::string CSerialPlan::Text(int64_t index) const {
    if (index < 0 || index >= Count()) {
        return {};
    }
    if (IsBinary(m_spec.Format)) {
        int64_t value = 0;
        return ValueOf(index, value) ? std::to_string(value) : std::string();
    }
    if (m_spec.FromList) {
        return Expand(m_spec.List[static_cast<std::size_t>(index)]);
    }
    return Expand(std::to_string(m_spec.First + index * m_spec.Step));
}

std::vector<uint8_t> CSerialPlan::Bytes(int64_t index) const {
    std::vector<uint8_t> bytes;
    if (IsBinary(m_spec.Format)) {
        int64_t signedValue = 0;
        ValueOf(index, signedValue);
        const auto value = static_cast<uint64_t>(signedValue);
        const std::size_t n = BinaryLength(m_spec.Format);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t shift = 8 * (BigEndian(m_spec.Format) ? n - 1 - k : k);
            bytes.push_back(static_cast<uint8_t>(value >> shift));
        }
        return bytes;
    }
    const std::string text = Text(index);
    bytes.assign(text.begin(), text.end());
    bytes.resize(m_length, 0x00);
    return bytes;
}

int64_t CSerialPlan::IndexOf(const std::vector<uint8_t>& bytes) const {
    if (bytes.size() != m_length || Count() == 0) {
        return -1;
    }
    if (IsBinary(m_spec.Format)) {
        uint64_t value = 0;
        for (std::size_t k = 0; k < m_length; ++k) {
            const std::size_t shift = 8 * (BigEndian(m_spec.Format) ? m_length - 1 - k : k);
            value |= uint64_t{bytes[k]} << shift;
        }
        const auto v = static_cast<int64_t>(value);
        if (m_spec.FromList) {
            const auto it = m_listIndex.find(std::to_string(v));
            return it == m_listIndex.end() ? -1 : it->second;
        }
        if (v < m_spec.First || v > m_spec.Last || (v - m_spec.First) % m_spec.Step != 0) {
            return -1;
        }
        return (v - m_spec.First) / m_spec.Step;
    }
    std::string text(bytes.begin(), bytes.end());
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    if (m_spec.FromList) {
        const auto it = m_listIndex.find(text);
        return it == m_listIndex.end() ? -1 : it->second;
    }
    TS_TEMPLATE_PARTS parts;
    std::string reason;
    if (!SplitTemplate(m_spec.Template, parts, reason) ||
        text.size() < parts.prefix.size() + parts.suffix.size() ||
        text.compare(0, parts.prefix.size(), parts.prefix) != 0 ||
        text.compare(text.size() - parts.suffix.size(), parts.suffix.size(), parts.suffix) != 0) {
        return -1;
    }
    std::string field =
        text.substr(parts.prefix.size(), text.size() - parts.prefix.size() - parts.suffix.size());
    const std::size_t lead = field.find_first_not_of(' ');
    int64_t v = 0;
    if (lead == std::string::npos || !ParseInteger(field.substr(lead), v) || v < m_spec.First ||
        v > m_spec.Last || (v - m_spec.First) % m_spec.Step != 0) {
        return -1;
    }
    const int64_t index = (v - m_spec.First) / m_spec.Step;
    return Text(index) == text ? index : -1; // the width and padding must be this job's too
}

std::string CSerialPlan::RangeText() const {
    if (Count() == 0) {
        return "(none)";
    }
    return Text(0) + ".." + Text(Count() - 1);
}

bool ReadSerialList(const std::string& text, const std::string& column, std::vector<std::string>& values,
                    int& line, std::string& reason) {
    values.clear();
    std::istringstream in(text);
    std::string row;
    line = 0;
    bool first = true;
    long csvColumn = -1; // CSV: the column of the values
    std::map<std::string, int> seen;
    auto split = [](const std::string& s) {
        std::vector<std::string> cells;
        std::string cell;
        std::istringstream cellsIn(s);
        while (std::getline(cellsIn, cell, ',')) {
            const std::size_t a = cell.find_first_not_of(" \t\"");
            const std::size_t b = cell.find_last_not_of(" \t\"");
            cells.push_back(a == std::string::npos ? std::string() : cell.substr(a, b - a + 1));
        }
        return cells;
    };
    while (std::getline(in, row)) {
        ++line;
        if (!row.empty() && row.back() == '\r') {
            row.pop_back();
        }
        const std::size_t a = row.find_first_not_of(" \t");
        if (a == std::string::npos || row[a] == '#') {
            continue;
        }
        std::vector<std::string> cells = split(row);
        if (first) {
            first = false;
            bool header = row.find(',') != std::string::npos;
            for (std::size_t k = 0; k < cells.size(); ++k) {
                if (cells[k] == column) {
                    header = true;
                    csvColumn = static_cast<long>(k);
                }
            }
            if (header) {
                if (csvColumn < 0) {
                    csvColumn = 0;
                }
                continue;
            }
        }
        const std::size_t at = csvColumn < 0 ? 0 : static_cast<std::size_t>(csvColumn);
        if (at >= cells.size() || cells[at].empty()) {
            reason = "no value in column " + std::to_string(at + 1);
            return false;
        }
        const std::string& value = cells[at];
        if (const auto it = seen.find(value); it != seen.end()) {
            reason = "the serial '" + value + "' is listed twice (also on line " +
                     std::to_string(it->second) + ")";
            return false;
        }
        seen.emplace(value, line);
        values.push_back(value);
    }
    if (values.empty()) {
        reason = "the list holds no serial";
        line = 0;
        return false;
    }
    return true;
}
