// CUsbBulkServer: the handset's side of a USB bulk endpoint pair, for a host that reaches the
// handset through libusb (tests emulate the bus with umockdev and hand the URBs to this class).
//
//   bulk OUT transfer -> HostSent(bytes)       one packet of the USB request format
//   bulk IN transfer  <- TakeReply(message)    the greeting, stray messages and reply frames
//
// Packets are served in order on a thread of the server's own, so a busy handset (an erase)
// delays its replies without holding up the bus. A handset that hangs up (fault injection) ends
// the connection: HungUp() turns true and nothing more is answered until Connect().
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "vsim/SimTypes.h"
#include "vsim/VirtualHandset.h"
#include "vsim/WireCodec.h"

namespace vsim {

class CUsbBulkServer {
public:
    CUsbBulkServer(CVirtualHandset& handset, const SSimulatorOptions& options);
    ~CUsbBulkServer();
    CUsbBulkServer(const CUsbBulkServer&) = delete;
    CUsbBulkServer& operator=(const CUsbBulkServer&) = delete;

    // The host claimed the interface: a fresh connection (the greeting comes first).
    void Connect();
    // One bulk OUT transfer.
    void HostSent(const uint8_t* bytes, size_t length);
    // The next message for a bulk IN transfer; false when none is waiting.
    bool TakeReply(std::vector<uint8_t>& message);
    bool HungUp() const;
    // Called (on the server's thread) whenever a message is queued or the handset hangs up.
    void SetListener(std::function<void()> listener);

private:
    void Run();
    void Queue(const std::vector<uint8_t>& message);

    CVirtualHandset& m_Handset;
    SSimulatorOptions m_Options;
    mutable std::mutex m_Mutex;
    std::condition_variable m_Cv;
    std::deque<std::vector<uint8_t>> m_In;  // packets from the host
    std::deque<std::vector<uint8_t>> m_Out; // messages for the host
    // replies held back to be sent late, by the time they are due
    std::multimap<std::chrono::steady_clock::time_point, std::vector<uint8_t>> m_Late;
    std::function<void()> m_Listener;
    CUsbPacketAssembler m_Assembler; // server thread only
    bool m_HungUp = false;
    bool m_Stop = false;
    std::thread m_Thread;
};

} // namespace vsim
