// CRegistryStore on POSIX: the values kept in the settings store's files, one file a root.
#include "platform/RegistryStore.h"

#include <utility>

CRegistryStore::CRegistryStore() = default;

CRegistryStore::CRegistryStore(std::string configDirectory) : m_store(std::move(configDirectory)) {}

bool CRegistryStore::HasKey(const std::string& path, HKEY root) {
    const char* name = RootKeyName(root == 0 ? m_root : root);
    if (!name) {
        return false;
    }
    platform::SettingsDocument doc;
    if (m_store.Load(name, doc) == platform::SettingsStore::LoadStatus::Failed) {
        return false;
    }
    return doc.HasKey(path);
}

int CRegistryStore::MakeKey(const std::string& path) {
    platform::SettingsDocument doc;
    const auto status = m_store.Load(RootName(), doc);
    bool made = status != platform::SettingsStore::LoadStatus::Failed && doc.HasKey(path); // nothing to write
    if (!made) {
        made = m_store.Update(RootName(), [&](platform::SettingsDocument& latest) {
            latest.MakeKey(path);
            return true;
        });
    }
    if (!made) {
        m_lastError = ERROR_ACCESS_DENIED;
        return 0;
    }
    m_lastError = ERROR_SUCCESS;
    m_path = path;
    return 1;
}

int CRegistryStore::OpenExistingKey(const std::string& path) {
    if (!HasKey(path)) {
        m_lastError = ERROR_FILE_NOT_FOUND;
        return 0;
    }
    m_lastError = ERROR_SUCCESS;
    m_path = path;
    return 1;
}

const platform::SettingsValue* CRegistryStore::Query(const std::string& name,
                                                     platform::SettingsDocument& doc) {
    if (m_store.Load(RootName(), doc) == platform::SettingsStore::LoadStatus::Failed) {
        m_lastError = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    if (!doc.HasKey(m_path)) {
        m_lastError = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    const platform::SettingsValue* value = doc.FindValue(m_path, name);
    m_lastError = value ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    return value;
}

int CRegistryStore::Put(const std::string& name, uint32_t type, std::string data) {
    const bool written = m_store.Update(RootName(), [&](platform::SettingsDocument& doc) {
        return doc.SetValue(m_path, name, type, std::move(data));
    });
    return written ? 1 : 0;
}
