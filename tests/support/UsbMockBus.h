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
#pragma once

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
    // The first message after the claim instead of the handset's own greeting (when not empty).
    std::vector<uint8_t> greeting{};
};

struct TS_MOCK_STATS {
    std::vector<uint32_t> outLengths; // every bulk OUT URB, in order
    int claims = 0;
    int releases = 0;
    int detaches = 0;
    int attaches = 0;
    int inFlight = 0; // bulk IN URBs waiting for a reply
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
    TS_MOCK_STATS Stats(int device) const;
    std::string Node(int device) const;

    // LD_PRELOAD and UMOCKDEV_DIR, for a child process on this bus.
    std::vector<std::string> ChildEnvironment() const;

    struct SImpl;

private:
    std::unique_ptr<SImpl> m_Impl;
};

} // namespace testsupport
