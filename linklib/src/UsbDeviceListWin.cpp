// The USB devices reached through libusb: none in the Windows build, which reaches the handset
// through its vendor driver's device (\\.\Csr0) instead. WinUSB cannot be tried under wine, where
// the tests run, so it is left out. Windows has no udev: no rule.
#include "quillet/UsbDevices.h"

std::vector<TS_USB_DEVICE_INFO> QuilletListUsbDevices() {
    return {};
}

bool QuilletUsbDevicePresent(const std::string&) {
    return false;
}

std::string QuilletUdevRule(const TS_USB_DEVICE_TEXT&) {
    return {};
}
