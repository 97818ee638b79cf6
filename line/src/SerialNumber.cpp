#include "line/SerialNumber.h"

#include <charconv>

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

// A decimal integer, digits only; false when it is none or does not fit.
template <typename T>
bool ParseInteger(const std::string& text, T& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
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

bool CSerialPlan::ValueOf(int64_t index, uint64_t& value) const {
    if (index < 0 || index >= Count()) {
        return false;
    }
    if (m_spec.FromList) {
        return ParseInteger(m_spec.List[static_cast<std::size_t>(index)], value);
    }
    value = static_cast<uint64_t>(m_spec.First + index * m_spec.Step);
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
        uint64_t value = 0;
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
        uint64_t value = 0;
        ValueOf(index, value);
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
        if (m_spec.FromList) {
            const auto it = m_listIndex.find(std::to_string(value));
            return it == m_listIndex.end() ? -1 : it->second;
        }
        if (value > static_cast<uint64_t>(INT64_MAX)) {
            return -1;
        }
        const auto v = static_cast<int64_t>(value);
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

std::string SerialFormatText(const TS_SERIAL_SPEC& spec) {
    switch (spec.Format) {
    case SERIAL_U32LE:
        return "u32le";
    case SERIAL_U32BE:
        return "u32be";
    case SERIAL_U64LE:
        return "u64le";
    case SERIAL_U64BE:
        return "u64be";
    default:
        return spec.Template;
    }
}

std::string CSerialPlan::PoolDefinition() const {
    if (m_spec.FromList) {
        return SerialFormatText(m_spec) + " list";
    }
    return SerialFormatText(m_spec) + " " + std::to_string(m_spec.First) + ".." +
           std::to_string(m_spec.Last) + (m_spec.Step == 1 ? "" : " step " + std::to_string(m_spec.Step));
}

std::string CSerialPlan::RangeText() const {
    if (Count() == 0) {
        return "(none)";
    }
    return Text(0) + ".." + Text(Count() - 1);
}

bool CheckSerialValue(const TS_SERIAL_SPEC& spec, const std::string& value, std::string& reason) {
    if (IsBinary(spec.Format)) {
        uint64_t number = 0;
        const bool digits = !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
        const bool fits =
            ParseInteger(value, number) && (BinaryLength(spec.Format) == 8 || number <= uint64_t{0xFFFFFFFF});
        if (!fits) {
            const char* name = spec.Format == SERIAL_U32LE   ? "u32le"
                               : spec.Format == SERIAL_U32BE ? "u32be"
                               : spec.Format == SERIAL_U64LE ? "u64le"
                                                             : "u64be";
            reason = "the serial '" + value + "' is " +
                     (digits ? std::string("larger than ") +
                                   (BinaryLength(spec.Format) == 8 ? "18446744073709551615" : "4294967295") +
                                   ", the most " + name + " holds"
                             : std::string("no decimal integer for format ") + name);
            return false;
        }
        return true;
    }
    for (const char c : value) {
        if (c < 0x20 || c > 0x7E) {
            reason = "the serial '" + value + "' holds a character that is not printable ASCII";
            return false;
        }
    }
    TS_TEMPLATE_PARTS parts;
    if (SplitTemplate(spec.Template, parts, reason) && parts.width > 0 &&
        value.size() > static_cast<std::size_t>(parts.width)) {
        reason = "the serial '" + value + "' is longer than the " + std::to_string(parts.width) +
                 " characters of " + spec.Template;
        return false;
    }
    return true;
}

bool CheckSerialsDistinct(const CSerialPlan& plan, std::string& reason, int& line) {
    line = 0;
    const TS_SERIAL_SPEC& spec = plan.Spec();
    std::map<std::vector<uint8_t>, int64_t> seen;
    // a counter's values differ by construction (one width, one step): only a list can repeat
    for (int64_t k = 0; spec.FromList && k < plan.Count(); ++k) {
        const auto [it, added] = seen.emplace(plan.Bytes(k), k);
        if (!added) {
            const auto lineOf = [&spec](int64_t index) {
                const auto at = static_cast<std::size_t>(index);
                return at < spec.ListLines.size() ? spec.ListLines[at] : 0;
            };
            line = lineOf(k);
            reason = "the serials '" + spec.List[static_cast<std::size_t>(it->second)] + "' (line " +
                     std::to_string(lineOf(it->second)) + ") and '" + spec.List[static_cast<std::size_t>(k)] +
                     "' (line " + std::to_string(line) + ") write the same bytes";
            return false;
        }
    }
    return true;
}

namespace {

// One record of a CSV text from at (RFC 4180); false at the end. lines: the line ends it held.
bool CsvRecord(const std::string& text, std::size_t& at, std::vector<std::string>& cells, bool& quotedFirst,
               int& lines, std::string& reason) {
    cells.assign(1, std::string());
    quotedFirst = false;
    lines = 0;
    if (at >= text.size()) {
        return false;
    }
    bool quoted = false;
    bool wasQuoted = false; // the cell began with a quote
    while (at < text.size()) {
        const char c = text[at++];
        if (quoted) {
            if (c == '"' && at < text.size() && text[at] == '"') {
                cells.back() += '"';
                ++at;
            } else if (c == '"') {
                quoted = false;
            } else {
                lines += c == '\n' ? 1 : 0;
                cells.back() += c;
            }
        } else if (c == '"' && cells.back().find_first_not_of(" \t") == std::string::npos && !wasQuoted) {
            quoted = wasQuoted = true;
            cells.back().clear();
            quotedFirst = quotedFirst || cells.size() == 1;
        } else if (c == ',') {
            cells.emplace_back();
            wasQuoted = false;
        } else if (c == '\n') {
            ++lines;
            break;
        } else if (c == '\r' && at < text.size() && text[at] == '\n') {
            // the \n ends it
        } else if (wasQuoted && c != ' ' && c != '\t') {
            reason = "text after a quoted field";
            return true;
        } else if (!wasQuoted) {
            cells.back() += c;
        }
    }
    if (quoted) {
        reason = "a quoted field is not closed";
        return true;
    }
    for (std::string& cell : cells) {
        const std::size_t a = cell.find_first_not_of(" \t");
        const std::size_t b = cell.find_last_not_of(" \t");
        cell = a == std::string::npos ? std::string() : cell.substr(a, b - a + 1);
    }
    return true;
}

} // namespace

bool ReadSerialList(const std::string& text, const std::string& column,
                    const std::function<bool(const std::string&)>& isValue, std::vector<std::string>& values,
                    std::vector<int>& lines, int& line, std::string& reason) {
    values.clear();
    lines.clear();
    reason.clear();
    line = 0;
    int next = 1; // the line the next record starts on
    bool first = true;
    std::size_t valueColumn = 0;
    std::map<std::string, int> seen;
    std::vector<std::string> cells;
    bool quoted = false;
    int ends = 0;
    for (std::size_t pos = 0; CsvRecord(text, pos, cells, quoted, ends, reason); next += ends) {
        line = next;
        if (!reason.empty()) {
            return false;
        }
        if ((cells.size() == 1 && cells[0].empty()) || (!quoted && !cells[0].empty() && cells[0][0] == '#')) {
            continue; // a blank line or a comment
        }
        if (first) {
            first = false;
            const std::string wanted = column.empty() ? "serial" : column;
            std::size_t named = cells.size();
            for (std::size_t k = 0; k < cells.size(); ++k) {
                named = cells[k] == wanted && named == cells.size() ? k : named;
            }
            const bool header = cells.size() > 1 || named == 0 || !isValue(cells[0]);
            if (header) {
                if (named == cells.size() && !column.empty()) {
                    reason = "the list has no column '" + column + "' (its header: " + [&cells] {
                        std::string names;
                        for (const std::string& c : cells) {
                            names += (names.empty() ? "" : ", ") + c;
                        }
                        return names;
                    }() + ")";
                    return false;
                }
                valueColumn = named == cells.size() ? 0 : named;
                continue;
            }
        }
        if (valueColumn >= cells.size() || cells[valueColumn].empty()) {
            reason = "no value in column " + std::to_string(valueColumn + 1);
            return false;
        }
        const std::string& value = cells[valueColumn];
        if (const auto it = seen.find(value); it != seen.end()) {
            reason = "the serial '" + value + "' is listed twice (also on line " +
                     std::to_string(it->second) + ")";
            return false;
        }
        seen.emplace(value, line);
        values.push_back(value);
        lines.push_back(line);
    }
    if (values.empty()) {
        reason = "the list holds no serial";
        line = 0;
        return false;
    }
    return true;
}
