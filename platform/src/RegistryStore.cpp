// CRegistryStore on every system: the roots, the current key and how a value's bytes are read and
// written. Where the values are kept is the system's file: RegistryStorePosix.cpp (the settings
// store's files) or RegistryStoreWin.cpp (the registry); each gives the constructors, HasKey,
// MakeKey, OpenExistingKey, Query and Put.
#include "platform/RegistryStore.h"

#include <cstring>

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

std::unique_ptr<CRegistryStore> CRegistryStore::OpenMachineStore(const std::string& configDirectory) {
    auto store = configDirectory.empty() ? std::make_unique<CRegistryStore>()
                                         : std::make_unique<CRegistryStore>(configDirectory);
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

int CRegistryStore::OpenPath(const std::string& path, bool create) {
    if (path.empty()) {
        m_path.clear();
        return 1;
    }
    return create ? MakeKey(path) : OpenExistingKey(path);
}

int32_t CRegistryStore::GetInt(const std::string& name, int32_t defaultValue) {
    platform::SettingsDocument doc;
    const platform::SettingsValue* value = Query(name, doc);
    if (!value || value->DataSize() > 4) {
        return defaultValue;
    }
    // What a 4-byte query buffer receives: the value's bytes, the rest zero.
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
