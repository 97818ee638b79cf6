// The Windows registry calls behind CRegistryStore (RegistryStoreWin.cpp), apart so that
// <windows.h> (whose HKEY is a handle) and platform/RegistryStore.h (whose HKEY is the root's
// number) never meet in one file. Roots are the predefined keys' numbers (0x80000000 ...); paths
// and names are UTF-8; texts are UTF-8 without their terminating zero. Every call opens, uses and
// closes its key, and returns the registry's result code (0 = success).
#pragma once

#include <cstdint>
#include <string>

namespace platform::winreg {

// Opens the key with full access (or read access) and closes it again.
long OpenKey(uint32_t root, const std::string& path, bool fullAccess);
// Creates the key (and those above it) if missing, non-volatile.
long CreateKey(uint32_t root, const std::string& path);
// A value: its type and data (texts as UTF-8 without the terminator; others as stored).
long QueryValue(uint32_t root, const std::string& path, const std::string& name, uint32_t& type,
                std::string& data);
// Sets a value of an existing key (REG_SZ and REG_EXPAND_SZ data is UTF-8 text).
long SetValue(uint32_t root, const std::string& path, const std::string& name, uint32_t type,
              const std::string& data);
// Deletes a key and everything below it (tests).
long DeleteTree(uint32_t root, const std::string& path);

} // namespace platform::winreg
