#include "line/JobFile.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <toml++/toml.h>

#include "download/FlashFile.h"
#include "download/OstraAreaTable.h"
#include "line/Sha256.h"
#include "tools/FlashIdentification.h"
#include "tools/WrittenRanges.h"

std::string TS_JOB_ERROR::Text() const {
    std::string text = File;
    if (Line > 0) {
        text += ":" + std::to_string(Line) + ":" + std::to_string(Column);
    }
    return text + ": " + Reason;
}

namespace {

class CJobLoader {
public:
    CJobLoader(const std::string& path, TS_LINE_JOB& job, TS_JOB_ERROR& error) : m_job(job), m_error(error) {
        m_error = {};
        m_error.File = path;
        // the job's folder as it was named, with the system's separators ('\\' too on Windows)
        m_folder = path.substr(0, path.size() - std::filesystem::path(path).filename().string().size());
    }

    bool Load(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return Fail({}, "cannot read the job file");
        }
        std::stringstream text;
        text << in.rdbuf();
        const std::string content = text.str();
        m_job = {};
        m_job.Path = path;
        m_job.Sha256 = Sha256Hex(content);
        m_job.Text = content;
        toml::table root;
        try {
            root = toml::parse(content, path);
        } catch (const toml::parse_error& e) {
            m_error.Line = static_cast<int>(e.source().begin.line);
            m_error.Column = static_cast<int>(e.source().begin.column);
            m_error.Reason = "syntax error: " + std::string(e.description());
            return false;
        }
        if (!Keys(root, "", {"name", "verify", "store", "writer", "image", "flash", "serial"})) {
            return false;
        }
        if (!String(root, "name", m_job.Name, true)) {
            return false;
        }
        if (const toml::node* v = root.get("verify")) {
            if (!v->is_boolean()) {
                return Fail(v->source(), "'verify' must be true or false");
            }
            m_job.Verify = v->as_boolean()->get();
        }
        if (root.contains("store") && !String(root, "store", m_job.Store, true)) {
            return false;
        }
        if (!m_job.Store.empty() && m_job.Store.rfind("postgres", 0) != 0) {
            std::string path = m_job.Store.rfind("sqlite:", 0) == 0 ? m_job.Store.substr(7) : m_job.Store;
            m_job.Store = "sqlite:" + Resolve(path);
        }
        return Writer(root) && Images(root) && Flash(root) && Serial(root);
    }

private:
    bool Fail(const toml::source_region& where, const std::string& reason) {
        m_error.Line = static_cast<int>(where.begin.line);
        m_error.Column = static_cast<int>(where.begin.column);
        m_error.Reason = reason;
        return false;
    }
    std::string Resolve(const std::string& path) const {
        return path.empty() || std::filesystem::path(path).has_root_path() ? path : m_folder + path;
    }
    // Every key of a table is one of the known ones: a typo must not pass silently.
    bool Keys(const toml::table& table, const std::string& where, std::set<std::string> known) {
        for (auto&& [key, value] : table) {
            if (!known.count(std::string(key.str()))) {
                std::string text = "unknown key '" + where + std::string(key.str()) + "'";
                return Fail(key.source(), text);
            }
        }
        return true;
    }
    bool String(const toml::table& table, const char* key, std::string& out, bool required,
                const std::string& where = "") {
        const toml::node* v = table.get(key);
        if (!v) {
            if (required) {
                return Fail(table.source(), "missing key '" + where + key + "'");
            }
            return true;
        }
        if (!v->is_string()) {
            return Fail(v->source(), "'" + where + key + "' must be a text");
        }
        out = v->as_string()->get();
        if (out.empty()) {
            return Fail(v->source(), "'" + where + key + "' is empty");
        }
        return true;
    }
    bool Integer(const toml::table& table, const char* key, int64_t& out, const std::string& where) {
        const toml::node* v = table.get(key);
        if (!v) {
            return Fail(table.source(), "missing key '" + where + key + "'");
        }
        if (!v->is_integer()) {
            return Fail(v->source(), "'" + where + key + "' must be an integer");
        }
        out = v->as_integer()->get();
        return true;
    }
    // path and sha256 of a file the job pins; the file must be there and have that digest.
    bool PinnedFile(const toml::table& table, const std::string& where, TS_JOB_FILE& file) {
        if (!Keys(table, where, {"path", "sha256"})) {
            return false;
        }
        std::string path;
        std::string sha;
        if (!String(table, "path", path, true, where) || !String(table, "sha256", sha, true, where)) {
            return false;
        }
        for (char& c : sha) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        const toml::node* pathNode = table.get("path");
        const toml::node* shaNode = table.get("sha256");
        if (sha.size() != 64 || sha.find_first_not_of("0123456789abcdef") != std::string::npos) {
            return Fail(shaNode->source(), "'" + where + "sha256' must be 64 hexadecimal digits");
        }
        file.Path = Resolve(path);
        file.Sha256 = sha;
        std::string actual;
        std::string problem;
        if (!Sha256OfFile(file.Path, actual, problem)) {
            return Fail(pathNode->source(), "cannot read '" + path + "': " + problem);
        }
        if (actual != sha) {
            return Fail(shaNode->source(),
                        "the SHA-256 of '" + path + "' is " + actual + ", not the " + sha + " the job pins");
        }
        return true;
    }
    const toml::table* Table(const toml::node* node, const std::string& name) {
        if (node && !node->is_table()) {
            Fail(node->source(), "'" + name + "' must be a table");
            return nullptr;
        }
        return node ? node->as_table() : nullptr;
    }
    bool Writer(const toml::table& root) {
        const toml::node* node = root.get("writer");
        if (!node) {
            return true; // handsets whose flash writer already runs
        }
        const toml::table* writer = Table(node, "writer");
        if (!writer || !Keys(*writer, "writer.", {"path", "sha256", "uart", "usb"})) {
            return false;
        }
        if (writer->contains("path") || writer->contains("sha256")) {
            if (!PinnedFile(*writer, "writer.", m_job.WriterUart)) {
                return false;
            }
            m_job.WriterUsb = m_job.WriterUart;
        }
        for (const char* link : {"uart", "usb"}) {
            if (const toml::node* n = writer->get(link)) {
                const toml::table* t = Table(n, std::string("writer.") + link);
                if (!t || !PinnedFile(*t, std::string("writer.") + link + ".",
                                      std::string(link) == "uart" ? m_job.WriterUart : m_job.WriterUsb)) {
                    return false;
                }
            }
        }
        return true;
    }
    bool Images(const toml::table& root) {
        const toml::node* node = root.get("image");
        if (!node) {
            return Fail(root.source(), "the job names no image ([[image]] with path and sha256)");
        }
        const toml::array* images = node->as_array();
        if (!images || images->empty()) {
            return Fail(node->source(), "'image' must be an array of tables ([[image]])");
        }
        for (const toml::node& item : *images) {
            const toml::table* t = item.as_table();
            if (!t) {
                return Fail(item.source(), "an image must be a table with path and sha256");
            }
            TS_JOB_FILE file;
            if (!PinnedFile(*t, "image.", file)) {
                return false;
            }
            if (GetFileKind(file.Path) != KIND_M0 && GetFileKind(file.Path) != KIND_CP64) {
                return Fail(t->get("path")->source(), "an image must be a .m0 or .cp64 file");
            }
            m_job.Images.push_back(file);
        }
        return true;
    }
    bool Flash(const toml::table& root) {
        const toml::table* flash = Table(root.get("flash"), "flash");
        if (!flash) {
            return !m_error.Reason.size();
        }
        if (!Keys(*flash, "flash.", {"cs0", "cs1", "cs2", "cs3"})) {
            return false;
        }
        for (int cs = 0; cs < 4; ++cs) {
            const std::string key = "cs" + std::to_string(cs);
            const toml::node* v = flash->get(key);
            if (!v) {
                continue;
            }
            if (v->is_integer()) {
                const int64_t id = v->as_integer()->get();
                if (id < 0 || id >= FLASH_NAME_COUNT) {
                    return Fail(v->source(),
                                "flash." + key + ": no flash part has the number " + std::to_string(id));
                }
                m_job.ExpectedParts[static_cast<std::size_t>(cs)] = static_cast<int>(id);
            } else if (v->is_string()) {
                const std::string name = v->as_string()->get();
                int found = -1;
                for (int id = 0; id < FLASH_NAME_COUNT; ++id) {
                    // "FLASH_INTEL_STRATA_8MB" or "INTEL_STRATA_8MB"
                    if (name == FLASH_NAME_TABLE[id] || "FLASH_" + name == FLASH_NAME_TABLE[id]) {
                        found = id;
                    }
                }
                if (found < 0) {
                    return Fail(v->source(), "flash." + key + ": no flash part is named '" + name + "'");
                }
                m_job.ExpectedParts[static_cast<std::size_t>(cs)] = found;
            } else {
                return Fail(v->source(), "flash." + key + " must be a part number or a part name");
            }
        }
        return true;
    }
    bool Serial(const toml::table& root) {
        std::string problem;
        if (!ErasedAreas(m_job.Images, m_job.ExpectedParts[0], m_job.Erased, problem)) {
            return Fail({}, problem);
        }
        const toml::table* serial = Table(root.get("serial"), "serial");
        if (!serial) {
            return !m_error.Reason.size();
        }
        if (!Keys(*serial, "serial.",
                  {"address", "format", "first", "last", "step", "list", "column", "pool"})) {
            return false;
        }
        TS_SERIAL_SPEC spec;
        int64_t address = 0;
        std::string format;
        if (!Integer(*serial, "address", address, "serial.") ||
            !String(*serial, "format", format, true, "serial.")) {
            return false;
        }
        if (address < 0 || address > 0xFFFFFFFFLL) {
            return Fail(serial->get("address")->source(), "serial.address must be a 32-bit address");
        }
        spec.Address = static_cast<uint32_t>(address);
        if (!ParseSerialFormat(format, spec.Format, problem)) {
            return Fail(serial->get("format")->source(), "serial.format: " + problem);
        }
        if (spec.Format == SERIAL_TEXT) {
            spec.Template = format;
        }
        if (serial->contains("list")) {
            if (serial->contains("first") || serial->contains("last") || serial->contains("step")) {
                return Fail(serial->source(),
                            "a serial comes from a counter (first, last, step) or a list, not both");
            }
            std::string list;
            std::string column;
            if (!String(*serial, "list", list, true, "serial.") ||
                !String(*serial, "column", column, false, "serial.")) {
                return false;
            }
            m_job.SerialListPath = Resolve(list);
            std::ifstream in(m_job.SerialListPath, std::ios::binary);
            if (!in) {
                return Fail(serial->get("list")->source(), "cannot read the serial list '" + list + "'");
            }
            std::stringstream text;
            text << in.rdbuf();
            int line = 0;
            auto listFail = [this](int line, const std::string& reason) {
                m_error.File = m_job.SerialListPath;
                m_error.Line = line;
                m_error.Column = line > 0 ? 1 : 0;
                m_error.Reason = reason;
                return false;
            };
            std::string ignored;
            auto isValue = [&spec, &ignored](const std::string& value) {
                return CheckSerialValue(spec, value, ignored);
            };
            if (!ReadSerialList(text.str(), column, isValue, spec.List, spec.ListLines, line, problem)) {
                return listFail(line, problem);
            }
            spec.FromList = true;
            for (std::size_t k = 0; k < spec.List.size(); ++k) {
                if (!CheckSerialValue(spec, spec.List[k], problem)) {
                    return listFail(spec.ListLines[k], problem);
                }
            }
            const CSerialPlan plan(spec);
            if (!CheckSerialsDistinct(plan, problem, line)) {
                return listFail(line, problem);
            }
        } else {
            if (serial->contains("column")) {
                return Fail(serial->get("column")->source(), "serial.column belongs to a list");
            }
            if (!Integer(*serial, "first", spec.First, "serial.") ||
                !Integer(*serial, "last", spec.Last, "serial.")) {
                return false;
            }
            if (serial->contains("step") && !Integer(*serial, "step", spec.Step, "serial.")) {
                return false;
            }
            if (spec.Step <= 0 || spec.Last < spec.First || spec.First < 0) {
                return Fail(serial->source(),
                            "the serial counter needs 0 <= first <= last and a step above 0");
            }
            if (spec.Format == SERIAL_U32LE || spec.Format == SERIAL_U32BE) {
                if (spec.Last > 0xFFFFFFFFLL) {
                    return Fail(serial->get("last")->source(), "serial.last does not fit in 4 bytes");
                }
            }
            if (spec.Format == SERIAL_TEXT && !CheckSerialValue(spec, std::to_string(spec.Last), problem)) {
                return Fail(serial->get("last")->source(), "serial.last: " + problem);
            }
        }
        m_job.Serial = CSerialPlan(spec);
        m_job.HasSerial = true;
        if (!String(*serial, "pool", m_job.SerialPool, false, "serial.")) {
            return false;
        }
        if (m_job.SerialPool.empty()) {
            m_job.SerialPool = m_job.Serial.PoolDefinition();
            if (spec.FromList) {
                m_job.SerialPool += " " + std::filesystem::path(m_job.SerialListPath).filename().string();
            }
        }
        // the whole field inside one area that the job erases: unerased flash takes no serial
        const uint64_t end = uint64_t{spec.Address} + m_job.Serial.Length();
        bool inside = false;
        for (const TS_JOB_AREA& area : m_job.Erased) {
            inside = inside || (spec.Address >= area.Start && end <= area.End);
        }
        if (!inside) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "the serial field [0x%08X, 0x%08llX) is outside every area the job erases",
                          spec.Address, static_cast<unsigned long long>(end));
            std::string reason = text;
            if (m_job.Erased.empty()) {
                reason += " (its images erase none)";
            }
            return Fail(serial->get("address")->source(), reason);
        }
        return true;
    }

    TS_LINE_JOB& m_job;
    TS_JOB_ERROR& m_error;
    std::string m_folder;
};

} // namespace

bool LoadJobFile(const std::string& path, TS_LINE_JOB& job, TS_JOB_ERROR& error) {
    CJobLoader loader(path, job, error);
    return loader.Load(path);
}

bool ErasedAreas(const std::vector<TS_JOB_FILE>& images, int flashType, std::vector<TS_JOB_AREA>& areas,
                 std::string& error) {
    TS_AREA_MARKS marks;
    for (const TS_JOB_FILE& image : images) {
        if (GetFileKind(image.Path) != KIND_M0) {
            continue; // a prepared .cp64 is sent as it is, without an erase
        }
        TS_IMAGE_BYTES bytes;
        if (!ReadImageBytes(image.Path, false, bytes, error)) {
            return false;
        }
        for (const auto& [address, data] : bytes.blocks) {
            marks.MarkArea(address);
            if (!data.empty()) {
                marks.MarkArea(address + static_cast<uint32_t>(data.size() - 1));
            }
        }
    }
    areas.clear();
    auto add = [&areas](int32_t flags, const COstraAreaTable& table) {
        for (const TS_OSTRA_AREA& area : table.Areas()) {
            if ((flags & area.flag) != 0) {
                areas.push_back({area.displayName, area.start, area.end});
            }
        }
    };
    COstraAreaTable defaults;
    COstraAreaTable moved;
    moved.RemapForFlashType(FLASH_TYPE_MOVED_LAYOUT);
    if (flashType >= 0) {
        COstraAreaTable table;
        table.RemapForFlashType(flashType);
        add(marks.ForFlashType(flashType), table);
        return true;
    }
    // the part is not pinned: only what both layouts erase is sure to be erased
    std::vector<TS_JOB_AREA> a;
    std::vector<TS_JOB_AREA> b;
    add(marks.defaultFlags, defaults);
    a.swap(areas);
    add(marks.movedFlags, moved);
    b.swap(areas);
    for (const TS_JOB_AREA& x : a) {
        for (const TS_JOB_AREA& y : b) {
            const uint32_t start = std::max(x.Start, y.Start);
            const uint32_t end = std::min(x.End, y.End);
            if (start < end) {
                areas.push_back({x.Name == y.Name ? x.Name : x.Name + " / " + y.Name, start, end});
            }
        }
    }
    return true;
}
