#include "UsbBulkDevice.h"

#include <libusb.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

#include "LinkError.h"

namespace quillet {

namespace {

// A wait for a transfer handles events in slices this long at most; Wake() ends a slice early.
constexpr int kEventSliceMs = 200;
// How long a cancelled transfer may take to come back before it is given up.
constexpr int kCancelGiveUpMs = 2000;
constexpr int kAccessRetryMs = 100;
constexpr uint32_t kErrMoreData = 234; // ERROR_MORE_DATA: a reply longer than any frame, dropped
// The longest request packet: 993 data bytes, 7 bytes of header and end, even.
constexpr int kMaxRequestData = 993;

std::string Hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

// Whether the device node appeared (or had its access changed) only a moment ago.
bool NodeIsNew(const std::string& node) {
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0) {
        return false;
    }
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - st.st_ctim.tv_sec < CUsbBulkDevice::kNewNodeSeconds;
}

uint32_t StatusCode(int status) {
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return kErrSuccess;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return kErrTimeout;
    case LIBUSB_TRANSFER_CANCELLED:
        return kErrOperationAborted;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return kErrFileNotFound;
    default: // error, stall, overflow
        return kErrIoDevice;
    }
}

std::string PermissionText(const std::string& node, const TS_USB_DEVICE_INFO& info) {
    TS_USB_DEVICE_TEXT ids;
    ids.HasIds = true;
    ids.Vendor = info.Vendor;
    ids.Product = info.Product;
    const std::string label = QuilletUsbDeviceLabel(ids);
    return "permission denied on " + node + " (USB device " + label +
           "): a udev rule is needed to give you access to it; `vandrel-cli udev-rule usb:" + label +
           "` prints one";
}

} // namespace

bool PadRuleServes(int packetSize) {
    if (packetSize <= 0) {
        return false;
    }
    for (int data = 0; data <= kMaxRequestData; ++data) {
        int size = 7 + data;
        size += size & 1;
        if (size % 64 == 0) {
            size += 2;
        }
        if (size % packetSize == 0) {
            return false; // the handset would wait for a zero-length packet that never comes
        }
    }
    return true;
}

int ReadBufferBytes(int packetSize) {
    constexpr int kAtLeast = 1024;
    if (packetSize <= 0) {
        return kAtLeast;
    }
    return (kAtLeast + packetSize - 1) / packetSize * packetSize;
}

bool DescribeDevice(libusb_device* dev, TS_USB_DEVICE_INFO& info) {
    libusb_device_descriptor desc{};
    uint8_t ports[8];
    const int depth = libusb_get_port_numbers(dev, ports, sizeof ports);
    if (depth <= 0 || libusb_get_device_descriptor(dev, &desc) != 0) {
        return false;
    }
    info.Vendor = desc.idVendor;
    info.Product = desc.idProduct;
    info.Bus = libusb_get_bus_number(dev);
    info.Address = libusb_get_device_address(dev);
    info.Ports.assign(ports, ports + depth);
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", info.Bus, info.Address);
    info.Node = node;
    return true;
}

TS_BULK_INTERFACE FindBulkInterface(libusb_device* device, int wanted) {
    TS_BULK_INTERFACE found;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0 &&
        libusb_get_config_descriptor(device, 0, &config) != 0) {
        return found;
    }
    for (int i = 0; i < config->bNumInterfaces && found.Interface < 0; ++i) {
        const libusb_interface& iface = config->interface[i];
        if (iface.num_altsetting < 1) {
            continue;
        }
        const libusb_interface_descriptor& alt = iface.altsetting[0];
        if (wanted >= 0 && alt.bInterfaceNumber != wanted) {
            continue;
        }
        uint8_t in = 0;
        uint8_t out = 0;
        int inSize = 0;
        int outSize = 0;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[e];
            if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) {
                continue;
            }
            const bool isIn = (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
            uint8_t& slot = isIn ? in : out;
            if (slot == 0) {
                slot = ep.bEndpointAddress;
                (isIn ? inSize : outSize) = ep.wMaxPacketSize & 0x7FF; // bits 11-12 are not bulk's
            }
        }
        if (in != 0 && out != 0) {
            found.Interface = alt.bInterfaceNumber;
            found.InEndpoint = in;
            found.OutEndpoint = out;
            found.InPacketSize = inSize;
            found.OutPacketSize = outSize;
        }
    }
    libusb_free_config_descriptor(config);
    return found;
}

bool UsbDeviceMatches(const TS_USB_DEVICE_TEXT& text, const TS_USB_DEVICE_INFO& info) {
    if (text.HasIds && (text.Vendor != info.Vendor || text.Product != info.Product)) {
        return false;
    }
    return text.Bus < 0 || (text.Bus == info.Bus && text.Ports == info.Ports);
}

uint32_t WinErrorFromLibusb(int error) {
    switch (error) {
    case LIBUSB_SUCCESS:
        return kErrSuccess;
    case LIBUSB_ERROR_ACCESS:
        return kErrAccessDenied;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return kErrFileNotFound;
    case LIBUSB_ERROR_BUSY:
        return kErrBusy;
    case LIBUSB_ERROR_TIMEOUT:
        return kErrTimeout;
    case LIBUSB_ERROR_INTERRUPTED:
        return kErrOperationAborted;
    case LIBUSB_ERROR_NO_MEM:
        return kErrNotEnoughMemory;
    case LIBUSB_ERROR_INVALID_PARAM:
        return kErrInvalidParameter;
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return kErrInvalidFunction;
    default: // io, pipe, overflow, other
        return kErrIoDevice;
    }
}

CUsbBulkDevice::~CUsbBulkDevice() {
    Close();
}

uint32_t CUsbBulkDevice::Open(const std::string& text, std::string& message) {
    Close();
    message.clear();
    {
        std::lock_guard lock(m_FailureMutex);
        m_Failure.clear();
    }
    TS_USB_DEVICE_TEXT wanted;
    if (!QuilletParseUsbDeviceText(text, wanted, message)) {
        return kErrInvalidParameter;
    }
    const std::string label = QuilletUsbDeviceLabel(wanted);
    libusb_context* ctx = nullptr;
    if (const int rc = libusb_init(&ctx); rc != 0) {
        message = std::string("libusb cannot start: ") + libusb_strerror(rc);
        return WinErrorFromLibusb(rc);
    }
    {
        std::lock_guard lock(m_CtxMutex);
        m_Ctx = ctx;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    std::vector<libusb_device*> matches;
    TS_USB_DEVICE_INFO chosen;
    for (ssize_t i = 0; i < count; ++i) {
        TS_USB_DEVICE_INFO info;
        if (DescribeDevice(list[i], info) && UsbDeviceMatches(wanted, info)) {
            matches.push_back(list[i]);
            chosen = info;
        }
    }
    uint32_t code = kErrSuccess;
    if (matches.empty()) {
        code = kErrFileNotFound;
        message = "no USB device " + label + " is connected";
    } else if (matches.size() > 1) {
        code = kErrInvalidParameter;
        message = std::to_string(matches.size()) + " devices match " + label + ": give usb:" + label +
                  "@BUS-PORT, see `vandrel-cli ports`";
    } else {
        m_Node = chosen.Node;
        m_DeviceIds = Hex4(chosen.Vendor) + ":" + Hex4(chosen.Product);
        m_Interface = FindBulkInterface(matches[0], wanted.Interface);
        const auto firstTry = std::chrono::steady_clock::now();
        int rc = LIBUSB_SUCCESS;
        if (m_Interface.Interface < 0) {
            code = kErrInvalidFunction;
            message = wanted.Interface >= 0
                          ? "interface " + std::to_string(wanted.Interface) + " of USB device " + label +
                                " has no bulk IN and bulk OUT endpoint"
                          : "USB device " + label +
                                " has no interface with a bulk IN and a "
                                "bulk OUT endpoint";
        } else if (!PadRuleServes(m_Interface.OutPacketSize) || m_Interface.InPacketSize <= 0) {
            code = kErrInvalidFunction;
            const bool out = !PadRuleServes(m_Interface.OutPacketSize);
            message = "endpoint " + EndpointText(out ? m_Interface.OutEndpoint : m_Interface.InEndpoint) +
                      " of USB device " + label + " has " +
                      std::to_string(out ? m_Interface.OutPacketSize : m_Interface.InPacketSize) +
                      "-byte packets, on which the handset cannot see where a request ends: the link "
                      "needs packets of 64 bytes or a multiple of 64";
        } else if (rc = libusb_open(matches[0], &m_Handle); rc != 0) {
            // Right after the device appeared, udev may not yet have given the rule's access.
            while (rc == LIBUSB_ERROR_ACCESS && NodeIsNew(m_Node) &&
                   std::chrono::steady_clock::now() - firstTry < std::chrono::milliseconds(kAccessGraceMs)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kAccessRetryMs));
                rc = libusb_open(matches[0], &m_Handle);
            }
        }
        if (code == kErrSuccess && rc != LIBUSB_SUCCESS) {
            m_Handle = nullptr;
            code = WinErrorFromLibusb(rc);
            message = rc == LIBUSB_ERROR_ACCESS
                          ? PermissionText(m_Node, chosen)
                          : "cannot open USB device " + label + " (" + m_Node + "): " + libusb_strerror(rc);
        }
    }
    if (count >= 0) {
        libusb_free_device_list(list, 1);
    }
    if (code == kErrSuccess) {
        // A kernel driver bound to the interface is detached for the claim and attached again at
        // the release.
        libusb_set_auto_detach_kernel_driver(m_Handle, 1);
        if (const int rc = libusb_claim_interface(m_Handle, m_Interface.Interface); rc != 0) {
            code = WinErrorFromLibusb(rc);
            message = rc == LIBUSB_ERROR_BUSY
                          ? "interface " + std::to_string(m_Interface.Interface) + " of USB device " + label +
                                " is in use by another program"
                      : rc == LIBUSB_ERROR_ACCESS ? PermissionText(m_Node, chosen)
                      : rc == LIBUSB_ERROR_NO_DEVICE
                          ? "no USB device " + label + " is connected"
                          : "cannot claim interface " + std::to_string(m_Interface.Interface) +
                                " of USB device " + label + ": " + libusb_strerror(rc);
            libusb_close(m_Handle);
            m_Handle = nullptr;
        }
    }
    if (code == kErrSuccess) {
        m_In = libusb_alloc_transfer(0);
        m_Out = libusb_alloc_transfer(0);
        if (m_In == nullptr || m_Out == nullptr) {
            code = kErrNotEnoughMemory;
            message = "out of memory";
        }
    }
    if (code != kErrSuccess) {
        Close();
        return code;
    }
    m_InBuffer.assign(static_cast<size_t>(ReadBufferBytes(m_Interface.InPacketSize)), 0);
    // A stall left from an earlier link would stall every transfer of this one.
    libusb_clear_halt(m_Handle, m_Interface.InEndpoint);
    libusb_clear_halt(m_Handle, m_Interface.OutEndpoint);
    DiscardGreeting();
    return kErrSuccess;
}

void CUsbBulkDevice::DiscardGreeting() {
    // The handset cannot tell one claim from the next: it greets once when it is plugged in, and
    // the greeting waits in the device until a transfer takes it. Whatever is waiting now (the
    // greeting, or a reply that came too late for an earlier link) is not an answer to this link.
    m_GreetingBytes = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGreetingWindowMs);
    bool cleared = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) {
            return;
        }
        int got = 0;
        const int rc =
            libusb_bulk_transfer(m_Handle, m_Interface.InEndpoint, m_InBuffer.data(),
                                 static_cast<int>(m_InBuffer.size()), &got, static_cast<unsigned>(left));
        m_GreetingBytes += got;
        if (rc == LIBUSB_ERROR_PIPE && !cleared) {
            cleared = true;
            libusb_clear_halt(m_Handle, m_Interface.InEndpoint);
        } else if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_OVERFLOW) {
            return; // the window is over (a device that went away shows at the first transfer)
        }
    }
}

std::string CUsbBulkDevice::EndpointText(uint8_t endpoint) const {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", endpoint);
    return text;
}

void CUsbBulkDevice::SetFailure(const std::string& text) {
    std::lock_guard lock(m_FailureMutex);
    if (m_Failure.empty()) {
        m_Failure = text;
    }
}

std::string CUsbBulkDevice::FailureText() const {
    std::lock_guard lock(m_FailureMutex);
    return m_Failure;
}

void CUsbBulkDevice::Close() {
    if (m_Handle != nullptr) {
        CancelRead();
        libusb_release_interface(m_Handle, m_Interface.Interface);
        libusb_close(m_Handle);
        m_Handle = nullptr;
    }
    libusb_free_transfer(m_In);
    libusb_free_transfer(m_Out);
    m_In = nullptr;
    m_Out = nullptr;
    m_ReadSubmitted = false;
    m_InStallRetried = false;
    m_DroppingReply = false;
    std::lock_guard lock(m_CtxMutex);
    if (m_Ctx != nullptr) {
        libusb_exit(m_Ctx);
        m_Ctx = nullptr;
    }
}

void CUsbBulkDevice::OnTransfer(libusb_transfer* transfer) {
    static_cast<std::atomic<bool>*>(transfer->user_data)->store(true, std::memory_order_release);
}

void CUsbBulkDevice::HandleEvents(int waitMs) {
    timeval tv{waitMs / 1000, (waitMs % 1000) * 1000};
    libusb_handle_events_timeout_completed(m_Ctx, &tv, nullptr);
}

void CUsbBulkDevice::Wake() {
    std::lock_guard lock(m_CtxMutex);
    if (m_Ctx != nullptr) {
        libusb_interrupt_event_handler(m_Ctx);
    }
}

void CUsbBulkDevice::WaitTransfer(std::atomic<bool>& done, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!done.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < deadline) {
        HandleEvents(50);
    }
}

bool CUsbBulkDevice::RunOut(const std::function<bool()>& abort, uint32_t& code) {
    m_OutDone.store(false, std::memory_order_relaxed);
    if (const int rc = libusb_submit_transfer(m_Out); rc != 0) {
        code = WinErrorFromLibusb(rc);
        return false; // nothing went out
    }
    bool cancelled = false;
    while (!m_OutDone.load(std::memory_order_acquire)) {
        if (!cancelled && abort()) {
            cancelled = true;
            libusb_cancel_transfer(m_Out);
            WaitTransfer(m_OutDone, kCancelGiveUpMs);
            break;
        }
        HandleEvents(kEventSliceMs);
    }
    if (!m_OutDone.load(std::memory_order_acquire)) {
        code = kErrOperationAborted; // never came back from the cancel: the device is beyond reach
        return false;
    }
    code = StatusCode(m_Out->status);
    return true;
}

uint32_t CUsbBulkDevice::Write(const uint8_t* data, uint32_t length, uint32_t* written, int waitMs,
                               const std::function<bool()>& abort) {
    if (written != nullptr) {
        *written = 0;
    }
    if (m_Handle == nullptr) {
        return kErrInvalidHandle;
    }
    if (abort()) {
        return kErrOperationAborted;
    }
    libusb_fill_bulk_transfer(m_Out, m_Handle, m_Interface.OutEndpoint, const_cast<uint8_t*>(data),
                              static_cast<int>(length), OnTransfer, &m_OutDone,
                              waitMs >= 0 ? static_cast<unsigned>(waitMs) : 0u);
    uint32_t code = kErrSuccess;
    bool back = RunOut(abort, code);
    if (back && m_Out->status == LIBUSB_TRANSFER_STALL && m_Out->actual_length == 0) {
        // Nothing went out: the stalled transfer is the only one on the endpoint, so the halt can
        // be cleared at once and the packet sent again.
        libusb_clear_halt(m_Handle, m_Interface.OutEndpoint);
        back = RunOut(abort, code);
        if (back && m_Out->status == LIBUSB_TRANSFER_STALL && m_Out->actual_length == 0) {
            SetFailure("endpoint " + EndpointText(m_Interface.OutEndpoint) + " of USB device " + m_DeviceIds +
                       " stalled");
            return kErrIoDevice;
        }
    }
    const uint32_t sent = back ? static_cast<uint32_t>(m_Out->actual_length) : 0;
    if (written != nullptr) {
        *written = sent;
    }
    if (sent > 0 && sent < length && code != kErrFileNotFound) {
        // Part of the packet is in the handset, which takes the next bytes as its rest: no
        // further request may follow on this link. (A handset that went away is just gone.)
        SetFailure("a request to USB device " + m_DeviceIds + " was cut short after " + std::to_string(sent) +
                   " of " + std::to_string(length) + " bytes (" +
                   WinErrorText(code != kErrSuccess ? code : kErrIoDevice) +
                   "): the link must be opened again");
        return kErrIoDevice;
    }
    return code;
}

uint32_t CUsbBulkDevice::SubmitRead() {
    if (m_Handle == nullptr) {
        return kErrInvalidHandle;
    }
    m_InDone.store(false, std::memory_order_relaxed);
    libusb_fill_bulk_transfer(m_In, m_Handle, m_Interface.InEndpoint, m_InBuffer.data(),
                              static_cast<int>(m_InBuffer.size()), OnTransfer, &m_InDone, 0);
    if (const int rc = libusb_submit_transfer(m_In); rc != 0) {
        return WinErrorFromLibusb(rc);
    }
    m_ReadSubmitted = true;
    return kErrSuccess;
}

bool CUsbBulkDevice::TakeRead(uint32_t& code, const uint8_t*& data, int& length) {
    if (!m_ReadSubmitted || !m_InDone.load(std::memory_order_acquire)) {
        return false;
    }
    m_ReadSubmitted = false;
    const int status = m_In->status;
    if (status == LIBUSB_TRANSFER_STALL) {
        if (!m_InStallRetried) {
            // The stalled read is the only transfer on the endpoint: clear the halt, read again.
            m_InStallRetried = true;
            libusb_clear_halt(m_Handle, m_Interface.InEndpoint);
            if (const uint32_t rc = SubmitRead(); rc != kErrSuccess) {
                code = rc;
                data = m_InBuffer.data();
                length = 0;
                return true;
            }
            return false;
        }
        SetFailure("endpoint " + EndpointText(m_Interface.InEndpoint) + " of USB device " + m_DeviceIds +
                   " stalled");
        code = kErrIoDevice;
        data = m_InBuffer.data();
        length = 0;
        return true;
    }
    m_InStallRetried = false;
    code = StatusCode(status);
    data = m_InBuffer.data();
    length = m_In->actual_length;
    const bool full = length == static_cast<int>(m_InBuffer.size());
    if (status == LIBUSB_TRANSFER_OVERFLOW) {
        // A packet longer than the room left: only a device that breaks the packet size does so.
        code = kErrMoreData;
        length = 0;
        m_DroppingReply = false;
        return true;
    }
    if (code != kErrSuccess) {
        return true;
    }
    if (m_DroppingReply) {
        m_DroppingReply = full; // up to the short packet that ends the over-long reply
        return false;
    }
    if (length > kMaxReply) {
        code = kErrMoreData;
        length = 0;
        m_DroppingReply = full;
    }
    return true;
}

void CUsbBulkDevice::CancelRead() {
    if (!m_ReadSubmitted) {
        return;
    }
    if (!m_InDone.load(std::memory_order_acquire)) {
        libusb_cancel_transfer(m_In);
        WaitTransfer(m_InDone, kCancelGiveUpMs);
    }
    m_ReadSubmitted = false;
}

} // namespace quillet
