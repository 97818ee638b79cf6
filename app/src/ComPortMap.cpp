#include "app/ComPortMap.h"

#include <memory>

#include "app/AppSettings.h"
#include "platform/RegistryStore.h"

std::string ComDeviceValueName(int comNumber) {
    return "COM" + std::to_string(comNumber) + " device";
}

namespace {
std::unique_ptr<CRegistryStore> OpenMapStore(const std::string& configDirectory) {
    auto store = configDirectory.empty() ? std::make_unique<CRegistryStore>()
                                         : std::make_unique<CRegistryStore>(configDirectory);
    store->SelectRoot(HKEY_LOCAL_MACHINE);
    return store;
}
} // namespace

TS_COM_PORT_MAP ReadComPortMap(const std::string& configDirectory) {
    TS_COM_PORT_MAP map;
    auto store = OpenMapStore(configDirectory);
    if (!store->OpenPath(KEY_COM_PORT_CONFIG, false)) {
        return map;
    }
    for (int n = 1; n <= 4; ++n) {
        map.ComDevice[static_cast<std::size_t>(n - 1)] = store->GetText(ComDeviceValueName(n), "");
    }
    map.UsbDevice = store->GetText(USB_DEVICE_VALUE, "");
    return map;
}

bool WriteComPortMap(const TS_COM_PORT_MAP& map, const std::string& configDirectory) {
    auto store = OpenMapStore(configDirectory);
    if (!store->OpenPath(KEY_COM_PORT_CONFIG, true)) {
        return false;
    }
    bool all = true;
    for (int n = 1; n <= 4; ++n) {
        all = store->PutText(ComDeviceValueName(n), map.ComDevice[static_cast<std::size_t>(n - 1)]) && all;
    }
    all = store->PutText(USB_DEVICE_VALUE, map.UsbDevice) && all;
    return all;
}
