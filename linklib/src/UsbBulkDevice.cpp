#include "UsbBulkDevice.h"

#include <libusb.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "LinkError.h"

namespace quillet {

namespace {

// A wait for a transfer handles events in slices this long at most; Wake() ends a slice early.
constexpr int kEventSliceMs = 200;
// How long a cancelled transfer may take to come back before it is given up.
constexpr int kCancelGiveUpMs = 2000;

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
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[e];
            if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) {
                continue;
            }
            uint8_t& slot = (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0 ? in : out;
            if (slot == 0) {
                slot = ep.bEndpointAddress;
            }
        }
        if (in != 0 && out != 0) {
            found.Interface = alt.bInterfaceNumber;
            found.InEndpoint = in;
            found.OutEndpoint = out;
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
        m_Interface = FindBulkInterface(matches[0], wanted.Interface);
        if (m_Interface.Interface < 0) {
            code = kErrInvalidFunction;
            message = wanted.Interface >= 0
                          ? "interface " + std::to_string(wanted.Interface) + " of USB device " + label +
                                " has no bulk IN and bulk OUT endpoint"
                          : "USB device " + label +
                                " has no interface with a bulk IN and a "
                                "bulk OUT endpoint";
        } else if (const int rc = libusb_open(matches[0], &m_Handle); rc != 0) {
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
    return kErrSuccess;
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
    m_OutDone.store(false, std::memory_order_relaxed);
    libusb_fill_bulk_transfer(m_Out, m_Handle, m_Interface.OutEndpoint, const_cast<uint8_t*>(data),
                              static_cast<int>(length), OnTransfer, &m_OutDone,
                              waitMs >= 0 ? static_cast<unsigned>(waitMs) : 0u);
    if (const int rc = libusb_submit_transfer(m_Out); rc != 0) {
        return WinErrorFromLibusb(rc);
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
        return kErrOperationAborted; // never came back from the cancel: the device is beyond reach
    }
    if (written != nullptr) {
        *written = static_cast<uint32_t>(m_Out->actual_length);
    }
    const uint32_t code = StatusCode(m_Out->status);
    if (code == kErrSuccess && static_cast<uint32_t>(m_Out->actual_length) != length) {
        return kErrIoDevice;
    }
    return code;
}

uint32_t CUsbBulkDevice::SubmitRead() {
    if (m_Handle == nullptr) {
        return kErrInvalidHandle;
    }
    m_InDone.store(false, std::memory_order_relaxed);
    libusb_fill_bulk_transfer(m_In, m_Handle, m_Interface.InEndpoint, m_InBuffer, kReadBytes, OnTransfer,
                              &m_InDone, 0);
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
    code = StatusCode(m_In->status);
    data = m_InBuffer;
    length = m_In->actual_length;
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
