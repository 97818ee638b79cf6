#include "UsbMockBus.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

#include "vsim/UsbBulkServer.h"

namespace testsupport {

namespace {

struct SUrb {
    UMockdevIoctlClient* client = nullptr; // the open descriptor it came from
    UMockdevIoctlData* data = nullptr;     // resolved usbdevfs_urb, one reference held
};

usbdevfs_urb* UrbOf(UMockdevIoctlData* data) {
    return reinterpret_cast<usbdevfs_urb*>(data->data);
}

// Device and configuration descriptors: one vendor interface with bulk IN 0x81 and bulk OUT
// 0x02 (or an interrupt IN instead of the bulk IN), 64-byte packets, full speed.
std::string Descriptors(const TS_MOCK_DEVICE& d) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%02x%02x%02x%02x", d.vendor & 0xFF, d.vendor >> 8, d.product & 0xFF,
                  d.product >> 8);
    return std::string("1201000200000040") + ids + "0001010203010902200001010080320904000002FF000000" +
           (d.bulkPair ? "0705810240000007050202400000" : "0705810340000a07050202400000");
}

} // namespace

struct SMockDevice {
    int number = 0;
    TS_MOCK_DEVICE desc;
    std::string sysPath;
    std::string node;
    std::unique_ptr<vsim::CUsbBulkServer> server;
    UMockdevIoctlBase* handler = nullptr;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<SUrb> pendingIn;
    std::deque<SUrb> done;
    bool unplugged = false;
    bool removed = false;
    bool busy = false;
    bool silent = false;
    bool driverBound = false;
    std::vector<uint8_t> first; // the greeting still to hand out, when the device has its own
    TS_MOCK_STATS stats;
};

struct CUsbMockBus::SImpl {
    UMockdevTestbed* testbed = nullptr;
    std::vector<std::unique_ptr<SMockDevice>> devices;
};

namespace {

void Complete(UMockdevIoctlClient* client, int error) {
    umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
}

// Hands replies to waiting bulk IN URBs of this client; with the device gone, ends them all.
void FillLocked(SMockDevice& dev) {
    while (!dev.pendingIn.empty()) {
        SUrb urb = dev.pendingIn.front();
        usbdevfs_urb* u = UrbOf(urb.data);
        if (dev.unplugged) {
            u->status = -ENODEV;
            u->actual_length = 0;
        } else {
            std::vector<uint8_t> reply;
            if (!dev.first.empty()) {
                reply.swap(dev.first);
            } else if (dev.silent || !dev.server->TakeReply(reply)) {
                return;
            }
            UMockdevIoctlData* buffer =
                umockdev_ioctl_data_resolve(urb.data, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                            static_cast<gsize>(u->buffer_length), nullptr);
            const size_t n = std::min(reply.size(), static_cast<size_t>(u->buffer_length));
            std::memcpy(buffer->data, reply.data(), n);
            umockdev_ioctl_data_unref(buffer);
            u->status = 0;
            u->actual_length = static_cast<int>(n);
        }
        dev.pendingIn.pop_front();
        dev.done.push_back(urb);
    }
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto& dev = *static_cast<SMockDevice*>(user);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::unique_lock lock(dev.mutex);
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        *reinterpret_cast<guint32*>(d->data) = USBDEVFS_CAP_BULK_CONTINUATION |
                                               USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                               USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        umockdev_ioctl_data_unref(d);
        Complete(client, 0);
        return TRUE;
    }
    case USBDEVFS_GETDRIVER: {
        if (!dev.driverBound) {
            Complete(client, ENODATA);
            return TRUE;
        }
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
        std::strcpy(reinterpret_cast<usbdevfs_getdriver*>(d->data)->driver, "vandrel-test");
        umockdev_ioctl_data_unref(d);
        Complete(client, 0);
        return TRUE;
    }
    case USBDEVFS_IOCTL: {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
        const int code = reinterpret_cast<usbdevfs_ioctl*>(d->data)->ioctl_code;
        umockdev_ioctl_data_unref(d);
        if (code == static_cast<int>(USBDEVFS_DISCONNECT) && dev.driverBound) {
            dev.driverBound = false;
            ++dev.stats.detaches;
            Complete(client, 0);
        } else if (code == static_cast<int>(USBDEVFS_CONNECT) && !dev.driverBound && dev.desc.kernelDriver) {
            dev.driverBound = true;
            ++dev.stats.attaches;
            Complete(client, 0);
        } else {
            Complete(client, ENODATA);
        }
        return TRUE;
    }
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_CLAIMINTERFACE: {
        if (dev.busy || dev.removed) {
            Complete(client, dev.removed ? ENODEV : EBUSY);
            return TRUE;
        }
        if (request == USBDEVFS_DISCONNECT_CLAIM && dev.driverBound) {
            dev.driverBound = false;
            ++dev.stats.detaches;
        } else if (request == USBDEVFS_CLAIMINTERFACE && dev.driverBound) {
            Complete(client, EBUSY);
            return TRUE;
        }
        ++dev.stats.claims;
        dev.unplugged = false;
        dev.first = dev.desc.greeting;
        dev.server->Connect();
        Complete(client, 0);
        return TRUE;
    }
    case USBDEVFS_RELEASEINTERFACE:
        ++dev.stats.releases;
        Complete(client, 0);
        return TRUE;
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
        Complete(client, 0);
        return TRUE;
    case USBDEVFS_SUBMITURB: {
        if (dev.unplugged) {
            Complete(client, ENODEV);
            return TRUE;
        }
        UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        usbdevfs_urb* u = UrbOf(urbData);
        if (u->type != USBDEVFS_URB_TYPE_BULK) {
            umockdev_ioctl_data_unref(urbData);
            Complete(client, EINVAL);
            return TRUE;
        }
        if ((u->endpoint & 0x80) != 0) {
            dev.pendingIn.push_back({client, urbData});
            ++dev.stats.inFlight;
        } else {
            UMockdevIoctlData* buffer =
                umockdev_ioctl_data_resolve(urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                            static_cast<gsize>(u->buffer_length), nullptr);
            dev.stats.outLengths.push_back(static_cast<uint32_t>(u->buffer_length));
            dev.server->HostSent(buffer->data, static_cast<size_t>(u->buffer_length));
            umockdev_ioctl_data_unref(buffer);
            u->status = 0;
            u->actual_length = u->buffer_length;
            dev.done.push_back({client, urbData});
        }
        Complete(client, 0);
        return TRUE;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        FillLocked(dev);
        auto mine = [&] {
            return std::find_if(dev.done.begin(), dev.done.end(),
                                [&](const SUrb& u) { return u.client == client; });
        };
        if (mine() == dev.done.end() && !dev.unplugged) {
            // Nothing yet: wait a little for a reply, so that libusb's reaping does not spin.
            dev.wake.wait_for(lock, std::chrono::microseconds(200));
            FillLocked(dev);
        }
        auto it = mine();
        if (it == dev.done.end()) {
            Complete(client, dev.unplugged ? ENODEV : EAGAIN);
            return TRUE;
        }
        SUrb urb = *it;
        dev.done.erase(it);
        if ((UrbOf(urb.data)->endpoint & 0x80) != 0) {
            --dev.stats.inFlight;
        }
        UMockdevIoctlData* out = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
        umockdev_ioctl_data_set_ptr(out, 0, urb.data);
        umockdev_ioctl_data_unref(out);
        umockdev_ioctl_data_unref(urb.data);
        Complete(client, 0);
        return TRUE;
    }
    case USBDEVFS_DISCARDURB: {
        const gulong address = *reinterpret_cast<gulong*>(arg->data);
        auto it = std::find_if(dev.pendingIn.begin(), dev.pendingIn.end(), [&](const SUrb& u) {
            return u.client == client && u.data->client_addr == address;
        });
        if (it == dev.pendingIn.end()) {
            Complete(client, EINVAL);
            return TRUE;
        }
        UrbOf(it->data)->status = -ENOENT;
        UrbOf(it->data)->actual_length = 0;
        dev.done.push_back(*it);
        dev.pendingIn.erase(it);
        Complete(client, 0);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

void OnClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    auto& dev = *static_cast<SMockDevice*>(user);
    std::lock_guard lock(dev.mutex);
    for (auto* queue : {&dev.pendingIn, &dev.done}) {
        for (auto it = queue->begin(); it != queue->end();) {
            if (it->client == client) {
                if (queue == &dev.pendingIn) {
                    --dev.stats.inFlight;
                }
                umockdev_ioctl_data_unref(it->data);
                it = queue->erase(it);
            } else {
                ++it;
            }
        }
    }
}

} // namespace

bool CUsbMockBus::Available() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "umockdev") != nullptr;
}

CUsbMockBus::CUsbMockBus() : m_Impl(std::make_unique<SImpl>()) {
    if (!Available()) {
        throw std::runtime_error(
            "the USB bus emulation needs umockdev's preload: run under umockdev-wrapper");
    }
    m_Impl->testbed = umockdev_testbed_new();
}

CUsbMockBus::~CUsbMockBus() {
    for (auto& dev : m_Impl->devices) {
        if (!dev->removed) {
            umockdev_testbed_detach_ioctl(m_Impl->testbed, dev->node.c_str(), nullptr);
        }
    }
    for (auto& dev : m_Impl->devices) {
        for (auto* queue : {&dev->pendingIn, &dev->done}) {
            for (SUrb& urb : *queue) {
                umockdev_ioctl_data_unref(urb.data);
            }
        }
        g_object_unref(dev->handler);
        dev->server.reset();
    }
    g_object_unref(m_Impl->testbed);
}

int CUsbMockBus::AddHandset(vsim::CVirtualHandset& handset, const vsim::SSimulatorOptions& options,
                            const TS_MOCK_DEVICE& device) {
    auto dev = std::make_unique<SMockDevice>();
    dev->number = static_cast<int>(m_Impl->devices.size());
    dev->desc = device;
    dev->driverBound = device.kernelDriver;
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", device.port);
    dev->node = node;
    vsim::SSimulatorOptions served = options;
    if (!device.greeting.empty()) {
        served.usbGreeting = false; // the device's own greeting stands in for the handset's
    }
    dev->server = std::make_unique<vsim::CUsbBulkServer>(handset, served);
    SMockDevice* raw = dev.get();
    dev->server->SetListener([raw] {
        std::lock_guard lock(raw->mutex);
        if (raw->server->HungUp()) {
            raw->unplugged = true; // a handset that hangs up is gone for the host
        }
        raw->wake.notify_all();
    });
    dev->handler = umockdev_ioctl_base_new();
    g_signal_connect(dev->handler, "handle-ioctl", G_CALLBACK(OnIoctl), raw);
    g_signal_connect(dev->handler, "client-vanished", G_CALLBACK(OnClientVanished), raw);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(m_Impl->testbed, node, dev->handler, &error)) {
        const std::string why = error != nullptr ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("umockdev cannot attach the ioctl handler: " + why);
    }
    char description[2048];
    std::snprintf(description, sizeof description,
                  "P: /devices/pci0000:00/0000:00:14.0/usb1/1-%d\n"
                  "N: bus/usb/001/%03d\n"
                  "E: DEVNAME=/dev/bus/usb/001/%03d\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DRIVER=usb\n"
                  "E: PRODUCT=%x/%x/100\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: BUSNUM=001\n"
                  "E: DEVNUM=%03d\n"
                  "A: busnum=1\n"
                  "A: devnum=%d\n"
                  "A: idVendor=%04x\n"
                  "A: idProduct=%04x\n"
                  "A: manufacturer=Vandrel test bench\n"
                  "A: product=R3700 virtual handset\n"
                  "A: speed=12\n"
                  "A: bConfigurationValue=1\n"
                  "A: bNumConfigurations=1\n"
                  "A: devpath=%d\n"
                  "H: descriptors=%s\n",
                  device.port, device.port, device.port, device.vendor, device.product, device.port,
                  device.port, device.vendor, device.product, device.port, Descriptors(device).c_str());
    if (!umockdev_testbed_add_from_string(m_Impl->testbed, description, &error)) {
        const std::string why = error != nullptr ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("umockdev cannot add the device: " + why);
    }
    dev->sysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(device.port);
    m_Impl->devices.push_back(std::move(dev));
    return m_Impl->devices.back()->number;
}

void CUsbMockBus::Unplug(int device) {
    SMockDevice& dev = *m_Impl->devices.at(static_cast<size_t>(device));
    {
        std::lock_guard lock(dev.mutex);
        dev.unplugged = true;
        dev.removed = true;
        dev.wake.notify_all();
    }
    umockdev_testbed_remove_device(m_Impl->testbed, dev.sysPath.c_str());
}

void CUsbMockBus::SetClaimBusy(int device, bool busy) {
    SMockDevice& dev = *m_Impl->devices.at(static_cast<size_t>(device));
    std::lock_guard lock(dev.mutex);
    dev.busy = busy;
}

void CUsbMockBus::SetSilent(int device, bool silent) {
    SMockDevice& dev = *m_Impl->devices.at(static_cast<size_t>(device));
    std::lock_guard lock(dev.mutex);
    dev.silent = silent;
    dev.wake.notify_all();
}

TS_MOCK_STATS CUsbMockBus::Stats(int device) const {
    SMockDevice& dev = *m_Impl->devices.at(static_cast<size_t>(device));
    std::lock_guard lock(dev.mutex);
    return dev.stats;
}

std::string CUsbMockBus::Node(int device) const {
    return m_Impl->devices.at(static_cast<size_t>(device))->node;
}

std::vector<std::string> CUsbMockBus::ChildEnvironment() const {
    std::vector<std::string> env;
    for (const char* name : {"LD_PRELOAD", "UMOCKDEV_DIR"}) {
        if (const char* value = std::getenv(name)) {
            env.push_back(std::string(name) + "=" + value);
        }
    }
    return env;
}

} // namespace testsupport

// umockdev and GLib synchronise with futexes that ThreadSanitizer does not see; their own races
// are not ours to report. Only stacks that pass through them are left out.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libumockdev.so\n"
           "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libgio-2.0.so\n"
           "called_from_lib:libumockdev.so\n"
           "called_from_lib:libglib-2.0.so\n";
}
