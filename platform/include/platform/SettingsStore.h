// The settings store: what the registry was to the reference platform.
//
// One text file per root key ("HKEY_LOCAL_MACHINE.reg" ...) in the settings directory:
// $VANDREL_CONFIG_DIR, else $XDG_CONFIG_HOME/vandrel, else ~/.config/vandrel. The files use the
// syntax of a registry editor export, UTF-8:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\Software\Vandrel\COM port config]
//   "Port type"=dword:00000000
//   "Application code download"=hex:01,00,00,00
//   "UART-FlashWriter path"="/home/me/writer \"uart\".m0"
//
// Key paths and value names compare without regard to ASCII case, as the registry's do. A file is
// written atomically (temporary file in the same folder, fsync, rename). A file that cannot be
// parsed is renamed aside with a ".bad-<timestamp>" suffix and never overwritten.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Value types, numbered as the registry numbers them.
enum : uint32_t {
    SETTINGS_NONE = 0,
    SETTINGS_SZ = 1,        // text; stored as "text"
    SETTINGS_EXPAND_SZ = 2, // text; stored as hex(2): UTF-8 bytes with a terminating 00
    SETTINGS_BINARY = 3,    // stored as hex:
    SETTINGS_DWORD = 4,     // stored as dword:
};

struct SettingsValue {
    std::string name; // "" is the key's default value, written as @
    uint32_t type = SETTINGS_NONE;
    // SETTINGS_SZ and SETTINGS_EXPAND_SZ: the UTF-8 text without its terminator.
    // SETTINGS_DWORD: four bytes, little-endian. Anything else: the bytes as stored.
    std::string data;

    // The size the registry would report: texts count their terminating zero.
    std::size_t DataSize() const;
    bool IsText() const { return type == SETTINGS_SZ || type == SETTINGS_EXPAND_SZ; }
};

struct SettingsKey {
    std::string path; // below the root, "Software\Vandrel\Windows"; "" is the root itself
    std::vector<SettingsValue> values;
};

// The parsed contents of one root key's file.
class SettingsDocument {
public:
    bool HasKey(std::string_view path) const;
    const SettingsKey* FindKey(std::string_view path) const;
    SettingsKey* FindKey(std::string_view path);
    // Finds or creates the key and every key above it.
    SettingsKey& MakeKey(std::string_view path);
    const SettingsValue* FindValue(std::string_view path, std::string_view name) const;
    // Sets a value of an existing key; returns false when the key does not exist.
    bool SetValue(std::string_view path, std::string_view name, uint32_t type, std::string data);

    const std::vector<SettingsKey>& Keys() const { return m_keys; }
    bool Empty() const { return m_keys.empty(); }

    std::string Serialize(std::string_view rootName) const;
    // Parses a file's text; on failure returns false and says where and why in error.
    static bool Parse(std::string_view text, std::string_view rootName, SettingsDocument& out,
                      std::string& error);

private:
    std::vector<SettingsKey> m_keys;
};

bool SettingsNameEqual(std::string_view a, std::string_view b);

class SettingsStore {
public:
    // The directory from the environment, as described above.
    SettingsStore();
    explicit SettingsStore(std::string directory);
    static std::string DefaultDirectory();

    const std::string& Directory() const { return m_directory; }
    std::string FilePath(std::string_view rootName) const;

    enum class LoadStatus {
        Loaded,   // the file was read and parsed
        Missing,  // there is no file: the document is empty
        SetAside, // the file could not be parsed and was renamed aside: the document is empty
        Failed,   // the file could not be read, or could not be set aside: do not save over it
    };
    // Reads a root key's file. error describes anything but Loaded and Missing.
    LoadStatus Load(std::string_view rootName, SettingsDocument& doc, std::string* error = nullptr) const;
    // Writes a root key's file atomically, creating the directory when needed.
    bool Save(std::string_view rootName, const SettingsDocument& doc, std::string* error = nullptr) const;
    // Load, change, save, under a process-wide lock so that two threads do not lose each other's
    // changes. The file is written only when change returns true; returns whether that worked.
    bool Update(std::string_view rootName, const std::function<bool(SettingsDocument&)>& change,
                std::string* error = nullptr) const;

private:
    std::string m_directory;
};

} // namespace platform
