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
#include "RegistryBackendWin.h"
#include "platform/RegistryStore.h"

namespace {

constexpr long kAccessDenied = 5;
constexpr long kNotFound = 2;

} // namespace

CRegistryStore::CRegistryStore() : m_store(std::string()) {}

CRegistryStore::CRegistryStore(std::string /*configDirectory*/) : m_store(std::string()) {}

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

int CRegistryStore::OpenExistingKey(const std::string& path) {
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
