// CUsbDeviceWatcher: hears USB devices arrive and leave, for whoever waits for a handset to be
// plugged in (the connect dialog, the production station's watch).
//
// Where libusb reports hot-plug support, arrivals and removals come from its hot-plug events;
// elsewhere the watcher looks at the bus every kScanMs. Either way it keeps one libusb context
// for its whole life, so a look costs a listing, not a start of libusb.
//
//   CUsbDeviceWatcher watcher;
//   uint64_t seen = watcher.Changes();
//   while (!watcher.IsPresent("usb:1234:5678")) {
//       watcher.WaitForChange(seen, 1000);           // or SetListener for a call at each change
//   }
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quillet/QuilletExport.h"
#include "quillet/UsbDevices.h"

enum TE_USB_WATCH_MODE {
    USB_WATCH_AUTO = 0, // hot-plug events where libusb has them, else the scan
    USB_WATCH_SCAN = 1, // the scan, always
};

class QUILLET_API CUsbDeviceWatcher {
public:
    static constexpr int kScanMs = 250;

    // Starts watching at once (a thread of the watcher's own).
    explicit CUsbDeviceWatcher(TE_USB_WATCH_MODE mode = USB_WATCH_AUTO);
    // Stops the thread; no listener call runs after it returns.
    ~CUsbDeviceWatcher();
    CUsbDeviceWatcher(const CUsbDeviceWatcher&) = delete;
    CUsbDeviceWatcher& operator=(const CUsbDeviceWatcher&) = delete;

    // False when libusb cannot start: nothing is ever present, no change ever comes.
    bool IsWatching() const;
    // Arrivals and removals come from libusb's hot-plug events (not the scan).
    bool UsesHotplug() const;

    // How many changes (a device arrived or left) were seen since the start. Thread-safe.
    uint64_t Changes() const;
    // Waits up to timeoutMs (-1: no limit) until Changes() differs from seen; then seen takes the
    // new count and the result is true. False at the time-out and at once after Cancel().
    // Thread-safe; several threads may wait.
    bool WaitForChange(uint64_t& seen, int timeoutMs);
    // Ends the waits in progress at once (later waits wait again). Thread-safe.
    void Cancel();
    // Called on the watcher's thread after each change (empty: none). Thread-safe; after it
    // returns the old listener is not called any more. The listener must not call SetListener.
    void SetListener(std::function<void()> listener);

    // The USB devices present now, as QuilletListUsbDevices lists them. Thread-safe.
    std::vector<TS_USB_DEVICE_INFO> Devices() const;
    // Whether a device that the text names is present (as QuilletUsbDevicePresent). Thread-safe.
    bool IsPresent(const std::string& text) const;

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_Impl;
};
