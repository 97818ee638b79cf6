// CLinkChannel on POSIX: the reader threads over poll() with the stop and receive-enable
// descriptors (the receive-enable one an eventfd made at the USB open, closed with the port).

#include "LinkChannel.h"

#include <cerrno>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>

#include "LinkError.h"
#include "UsbBulkDevice.h"

using namespace quillet;

namespace {
constexpr uint32_t kErrMoreData = 234;
} // namespace

uint32_t CLinkChannel::OpenReceiveWake() {
    m_RxWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return m_RxWakeFd < 0 ? WinErrorFromErrno(errno) : kErrSuccess;
}

void CLinkChannel::CloseReceiveWake() {
    if (m_RxWakeFd >= 0) {
        ::close(m_RxWakeFd);
        m_RxWakeFd = -1;
    }
}

void CLinkChannel::SetReaderThreadTraits(bool usb) {
    pthread_setname_np(pthread_self(), usb ? "quillet-usb-rx" : "quillet-com-rx");
    if (usb) {
        // Below normal priority, as the USB reader has always run.
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), getpriority(PRIO_PROCESS, 0) + 1);
    }
}

uint32_t CLinkChannel::ReaderStartError(const std::system_error& e) {
    return WinErrorFromErrno(e.code().value());
}

// --- readers --------------------------------------------------------------------------------

uint32_t CLinkChannel::ComReaderLoop() {
    uint8_t buffer[4096];
    // A device that keeps reporting input but gives none is gone: never spin on it.
    constexpr int kMaxEmptyEvents = 1000;
    int emptyEvents = 0;
    for (;;) {
        uint32_t rc = AwaitCommEvent(-1);
        if (rc == kErrOperationAborted) {
            return 0;
        }
        if (rc != kErrSuccess) {
            return rc;
        }
        const uint32_t events = TakeEventMask();
        ClearLineErrors(); // line errors are cleared and otherwise ignored
        if ((events & EV_ERR) != 0) {
            ClearLineErrors();
        }
        if ((events & EV_RXCHAR) == 0) {
            continue;
        }
        bool gotBytes = false;
        for (;;) {
            uint32_t count = 0;
            rc = ReadBytes(buffer, sizeof buffer, &count, -1);
            if (rc != kErrSuccess) {
                return rc;
            }
            if (count == 0) {
                break;
            }
            gotBytes = true;
            DecodeBytes(buffer, count);
        }
        emptyEvents = gotBytes ? 0 : emptyEvents + 1;
        if (emptyEvents >= kMaxEmptyEvents) {
            return kErrBrokenPipe;
        }
    }
}

uint32_t CLinkChannel::UsbReaderLoop() {
    if (IsBulkDevice()) {
        return UsbBulkReaderLoop();
    }
    uint8_t packet[kUsbReadBytes];
    bool greeted = false; // the first packet after the open is the device's greeting
    for (;;) {
        const int fd = DeviceFd();
        const bool wantPacket = !greeted || m_RxEnabled.load(std::memory_order_acquire);
        pollfd fds[3] = {{wantPacket ? fd : -1, POLLIN, 0}, {StopFd(), POLLIN, 0}, {m_RxWakeFd, POLLIN, 0}};
        int rc = ::poll(fds, 3, -1);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            return WinErrorFromErrno(errno);
        }
        if (fds[1].revents != 0 || IsStopping()) {
            return 0;
        }
        if (fds[2].revents != 0) {
            uint64_t value;
            while (::read(m_RxWakeFd, &value, sizeof value) < 0 && errno == EINTR) {
            }
            continue; // look at the receive-enable state again
        }
        if ((fds[0].revents & POLLIN) != 0) {
            uint32_t count = 0;
            uint32_t err = ReadBytesDirect(packet, sizeof packet, &count);
            if (err == kErrMoreData) {
                m_Dropped.fetch_add(1, std::memory_order_relaxed);
                greeted = true;
                continue;
            }
            if (err != kErrSuccess) {
                return err;
            }
            TakeUsbPacket(packet, count, greeted);
        } else if (fds[0].revents != 0) {
            return (fds[0].revents & POLLNVAL) != 0 ? kErrInvalidHandle : kErrBrokenPipe;
        }
    }
}

uint32_t CLinkChannel::UsbBulkReaderLoop() {
    // The device discarded the greeting within its window at the open.
    CUsbBulkDevice& usb = Bulk();
    for (;;) {
        if (IsStopping()) {
            usb.CancelRead();
            return 0;
        }
        if (!usb.ReadInFlight()) {
            if (!m_RxEnabled.load(std::memory_order_acquire)) {
                // While receiving is off, no transfer asks for a packet: they wait in the device,
                // and the reader waits for the receive state to change (or the stop) without
                // touching libusb.
                pollfd fds[2] = {{StopFd(), POLLIN, 0}, {m_RxWakeFd, POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
                    return WinErrorFromErrno(errno);
                }
                if (fds[1].revents != 0) {
                    uint64_t value;
                    while (::read(m_RxWakeFd, &value, sizeof value) < 0 && errno == EINTR) {
                    }
                }
                continue;
            }
            if (const uint32_t rc = usb.SubmitRead(); rc != kErrSuccess) {
                return rc;
            }
        }
        // Wakes at a finished transfer, and at once for a stop (Wake ends the slice).
        usb.HandleEvents(1000);
        uint32_t code = 0;
        const uint8_t* data = nullptr;
        int length = 0;
        if (!usb.TakeRead(code, data, length)) {
            continue;
        }
        if (code == kErrOperationAborted && IsStopping()) {
            return 0;
        }
        if (code == kErrMoreData) {
            m_Dropped.fetch_add(1, std::memory_order_relaxed); // longer than any reply: dropped whole
            continue;
        }
        if (code != kErrSuccess) {
            return code;
        }
        if (length == 0) {
            continue; // a zero-length packet
        }
        StoreFrame(data, length);
    }
}

void CLinkChannel::EnableReceive(bool on) {
    m_RxEnabled.store(on, std::memory_order_release);
    if (m_RxWakeFd >= 0) {
        uint64_t one = 1;
        while (::write(m_RxWakeFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}
