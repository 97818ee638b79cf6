// CLinkChannel on Windows: the reader threads over overlapped reads and communication-event
// waits, each waiting on its operation and the stop event together, so that closing never waits
// for a byte.
#include "LinkChannel.h"

#include <algorithm>
#include <system_error>

#include "LinkError.h"
#include "LinkPortWin.h"

using namespace quillet;

namespace {
constexpr uint32_t kErrMoreData = 234;
} // namespace

// The receive-enable event lives as long as the port (SNativeState): here it is only cleared.
uint32_t CLinkChannel::OpenReceiveWake() {
    ::ResetEvent(Native().rxEnable);
    return kErrSuccess;
}

void CLinkChannel::CloseReceiveWake() {
    ::ResetEvent(Native().rxEnable);
}

void CLinkChannel::SetReaderThreadTraits(bool usb) {
    // The USB reader runs below normal priority, as it always has; the COM reader at normal.
    ::SetThreadPriority(::GetCurrentThread(), usb ? THREAD_PRIORITY_BELOW_NORMAL : THREAD_PRIORITY_NORMAL);
}

uint32_t CLinkChannel::ReaderStartError(const std::system_error& /*e*/) {
    return kErrNotEnoughMemory;
}

// --- readers --------------------------------------------------------------------------------

uint32_t CLinkChannel::ComReaderLoop() {
    SNativeState& n = Native();
    const HANDLE device = n.device;
    uint8_t buffer[4096];
    for (;;) {
        if (IsStopping()) {
            return 0;
        }
        // Clear the error state (line errors are cleared and otherwise ignored) and see what the
        // driver holds. A port that cannot even do this is gone: an adapter unplugged (Windows:
        // access denied, bad command, device removed), the other end of a pseudo-terminal closed
        // (wine: not ready).
        DWORD errors = 0;
        COMSTAT stat{};
        if (!::ClearCommError(device, &errors, &stat)) {
            return ::GetLastError();
        }
        if (stat.cbInQue > 0) {
            // Read what is there: with the no-wait time-outs this returns at once.
            OVERLAPPED ov{};
            ov.hEvent = n.readDone;
            ::ResetEvent(ov.hEvent);
            const DWORD want = std::min<DWORD>(stat.cbInQue, sizeof buffer);
            DWORD got = 0;
            uint32_t rc = kErrSuccess;
            if (::ReadFile(device, buffer, want, nullptr, &ov) || ::GetLastError() == ERROR_IO_PENDING) {
                rc = WinFinishOverlapped(device, ov, n.stop, nullptr, -1, got);
            } else {
                rc = ::GetLastError();
            }
            if (got > 0) {
                DecodeBytes(buffer, got); // bytes a cancelled read already took count too
            }
            if (IsStopping()) {
                return 0;
            }
            if (rc != kErrSuccess && rc != kErrTimeout && rc != kErrOperationAborted) {
                return rc;
            }
            continue;
        }
        // Nothing queued: wait for the next character (or a line error) together with the stop.
        OVERLAPPED ov{};
        ov.hEvent = n.commDone;
        ::ResetEvent(ov.hEvent);
        DWORD mask = 0;
        if (!::WaitCommEvent(device, &mask, &ov)) {
            const DWORD err = ::GetLastError();
            if (err != ERROR_IO_PENDING) {
                return err; // the wait cannot even start: the port is gone
            }
            DWORD ignored = 0;
            const uint32_t rc = WinFinishOverlapped(device, ov, n.stop, nullptr, -1, ignored);
            if (IsStopping()) {
                return 0;
            }
            // 995 without a stop: wine ends the wait every few milliseconds with an empty mask.
            // Either way the queue is looked at again.
            if (rc != kErrSuccess && rc != kErrOperationAborted) {
                return rc;
            }
        }
    }
}

uint32_t CLinkChannel::UsbReaderLoop() {
    SNativeState& n = Native();
    const HANDLE device = n.device;
    uint8_t packet[kUsbReadBytes];
    bool greeted = false;  // the first packet after the open is the device's greeting
    bool skipping = false; // the rest of a message longer than any reply
    for (;;) {
        if (IsStopping()) {
            return 0;
        }
        if (greeted && !skipping && !m_RxEnabled.load(std::memory_order_acquire)) {
            // While receiving is off, packets wait in the device; the reader waits for the
            // receive state to change or the stop.
            HANDLE events[2] = {n.stop, n.rxEnable};
            const DWORD wait = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
            if (wait != WAIT_OBJECT_0 + 1) {
                return wait == WAIT_OBJECT_0 ? 0 : ::GetLastError();
            }
            continue;
        }
        OVERLAPPED ov{};
        ov.hEvent = n.readDone;
        ::ResetEvent(ov.hEvent);
        DWORD got = 0;
        uint32_t rc = kErrSuccess;
        if (::ReadFile(device, packet, sizeof packet, nullptr, &ov) || ::GetLastError() == ERROR_IO_PENDING) {
            rc = WinFinishOverlapped(device, ov, n.stop, nullptr, -1, got);
        } else {
            rc = ::GetLastError();
        }
        if (IsStopping()) {
            return 0;
        }
        if (rc == kErrMoreData) {
            // A message longer than any reply: dropped whole (its rest is read and skipped).
            if (!skipping) {
                m_Dropped.fetch_add(1, std::memory_order_relaxed);
            }
            skipping = true;
            greeted = true;
            continue;
        }
        if (skipping) {
            skipping = false;
            if (rc == kErrSuccess) {
                continue; // the last piece of the oversized message
            }
        }
        if (rc != kErrSuccess) {
            return rc;
        }
        TakeUsbPacket(packet, got, greeted);
    }
}

void CLinkChannel::EnableReceive(bool on) {
    m_RxEnabled.store(on, std::memory_order_release);
    if (on) {
        ::SetEvent(Native().rxEnable);
    } else {
        ::ResetEvent(Native().rxEnable);
    }
}
