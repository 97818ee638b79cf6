// CSimulatorHost: a virtual handset running in this process, served on a pseudo-terminal (UART)
// and/or a SOCK_SEQPACKET socket (USB), each side on a thread of its own.
//
//   vsim::CSimulatorHost host;                    // options: vsim::SSimulatorOptions
//   host.StartUart("/tmp/dir/ttyR3700");          // pty; the link points at its slave
//   host.StartUsb("/tmp/dir/csr0");               // socket
//   QuilletSetComPath(1, host.UartPath());        // or VANDREL_COM1 / VANDREL_USB_DEVICE
//   host.SetFault(vsim::EFault::DropReply, {.after = 2, .times = 1});
//   host.SetLateReplies({{.cid = 0x41, .minMs = 70}}); // every 0x41 reply 70 ms late
//   ... run the host side ...
//   auto record = host.Snapshot();                // commands, erases, refused writes, state
//   auto bytes = host.ReadMemory(0x00006000, 16);
//
// Everything but Start and Stop may be called from any thread at any time. The destructor stops.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vsim/SimTypes.h"
#include "vsim/VirtualHandset.h"

namespace vsim {

class CUartLink;
class CUsbLink;

class CSimulatorHost {
public:
    explicit CSimulatorHost(const SSimulatorOptions& options = {});
    ~CSimulatorHost();
    CSimulatorHost(const CSimulatorHost&) = delete;
    CSimulatorHost& operator=(const CSimulatorHost&) = delete;

    // Starts the UART side on a fresh pseudo-terminal. With a link path, a symbolic link to the
    // slave is made there (an existing symbolic link is replaced; any other file is not) and kept
    // pointing at the current pty after a hang-up. False with a reason in error on failure.
    bool StartUart(const std::string& linkPath = {}, std::string* error = nullptr);
    // Starts the USB side listening on a SOCK_SEQPACKET socket at socketPath (a stale socket file is
    // replaced; a live one or any other file is not).
    bool StartUsb(const std::string& socketPath, std::string* error = nullptr);
    // Stops both sides, closes the pty and the socket, removes the link and the socket file.
    void Stop();

    // The path a host opens: the link when one was given, else the current slave; "" when stopped.
    std::string UartPath() const;
    // The current pty slave (changes after a hang-up).
    std::string UartSlavePath() const;
    std::string UsbPath() const;

    // The handset itself: faults, observation, state.
    CVirtualHandset& Handset() { return m_Handset; }
    const CVirtualHandset& Handset() const { return m_Handset; }

    // Shortcuts to the handset.
    void SetFault(EFault fault, const SFaultSpec& rule = {}) { m_Handset.SetFault(fault, rule); }
    void ClearFaults() { m_Handset.ClearFaults(); }
    // Late replies while running: SSimulatorOptions::lateReplies, or ParseLateRules("0x41=70").
    void SetLateReplies(const std::vector<SLateRule>& rules, uint32_t seed = 1) {
        m_Handset.SetLateReplies(rules, seed);
    }
    SHandsetSnapshot Snapshot() const { return m_Handset.Snapshot(); }
    std::vector<uint8_t> ReadMemory(uint32_t address, size_t length) const {
        return m_Handset.ReadMemory(address, length);
    }
    void ClearRecord() { m_Handset.ClearRecord(); }
    ERunner Runner() const { return m_Handset.Runner(); }
    bool WaitForCommands(size_t count, std::chrono::milliseconds timeout) const {
        return m_Handset.WaitForCommands(count, timeout);
    }
    bool WaitUntil(const std::function<bool(const SHandsetSnapshot&)>& predicate,
                   std::chrono::milliseconds timeout) const {
        return m_Handset.WaitUntil(predicate, timeout);
    }

private:
    SSimulatorOptions m_Options;
    CVirtualHandset m_Handset;
    std::unique_ptr<CUartLink> m_Uart;
    std::unique_ptr<CUsbLink> m_Usb;
    std::string m_UartLinkPath;
    std::string m_UsbPath;
};

} // namespace vsim
