#include "SavedSettings.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/RegistryStore.h"
#include "platform/SettingsStore.h"

namespace fs = std::filesystem;

TS_SAVED ReadSavedSettings() {
    TS_SAVED saved;
    const platform::SettingsStore userStore;
    const char* root = RootKeyName(HKEY_LOCAL_MACHINE);
    std::string base = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp) {
        base = tmp;
    }
    std::string dir = base + "/vandrel-cli-XXXXXX";
    if (!::mkdtemp(dir.data())) {
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
