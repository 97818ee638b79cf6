#include "UsbArrivals.h"

#include "quillet/UsbDeviceWatcher.h"

std::shared_ptr<void> WatchUsbArrivals(std::function<void()> listener) {
    try {
        auto watcher = std::make_shared<CUsbDeviceWatcher>();
        watcher->SetListener(std::move(listener));
        // the listener is taken away before the watcher goes, so no call outlives the handle
        return std::shared_ptr<void>(watcher.get(), [watcher](void*) mutable {
            watcher->SetListener(nullptr);
            watcher.reset();
        });
    } catch (...) {
        return nullptr; // no libusb: the ports look for their devices themselves
    }
}
