// The commands that open no port: compress, ports, udev-rule.
#include "CliPort.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "CliDeviceAccess.h"
#include "CliExitStatus.h"
#include "CliJson.h"
#include "CliOptions.h"
#include "CliOutput.h"
#include "FlashFileCheck.h"
#include "SavedSettings.h"
#include "app/AppSettings.h"
#include "app/ComPortMap.h"
#include "app/DownloadRuns.h"
#include "download/CompressFlashFile.h"
#include "download/DownloadSession.h"
#include "download/FlashFile.h"
#include "download/OstraAreaTable.h"
#include "download/RecordReader.h"
#include "download/TargetConnection.h"
#include "platform/Files.h"
#include "platform/RegistryStore.h"
#include "platform/SettingsStore.h"
#include "quillet/PortMap.h"
#include "quillet/UsbDevices.h"
#include "station/SerialNames.h"
#include "station/StationEngine.h"
#include "tools/DumpToFile.h"
#include "tools/EraseJob.h"
#include "tools/FlashIdentification.h"
#include "tools/MemoryDump.h"
#include "tools/WrittenRanges.h"

namespace fs = std::filesystem;

namespace cliport {

int CCli::Compress() {
    for (const std::string& file : m_o.Files) {
        m_out.JsonBegin(file, "compress");
        m_out.JsonPhase("compress");
        ErrorKind(STATION_ERR_FILE);
        if (GetFileKind(file) != KIND_M0) {
            m_out.Error(file + ": compress takes an .m0 file");
            return EXIT_USAGE;
        }
        // the compression itself checks every record
        if (const std::string problem = CheckFlashFile(file, false, false); !problem.empty()) {
            m_out.Error(problem);
            return EXIT_USAGE;
        }
        TS_AREA_MARKS marks;
        TS_COMPRESS_HOOKS hooks;
        hooks.MarkArea = [&marks](uint32_t address) { marks.MarkArea(address); };
        hooks.Stop = &m_signals.StopFlag();
        std::string output;
        std::string problem;
        // the counts come from the compression: the .cp64 is not read back
        TS_COMPRESS_COUNTS counts;
        if (!CompressFlashFile(file, output, hooks, &problem, &counts)) {
            if (m_signals.Stopped()) {
                return Interrupted("stopped while compressing '" + file + "': no .cp64 was left");
            }
            m_out.Error(OneLine(problem)); // it names the file
            return EXIT_USAGE;
        }
        const auto names = [](int32_t flags, const COstraAreaTable& table) {
            std::string text;
            for (const TS_OSTRA_AREA& area : table.Areas()) {
                if (flags & area.flag) {
                    char range[40];
                    std::snprintf(range, sizeof range, " [0x%08X-0x%08X]", area.start, area.end);
                    text += (text.empty() ? "" : ", ") + std::string(area.displayName) + range;
                }
            }
            return text.empty() ? std::string("no Ostra area") : text;
        };
        // --json: [{"name":..., "start":..., "end":...}, ...]
        const auto jsonAreas = [](int32_t flags, const COstraAreaTable& table) {
            std::string text;
            for (const TS_OSTRA_AREA& area : table.Areas()) {
                if (flags & area.flag) {
                    text += (text.empty() ? "{\"name\":" : ",{\"name\":") + JsonString(area.displayName) +
                            ",\"start\":" + std::to_string(area.start) +
                            ",\"end\":" + std::to_string(area.end) + "}";
                }
            }
            return "[" + text + "]";
        };
        COstraAreaTable defaults;
        COstraAreaTable moved;
        moved.RemapForFlashType(FLASH_TYPE_MOVED_LAYOUT);
        m_out.Result("compress: " + output + ": " + std::to_string(counts.DataBytes) + " data bytes in " +
                     std::to_string(counts.Blocks) + " block" + (counts.Blocks == 1 ? "" : "s"));
        m_out.Result("  areas: " + names(marks.defaultFlags, defaults));
        if (marks.movedFlags != marks.defaultFlags) {
            m_out.Result("  areas with CS#0 flash part 19: " + names(marks.movedFlags, moved));
        }
        m_out.JsonEnd(EXIT_OK, counts.DataBytes, {},
                      ",\"file\":" + JsonString(output) + ",\"dataBytes\":" +
                          std::to_string(counts.DataBytes) + ",\"blocks\":" + std::to_string(counts.Blocks) +
                          ",\"areas\":" + jsonAreas(marks.defaultFlags, defaults) +
                          (marks.movedFlags != marks.defaultFlags
                               ? ",\"movedAreas\":" + jsonAreas(marks.movedFlags, moved)
                               : std::string()));
    }
    return EXIT_OK;
}

int CCli::Ports() {
    m_out.JsonBegin("", "ports");
    TS_SAVED saved = ReadSavedSettings();
    ApplyComPortMap(saved.map);
    if (m_o.PortChoice == ECliPortChoice::Path) {
        platform::SetEnvironment("VANDREL_COM1", m_o.PortPath);
    } else if (m_o.PortChoice == ECliPortChoice::Usb && !m_o.PortPath.empty()) {
        platform::SetEnvironment("VANDREL_USB_DEVICE", m_o.PortPath);
    }
    const auto state = [](const std::string& path) { return DeviceUseNote(path); };
    m_out.Result("Serial devices:");
    const auto devices = QuilletListSerialDevices();
    m_jsonSummary = std::to_string(devices.size()) + " serial device" + (devices.size() == 1 ? "" : "s");
    for (const std::string& device : devices) {
        m_out.Result("  " + device + state(device) + StableSerialNamesText(device));
    }
    if (devices.empty()) {
        m_out.Result("  (none)");
    }
    PrintUsbDevices();
    m_out.Result("Port map (VANDREL_COMn, then the saved map, then the default):");
    for (int n = 1; n <= 4; ++n) {
        const std::string env = "VANDREL_COM" + std::to_string(n);
        const char* value = std::getenv(env.c_str());
        std::string source = value && *value                                                 ? env
                             : !saved.map.ComDevice[static_cast<std::size_t>(n - 1)].empty() ? "saved map"
                                                                                             : "default";
        if (n == 1 && m_o.PortChoice == ECliPortChoice::Path) {
            source = "--port";
        }
        const std::string path = QuilletResolveDevice("COM" + std::to_string(n));
        m_out.Result("  COM" + std::to_string(n) + " -> " + (path.empty() ? "(none)" : path) + "  [" +
                     source + "]" + (path.empty() ? "" : state(path)));
    }
    const char* usbEnv = std::getenv("VANDREL_USB_DEVICE");
    const std::string usbSource = m_o.PortChoice == ECliPortChoice::Usb && !m_o.PortPath.empty() ? "--usb"
                                  : usbEnv && *usbEnv            ? "VANDREL_USB_DEVICE"
                                  : !saved.map.UsbDevice.empty() ? "saved map"
                                                                 : "default";
    const std::string usb = QuilletResolveDevice(kUsbDeviceName);
    m_out.Result("  USB  -> " + usb + "  [" + usbSource + "]" +
                 (QuilletIsUsbDeviceText(usb) ? (QuilletUsbDevicePresent(usb) ? "" : "  (not connected)")
                                              : state(usb)));
    const AppSettings& s = saved.loaded.Settings;
    const int baud = s.PortConfig.Baud;
    m_out.Result("Saved settings: " +
                 std::string(s.PortConfig.PortType == PORT_USB
                                 ? "USB"
                                 : "RS232 on COM" + std::to_string(s.PortConfig.Port + 1)) +
                 (baud >= 0 && baud < static_cast<int>(kBaudTable.size())
                      ? ", " + std::to_string(kBaudTable[static_cast<std::size_t>(baud)]) + " bit/s"
                      : std::string()));
    m_out.Result("  UART flash writer: " +
                 (s.FlashWriterPath[0].empty() ? "(not set)" : s.FlashWriterPath[0]));
    m_out.Result("  USB flash writer:  " +
                 (s.FlashWriterPath[1].empty() ? "(not set)" : s.FlashWriterPath[1]));
    m_out.JsonEnd(EXIT_OK, 0, m_jsonSummary);
    return EXIT_OK;
}

// The USB devices present (nothing opened, nothing claimed): the device text that names each,
// its strings when readable, and whether it has the bulk pair the link needs.
void CCli::PrintUsbDevices() {
    m_out.Result(
        "USB devices (give one as --usb usb:VVVV:PPPP, or usb:VVVV:PPPP@BUS-PORT when several match):");
    const std::vector<TS_USB_DEVICE_INFO> devices = QuilletListUsbDevices();
    m_jsonSummary += ", " + std::to_string(devices.size()) + " USB device" + (devices.size() == 1 ? "" : "s");
    for (const TS_USB_DEVICE_INFO& d : devices) {
        std::string names = d.Manufacturer;
        if (!d.ProductName.empty()) {
            names += (names.empty() ? "" : " ") + d.ProductName;
        }
        m_out.Result("  " + QuilletUsbDeviceText(d) + "  " + d.Node + (names.empty() ? "" : "  " + names) +
                     (d.BulkInterface >= 0 ? "  bulk pair on interface " + std::to_string(d.BulkInterface)
                                           : "  no bulk pair") +
                     UsbNodeUseNote(d.Node));
    }
    if (devices.empty()) {
        m_out.Result("  (none)");
    }
}

int CCli::UdevRule() {
    TS_USB_DEVICE_TEXT device;
    std::string problem;
    QuilletParseUsbDeviceText(m_o.UsbDeviceText, device, problem); // checked with the options
    const std::string rule = QuilletUdevRule(device);
    if (rule.empty()) { // a system without udev
        m_out.Error("this system has no udev rules: the handset's own driver gives access to it here");
        return EXIT_USAGE;
    }
    m_out.JsonBegin(m_o.UsbDeviceText, "udev-rule");
    for (size_t start = 0; start < rule.size();) {
        const size_t end = rule.find('\n', start);
        m_out.Result(rule.substr(start, end - start));
        start = end == std::string::npos ? rule.size() : end + 1;
    }
    m_out.JsonEnd(EXIT_OK, 0, "udev rule for " + m_o.UsbDeviceText, ",\"rule\":" + JsonString(rule));
    return EXIT_OK;
}

} // namespace cliport
