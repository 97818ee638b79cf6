#include "platform/SettingsStore.h"

#include "HexDigit.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/Files.h"
#include "platform/HostIdentity.h"

namespace platform {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

char FoldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string ErrnoText(int err) {
    return std::strerror(err);
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

// Reads a quoted string starting at s[pos] == '"'; leaves pos after the closing quote.
bool ReadQuoted(std::string_view s, std::size_t& pos, std::string& out) {
    out.clear();
    ++pos;
    while (pos < s.size()) {
        char c = s[pos++];
        if (c == '"') {
            return true;
        }
        if (c == '\\' && pos < s.size() && (s[pos] == '\\' || s[pos] == '"')) {
            c = s[pos++];
        }
        out += c;
    }
    return false;
}

bool ParseHexList(std::string_view list, std::string& bytes) {
    bytes.clear();
    list = Trim(list);
    if (list.empty()) {
        return true;
    }
    std::size_t pos = 0;
    for (;;) {
        std::size_t comma = list.find(',', pos);
        std::string_view item =
            Trim(list.substr(pos, comma == std::string_view::npos ? list.npos : comma - pos));
        if (item.empty() || item.size() > 2) {
            return false;
        }
        int value = 0;
        for (char c : item) {
            int v = detail::HexDigitValue(c);
            if (v < 0) {
                return false;
            }
            value = value * 16 + v;
        }
        bytes += static_cast<char>(value);
        if (comma == std::string_view::npos) {
            return true;
        }
        pos = comma + 1;
    }
}

bool NeedsHexText(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

void AppendHex(std::string& out, std::string_view prefix, std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    out += prefix;
    std::size_t column = prefix.size();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
        column += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
}

} // namespace

bool SettingsNameEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return FoldCase(x) == FoldCase(y); });
}

std::size_t SettingsValue::DataSize() const {
    return IsText() ? data.size() + 1 : data.size();
}

// ---- SettingsDocument ----

const SettingsKey* SettingsDocument::FindKey(std::string_view path) const {
    for (const SettingsKey& key : m_keys) {
        if (SettingsNameEqual(key.path, path)) {
            return &key;
        }
    }
    return nullptr;
}

SettingsKey* SettingsDocument::FindKey(std::string_view path) {
    return const_cast<SettingsKey*>(std::as_const(*this).FindKey(path));
}

bool SettingsDocument::HasKey(std::string_view path) const {
    if (path.empty() || FindKey(path)) { // the root key always exists
        return true;
    }
    // A key also exists when a key below it does.
    for (const SettingsKey& key : m_keys) {
        if (key.path.size() > path.size() && key.path[path.size()] == '\\' &&
            SettingsNameEqual(std::string_view(key.path).substr(0, path.size()), path)) {
            return true;
        }
    }
    return false;
}

SettingsKey& SettingsDocument::MakeKey(std::string_view path) {
    for (std::size_t pos = path.find('\\'); pos != std::string_view::npos; pos = path.find('\\', pos + 1)) {
        std::string_view parent = path.substr(0, pos);
        if (!parent.empty() && !FindKey(parent)) {
            m_keys.push_back(SettingsKey{std::string(parent), {}});
        }
    }
    if (SettingsKey* key = FindKey(path)) {
        return *key;
    }
    m_keys.push_back(SettingsKey{std::string(path), {}});
    return m_keys.back();
}

const SettingsValue* SettingsDocument::FindValue(std::string_view path, std::string_view name) const {
    const SettingsKey* key = FindKey(path);
    if (!key) {
        return nullptr;
    }
    for (const SettingsValue& value : key->values) {
        if (SettingsNameEqual(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

bool SettingsDocument::SetValue(std::string_view path, std::string_view name, uint32_t type,
                                std::string data) {
    SettingsKey* key = FindKey(path);
    if (!key) {
        if (!HasKey(path)) {
            return false;
        }
        key = &MakeKey(path);
    }
    for (SettingsValue& value : key->values) {
        if (SettingsNameEqual(value.name, name)) {
            value.type = type;
            value.data = std::move(data);
            return true;
        }
    }
    key->values.push_back(SettingsValue{std::string(name), type, std::move(data)});
    return true;
}

std::string SettingsDocument::Serialize(std::string_view rootName) const {
    std::string out(kHeader);
    out += "\n\n";
    for (const SettingsKey& key : m_keys) {
        out += '[';
        out += rootName;
        if (!key.path.empty()) {
            out += '\\';
            out += key.path;
        }
        out += "]\n";
        for (const SettingsValue& value : key.values) {
            std::string line = value.name.empty() ? std::string("@") : Quote(value.name);
            line += '=';
            if (value.type == SETTINGS_SZ && !NeedsHexText(value.data)) {
                line += Quote(value.data);
            } else if (value.type == SETTINGS_DWORD && value.data.size() == 4) {
                uint32_t v = 0;
                for (int i = 3; i >= 0; --i) {
                    v = (v << 8) | static_cast<unsigned char>(value.data[static_cast<std::size_t>(i)]);
                }
                char buf[32];
                std::snprintf(buf, sizeof buf, "dword:%08x", v);
                line += buf;
            } else if (value.type == SETTINGS_BINARY) {
                AppendHex(line, "hex:", value.data);
            } else {
                char prefix[32];
                std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
                std::string bytes = value.data;
                if (value.IsText()) {
                    bytes += '\0';
                }
                AppendHex(line, prefix, bytes);
            }
            out += line;
            out += '\n';
        }
        out += '\n';
    }
    return out;
}

bool SettingsDocument::Parse(std::string_view text, std::string_view rootName, SettingsDocument& out,
                             std::string& error) {
    out.m_keys.clear();
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    std::size_t lineNumber = 0;
    std::size_t pos = 0;
    bool headerSeen = false;
    std::string currentKey;
    bool inKey = false;

    auto fail = [&](const std::string& why) {
        error = "line " + std::to_string(lineNumber) + ": " + why;
        out.m_keys.clear();
        return false;
    };
    auto nextLine = [&](std::string_view& line) {
        if (pos >= text.size()) {
            return false;
        }
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        return true;
    };

    std::string_view raw;
    while (nextLine(raw)) {
        std::string_view line = Trim(raw);
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (!headerSeen) {
            if (line != kHeader) {
                return fail("the file does not begin with \"" + std::string(kHeader) + "\"");
            }
            headerSeen = true;
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 2) {
                return fail("a key line does not end with ]");
            }
            std::string_view full = line.substr(1, line.size() - 2);
            if (!full.empty() && full.front() == '-') {
                return fail("key deletions are not kept in a settings file");
            }
            std::string_view head = full.substr(0, std::min(full.size(), rootName.size()));
            if (!SettingsNameEqual(head, rootName) ||
                (full.size() > rootName.size() && full[rootName.size()] != '\\')) {
                return fail("the key " + std::string(full) + " is not below " + std::string(rootName));
            }
            currentKey = std::string(full.size() > rootName.size() ? full.substr(rootName.size() + 1) : "");
            out.MakeKey(currentKey);
            inKey = true;
            continue;
        }
        if (!inKey) {
            return fail("a value comes before the first key");
        }
        std::string name;
        std::size_t p = 0;
        if (line.front() == '@') {
            p = 1;
        } else if (line.front() == '"') {
            if (!ReadQuoted(line, p, name)) {
                return fail("a value name is not closed by a quote");
            }
        } else {
            return fail("a line is neither a key nor a value");
        }
        if (p >= line.size() || line[p] != '=') {
            return fail("= is missing after the value name");
        }
        std::string_view rest = line.substr(p + 1);
        uint32_t type = SETTINGS_NONE;
        std::string data;
        if (!rest.empty() && rest.front() == '"') {
            std::size_t q = 0;
            if (!ReadQuoted(rest, q, data) || !Trim(rest.substr(q)).empty()) {
                return fail("a text value is not closed by a quote");
            }
            type = SETTINGS_SZ;
        } else if (rest.substr(0, 6) == "dword:") {
            std::string_view digits = rest.substr(6);
            if (digits.empty() || digits.size() > 8) {
                return fail("a dword value needs 1 to 8 hexadecimal digits");
            }
            uint32_t v = 0;
            for (char c : digits) {
                int h = detail::HexDigitValue(c);
                if (h < 0) {
                    return fail("a dword value needs 1 to 8 hexadecimal digits");
                }
                v = v * 16 + static_cast<uint32_t>(h);
            }
            type = SETTINGS_DWORD;
            for (int i = 0; i < 4; ++i) {
                data += static_cast<char>((v >> (8 * i)) & 0xFF);
            }
        } else if (rest.substr(0, 3) == "hex") {
            std::size_t colon = rest.find(':');
            if (colon == std::string_view::npos) {
                return fail("a hex value has no colon");
            }
            std::string_view kind = rest.substr(3, colon - 3);
            if (kind.empty()) {
                type = SETTINGS_BINARY;
            } else {
                if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' || kind.size() > 10) {
                    return fail("a hex value has a bad type");
                }
                uint32_t t = 0;
                for (char c : kind.substr(1, kind.size() - 2)) {
                    int h = detail::HexDigitValue(c);
                    if (h < 0) {
                        return fail("a hex value has a bad type");
                    }
                    t = t * 16 + static_cast<uint32_t>(h);
                }
                type = t;
            }
            std::string list(rest.substr(colon + 1));
            while (!list.empty() && Trim(list).back() == '\\') {
                list = std::string(Trim(list));
                list.pop_back();
                std::string_view more;
                if (!nextLine(more)) {
                    return fail("a hex value continues past the end of the file");
                }
                list += Trim(more);
            }
            if (!ParseHexList(list, data)) {
                return fail("a hex value holds something that is not a byte");
            }
            if ((type == SETTINGS_SZ || type == SETTINGS_EXPAND_SZ) && !data.empty() && data.back() == '\0') {
                // One terminator, as Serialize writes it: zero bytes that belong to the text stay.
                data.pop_back();
            }
        } else {
            return fail("a value is neither text, dword nor hex");
        }
        out.SetValue(currentKey, name, type, std::move(data));
    }
    if (!headerSeen) {
        // An empty file holds nothing; anything else must start with the header.
        if (Trim(text).empty()) {
            return true;
        }
        return fail("the file does not begin with \"" + std::string(kHeader) + "\"");
    }
    return true;
}

// ---- SettingsStore ----

SettingsStore::SettingsStore() : m_directory(DefaultDirectory()) {}

SettingsStore::SettingsStore(std::string directory) : m_directory(std::move(directory)) {}

std::string SettingsStore::DefaultDirectory() {
    if (const char* dir = std::getenv("VANDREL_CONFIG_DIR"); dir && *dir) {
        return dir;
    }
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        return std::string(xdg) + "/vandrel";
    }
    return HomeFolder() + "/.config/vandrel";
}

std::string SettingsStore::FilePath(std::string_view rootName) const {
    return m_directory + "/" + std::string(rootName) + ".reg";
}

namespace {

bool ReadWholeFile(const std::string& path, std::string& text, int& err) {
    int fd = OpenFile(path, EFileOpen::Read);
    if (fd < 0) {
        err = errno;
        return false;
    }
    text.clear();
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            err = errno;
            ::close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

bool MakeDirectories(const std::string& dir, int& err) {
    std::string path;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        path = dir.substr(0, pos);
        if (path.empty()) {
            continue;
        }
        if (const int made = MakeFolder(path); made != 0 && made != EEXIST) {
            err = made;
            return false;
        }
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        err = ENOTDIR;
        return false;
    }
    return true;
}

std::mutex& UpdateMutex() {
    static std::mutex mutex;
    return mutex;
}

} // namespace

SettingsStore::LoadStatus SettingsStore::Load(std::string_view rootName, SettingsDocument& doc,
                                              std::string* error) const {
    doc = SettingsDocument();
    const std::string path = FilePath(rootName);
    std::string text;
    int err = 0;
    if (!ReadWholeFile(path, text, err)) {
        if (err == ENOENT) {
            return LoadStatus::Missing;
        }
        if (error) {
            *error = path + ": " + ErrnoText(err);
        }
        return LoadStatus::Failed;
    }
    std::string why;
    if (SettingsDocument::Parse(text, rootName, doc, why)) {
        return LoadStatus::Loaded;
    }
    // Keep the unreadable file for whoever wants to look at it; start afresh beside it.
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    std::string aside = path + ".bad-" + stamp;
    for (int n = 1; ::access(aside.c_str(), F_OK) == 0; ++n) {
        aside = path + ".bad-" + stamp + "-" + std::to_string(n);
    }
    if (const int moved = RenameReplacing(path, aside); moved != 0) {
        if (error) {
            *error = path + ": " + why + "; it could not be set aside: " + ErrnoText(moved);
        }
        return LoadStatus::Failed;
    }
    if (error) {
        *error = path + ": " + why + "; the file was renamed to " + aside;
    }
    return LoadStatus::SetAside;
}

bool SettingsStore::Save(std::string_view rootName, const SettingsDocument& doc, std::string* error) const {
    static std::atomic<unsigned> counter{0};
    const std::string path = FilePath(rootName);
    int err = 0;
    auto fail = [&](const std::string& what, int e) {
        if (error) {
            *error = what + ": " + ErrnoText(e);
        }
        return false;
    };
    if (!MakeDirectories(m_directory, err)) {
        return fail(m_directory, err);
    }
    const std::string text = doc.Serialize(rootName);
    const std::string temp =
        path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
    int fd = OpenFile(temp, EFileOpen::CreateNew, 0600);
    if (fd < 0) {
        return fail(temp, errno);
    }
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            ::close(fd);
            ::unlink(temp.c_str());
            return fail(temp, err);
        }
        done += static_cast<std::size_t>(n);
    }
    if ((err = SyncFile(fd)) != 0) {
        ::close(fd);
        ::unlink(temp.c_str());
        return fail(temp, err);
    }
    if (::close(fd) != 0) {
        err = errno;
        ::unlink(temp.c_str());
        return fail(temp, err);
    }
    if ((err = RenameReplacing(temp, path)) != 0) {
        ::unlink(temp.c_str());
        return fail(path, err);
    }
    SyncFolder(m_directory);
    return true;
}

bool SettingsStore::Update(std::string_view rootName, const std::function<bool(SettingsDocument&)>& change,
                           std::string* error) const {
    std::lock_guard lock(UpdateMutex());
    SettingsDocument doc;
    if (Load(rootName, doc, error) == LoadStatus::Failed) {
        return false;
    }
    if (!change(doc)) {
        return false;
    }
    return Save(rootName, doc, error);
}

} // namespace platform
