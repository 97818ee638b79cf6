// CUsbBulkDevice: the handset's bulk endpoint pair reached through libusb-1.0, the third kind of
// USB device of the port (beside the packet device node and the SOCK_SEQPACKET socket).
//
// Each open has a libusb context of its own. Transfers are asynchronous; whoever waits for one
// (the reader for its bulk IN transfer, the caller for its bulk OUT transfer) handles libusb's
// events in bounded slices, and Wake() (libusb_interrupt_event_handler) ends the slice at once,
// so a stop, a cancel or a change of the receive state is seen without delay. A device that goes
// away completes its transfers with LIBUSB_TRANSFER_NO_DEVICE: the waits end with error 2.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "quillet/UsbDevices.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;
struct libusb_transfer;

namespace quillet {

struct TS_BULK_INTERFACE {
    int Interface = -1; // -1: none found
    uint8_t InEndpoint = 0;
    uint8_t OutEndpoint = 0;
};

// The interface with one bulk IN and one bulk OUT endpoint (altsetting 0 of the active
// configuration): the given number, or the first such interface when wanted is -1.
TS_BULK_INTERFACE FindBulkInterface(libusb_device* device, int wanted);
// Bus, address, port path, ids and node of a device; false for a root hub (no port path).
bool DescribeDevice(libusb_device* dev, TS_USB_DEVICE_INFO& info);
// Whether a listed device is one the device text names.
bool UsbDeviceMatches(const TS_USB_DEVICE_TEXT& text, const TS_USB_DEVICE_INFO& info);
// The port error code for a libusb error.
uint32_t WinErrorFromLibusb(int error);

class CUsbBulkDevice {
public:
    static constexpr int kReadBytes = 999; // one reply frame at most

    CUsbBulkDevice() = default;
    ~CUsbBulkDevice();
    CUsbBulkDevice(const CUsbBulkDevice&) = delete;
    CUsbBulkDevice& operator=(const CUsbBulkDevice&) = delete;

    // Finds the device the text names, opens it and claims its bulk interface (a kernel driver
    // bound to it is detached, and attached again at Close). 0 or a port error code; message then
    // says what is wrong in words a user can act on.
    uint32_t Open(const std::string& text, std::string& message);
    // Releases the interface and closes the device. Transfers must have ended (the reader's read
    // is cancelled and waited for here if it has not).
    void Close();
    bool IsOpen() const { return m_Handle != nullptr; }
    // The device node, /dev/bus/usb/BBB/DDD (empty before an open found one).
    const std::string& Node() const { return m_Node; }

    // One bulk OUT transfer. Gives up after waitMs (-1: no limit) with 1460, and with 995 as soon
    // as abort() says so (checked whenever the wait wakes: call Wake() after changing its answer).
    uint32_t Write(const uint8_t* data, uint32_t length, uint32_t* written, int waitMs,
                   const std::function<bool()>& abort);

    // Reader side: one bulk IN transfer of up to kReadBytes in flight at a time.
    uint32_t SubmitRead();
    bool ReadInFlight() const { return m_ReadSubmitted; }
    // Handles libusb's events for up to waitMs (or until Wake()).
    void HandleEvents(int waitMs);
    // The finished read, if any: its result code (0, 995 when cancelled, 2 when the device went
    // away ...) and its bytes. Submit the next read after taking one.
    bool TakeRead(uint32_t& code, const uint8_t*& data, int& length);
    // Cancels the read in flight and waits (bounded) until libusb has handed it back.
    void CancelRead();

    // Ends the current event-handling slice of every thread at once. Thread-safe, also while
    // closed.
    void Wake();

private:
    static void OnTransfer(libusb_transfer* transfer);
    void WaitTransfer(std::atomic<bool>& done, int waitMs);

    std::mutex m_CtxMutex; // m_Ctx against Wake from other threads
    libusb_context* m_Ctx = nullptr;
    libusb_device_handle* m_Handle = nullptr;
    TS_BULK_INTERFACE m_Interface;
    std::string m_Node;

    libusb_transfer* m_In = nullptr;
    libusb_transfer* m_Out = nullptr;
    uint8_t m_InBuffer[kReadBytes] = {};
    bool m_ReadSubmitted = false; // reader thread only
    std::atomic<bool> m_InDone{false};
    std::atomic<bool> m_OutDone{false};
};

} // namespace quillet
