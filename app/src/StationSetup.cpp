#include "app/StationSetup.h"

#include <algorithm>
#include <filesystem>
#include <memory>

#include "app/DownloadRuns.h"
#include "download/JobObserver.h"
#include "platform/RegistryStore.h"
#include "quillet/PortMap.h"
#include "quillet/UsbDevices.h"
#include "station/SerialNames.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsbDeviceName = "\\\\.\\Csr0";
constexpr const char* kPortCountValue = "Number of ports";
constexpr const char* kVerifyValue = "Verify after writing";
constexpr const char* kWatchValue = "Watch for handsets";
constexpr int kMaxSavedPorts = 32;

std::string PortValueName(int n) {
    return "Port " + std::to_string(n);
}

std::string Canonical(const std::string& path) {
    std::error_code ec;
    const fs::path found = fs::canonical(path, ec);
    return ec ? path : found.string();
}

// A serial device by its first stable name (the socket its adapter sits in, then the adapter's
// make and serial number), so a fixture's cable keeps its name; the path itself when it has none.
std::string StableSerialName(const std::string& device) {
    const std::vector<std::string> names = StableSerialNames(device);
    return names.empty() ? device : names.front();
}

} // namespace

std::vector<TS_STATION_CHOICE> StationPortChoices() {
    std::vector<TS_STATION_CHOICE> choices;
    std::vector<std::string> taken; // canonical paths already listed
    const auto add = [&](const std::string& label, const std::string& path, bool usb) {
        if (path.empty()) {
            return;
        }
        const std::string canonical = Canonical(path);
        if (std::find(taken.begin(), taken.end(), canonical) != taken.end()) {
            return;
        }
        taken.push_back(canonical);
        choices.push_back({label, path, usb});
    };
    for (int n = 1; n <= 4; ++n) {
        const std::string name = "COM" + std::to_string(n);
        add(name, QuilletResolveDevice(name), false);
    }
    add("USB", QuilletResolveDevice(kUsbDeviceName), true);
    for (const std::string& device : QuilletListSerialDevices()) {
        add(StableSerialName(device), device, false);
    }
    // handsets on USB cables reached through libusb, by the place they are plugged in
    for (const TS_USB_DEVICE_INFO& usb : QuilletListUsbDevices()) {
        if (usb.BulkInterface < 0) {
            continue;
        }
        const std::string name = QuilletUsbDeviceText(usb);
        add(name, name, true);
    }
    return choices;
}

TS_STATION_SETTINGS ReadStationSettings(const std::string& configDirectory) {
    TS_STATION_SETTINGS settings;
    auto store = CRegistryStore::OpenMachineStore(configDirectory);
    if (!store->OpenPath(KEY_PRODUCTION_STATION, false)) {
        return settings;
    }
    settings.Saved = true;
    settings.Verify = store->GetFlag(kVerifyValue, 1) != 0;
    settings.Watch = store->GetFlag(kWatchValue, 1) != 0;
    const int count = std::clamp(store->GetInt(kPortCountValue, 0), 0, kMaxSavedPorts);
    for (int n = 1; n <= count; ++n) {
        const std::string label = store->GetText(PortValueName(n), "");
        if (!label.empty()) {
            settings.Ports.push_back(label);
        }
    }
    return settings;
}

bool WriteStationSettings(const TS_STATION_SETTINGS& settings, const std::string& configDirectory) {
    auto store = CRegistryStore::OpenMachineStore(configDirectory);
    if (!store->OpenPath(KEY_PRODUCTION_STATION, true)) {
        return false;
    }
    bool all = store->PutFlag(kVerifyValue, settings.Verify ? 1 : 0) != 0;
    all = store->PutFlag(kWatchValue, settings.Watch ? 1 : 0) != 0 && all;
    const int count = std::min(static_cast<int>(settings.Ports.size()), kMaxSavedPorts);
    all = store->PutInt(kPortCountValue, count) != 0 && all;
    for (int n = 1; n <= count; ++n) {
        all = store->PutText(PortValueName(n), settings.Ports[static_cast<std::size_t>(n - 1)]) != 0 && all;
    }
    return all;
}

std::vector<std::string> DefaultStationPorts(const AppSettings& settings) {
    if (settings.PortConfig.PortType == PORT_USB) {
        return {"USB"};
    }
    return {"COM" + std::to_string(settings.PortConfig.Port + 1)};
}

TS_STATION_PORT MakeStationPort(const TS_STATION_CHOICE& choice, const AppSettings& settings) {
    TS_STATION_PORT port = choice.Usb
                               ? StationUsbPort(choice.DevicePath, choice.Label)
                               : StationUartPort(choice.DevicePath, settings.PortConfig.Baud, choice.Label);
    port.WriterPath = settings.FlashWriterPath[choice.Usb ? PORT_USB : PORT_UART];
    return port;
}

TS_STATION_JOB MakeStationJob(const std::vector<std::string>& files, const AppSettings& settings,
                              bool verify) {
    TS_STATION_JOB job;
    job.Command = STATION_DOWNLOAD;
    job.Files = files;
    job.Verify = verify;
    job.WriterPath = FlashWriterPath(settings);
    return job;
}

std::string StationTileReason(const TS_STATION_RESULT& result, const std::vector<std::string>& paths) {
    std::string text = result.Message;
    for (const std::string& path : paths) {
        const std::string name = fs::path(path).filename().string();
        if (path.empty() || name == path) {
            continue;
        }
        for (std::size_t at = text.find(path); at != std::string::npos;
             at = text.find(path, at + name.size())) {
            text.replace(at, path.size(), name);
        }
    }
    if (result.Error == STATION_ERR_DISCONNECTED) {
        text = "handset removed - " + text;
    }
    return text;
}

std::string StationResultBlock(const std::string& label, const std::vector<std::string>& files,
                               std::time_t start, std::time_t end, const TS_STATION_RESULT& result) {
    std::string marks;
    for (int i = 0; i < 8; ++i) {
        marks += LOG_MARK;
    }
    std::string text = "\r\n" + marks + "  Download information for the station port " + label + "  " + marks;
    for (const std::string& file : files) {
        text += "\r\n - File path : '" + file + "'";
    }
    text += "\r\n - Start time : " + FormatLogDateTime(start) + "\r\n";
    text += " - End time : " + FormatLogDateTime(end) + "\r\n";
    text += " - Elapsed time : " + FormatSpan(static_cast<int64_t>(end - start)) + "\r\n";
    for (const std::string& file : result.NoEndRecord) {
        text += " - Note : '" + file + "': " + STATION_NO_END_RECORD + "\r\n";
    }
    if (result.Ok) {
        text += " - Result : PASS, " + result.Summary + "\r\n";
    } else {
        text += std::string(" - Result : ") + (result.Error == STATION_ERR_STOPPED ? "STOPPED" : "FAIL") +
                ", " + result.Message + "\r\n";
    }
    return text;
}
