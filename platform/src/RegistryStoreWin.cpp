// CRegistryStore on Windows: the registry itself.
//
// Below HKEY_LOCAL_MACHINE, where the program has always kept its settings, a user without
// administrator rights cannot write: there the store falls back to the same key below
// HKEY_CURRENT_USER. Reads look in HKEY_CURRENT_USER first, then in HKEY_LOCAL_MACHINE, so what a
// user saved wins over the machine's values and the machine's values still count where the user
// has none. Writes go to HKEY_LOCAL_MACHINE, or, where it cannot be written, to
// HKEY_CURRENT_USER. The other roots are used as they are.
//
// The settings folder of the POSIX store has no meaning here: a folder given to the constructor
// is not used.
#include <cstring>

#include "RegistryBackendWin.h"
#include "platform/RegistryStore.h"

namespace {

constexpr long kAccessDenied = 5;
constexpr long kNotFound = 2;

} // namespace

const char* RootKeyName(HKEY root) {
    switch (root) {
    case HKEY_CLASSES_ROOT:
        return "HKEY_CLASSES_ROOT";
    case HKEY_CURRENT_USER:
        return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE:
        return "HKEY_LOCAL_MACHINE";
    case HKEY_USERS:
        return "HKEY_USERS";
    default:
        return nullptr;
    }
}

CRegistryStore::CRegistryStore() : m_store(std::string()) {}

CRegistryStore::CRegistryStore(std::string /*configDirectory*/) : m_store(std::string()) {}

std::unique_ptr<CRegistryStore> CRegistryStore::OpenMachineStore(const std::string& configDirectory) {
    auto store = std::make_unique<CRegistryStore>(configDirectory);
    store->SelectRoot(HKEY_LOCAL_MACHINE);
    return store;
}

CRegistryStore::~CRegistryStore() {
    m_path.clear();
    m_root = HKEY_CURRENT_USER;
}

int CRegistryStore::SelectRoot(HKEY key) {
    if (!RootKeyName(key)) {
        return 0;
    }
    m_root = key;
    return 1;
}

bool CRegistryStore::HasKey(const std::string& path, HKEY root) {
    const HKEY r = root == 0 ? m_root : root;
    if (!RootKeyName(r)) {
        return false;
    }
    // A key that exists but cannot be opened with full access counts as absent.
    if (r == HKEY_LOCAL_MACHINE && platform::winreg::OpenKey(HKEY_CURRENT_USER, path, true) == 0) {
        return true;
    }
    return platform::winreg::OpenKey(r, path, true) == 0;
}

int CRegistryStore::MakeKey(const std::string& path) {
    long rc = platform::winreg::CreateKey(m_root, path);
    if (rc != 0 && m_root == HKEY_LOCAL_MACHINE) {
        rc = platform::winreg::CreateKey(HKEY_CURRENT_USER, path); // no rights on the machine's keys
    }
    m_lastError = static_cast<int32_t>(rc);
    if (rc != 0) {
        return 0;
    }
    m_path = path;
    return 1;
}

int CRegistryStore::OpenPath(const std::string& path, bool create) {
    if (path.empty()) {
        m_path.clear();
        return 1;
    }
    if (create) {
        return MakeKey(path);
    }
    long rc = platform::winreg::OpenKey(m_root, path, true);
    if (rc != 0 && m_root == HKEY_LOCAL_MACHINE) {
        // a user without rights still reads the machine's key, and has a key of their own
        const long user = platform::winreg::OpenKey(HKEY_CURRENT_USER, path, true);
        const long machine = platform::winreg::OpenKey(HKEY_LOCAL_MACHINE, path, false);
        rc = user == 0 || machine == 0 ? 0 : user;
    }
    m_lastError = static_cast<int32_t>(rc);
    if (rc != 0) {
        return 0;
    }
    m_path = path;
    return 1;
}

// The value as the program reads it: below HKEY_LOCAL_MACHINE the user's value first.
const platform::SettingsValue* CRegistryStore::Query(const std::string& name,
                                                     platform::SettingsDocument& doc) {
    uint32_t type = 0;
    std::string data;
    long rc = kNotFound;
    if (m_root == HKEY_LOCAL_MACHINE) {
        rc = platform::winreg::QueryValue(HKEY_CURRENT_USER, m_path, name, type, data);
    }
    if (rc != 0) {
        rc = platform::winreg::QueryValue(m_root, m_path, name, type, data);
    }
    m_lastError = static_cast<int32_t>(rc);
    if (rc != 0) {
        return nullptr;
    }
    // The document is only the carrier of the one value here.
    doc.MakeKey(m_path);
    doc.SetValue(m_path, name, type, std::move(data));
    return doc.FindValue(m_path, name);
}

int32_t CRegistryStore::GetInt(const std::string& name, int32_t defaultValue) {
    platform::SettingsDocument doc;
    const platform::SettingsValue* value = Query(name, doc);
    if (!value || value->DataSize() > 4) {
        return defaultValue;
    }
    unsigned char bytes[4] = {0, 0, 0, 0};
    std::memcpy(bytes, value->data.data(), value->data.size());
    return static_cast<int32_t>(static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                                static_cast<uint32_t>(bytes[2]) << 16 |
                                static_cast<uint32_t>(bytes[3]) << 24);
}

int32_t CRegistryStore::GetFlag(const std::string& name, int32_t defaultValue) {
    return GetInt(name, defaultValue);
}

uint32_t CRegistryStore::ValueType(const std::string& name) {
    platform::SettingsDocument doc;
    const platform::SettingsValue* value = Query(name, doc);
    return value ? value->type : 0;
}

std::string CRegistryStore::GetText(const std::string& name, const std::string& defaultValue) {
    platform::SettingsDocument doc;
    const platform::SettingsValue* value = Query(name, doc);
    if (!value || !value->IsText()) {
        return defaultValue;
    }
    if (value->DataSize() > 255) {
        m_lastError = ERROR_MORE_DATA;
        return defaultValue;
    }
    return value->data;
}

int CRegistryStore::Put(const std::string& name, uint32_t type, std::string data) {
    long rc = platform::winreg::SetValue(m_root, m_path, name, type, data);
    if (rc != 0 && m_root == HKEY_LOCAL_MACHINE) {
        // No rights on the machine's key (or it is not there for this user): the user's key.
        rc = platform::winreg::CreateKey(HKEY_CURRENT_USER, m_path);
        if (rc == 0) {
            rc = platform::winreg::SetValue(HKEY_CURRENT_USER, m_path, name, type, data);
        }
    }
    if (rc != 0) {
        m_lastError = static_cast<int32_t>(rc == kAccessDenied ? ERROR_ACCESS_DENIED : rc);
    }
    return rc == 0 ? 1 : 0;
}

namespace {
std::string Le32(int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i) & 0xFF);
    }
    return bytes;
}
} // namespace

int CRegistryStore::PutInt(const std::string& name, int32_t value) {
    return Put(name, REG_DWORD, Le32(value));
}

int CRegistryStore::PutFlag(const std::string& name, int32_t value) {
    return Put(name, REG_BINARY, Le32(value));
}

int CRegistryStore::PutText(const std::string& name, const std::string& text) {
    if (text.size() > 254) {
        return 0;
    }
    return Put(name, REG_SZ, text);
}
