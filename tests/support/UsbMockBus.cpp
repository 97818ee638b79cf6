#include "UsbMockBus.h"

#include <linux/capability.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <umockdev.h>
#include <unistd.h>

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
#include <thread>

#include "vsim/UsbBulkServer.h"

namespace testsupport {

namespace {

struct SUrb {
    UMockdevIoctlClient* client = nullptr; // the open descriptor it came from
    UMockdevIoctlData* data = nullptr;     // resolved usbdevfs_urb, one reference held
    std::vector<uint8_t> staged{};         // bulk IN: the packets taken so far
    int accepted = 0;                      // bulk OUT cut short: the bytes that went out
};

usbdevfs_urb* UrbOf(UMockdevIoctlData* data) {
    return reinterpret_cast<usbdevfs_urb*>(data->data);
}

constexpr int kIn = 0; // index of the halt state: IN 0x81, OUT 0x02
constexpr int kOut = 1;

// Device and configuration descriptors: one vendor interface with bulk IN 0x81 and bulk OUT
// 0x02 (or an interrupt IN instead of the bulk IN), packets of the device's size.
std::string Descriptors(const TS_MOCK_DEVICE& d) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%02x%02x%02x%02x", d.vendor & 0xFF, d.vendor >> 8, d.product & 0xFF,
                  d.product >> 8);
    char size[8];
    std::snprintf(size, sizeof size, "%02x%02x", d.packetSize & 0xFF, (d.packetSize >> 8) & 0xFF);
    return std::string("1201000200000040") + ids + "0001010203010902200001010080320904000002FF000000" +
           (d.bulkPair ? std::string("07058102") + size + "00" : std::string("0705810340000a")) + "07050202" +
           size + "00";
}

int EndpointIndex(unsigned endpoint) {
    return (endpoint & 0x80) != 0 ? kIn : kOut;
}

std::vector<uint8_t> DefaultGreeting() {
    const char text[] = "R3700 handset ready";
    return std::vector<uint8_t>(text, text + sizeof text - 1);
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
    std::deque<SUrb> pendingOut; // cut short, waiting for their cancel
    std::deque<SUrb> done;
    std::deque<std::vector<uint8_t>> packets; // for bulk IN URBs, in order; empty: a ZLP
    bool unplugged = false;
    bool removed = false;
    bool busy = false;
    bool silent = false;
    bool driverBound = false;
    bool halted[2] = {};
    int haltsAgain[2] = {};
    size_t overlong = 0;           // the next reply is made this long
    uint32_t partialOut = 0;       // the next OUT delivers this many bytes
    std::vector<uint8_t> fragment; // what a cut-short OUT left in the handset
    TS_MOCK_STATS stats;

    // The plug-in: a fresh handset connection, its greeting waiting for the first IN transfer.
    void PlugInLocked() {
        unplugged = false;
        packets.clear();
        fragment.clear();
        server->Connect();
        if (desc.greets) {
            PacketizeLocked(desc.greeting.empty() ? DefaultGreeting() : desc.greeting);
        }
    }
    void PacketizeLocked(std::vector<uint8_t> message) {
        if (overlong > message.size()) {
            message.resize(overlong, 0xEE);
            overlong = 0;
        }
        const size_t size = static_cast<size_t>(desc.packetSize);
        for (size_t at = 0; at < message.size(); at += size) {
            packets.emplace_back(message.begin() + static_cast<std::ptrdiff_t>(at),
                                 message.begin() +
                                     static_cast<std::ptrdiff_t>(std::min(at + size, message.size())));
        }
        if (desc.zlpAlways || (desc.zlp && message.size() % size == 0)) {
            packets.emplace_back();
        }
    }
};

struct CUsbMockBus::SImpl {
    UMockdevTestbed* testbed = nullptr;
    std::vector<std::unique_ptr<SMockDevice>> devices;
    std::mutex timerMutex;
    std::condition_variable timerWake;
    bool stopping = false;
    std::vector<std::thread> timers;
};

namespace {

void Complete(UMockdevIoctlClient* client, int error) {
    umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
}

// Copies the staged bytes into the client's buffer and moves the URB to the finished ones.
void FinishInLocked(SMockDevice& dev, int status) {
    SUrb urb = std::move(dev.pendingIn.front());
    dev.pendingIn.pop_front();
    usbdevfs_urb* u = UrbOf(urb.data);
    if (!urb.staged.empty()) {
        UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
            urb.data, G_STRUCT_OFFSET(usbdevfs_urb, buffer), static_cast<gsize>(u->buffer_length), nullptr);
        std::memcpy(buffer->data, urb.staged.data(), urb.staged.size());
        umockdev_ioctl_data_unref(buffer);
    }
    u->status = status;
    u->actual_length = static_cast<int>(urb.staged.size());
    urb.staged.clear();
    dev.done.push_back(std::move(urb));
}

// Hands the handset's packets to waiting bulk IN URBs as a host controller does: a URB ends at a
// short packet or when its buffer is full; a packet that does not fit ends it with EOVERFLOW.
// With the device gone, ends them all.
void FillLocked(SMockDevice& dev) {
    while (!dev.pendingIn.empty()) {
        SUrb& urb = dev.pendingIn.front();
        usbdevfs_urb* u = UrbOf(urb.data);
        if (dev.unplugged) {
            FinishInLocked(dev, -ENODEV);
            continue;
        }
        if (dev.halted[kIn]) {
            FinishInLocked(dev, -EPIPE);
            continue;
        }
        if (dev.silent) {
            return;
        }
        int status = 1; // still waiting
        while (status == 1) {
            if (dev.packets.empty()) {
                std::vector<uint8_t> reply;
                if (!dev.server->TakeReply(reply)) {
                    return; // the URB waits for the next reply
                }
                dev.PacketizeLocked(std::move(reply));
                continue;
            }
            std::vector<uint8_t> packet = std::move(dev.packets.front());
            dev.packets.pop_front();
            const size_t room = static_cast<size_t>(u->buffer_length) - urb.staged.size();
            if (packet.empty()) {
                ++dev.stats.zeroLengthPackets;
            }
            if (packet.size() > room) {
                urb.staged.insert(urb.staged.end(), packet.begin(),
                                  packet.begin() + static_cast<std::ptrdiff_t>(room));
                status = -EOVERFLOW;
                break;
            }
            urb.staged.insert(urb.staged.end(), packet.begin(), packet.end());
            if (packet.size() < static_cast<size_t>(dev.desc.packetSize) ||
                urb.staged.size() == static_cast<size_t>(u->buffer_length)) {
                status = 0;
            }
        }
        FinishInLocked(dev, status);
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
        if (dev.unplugged) {
            dev.PlugInLocked(); // a handset that hung up is back: plugged in again
        }
        Complete(client, 0);
        return TRUE;
    }
    case USBDEVFS_RELEASEINTERFACE:
        ++dev.stats.releases;
        Complete(client, 0);
        return TRUE;
    case USBDEVFS_CLEAR_HALT: {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
        const int index = EndpointIndex(*reinterpret_cast<unsigned*>(d->data));
        umockdev_ioctl_data_unref(d);
        ++dev.stats.clearHalts;
        if (dev.haltsAgain[index] > 0 && dev.halted[index]) {
            --dev.haltsAgain[index];
        } else {
            dev.halted[index] = false;
        }
        Complete(client, 0);
        return TRUE;
    }
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
        } else if (dev.halted[kOut]) {
            u->status = -EPIPE;
            u->actual_length = 0;
            dev.done.push_back({client, urbData});
        } else {
            UMockdevIoctlData* buffer =
                umockdev_ioctl_data_resolve(urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                            static_cast<gsize>(u->buffer_length), nullptr);
            const auto* bytes = static_cast<const uint8_t*>(static_cast<const void*>(buffer->data));
            const auto length = static_cast<uint32_t>(u->buffer_length);
            dev.stats.outLengths.push_back(length);
            if (dev.partialOut > 0 && dev.partialOut < length) {
                // The handset keeps what came and waits for the rest.
                dev.fragment.insert(dev.fragment.end(), bytes, bytes + dev.partialOut);
                dev.pendingOut.push_back({client, urbData, {}, static_cast<int>(dev.partialOut)});
                dev.partialOut = 0;
            } else {
                // A fragment left in the handset takes these bytes as its rest.
                std::vector<uint8_t> packet = std::move(dev.fragment);
                dev.fragment.clear();
                packet.insert(packet.end(), bytes, bytes + length);
                dev.server->HostSent(packet.data(), packet.size());
                u->status = 0;
                u->actual_length = u->buffer_length;
                dev.done.push_back({client, urbData});
            }
            umockdev_ioctl_data_unref(buffer);
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
        auto match = [&](const SUrb& u) { return u.client == client && u.data->client_addr == address; };
        if (auto out = std::find_if(dev.pendingOut.begin(), dev.pendingOut.end(), match);
            out != dev.pendingOut.end()) {
            UrbOf(out->data)->status = -ENOENT;
            UrbOf(out->data)->actual_length = out->accepted;
            dev.done.push_back(std::move(*out));
            dev.pendingOut.erase(out);
            Complete(client, 0);
            return TRUE;
        }
        auto it = std::find_if(dev.pendingIn.begin(), dev.pendingIn.end(), match);
        if (it == dev.pendingIn.end()) {
            Complete(client, EINVAL);
            return TRUE;
        }
        std::rotate(dev.pendingIn.begin(), it, it + 1); // to the front, for FinishInLocked
        FinishInLocked(dev, -ENOENT);
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
    for (auto* queue : {&dev.pendingIn, &dev.pendingOut, &dev.done}) {
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
    {
        std::lock_guard lock(m_Impl->timerMutex);
        m_Impl->stopping = true;
    }
    m_Impl->timerWake.notify_all();
    for (std::thread& timer : m_Impl->timers) {
        timer.join();
    }
    for (auto& dev : m_Impl->devices) {
        if (!dev->removed) {
            umockdev_testbed_detach_ioctl(m_Impl->testbed, dev->node.c_str(), nullptr);
        }
    }
    for (auto& dev : m_Impl->devices) {
        for (auto* queue : {&dev->pendingIn, &dev->pendingOut, &dev->done}) {
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
    served.usbGreeting = false; // the bus sends the greeting, once per plug-in
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
                  "A: speed=%d\n"
                  "A: bConfigurationValue=1\n"
                  "A: bNumConfigurations=1\n"
                  "A: devpath=%d\n"
                  "H: descriptors=%s\n",
                  device.port, device.port, device.port, device.vendor, device.product, device.port,
                  device.port, device.vendor, device.product, device.packetSize >= 512 ? 480 : 12,
                  device.port, Descriptors(device).c_str());
    if (!umockdev_testbed_add_from_string(m_Impl->testbed, description, &error)) {
        const std::string why = error != nullptr ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("umockdev cannot add the device: " + why);
    }
    dev->sysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(device.port);
    {
        std::lock_guard lock(dev->mutex);
        dev->PlugInLocked();
    }
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
    // Removing the device from sysfs sends no uevent of its own: libusb's hot-plug sees this one.
    umockdev_testbed_uevent(m_Impl->testbed, dev.sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(m_Impl->testbed, dev.sysPath.c_str());
}

void CUsbMockBus::Stall(int device, uint8_t endpoint, int times) {
    SMockDevice& dev = *m_Impl->devices.at(static_cast<size_t>(device));
    std::lock_guard lock(dev.mutex);
    const int index = EndpointIndex(endpoint);
    dev.halted[index] = true;
    dev.haltsAgain[index] = std::max(0, times - 1);
    for (SUrb& urb : dev.pendingOut) {
        UrbOf(urb.data)->status = -EPIPE;
        UrbOf(urb.data)->actual_length = urb.accepted;
        dev.done.push_back(std::move(urb));
    }
    if (index == kOut) {
        dev.pendingOut.clear();
    }
    dev.wake.notify_all();
}

void CUsbMockBus::OverlongReply(int device, size_t length) {
    SMockDevice& dev = *m_Impl->devices.at(static_cast<size_t>(device));
    std::lock_guard lock(dev.mutex);
    dev.overlong = length;
}

void CUsbMockBus::PartialOut(int device, uint32_t accepted) {
    SMockDevice& dev = *m_Impl->devices.at(static_cast<size_t>(device));
    std::lock_guard lock(dev.mutex);
    dev.partialOut = accepted;
}

void CUsbMockBus::DenyAccess(int device, std::chrono::milliseconds span) {
    const char* root = std::getenv("UMOCKDEV_DIR");
    if (root == nullptr) {
        return;
    }
    const std::string node = root + m_Impl->devices.at(static_cast<size_t>(device))->node;
    ::chmod(node.c_str(), 0);
    if (span.count() < 0) {
        return;
    }
    const auto until = std::chrono::steady_clock::now() + span;
    m_Impl->timers.emplace_back([impl = m_Impl.get(), node, until] {
        std::unique_lock lock(impl->timerMutex);
        impl->timerWake.wait_until(lock, until, [impl] { return impl->stopping; });
        ::chmod(node.c_str(), 0666); // udev's rule has arrived
    });
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

CUnprivileged::CUnprivileged() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) {
        return;
    }
    m_Saved[0] = data[0].effective;
    m_Saved[1] = data[1].effective;
    data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    m_Dropped = ::syscall(SYS_capset, &header, data) == 0;
}

CUnprivileged::~CUnprivileged() {
    if (!m_Dropped) {
        return;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) == 0) {
        data[0].effective = m_Saved[0];
        data[1].effective = m_Saved[1];
        ::syscall(SYS_capset, &header, data);
    }
}

} // namespace testsupport

// umockdev and GLib synchronise with futexes that ThreadSanitizer does not see; their own races
// are not ours to report. Only stacks that pass through them are left out.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libumockdev.so\n"
           "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libgio-2.0.so\n"
           // libudev keeps a random seed of its own; libusb's event thread and the unplug's uevent
           // both reach it
           "race:libudev.so\n"
           "called_from_lib:libumockdev.so\n"
           "called_from_lib:libglib-2.0.so\n";
}
