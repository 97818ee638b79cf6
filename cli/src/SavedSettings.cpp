#include "SavedSettings.h"

#include <filesystem>

#include "platform/Files.h"
#include "platform/RegistryStore.h"
#include "platform/SettingsStore.h"

namespace fs = std::filesystem;

TS_SAVED ReadSavedSettings() {
    TS_SAVED saved;
    const platform::SettingsStore userStore;
    const char* root = RootKeyName(HKEY_LOCAL_MACHINE);
    const std::string dir = platform::MakeTemporaryFolder("vandrel-cli-");
    if (dir.empty()) {
        return saved; // defaults
    }
    std::error_code ec;
    const std::string source = userStore.FilePath(root);
    if (fs::is_regular_file(source, ec)) {
        const platform::SettingsStore copyStore(dir);
        fs::copy_file(source, copyStore.FilePath(root), ec);
    }
    saved.loaded = ReadAppSettings(dir);
    saved.map = ReadComPortMap(dir);
    fs::remove_all(dir, ec);
    return saved;
}
