// The USB devices present, listed through libusb-1.0 with their names from sysfs.

#include "quillet/UsbDevices.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "UsbBulkDevice.h"

namespace {

std::string UdevHex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

std::string ReadSysfsLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

} // namespace

namespace quillet {

std::vector<TS_USB_DEVICE_INFO> ListUsbDevicesOn(libusb_context* ctx) {
    std::vector<TS_USB_DEVICE_INFO> out;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < count; ++i) {
        TS_USB_DEVICE_INFO info;
        if (!DescribeDevice(list[i], info)) {
            continue;
        }
        const std::string sysfs = "/sys/bus/usb/devices/" + QuilletUsbPortPath(info.Bus, info.Ports) + "/";
        info.Manufacturer = ReadSysfsLine(sysfs + "manufacturer");
        info.ProductName = ReadSysfsLine(sysfs + "product");
        info.BulkInterface = FindBulkInterface(list[i], -1).Interface;
        out.push_back(std::move(info));
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
    std::sort(out.begin(), out.end(), [](const TS_USB_DEVICE_INFO& a, const TS_USB_DEVICE_INFO& b) {
        return a.Bus != b.Bus ? a.Bus < b.Bus : a.Ports < b.Ports;
    });
    return out;
}

} // namespace quillet

std::vector<TS_USB_DEVICE_INFO> QuilletListUsbDevices() {
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) {
        return {};
    }
    std::vector<TS_USB_DEVICE_INFO> out = quillet::ListUsbDevicesOn(ctx);
    libusb_exit(ctx);
    return out;
}

bool QuilletUsbDevicePresent(const std::string& text) {
    TS_USB_DEVICE_TEXT device;
    std::string error;
    if (!QuilletParseUsbDeviceText(text, device, error)) {
        return false;
    }
    const auto all = QuilletListUsbDevices();
    return std::any_of(all.begin(), all.end(), [&](const TS_USB_DEVICE_INFO& info) {
        return quillet::UsbDeviceMatches(device, info);
    });
}

// The rule that gives the user at the seat the device (udev, systemd's uaccess).
std::string QuilletUdevRule(const TS_USB_DEVICE_TEXT& device) {
    if (!device.HasIds) {
        return {};
    }
    const std::string v = UdevHex4(device.Vendor);
    const std::string p = UdevHex4(device.Product);
    return "# Vandrel: the handset " + v + ":" + p +
           " for the user at the seat, and ModemManager keeps off it.\n"
           "# Save as /etc/udev/rules.d/70-vandrel-" +
           v + "-" + p +
           ".rules, then run: sudo udevadm control --reload && sudo udevadm trigger\n"
           "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" +
           v + "\", ATTR{idProduct}==\"" + p + "\", TAG+=\"uaccess\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
}
