// CUsbBulkDevice: the handset's bulk endpoint pair reached through libusb-1.0, the third kind of
// USB device of the port (beside the packet device node and the SOCK_SEQPACKET socket).
//
// Each open has a libusb context of its own. Transfers are asynchronous; whoever waits for one
// (the reader for its bulk IN transfer, the caller for its bulk OUT transfer) handles libusb's
// events in bounded slices, and Wake() (libusb_interrupt_event_handler) ends the slice at once,
// so a stop, a cancel or a change of the receive state is seen without delay. A device that goes
// away completes its transfers with LIBUSB_TRANSFER_NO_DEVICE: the waits end with error 2.
//
// What a real bus does and a device node does not:
// - A handset greets (if at all) once per plug-in, not once per open: whatever it sends within
//   kGreetingWindowMs after the claim is discarded, nothing after.
// - A stalled endpoint stays stalled until its halt is cleared: the halts are cleared at the open,
//   and a transfer that stalls is retried once after clearing the halt; a second stall ends the
//   link with "endpoint 0x81 of USB device VVVV:PPPP stalled".
// - A bulk IN transfer ends at a short packet (a zero-length one included) or when its buffer is
//   full, so the buffer is a multiple of wMaxPacketSize: a reply longer than any frame then fills
//   it without overflowing and is dropped whole (the reader counts it) instead of ending the link.
// - A bulk OUT transfer that ends after part of it went out leaves a fragment in the handset that
//   the next request would be appended to: the link is lost.
// - udev applies a rule's access a moment after the device appears: an access error on a node
//   that appeared within kNewNodeSeconds is retried for kAccessGraceMs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

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
    int InPacketSize = 0; // wMaxPacketSize of each endpoint
    int OutPacketSize = 0;
};

// Whether every request packet of the link (7 + L bytes rounded up to even, two more when that is
// a multiple of 64) ends in a short packet on an OUT endpoint of this packet size, so that the
// handset sees where it ends without a zero-length packet: any multiple of 64 does, 8, 16 and 32
// do not.
bool PadRuleServes(int packetSize);
// The bulk IN buffer for an IN endpoint of this packet size: the smallest multiple of it that
// holds 1024 bytes (1024 for every size from 8 to 1024).
int ReadBufferBytes(int packetSize);

// The interface with one bulk IN and one bulk OUT endpoint (altsetting 0 of the active
// configuration): the given number, or the first such interface when wanted is -1.
TS_BULK_INTERFACE FindBulkInterface(libusb_device* device, int wanted);
// Bus, address, port path, ids and node of a device; false for a root hub (no port path).
bool DescribeDevice(libusb_device* dev, TS_USB_DEVICE_INFO& info);
// Whether a listed device is one the device text names.
bool UsbDeviceMatches(const TS_USB_DEVICE_TEXT& text, const TS_USB_DEVICE_INFO& info);
// The devices on a context, as QuilletListUsbDevices lists them.
std::vector<TS_USB_DEVICE_INFO> ListUsbDevicesOn(libusb_context* ctx);
// The port error code for a libusb error.
uint32_t WinErrorFromLibusb(int error);

class CUsbBulkDevice {
public:
    static constexpr int kMaxReply = 999;         // one reply frame at most
    static constexpr int kGreetingWindowMs = 100; // after the claim: the handset's greeting
    static constexpr int kAccessGraceMs = 1000;   // udev's rule has not reached the node yet
    static constexpr int kNewNodeSeconds = 5;     // a node this young may still be waiting for it

    CUsbBulkDevice() = default;
    ~CUsbBulkDevice();
    CUsbBulkDevice(const CUsbBulkDevice&) = delete;
    CUsbBulkDevice& operator=(const CUsbBulkDevice&) = delete;

    // Finds the device the text names, opens it, claims its bulk interface (a kernel driver bound
    // to it is detached, and attached again at Close), clears both halts and discards what the
    // handset sends within kGreetingWindowMs. 0 or a port error code; message then says what is
    // wrong in words a user can act on (an endpoint whose packet size the link cannot serve is
    // refused).
    uint32_t Open(const std::string& text, std::string& message);
    // Releases the interface and closes the device. Transfers must have ended (the reader's read
    // is cancelled and waited for here if it has not).
    void Close();
    bool IsOpen() const { return m_Handle != nullptr; }
    // The device node, /dev/bus/usb/BBB/DDD (empty before an open found one).
    const std::string& Node() const { return m_Node; }

    // One bulk OUT transfer. Gives up after waitMs (-1: no limit) with 1460, and with 995 as soon
    // as abort() says so (checked whenever the wait wakes: call Wake() after changing its answer).
    // A stall is cleared and the transfer sent once more. A transfer that ended after part of it
    // went out, and a second stall, end with 1117 and FailureText() says what happened.
    uint32_t Write(const uint8_t* data, uint32_t length, uint32_t* written, int waitMs,
                   const std::function<bool()>& abort);

    // Reader side: one bulk IN transfer (ReadBufferBytes of the endpoint) in flight at a time.
    uint32_t SubmitRead();
    bool ReadInFlight() const { return m_ReadSubmitted; }
    // Handles libusb's events for up to waitMs (or until Wake()).
    void HandleEvents(int waitMs);
    // The finished read, if any: its result code (0, 995 when cancelled, 2 when the device went
    // away, 1117 after a second stall ...) and its bytes; 234 and no bytes for a reply longer than
    // kMaxReply, whose further transfers are dropped without a word up to its last packet. A
    // stall is cleared and the read submitted again (false: still in flight). Submit the next
    // read after taking one.
    bool TakeRead(uint32_t& code, const uint8_t*& data, int& length);
    // Cancels the read in flight and waits (bounded) until libusb has handed it back.
    void CancelRead();

    // Ends the current event-handling slice of every thread at once. Thread-safe, also while
    // closed.
    void Wake();

    // Why the link ended, when the device says more than the error code: a stall that clearing
    // the halt did not mend, a request cut short. Empty while none (and after a new open); the
    // first cause stays. Thread-safe.
    std::string FailureText() const;
    const TS_BULK_INTERFACE& Interface() const { return m_Interface; }
    // Bytes discarded within the greeting window of the last open.
    int GreetingBytes() const { return m_GreetingBytes; }

private:
    static void OnTransfer(libusb_transfer* transfer);
    void WaitTransfer(std::atomic<bool>& done, int waitMs);
    // Submits m_Out as filled and waits for it as Write describes; false if it was not submitted
    // or never came back (m_Out's status and length then say nothing).
    bool RunOut(const std::function<bool()>& abort, uint32_t& code);
    void DiscardGreeting();
    void SetFailure(const std::string& text);
    std::string EndpointText(uint8_t endpoint) const;

    std::mutex m_CtxMutex; // m_Ctx against Wake from other threads
    libusb_context* m_Ctx = nullptr;
    libusb_device_handle* m_Handle = nullptr;
    TS_BULK_INTERFACE m_Interface;
    std::string m_Node;
    std::string m_DeviceIds; // "1234:5678", for the texts
    int m_GreetingBytes = 0;
    mutable std::mutex m_FailureMutex;
    std::string m_Failure;

    libusb_transfer* m_In = nullptr;
    libusb_transfer* m_Out = nullptr;
    std::vector<uint8_t> m_InBuffer; // ReadBufferBytes of the IN endpoint, sized at the open
    bool m_ReadSubmitted = false;    // reader thread only
    bool m_InStallRetried = false;   // reader thread only: the read in flight is the retry
    bool m_DroppingReply = false;    // reader thread only: the rest of an over-long reply follows
    std::atomic<bool> m_InDone{false};
    std::atomic<bool> m_OutDone{false};
};

} // namespace quillet
