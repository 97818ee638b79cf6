#include "quillet/UsbDeviceWatcher.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "UsbBulkDevice.h"

namespace {

// Bus and address of every device: what changes when one arrives or leaves.
std::vector<std::pair<int, int>> Signature(libusb_context* ctx) {
    std::vector<std::pair<int, int>> out;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < count; ++i) {
        out.emplace_back(libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]));
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

struct CUsbDeviceWatcher::SImpl {
    libusb_context* ctx = nullptr;
    bool hotplug = false;
    libusb_hotplug_callback_handle callback = 0;
    std::thread thread;
    std::atomic<bool> stop{false};

    mutable std::mutex mutex; // changes, cancels; the scan's sleep
    std::condition_variable changed;
    uint64_t changes = 0;
    uint64_t cancels = 0;

    std::mutex listenerMutex; // held while the listener runs
    std::function<void()> listener;

    void Changed() {
        {
            std::lock_guard lock(mutex);
            ++changes;
        }
        changed.notify_all();
        std::lock_guard lock(listenerMutex);
        if (listener) {
            listener();
        }
    }

    static int OnHotplug(libusb_context*, libusb_device*, libusb_hotplug_event, void* user) {
        static_cast<SImpl*>(user)->Changed();
        return 0; // stay registered
    }

    void RunHotplug() {
        while (!stop.load(std::memory_order_acquire)) {
            timeval tv{0, 500 * 1000}; // a stop also interrupts the event handler at once
            libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        }
    }

    // What the scan saw last: taken before the constructor returns, so that a device that comes
    // right after it is a change and not the starting point.
    std::vector<std::pair<int, int>> last;

    void RunScan() {
        std::unique_lock lock(mutex);
        while (!stop.load(std::memory_order_acquire)) {
            changed.wait_for(lock, std::chrono::milliseconds(kScanMs),
                             [this] { return stop.load(std::memory_order_acquire); });
            if (stop.load(std::memory_order_acquire)) {
                return;
            }
            lock.unlock();
            std::vector<std::pair<int, int>> now = Signature(ctx);
            if (now != last) {
                last = std::move(now);
                Changed();
            }
            lock.lock();
        }
    }
};

CUsbDeviceWatcher::CUsbDeviceWatcher(TE_USB_WATCH_MODE mode) : m_Impl(std::make_unique<SImpl>()) {
    SImpl& impl = *m_Impl;
    if (libusb_init(&impl.ctx) != 0) {
        impl.ctx = nullptr;
        return;
    }
    if (mode == USB_WATCH_AUTO && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0) {
        const auto events = static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
        impl.hotplug = libusb_hotplug_register_callback(impl.ctx, events, LIBUSB_HOTPLUG_NO_FLAGS,
                                                        LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                                        LIBUSB_HOTPLUG_MATCH_ANY, &SImpl::OnHotplug, &impl,
                                                        &impl.callback) == LIBUSB_SUCCESS;
    }
    if (!impl.hotplug) {
        impl.last = Signature(impl.ctx);
    }
    try {
        impl.thread = std::thread([&impl] {
            if (impl.hotplug) {
                impl.RunHotplug();
            } else {
                impl.RunScan();
            }
        });
    } catch (const std::system_error&) {
        if (impl.hotplug) {
            libusb_hotplug_deregister_callback(impl.ctx, impl.callback);
        }
        libusb_exit(impl.ctx);
        impl.ctx = nullptr;
        impl.hotplug = false;
    }
}

CUsbDeviceWatcher::~CUsbDeviceWatcher() {
    SImpl& impl = *m_Impl;
    if (impl.ctx == nullptr) {
        return;
    }
    {
        std::lock_guard lock(impl.mutex);
        impl.stop.store(true, std::memory_order_release);
    }
    impl.changed.notify_all();
    if (impl.hotplug) {
        libusb_interrupt_event_handler(impl.ctx);
    }
    impl.thread.join();
    if (impl.hotplug) {
        libusb_hotplug_deregister_callback(impl.ctx, impl.callback);
    }
    libusb_exit(impl.ctx);
}

bool CUsbDeviceWatcher::IsWatching() const {
    return m_Impl->ctx != nullptr;
}

bool CUsbDeviceWatcher::UsesHotplug() const {
    return m_Impl->hotplug;
}

uint64_t CUsbDeviceWatcher::Changes() const {
    std::lock_guard lock(m_Impl->mutex);
    return m_Impl->changes;
}

bool CUsbDeviceWatcher::WaitForChange(uint64_t& seen, int timeoutMs) {
    SImpl& impl = *m_Impl;
    std::unique_lock lock(impl.mutex);
    const uint64_t cancels = impl.cancels;
    auto ready = [&] { return impl.changes != seen || impl.cancels != cancels; };
    if (timeoutMs < 0) {
        impl.changed.wait(lock, ready);
    } else {
        impl.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (impl.changes == seen) {
        return false;
    }
    seen = impl.changes;
    return true;
}

void CUsbDeviceWatcher::Cancel() {
    {
        std::lock_guard lock(m_Impl->mutex);
        ++m_Impl->cancels;
    }
    m_Impl->changed.notify_all();
}

void CUsbDeviceWatcher::SetListener(std::function<void()> listener) {
    std::lock_guard lock(m_Impl->listenerMutex);
    m_Impl->listener = std::move(listener);
}

std::vector<TS_USB_DEVICE_INFO> CUsbDeviceWatcher::Devices() const {
    if (m_Impl->ctx == nullptr) {
        return {};
    }
    return quillet::ListUsbDevicesOn(m_Impl->ctx);
}

bool CUsbDeviceWatcher::IsPresent(const std::string& text) const {
    TS_USB_DEVICE_TEXT device;
    std::string error;
    if (m_Impl->ctx == nullptr || !QuilletParseUsbDeviceText(text, device, error)) {
        return false;
    }
    const auto all = Devices();
    return std::any_of(all.begin(), all.end(), [&](const TS_USB_DEVICE_INFO& info) {
        return quillet::UsbDeviceMatches(device, info);
    });
}
