// CVirtualHandset: the monitor programs of the handset, independent of the transport. The boot
// loader takes the flash-writer image and starts it; the flash writer takes application images.
// Both identify, erase and dump flash. Every request is recorded; faults act on counters.
//
// Thread-safe: the UART side, the USB side and the test that watches may call it at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "vsim/FlashModel.h"
#include "vsim/SimTypes.h"

namespace vsim {

// One request as the transport decoded it.
struct SRequest {
    ETransport transport = ETransport::Uart;
    uint8_t cid = 0;
    std::vector<uint8_t> payload; // request payload, without the XOR checksum
    // Non-zero when the transport found the request broken (bad checksum, bad packet): the
    // handset answers this status and runs nothing.
    int8_t framingStatus = 0;
};

// What the transport sends back.
struct SResponse {
    bool send = true;
    std::vector<uint8_t> frame;   // reply frame before link framing (checksum included on UART)
    std::vector<uint8_t> garbage; // sent before the reply: outside any frame, or as a stray message
    uint32_t busyUs = 0;          // the handset is busy this long before it replies
    // Send the reply (and its garbage) this long after it is ready, meanwhile serving the next
    // requests: a late reply.
    uint32_t lateMs = 0;
    bool hangUp = false; // close the link instead of replying
};

class CVirtualHandset {
public:
    explicit CVirtualHandset(const SSimulatorOptions& options = {});

    SResponse Handle(const SRequest& request);

    // Fault injection, at any time from any thread.
    void SetFault(EFault fault, const SFaultSpec& rule);
    void ClearFaults();
    SFaultSpec Fault(EFault fault) const;
    // Replaces the late-reply rules (SSimulatorOptions::lateReplies) and restarts their counters
    // and random numbers from seed.
    void SetLateReplies(const std::vector<SLateRule>& rules, uint32_t seed = 1);

    // Observation.
    SHandsetSnapshot Snapshot() const;
    std::vector<uint8_t> ReadMemory(uint32_t address, size_t length) const;
    ERunner Runner() const;
    size_t CommandCount() const;
    // Waits until at least count commands are recorded (since the last ClearRecord).
    bool WaitForCommands(size_t count, std::chrono::milliseconds timeout) const;
    // Waits until the predicate holds for a snapshot (tried on every change) or the time is up.
    bool WaitUntil(const std::function<bool(const SHandsetSnapshot&)>& predicate,
                   std::chrono::milliseconds timeout) const;
    // Forgets commands, erases, refused writes, notes and counters; memory and state stay.
    void ClearRecord();

    // State, for tests and the program's options.
    void SetRunner(ERunner runner);
    // Writes memory without flash rules (preloading an image).
    void LoadMemory(uint32_t address, const std::vector<uint8_t>& data);
    // A power cycle: the boot loader runs again, RAM is cleared, flash keeps what it holds.
    void PowerCycle();

    // Link events, from the transports.
    void NoteLinkEvent(const std::string& text);
    void CountUartConnection();
    void CountUsbConnection();
    void CountHostClose();
    // Counted once the link is closed and, on the UART side, the fresh pty is offered.
    void CountHangUp();
    void CountStrayFrame();
    void CountOversizeFrame();
    void CountBadPacket();
    void CountBadChecksum();

    SSimulatorOptions Options() const;
    // Changes the flash busy times while running (a GUI test that wants to see the erase).
    void SetTiming(uint32_t eraseUsPer64K, uint32_t programUsPerKiB);

private:
    struct SOutcome {
        int8_t status = 0;
        std::vector<uint8_t> payload;
        uint32_t busyUs = 0;
    };

    SHandsetSnapshot SnapshotLocked() const;
    bool ConsumeFault(EFault fault, uint8_t cid);
    // How late the reply to cid leaves by the late-reply rules (0: on time).
    uint32_t LateByRules(uint8_t cid);
    void DisarmAll();
    SOutcome Run(const SRequest& request, SCommandRecord& record);
    SOutcome RunDataBlock(const SRequest& request, SCommandRecord& record);
    SOutcome RunErase(uint32_t start, uint32_t end, bool wholeChip);
    SOutcome RunDump(const SRequest& request, SCommandRecord& record);
    void Refuse(uint8_t cid, uint32_t address, uint32_t length, uint32_t badAddress, int status);
    void Note(std::string text);
    void Log(const SCommandRecord& record) const;

    SSimulatorOptions m_Options;
    mutable std::mutex m_Mutex;
    mutable std::condition_variable m_Changed;
    CFlashModel m_Flash;
    ERunner m_Runner;
    uint64_t m_WriterBlocks = 0;
    uint64_t m_BlocksStored = 0;
    uint64_t m_Seq = 0;
    int8_t m_LastWriteStatus = 0;
    bool m_LatePending = false;
    bool m_LateStored = false;
    std::array<SFaultSpec, kFaultKinds> m_Faults{};
    std::vector<uint64_t> m_LateCounts; // replies each late rule has seen
    std::mt19937 m_LateRandom;
    std::vector<SCommandRecord> m_Commands;
    std::vector<SEraseRecord> m_Erases;
    std::vector<SRefusedWrite> m_Refused;
    std::vector<std::string> m_Notes;
    SLinkCounters m_Links;
};

} // namespace vsim
