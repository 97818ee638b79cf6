// The two transports of the virtual handset. Each runs one thread that waits in poll() on its
// descriptors and a stop event; nothing spins.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "vsim/VirtualHandset.h"
#include "vsim/WireCodec.h"

namespace vsim {

using Clock = std::chrono::steady_clock;

// A descriptor that wakes poll() when a link is to stop.
class CStopEvent {
public:
    CStopEvent();
    ~CStopEvent();
    CStopEvent(const CStopEvent&) = delete;
    CStopEvent& operator=(const CStopEvent&) = delete;
    int Fd() const { return m_Fd; }
    void Set();
    bool IsSet() const;
    // Sleeps until deadline; false when the stop event came first.
    bool SleepUntil(Clock::time_point deadline) const;
    // Waits until fd reports events (or the deadline passes: returns 0); -1 when stopping.
    int WaitFd(int fd, short events, Clock::time_point deadline) const;

private:
    int m_Fd = -1;
};

// Replies held back to be sent late, in the order they are due (replies due at the same moment in
// the order they were added). Used by one link thread only.
class CLateQueue {
public:
    void Add(Clock::time_point due, std::vector<uint8_t> message) {
        m_Queue.emplace(due, std::move(message));
    }
    // When the first reply is due; time_point::max() when none waits.
    Clock::time_point Next() const {
        return m_Queue.empty() ? Clock::time_point::max() : m_Queue.begin()->first;
    }
    // Takes the next reply that is due by now; false when none is.
    bool TakeDue(Clock::time_point now, std::vector<uint8_t>& message) {
        if (m_Queue.empty() || m_Queue.begin()->first > now) {
            return false;
        }
        message = std::move(m_Queue.begin()->second);
        m_Queue.erase(m_Queue.begin());
        return true;
    }
    void Clear() { m_Queue.clear(); }

private:
    std::multimap<Clock::time_point, std::vector<uint8_t>> m_Queue;
};

// UART side: a pseudo-terminal. The handset keeps a descriptor of the slave open itself, so the
// host closing its side never hangs up the master; an inotify watch on the slave tells when the
// host closed it, so that stale bytes and a half-received frame are dropped and exclusive mode is
// cleared for the next open.
class CUartLink {
public:
    CUartLink(CVirtualHandset& handset, const SSimulatorOptions& options);
    ~CUartLink();
    CUartLink(const CUartLink&) = delete;
    CUartLink& operator=(const CUartLink&) = delete;

    bool Start(const std::string& linkPath, std::string* error);
    void Stop();
    std::string SlavePath() const;

private:
    bool OpenPty(std::string* error);
    void ClosePty();
    enum class EReadResult { Data, Empty, Stop };

    void Run();
    // Reads what the master holds and serves the frames it completes.
    EReadResult ReadMaster();
    // The host closed the slave; reopened: another host has it open again already.
    void HostClosed(bool reopened);
    // The open and close events of the slave since the last look.
    struct SOpenClose {
        bool closed = false;           // a host closed it
        bool opened = false;           // a host opened it
        bool openedAfterClose = false; // ... after the last close
    };
    SOpenClose ReadOpenClose();
    void Serve(std::vector<uint8_t>&& frame);
    // Writes to the master, paced at the line rate; false when stopping or the host does not read.
    bool Send(const std::vector<uint8_t>& bytes);
    // Sends the late replies that are due; false when stopping.
    bool SendDue();

    CVirtualHandset& m_Handset;
    SSimulatorOptions m_Options;
    std::string m_LinkPath;
    mutable std::mutex m_PathMutex;
    std::string m_SlavePath;
    int m_Master = -1;
    int m_SlaveHold = -1;
    int m_Inotify = -1;
    CStopEvent m_Stop;
    CUartFrameDecoder m_Decoder;
    Clock::time_point m_InputFreeAt{};
    CLateQueue m_Late;
    std::thread m_Thread;
};

// The USB greeting: the first message of every connection. It does not begin with 0x21, so a
// host that does not discard it drops it as a stray frame.
const std::vector<uint8_t>& UsbGreeting();

// One USB packet from the host: fed to the assembler and, once a request is complete (or
// malformed with a readable identifier), handled by the handset. False while there is nothing to
// answer yet.
bool HandleUsbPacket(CVirtualHandset& handset, CUsbPacketAssembler& assembler, const uint8_t* packet,
                     size_t length, SResponse& response);

// USB side: a SOCK_SEQPACKET socket. One connection is served at a time; a later one waits in the
// listen queue until the current one closes.
class CUsbLink {
public:
    CUsbLink(CVirtualHandset& handset, const SSimulatorOptions& options);
    ~CUsbLink();
    CUsbLink(const CUsbLink&) = delete;
    CUsbLink& operator=(const CUsbLink&) = delete;

    bool Start(const std::string& socketPath, std::string* error);
    void Stop();

private:
    void Run();
    // Serves one connection until it closes, the handset hangs up or the link stops.
    void Serve(int conn);
    bool Send(int conn, const std::vector<uint8_t>& message);

    CVirtualHandset& m_Handset;
    SSimulatorOptions m_Options;
    std::string m_Path;
    int m_Listen = -1;
    CStopEvent m_Stop;
    std::thread m_Thread;
};

} // namespace vsim
