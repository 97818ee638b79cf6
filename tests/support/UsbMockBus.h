// A USB bus emulated with umockdev for tests of the libusb device kind: real libusb calls, a
// sandbox sysfs and /dev/bus/usb, and the usbdevfs ioctls of each emulated device answered here.
// Bulk OUT URBs carry packets to the in-process virtual handset (vsim::CUsbBulkServer); bulk IN
// URBs take its replies. Link target `vandrel_usb_mock`; the test program must run under
// umockdev-wrapper (ctest does so), and child processes started with ChildEnvironment() use the
// same bus.
//
//   testsupport::CUsbMockBus bus;
//   vsim::CSimulatorHost host;                              // nothing started: the handset only
//   const int dev = bus.AddHandset(host.Handset(), {}, {.port = 2});
//   setenv("VANDREL_USB_DEVICE", "usb:1234:5678", 1);       // then COstraMonitor on PORT_USB
//   bus.Unplug(dev);                                        // transfers end with ENODEV
//
// The bus behaves as a real one does where the link has to care: the handset's replies travel
// as packets of the endpoint's size, and a bulk IN URB ends at a short packet (a zero-length one
// included) or when its buffer is full, with EOVERFLOW when a packet does not fit; a greeting is
// sent once per plug-in (or never), not at every claim; a halted endpoint fails every URB with
// EPIPE until its halt is cleared; what a bulk OUT URB delivered before it was cut short stays
// in the handset and the next OUT is appended to it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vsim/SimTypes.h"
#include "vsim/VirtualHandset.h"

namespace testsupport {

struct TS_MOCK_DEVICE {
    uint16_t vendor = 0x1234;
    uint16_t product = 0x5678;
    int port = 2;              // on bus 1: the device is 1-<port>, address <port>
    bool kernelDriver = false; // a kernel driver is bound to interface 0 until detached
    bool bulkPair = true;      // false: the interface has an interrupt IN endpoint instead
    // The greeting sent when the handset is plugged in (empty: a text of the handset's own).
    std::vector<uint8_t> greeting{};
    bool greets = true;  // false: the handset never greets
    int packetSize = 64; // wMaxPacketSize of both bulk endpoints (512: a high-speed device)
    // A reply that fills its last packet is ended by a zero-length packet (the USB convention);
    // off, it runs into the next one. zlpAlways: every reply is followed by one.
    bool zlp = true;
    bool zlpAlways = false;
};

struct TS_MOCK_STATS {
    std::vector<uint32_t> outLengths; // every bulk OUT URB, in order
    int claims = 0;
    int releases = 0;
    int detaches = 0;
    int attaches = 0;
    int inFlight = 0; // bulk IN URBs waiting for a reply
    int clearHalts = 0;
    int zeroLengthPackets = 0; // handed to IN URBs
};

class CUsbMockBus {
public:
    CUsbMockBus();
    ~CUsbMockBus();
    CUsbMockBus(const CUsbMockBus&) = delete;
    CUsbMockBus& operator=(const CUsbMockBus&) = delete;

    // Whether this process runs with umockdev's preload library (under umockdev-wrapper).
    static bool Available();

    // Adds a device; its URBs are answered by the handset. Returns its number for the calls below.
    int AddHandset(vsim::CVirtualHandset& handset, const vsim::SSimulatorOptions& options,
                   const TS_MOCK_DEVICE& device = {});
    // The handset is unplugged: bulk URBs in flight end with ENODEV, new ones fail with ENODEV,
    // and the device leaves sysfs.
    void Unplug(int device);
    // While on, claiming the interface fails with EBUSY (another program has it).
    void SetClaimBusy(int device, bool busy);
    // While on, no replies are handed to bulk IN URBs (they wait as if the handset were silent).
    void SetSilent(int device, bool silent);
    // The endpoint (0x81 or 0x02) halts now; each of the next (times - 1) clears of its halt finds
    // it halted again. URBs on a halted endpoint end with EPIPE.
    void Stall(int device, uint8_t endpoint, int times = 1);
    // The next reply is made this long (its frame, then filler bytes): longer than any frame.
    void OverlongReply(int device, size_t length);
    // The next bulk OUT URB delivers only its first `accepted` bytes, then waits (the handset
    // takes no more) until it is cancelled or times out.
    void PartialOut(int device, uint32_t accepted);
    // The device node refuses to open for the span (udev has not applied the rule's access yet),
    // from now; a negative span: for ever. Takes effect for a process as root only inside a
    // CUnprivileged scope.
    void DenyAccess(int device, std::chrono::milliseconds span);
    TS_MOCK_STATS Stats(int device) const;
    std::string Node(int device) const;

    // LD_PRELOAD and UMOCKDEV_DIR, for a child process on this bus.
    std::vector<std::string> ChildEnvironment() const;

    struct SImpl;

private:
    std::unique_ptr<SImpl> m_Impl;
};

// While it lives, the calling thread's file access is checked by permissions even as root (it
// drops CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH from the thread's effective set).
class CUnprivileged {
public:
    CUnprivileged();
    ~CUnprivileged();
    CUnprivileged(const CUnprivileged&) = delete;
    CUnprivileged& operator=(const CUnprivileged&) = delete;

private:
    uint32_t m_Saved[2] = {};
    bool m_Dropped = false;
};

} // namespace testsupport
