// CRegistryStore: the program's access to its settings, shaped after the registry it was written
// for and kept on the settings store (platform/SettingsStore.h).
//
// A store has a root (one of the four predefined roots below; HKEY_CURRENT_USER at first) and a
// current key path below it (empty at first). Keys are never kept open: every operation reads the
// root's file (and writes it, for the Put operations and key creation) as a whole.
//
// Opening a key here means that it exists in the root's file; a file that cannot be written makes
// the writes fail (they return 0), as a key without write access did.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/SettingsStore.h"

using HKEY = uint32_t;
inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr HKEY HKEY_USERS = 0x80000003u;

// Value types
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;

// The file name of a root: "HKEY_LOCAL_MACHINE" ...; nullptr for a value that is no root.
const char* RootKeyName(HKEY root);

class CRegistryStore {
public:
    // Result codes kept as the last error, numbered as the registry's
    static constexpr int32_t ERROR_SUCCESS = 0;
    static constexpr int32_t ERROR_FILE_NOT_FOUND = 2;
    static constexpr int32_t ERROR_ACCESS_DENIED = 5;
    static constexpr int32_t ERROR_MORE_DATA = 234;

    // The settings directory from the environment ($VANDREL_CONFIG_DIR ...).
    CRegistryStore();
    // Settings kept in the given directory (tests, tools).
    explicit CRegistryStore(std::string configDirectory);
    ~CRegistryStore();
    // The store the program keeps its settings in, rooted at HKEY_LOCAL_MACHINE: in the given
    // directory, or where the environment says when it is empty.
    static std::unique_ptr<CRegistryStore> OpenMachineStore(const std::string& configDirectory);
    CRegistryStore(const CRegistryStore&) = delete;
    CRegistryStore& operator=(const CRegistryStore&) = delete;

    // Accepts HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE or HKEY_USERS (1); any
    // other value is refused (0) and the root stays.
    int SelectRoot(HKEY key);
    // Whether the key exists below the given root (0: the store's root).
    bool HasKey(const std::string& path, HKEY root = 0);
    // Creates the key (and those above it) if missing; on success it becomes the current key (1).
    int MakeKey(const std::string& path);
    // "" empties the current key path (1). Otherwise the key must exist, or with create is made;
    // on success it becomes the current key (1); on failure 0 and the current key stays.
    int OpenPath(const std::string& path, bool create = false);

    // A value of the current key read into 4 bytes whatever its type; the default when the key or
    // the value is missing or the value is longer than 4 bytes.
    int32_t GetInt(const std::string& name, int32_t defaultValue);
    int32_t GetFlag(const std::string& name, int32_t defaultValue);
    // The type of a value of the current key (REG_SZ 1, REG_EXPAND_SZ 2 ...), 0 when it cannot be
    // queried.
    uint32_t ValueType(const std::string& name);
    // A REG_SZ or REG_EXPAND_SZ value that fits a 255-byte buffer with its terminating zero (at
    // most 254 bytes of UTF-8); the default for anything else.
    std::string GetText(const std::string& name, const std::string& defaultValue);

    // Write a value to the current key, which must exist. PutFlag writes 4 bytes of REG_BINARY;
    // PutText refuses a text of more than 254 bytes (0, nothing written).
    int PutInt(const std::string& name, int32_t value);
    int PutFlag(const std::string& name, int32_t value);
    int PutText(const std::string& name, const std::string& text);

    int32_t LastError() const { return m_lastError; }
    HKEY Root() const { return m_root; }
    const std::string& CurrentPath() const { return m_path; }

private:
    const char* RootName() const { return RootKeyName(m_root); }
    // What each system's file gives (RegistryStorePosix.cpp, RegistryStoreWin.cpp): opening a key
    // that must exist, one value as the program reads it, one value written.
    int OpenExistingKey(const std::string& path);
    const platform::SettingsValue* Query(const std::string& name, platform::SettingsDocument& doc);
    int Put(const std::string& name, uint32_t type, std::string data);

    platform::SettingsStore m_store;
    int32_t m_lastError = ERROR_SUCCESS;
    HKEY m_root = HKEY_CURRENT_USER;
    std::string m_path;
};
