// Serial numbers: where a handset's serial goes, how it is written (an ASCII text from a template
// such as "R3700-{serial:08}", or a binary integer of 4 or 8 bytes), and where the values come
// from (a counter, or a list file). A serial is known to the record store by its index in the
// source: the counter's n-th value, the list's n-th line.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

enum TE_SERIAL_FORMAT {
    SERIAL_TEXT,  // ASCII from the template; a shorter value is padded with 0x00 to the field's length
    SERIAL_U32LE, // binary integers
    SERIAL_U32BE,
    SERIAL_U64LE,
    SERIAL_U64BE,
};

struct TS_SERIAL_SPEC {
    uint32_t Address = 0;
    TE_SERIAL_FORMAT Format = SERIAL_TEXT;
    std::string Template = "{serial}"; // SERIAL_TEXT
    // the source: a counter, or the values of a list file (in file order)
    bool FromList = false;
    std::vector<int> ListLines; // the list file's line of each value (1-based)
    int64_t First = 0;
    int64_t Last = 0;
    int64_t Step = 1;
    std::vector<std::string> List;
};

class CSerialPlan {
public:
    CSerialPlan() = default;
    explicit CSerialPlan(TS_SERIAL_SPEC spec);

    const TS_SERIAL_SPEC& Spec() const { return m_spec; }
    uint32_t Address() const { return m_spec.Address; }
    // How many serials the source holds.
    int64_t Count() const;
    // The serial of an index as people read it ("R3700-00001000"; the number of a binary format).
    std::string Text(int64_t index) const;
    // The bytes written at the address (Length() of them).
    std::vector<uint8_t> Bytes(int64_t index) const;
    std::size_t Length() const { return m_length; }
    // The index of the serial that bytes read from a handset hold; -1 when they hold none of this
    // source's serials (an erased field, another job's serial, a damaged one).
    int64_t IndexOf(const std::vector<uint8_t>& bytes) const;
    // "R3700-00001000..R3700-00001999"
    std::string RangeText() const;
    // What a pool of this plan's serials is: the format and the source ("R3700-{serial:08} 1000..1999",
    // "u32le 1..9 step 2", "{serial} list"). Every job that draws one pool has the same.
    std::string PoolDefinition() const;

private:
    std::string Expand(const std::string& value) const;
    bool ValueOf(int64_t index, uint64_t& value) const;

    TS_SERIAL_SPEC m_spec;
    std::size_t m_length = 0;
    std::map<std::string, int64_t> m_listIndex; // list: text -> index
};

// Checks a template: exactly one "{serial}" or "{serial:N}" / "{serial:0N}" (N up to 20), printable
// ASCII around it. False with the reason.
bool CheckSerialTemplate(const std::string& text, std::string& reason);
// "u32le" ... "u64be", or a template; false with the reason.
bool ParseSerialFormat(const std::string& text, TE_SERIAL_FORMAT& format, std::string& reason);
// "u32le" ... "u64be", or the template.
std::string SerialFormatText(const TS_SERIAL_SPEC& spec);

// Whether a value fits a format: u32* a decimal integer up to 4294967295, u64* up to
// 18446744073709551615; a text printable ASCII that fits the template's width. False with the
// reason.
bool CheckSerialValue(const TS_SERIAL_SPEC& spec, const std::string& value, std::string& reason);
// Two serials of a plan that write the same bytes: false with the reason naming both (their list
// lines, or their values).
bool CheckSerialsDistinct(const CSerialPlan& plan, std::string& reason, int& line);

// A list file's values, read as CSV (RFC 4180: fields quoted with '"', a quote in one doubled; a
// comma, a line end or a '#' inside quotes is text). A file of several columns has a header line;
// the values are those of the column named column, which must be there (column empty: the column
// "serial", else the first). A file of one column has a header when its first line is not a value
// (isValue false) or is the column's name. Blank lines and lines that begin with '#' are skipped; a
// value that repeats is refused. values and lines (the 1-based line of each value); false with the
// 1-based line and the reason.
bool ReadSerialList(const std::string& text, const std::string& column,
                    const std::function<bool(const std::string&)>& isValue, std::vector<std::string>& values,
                    std::vector<int>& lines, int& line, std::string& reason);
