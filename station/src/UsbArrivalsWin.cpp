#include "UsbArrivals.h"

// The usb: device texts are reached through libusb, which the Windows build has not.
std::shared_ptr<void> WatchUsbArrivals(std::function<void()>) {
    return nullptr;
}
