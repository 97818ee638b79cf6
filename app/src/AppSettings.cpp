#include "app/AppSettings.h"

#include <algorithm>
#include <memory>

#include "platform/RegistryStore.h"

namespace {

const char* const kFilePathValues[MAX_SAVED_FLASH_FILES] = {
    "1st flash file path", "2nd flash file path", "3rd flash file path",
    "4th flash file path", "5th flash file path",
};

std::unique_ptr<CRegistryStore> OpenStore(const std::string& configDirectory) {
    auto store = configDirectory.empty() ? std::make_unique<CRegistryStore>()
                                         : std::make_unique<CRegistryStore>(configDirectory);
    store->SelectRoot(HKEY_LOCAL_MACHINE);
    return store;
}

// One value read as the main window reads it: its key opened without create, the default when the
// key does not open.
int32_t ReadInt(CRegistryStore& store, const char* key, const char* name, int32_t defaultValue) {
    return store.OpenPath(key, false) ? store.GetInt(name, defaultValue) : defaultValue;
}
int32_t ReadFlag(CRegistryStore& store, const char* key, const char* name, int32_t defaultValue) {
    return store.OpenPath(key, false) ? store.GetFlag(name, defaultValue) : defaultValue;
}
std::string ReadText(CRegistryStore& store, const char* key, const char* name) {
    return store.OpenPath(key, false) ? store.GetText(name, "") : std::string();
}

} // namespace

TS_LOADED_SETTINGS ReadAppSettings(const std::string& configDirectory) {
    TS_LOADED_SETTINGS loaded;
    auto store = OpenStore(configDirectory);
    for (const char* key : {KEY_COM_PORT_CONFIG, KEY_FLASH_DOWNLOAD_OPTIONS}) {
        if (!store->HasKey(key)) {
            store->MakeKey(key);
        }
    }

    AppSettings& s = loaded.Settings;
    TS_PORT_CONFIG& port = s.PortConfig;
    port.PortType = ReadInt(*store, KEY_COM_PORT_CONFIG, "Port type", 0);
    port.Port = ReadInt(*store, KEY_COM_PORT_CONFIG, "Port", 0);
    port.Baud = ReadInt(*store, KEY_COM_PORT_CONFIG, "Baud", 12);
    port.Databits = ReadInt(*store, KEY_COM_PORT_CONFIG, "Databits", 3);
    port.Parity = ReadInt(*store, KEY_COM_PORT_CONFIG, "Parity", 0);
    port.Stopbits = ReadInt(*store, KEY_COM_PORT_CONFIG, "Stopbits", 0);
    port.FlowControl = ReadInt(*store, KEY_COM_PORT_CONFIG, "Flow control", 0);
    s.AppCodeDownload = ReadFlag(*store, KEY_FLASH_DOWNLOAD_OPTIONS, "Application code download", 1);
    s.VirtualDriveDownload = ReadFlag(*store, KEY_FLASH_DOWNLOAD_OPTIONS, "Virtual drive download", 0);
    s.OstraDataDownload = ReadFlag(*store, KEY_FLASH_DOWNLOAD_OPTIONS, "Ostra data download", 0);
    s.FlashWriterPath[PORT_UART] = ReadText(*store, KEY_FLASH_DOWNLOAD_OPTIONS, "UART-FlashWriter path");
    s.FlashWriterPath[PORT_USB] = ReadText(*store, KEY_FLASH_DOWNLOAD_OPTIONS, "USB-FlashWriter path");
    const int32_t count = ReadInt(*store, KEY_FLASH_DOWNLOAD_OPTIONS, "Number of flash files in list", 0);
    std::string paths[MAX_SAVED_FLASH_FILES];
    for (int k = 0; k < MAX_SAVED_FLASH_FILES; ++k) {
        paths[k] = ReadText(*store, KEY_FLASH_DOWNLOAD_OPTIONS, kFilePathValues[k]);
    }

    // Only 8 data bits, no parity, one stop bit and no flow control are ever used.
    port.Databits = 3;
    port.Parity = 0;
    port.Stopbits = 0;
    port.FlowControl = 0;

    loaded.RadioValue = port.PortType;

    // The count's low 16 bits, signed: at most five rows, none for a negative count.
    const auto rows = static_cast<int16_t>(static_cast<uint32_t>(count) & 0xFFFF);
    for (int k = 0; k < std::min<int>(rows, MAX_SAVED_FLASH_FILES); ++k) {
        loaded.FilePaths.push_back(paths[k]);
    }
    return loaded;
}

void WriteAppSettings(const AppSettings& s, const std::vector<std::string>& listPaths,
                      const std::string& configDirectory) {
    auto store = OpenStore(configDirectory);
    if (store->OpenPath(KEY_COM_PORT_CONFIG, true)) {
        store->PutInt("Port type", s.PortConfig.PortType);
        store->PutInt("Port", s.PortConfig.Port);
        store->PutInt("Baud", s.PortConfig.Baud);
        store->PutInt("Databits", s.PortConfig.Databits);
        store->PutInt("Parity", s.PortConfig.Parity);
        store->PutInt("Stopbits", s.PortConfig.Stopbits);
        store->PutInt("Flow control", s.PortConfig.FlowControl);
    }
    if (store->OpenPath(KEY_FLASH_DOWNLOAD_OPTIONS, true)) {
        store->PutFlag("Application code download", s.AppCodeDownload);
        store->PutFlag("Virtual drive download", s.VirtualDriveDownload);
        store->PutFlag("Ostra data download", s.OstraDataDownload);
        store->PutText("UART-FlashWriter path", s.FlashWriterPath[PORT_UART]);
        store->PutText("USB-FlashWriter path", s.FlashWriterPath[PORT_USB]);
        const int count = static_cast<int>(std::min<std::size_t>(listPaths.size(), MAX_SAVED_FLASH_FILES));
        store->PutInt("Number of flash files in list", count);
        for (int k = 0; k < MAX_SAVED_FLASH_FILES; ++k) {
            store->PutText(kFilePathValues[k],
                           k < count ? listPaths[static_cast<std::size_t>(k)] : std::string());
        }
    }
}

std::optional<TS_WINDOW_PLACEMENT> ReadWindowPlacement(const std::string& configDirectory) {
    auto store = OpenStore(configDirectory);
    if (!store->HasKey(KEY_WINDOWS)) {
        store->MakeKey(KEY_WINDOWS);
    }
    if (!store->OpenPath(KEY_WINDOWS, false)) {
        return std::nullopt;
    }
    TS_WINDOW_PLACEMENT p;
    p.Status = store->GetInt("Status", 1);
    p.Top = store->GetInt("Top", 20);
    p.Left = store->GetInt("Left", 171);
    p.Bottom = store->GetInt("Bottom", 595);
    p.Right = store->GetInt("Right", 770);
    if (p.Status == -1 || p.Top == -1 || p.Left == -1 || p.Bottom == -1 || p.Right == -1) {
        return std::nullopt;
    }
    return p;
}

void WriteWindowPlacement(const TS_WINDOW_PLACEMENT& p, const std::string& configDirectory) {
    auto store = OpenStore(configDirectory);
    if (!store->OpenPath(KEY_WINDOWS, true)) {
        return;
    }
    store->PutInt("Status", p.Status);
    store->PutInt("Top", p.Top);
    store->PutInt("Left", p.Left);
    store->PutInt("Bottom", p.Bottom);
    store->PutInt("Right", p.Right);
}

TS_WINDOW_POSITION RestoredWindowPosition(const TS_WINDOW_PLACEMENT& placement,
                                          const TS_SCREEN_METRICS& screen) {
    TS_WINDOW_POSITION pos;
    pos.x = std::min(placement.Left + screen.WorkLeft, screen.ScreenWidth - screen.IconWidth);
    pos.y = std::min(placement.Top + screen.WorkTop, screen.ScreenHeight - screen.IconHeight);
    return pos;
}
