// What the Windows port keeps beside CLinkPort's own members: the device handle and the events
// its overlapped operations complete on. Made with the port and kept for its life; the device
// handle only while a device is open.
#pragma once

#include "LinkPort.h" // before <windows.h>: its EV_ constants are macros there

#include <windows.h>

#include <mutex>
#include <string>

struct CLinkPort::SNativeState {
    SNativeState();
    ~SNativeState();
    SNativeState(const SNativeState&) = delete;
    SNativeState& operator=(const SNativeState&) = delete;

    HANDLE device = INVALID_HANDLE_VALUE;
    bool comm = false; // a COM port: the communications functions apply (else a packet device)
    bool pipe = false; // the packet device is a named pipe (a stand-in for the driver)

    // Manual-reset events, made once.
    HANDLE stop = nullptr;      // set while the port closes: every wait of the port gives up
    HANDLE cancel = nullptr;    // set while the caller's waits are cancelled
    HANDLE writeDone = nullptr; // completes the caller's writes
    HANDLE readDone = nullptr;  // completes the reads (the reader's, or ReadBytes)
    HANDLE commDone = nullptr;  // completes the communication-event wait
    HANDLE rxEnable = nullptr;  // USB: set while the reader takes packets
    std::mutex writeMutex;      // one overlapped write at a time on writeDone
    std::mutex readMutex;       // one overlapped read at a time on readDone
};

namespace quillet {

// Waits for an overlapped operation started on device with ov (its event given), for the stop
// event and, with cancel, for the cancel event, up to waitMs (-1: no limit). The operation is
// always finished when this returns: a stop, cancel or time-out cancels it (CancelIoEx) and waits
// for the cancellation. Returns 0 with the transferred count, or the error: 995 for a stop or
// cancel, 1460 for the time-out. The count is kept whatever the result (a cancelled read may
// already have taken bytes).
uint32_t WinFinishOverlapped(HANDLE device, OVERLAPPED& ov, HANDLE stop, HANDLE cancel, int waitMs,
                             DWORD& transferred);

} // namespace quillet
