#include "quillet/UsbDevices.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size() ||
            std::tolower(static_cast<unsigned char>(text[i])) != static_cast<unsigned char>(prefix[i])) {
            return false;
        }
    }
    return true;
}

// Digits of the given base only, at least one, at most maxDigits; the value at most max.
bool ParseNumber(const std::string& text, int base, size_t maxDigits, long max, long& value) {
    if (text.empty() || text.size() > maxDigits) {
        return false;
    }
    value = 0;
    for (char c : text) {
        const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : base == 16 && std::isxdigit(static_cast<unsigned char>(c))
                          ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                          : -1;
        if (d < 0) {
            return false;
        }
        value = value * base + d;
    }
    return value <= max;
}

// "B-P.P.P": bus 1..255, one to seven ports 1..255.
bool ParsePortPath(const std::string& text, int& bus, std::vector<int>& ports) {
    const size_t dash = text.find('-');
    long value = 0;
    if (dash == std::string::npos || !ParseNumber(text.substr(0, dash), 10, 3, 255, value) || value < 1) {
        return false;
    }
    bus = static_cast<int>(value);
    ports.clear();
    size_t start = dash + 1;
    for (;;) {
        const size_t dot = text.find('.', start);
        const std::string part =
            text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (!ParseNumber(part, 10, 3, 255, value) || value < 1 || ports.size() == 7) {
            return false;
        }
        ports.push_back(static_cast<int>(value));
        if (dot == std::string::npos) {
            return true;
        }
        start = dot + 1;
    }
}

bool ParseIds(const std::string& text, uint16_t& vendor, uint16_t& product) {
    const size_t colon = text.find(':');
    long v = 0;
    long p = 0;
    if (colon == std::string::npos || !ParseNumber(text.substr(0, colon), 16, 4, 0xFFFF, v) ||
        !ParseNumber(text.substr(colon + 1), 16, 4, 0xFFFF, p)) {
        return false;
    }
    vendor = static_cast<uint16_t>(v);
    product = static_cast<uint16_t>(p);
    return true;
}

std::string Hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

} // namespace

bool QuilletIsUsbDeviceText(const std::string& text) {
    return StartsWithNoCase(text, "usb:");
}

bool QuilletParseUsbDeviceText(const std::string& text, TS_USB_DEVICE_TEXT& device, std::string& error) {
    device = TS_USB_DEVICE_TEXT{};
    bool ok = QuilletIsUsbDeviceText(text);
    std::string rest = ok ? text.substr(4) : std::string();
    if (const size_t hash = rest.find('#'); ok && hash != std::string::npos) {
        long value = 0;
        ok = ParseNumber(rest.substr(hash + 1), 10, 3, 255, value);
        device.Interface = static_cast<int>(value);
        rest.erase(hash);
    }
    if (ok) {
        const size_t at = rest.find('@');
        if (at != std::string::npos) {
            ok = ParseIds(rest.substr(0, at), device.Vendor, device.Product) &&
                 ParsePortPath(rest.substr(at + 1), device.Bus, device.Ports);
            device.HasIds = true;
        } else if (rest.find(':') != std::string::npos) {
            ok = ParseIds(rest, device.Vendor, device.Product);
            device.HasIds = true;
        } else {
            ok = ParsePortPath(rest, device.Bus, device.Ports);
        }
    }
    if (!ok) {
        device = TS_USB_DEVICE_TEXT{};
        error = "'" + text +
                "' is not a USB device: give usb:VVVV:PPPP, usb:VVVV:PPPP@BUS-PORT or usb:BUS-PORT "
                "(hexadecimal ids, e.g. usb:1234:5678@1-2.3), optionally followed by #INTERFACE";
        return false;
    }
    return true;
}

std::string QuilletUsbPortPath(int bus, const std::vector<int>& ports) {
    std::string text = std::to_string(bus);
    for (size_t i = 0; i < ports.size(); ++i) {
        text += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    }
    return text;
}

std::string QuilletUsbDeviceText(const TS_USB_DEVICE_INFO& device) {
    TS_USB_DEVICE_TEXT text;
    text.HasIds = true;
    text.Vendor = device.Vendor;
    text.Product = device.Product;
    text.Bus = device.Bus;
    text.Ports = device.Ports;
    return "usb:" + QuilletUsbDeviceLabel(text);
}

std::string QuilletUsbDeviceLabel(const TS_USB_DEVICE_TEXT& device) {
    std::string text;
    if (device.HasIds) {
        text = Hex4(device.Vendor) + ":" + Hex4(device.Product);
    }
    if (device.Bus >= 0) {
        text += (text.empty() ? "" : "@") + QuilletUsbPortPath(device.Bus, device.Ports);
    }
    return text;
}
