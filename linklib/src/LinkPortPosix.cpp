// CLinkPort on POSIX: a serial tty through termios (KernelTermios), the USB packet device as a
// device file, a SOCK_SEQPACKET socket or a libusb device (CUsbBulkDevice); every wait a poll().
// What does not depend on the system is in LinkPort.cpp.
#include "LinkPort.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include "LinkError.h"
#include "UsbBulkDevice.h"
#include "quillet/PortMap.h"
#include "quillet/UsbDevices.h"

using namespace quillet;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kErrMoreData = 234; // ERROR_MORE_DATA: a packet did not fit the buffer

// Milliseconds left until deadline for poll(): -1 for no deadline, never negative otherwise.
int PollTimeout(bool limited, Clock::time_point deadline) {
    if (!limited) {
        return -1;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        return 0;
    }
    // Round up so that a wait never ends a fraction of a millisecond early and spins.
    return static_cast<int>(std::min<long long>(left + 1, 1 << 30));
}

Clock::time_point DeadlineAfter(int ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

void SignalEventFd(int fd) {
    if (fd >= 0) {
        uint64_t one = 1;
        ssize_t rc;
        do {
            rc = ::write(fd, &one, sizeof one);
        } while (rc < 0 && errno == EINTR);
    }
}

void DrainEventFd(int fd) {
    if (fd >= 0) {
        uint64_t value;
        while (::read(fd, &value, sizeof value) < 0 && errno == EINTR) {
        }
    }
}

int PollRetry(pollfd* fds, nfds_t count, bool limited, Clock::time_point deadline) {
    for (;;) {
        int rc = ::poll(fds, count, PollTimeout(limited, deadline));
        if (rc >= 0 || errno != EINTR) {
            return rc;
        }
    }
}

// A modem-line ioctl that fails because the device has no modem lines (a pseudo-terminal).
bool NoModemLines(int err) {
    return err == ENOTTY || err == EINVAL || err == EOPNOTSUPP || err == 515;
}

int SetModemLine(int fd, int line, bool on) {
    if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) {
        return 0;
    }
    return NoModemLines(errno) ? 0 : errno;
}

} // namespace

CLinkPort::CLinkPort() : m_Bulk(std::make_unique<CUsbBulkDevice>()) {
    m_CancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

CLinkPort::~CLinkPort() {
    CLinkPort::CloseDevice();
    if (m_CancelFd >= 0) {
        ::close(m_CancelFd);
    }
}

// --- opening and closing --------------------------------------------------------------------

uint32_t CLinkPort::FailOpen(uint32_t code) {
    int fd = m_Fd.exchange(-1);
    if (fd >= 0) {
        if (m_Tty && m_HaveOldTermios) {
            KernelSetTermios(fd, m_OldTermios);
        }
        if (m_Exclusive) {
            ::ioctl(fd, TIOCNXCL);
        }
        ::close(fd);
    }
    m_Exclusive = false;
    if (m_StopFd >= 0) {
        ::close(m_StopFd);
        m_StopFd = -1;
    }
    if (m_BulkKind) {
        m_Bulk->Close();
        m_BulkKind = false;
    }
    m_HaveOldTermios = false;
    return SetResult(code);
}

uint32_t CLinkPort::OpenComDevice(const std::string& deviceName, int baudRate, int dataBits, int parity,
                                  int stopBits, int flowMode, uint32_t eventMask, uint32_t /*inQueue*/,
                                  uint32_t /*outQueue*/) {
    SetResult(kErrSuccess);
    if (IsOpen()) {
        return SetResult(kErrAlreadyInitialized);
    }
    m_DevicePath = m_PathOverride.empty() ? QuilletResolveDevice(deviceName) : m_PathOverride;
    m_PacketDevice = false;
    m_Socket = false;
    m_BulkKind = false;
    m_OpenDetail.clear();
    m_Tty = false;
    m_Stopping.store(false);

    int fd = ::open(m_DevicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return SetResult(WinErrorFromErrno(errno));
    }
    m_Fd.store(fd, std::memory_order_release);
    if (!::isatty(fd)) {
        return FailOpen(kErrInvalidFunction);
    }
    m_Tty = true;
    struct stat st {};
    // Unix98 pseudo-terminal slaves have majors 136 to 143.
    m_Pty =
        ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
    m_PtyFrameBits = CS8;
    // "Without sharing": the advisory lock keeps out every program that also locks, root or not,
    // and TIOCEXCL other opens (root is exempt from it). The exclusive mode belongs to the device,
    // not to this descriptor: only the holder of the lock sets it and clears it again, so that an
    // open refused here leaves the holder's device as it was.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return FailOpen(errno == EWOULDBLOCK ? kErrBusy : WinErrorFromErrno(errno));
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        return FailOpen(WinErrorFromErrno(errno));
    }
    m_Exclusive = true;
    if (int err = KernelGetTermios(fd, m_OldTermios); err != 0) {
        return FailOpen(WinErrorFromErrno(err));
    }
    m_HaveOldTermios = true;
    m_StopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_StopFd < 0) {
        return FailOpen(WinErrorFromErrno(errno));
    }

    // Raw mode: no line editing, echo, signals or character translation; the receiver on; modem
    // status lines ignored; reads return what is there.
    KernelTermios raw = m_OldTermios;
    raw.iflag &= ~static_cast<uint32_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                        IXOFF | IXANY | IGNPAR | INPCK);
    raw.oflag &= ~static_cast<uint32_t>(OPOST);
    raw.lflag &= ~static_cast<uint32_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    raw.cflag &= ~static_cast<uint32_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    raw.cflag |= static_cast<uint32_t>(CS8 | CREAD | CLOCAL);
    raw.cc[KernelVmin()] = 0;
    raw.cc[KernelVtime()] = 0;
    if (int err = KernelSetTermios(fd, raw); err != 0) {
        return FailOpen(WinErrorFromErrno(err));
    }

    if (const uint32_t rc = ApplyOpenSettings(baudRate, dataBits, parity, stopBits, flowMode, eventMask);
        rc != kErrSuccess) {
        return FailOpen(rc);
    }
    ::tcflush(fd, TCIOFLUSH);
    return SetResult(kErrSuccess);
}

uint32_t CLinkPort::OpenUsbDevice() {
    SetResult(kErrSuccess);
    if (IsOpen()) {
        return SetResult(kErrAlreadyInitialized);
    }
    m_DevicePath = m_PathOverride.empty() ? QuilletResolveDevice("\\\\.\\Csr0") : m_PathOverride;
    m_PacketDevice = true;
    m_Socket = false;
    m_BulkKind = false;
    m_OpenDetail.clear();
    m_Tty = false;
    m_HaveOldTermios = false;
    m_Stopping.store(false);

    if (QuilletIsUsbDeviceText(m_DevicePath)) {
        if (const uint32_t rc = m_Bulk->Open(m_DevicePath, m_OpenDetail); rc != kErrSuccess) {
            return SetResult(rc);
        }
        m_BulkKind = true;
        const int handle = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (handle < 0) {
            return FailOpen(WinErrorFromErrno(errno));
        }
        m_Fd.store(handle, std::memory_order_release);
        m_StopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_StopFd < 0) {
            return FailOpen(WinErrorFromErrno(errno));
        }
        return SetResult(kErrSuccess);
    }

    struct stat st {};
    if (::stat(m_DevicePath.c_str(), &st) != 0) {
        return SetResult(WinErrorFromErrno(errno));
    }
    int fd = -1;
    if (S_ISSOCK(st.st_mode)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (m_DevicePath.size() >= sizeof addr.sun_path) {
            return SetResult(kErrFilenameTooLong);
        }
        std::memcpy(addr.sun_path, m_DevicePath.c_str(), m_DevicePath.size() + 1);
        fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return SetResult(WinErrorFromErrno(errno));
        }
        m_Socket = true;
        // A listener that never accepts must not hold the open: connect waits at most 2 s.
        timeval tv{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        int rc;
        do {
            rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            int err = errno;
            ::close(fd);
            return SetResult(err == EAGAIN || err == EINPROGRESS ? kErrTimeout : WinErrorFromErrno(err));
        }
        tv = timeval{0, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    } else {
        fd = ::open(m_DevicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return SetResult(WinErrorFromErrno(errno));
        }
    }
    m_Fd.store(fd, std::memory_order_release);
    m_StopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_StopFd < 0) {
        return FailOpen(WinErrorFromErrno(errno));
    }
    return SetResult(kErrSuccess);
}

uint32_t CLinkPort::CloseDevice() {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        return kErrSuccess;
    }
    const int fd = StopAndWaitForCallers();
    if (m_Tty) {
        if (m_HaveOldTermios) {
            KernelSetTermios(fd, m_OldTermios);
        }
        if (m_Exclusive) {
            ::ioctl(fd, TIOCNXCL);
        }
    }
    m_Exclusive = false;
    ::close(fd);
    if (m_StopFd >= 0) {
        ::close(m_StopFd);
        m_StopFd = -1;
    }
    if (m_BulkKind) {
        m_Bulk->Close(); // releases the interface: a detached kernel driver is attached again
        m_BulkKind = false;
    }
    m_HaveOldTermios = false;
    m_CountersChecked = false;
    return kErrSuccess;
}

std::string CLinkPort::LinkLostDetail() const {
    return m_BulkKind ? m_Bulk->FailureText() : std::string();
}

void CLinkPort::SignalStop() {
    m_Stopping.store(true, std::memory_order_release);
    SignalEventFd(m_StopFd);
    m_Bulk->Wake();
    WakeWaiters();
}

void CLinkPort::SetCancel(bool on) {
    m_Cancel.store(on, std::memory_order_release);
    if (on) {
        SignalEventFd(m_CancelFd);
    } else {
        DrainEventFd(m_CancelFd);
    }
    m_Bulk->Wake();
    WakeWaiters();
}

// --- settings -------------------------------------------------------------------------------

bool CLinkPort::GetTermios(KernelTermios& t) {
    int fd = DeviceFd();
    if (fd < 0) {
        SetResult(kErrInvalidHandle);
        return false;
    }
    if (int err = KernelGetTermios(fd, t); err != 0) {
        SetResult(WinErrorFromErrno(err));
        return false;
    }
    if (m_Pty) {
        t.cflag = (t.cflag & ~static_cast<uint32_t>(CSIZE | PARENB | PARODD | CMSPAR)) | m_PtyFrameBits;
    }
    return true;
}

uint32_t CLinkPort::ApplyLineSettings(int baudRate, int dataBits, int parity, int stopBits) {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        return SetResult(kErrInvalidHandle);
    }
    if (baudRate <= 0 || dataBits < 5 || dataBits > 8 || parity < 0 || parity > 4 || stopBits < 0 ||
        stopBits > 2) {
        return SetResult(kErrInvalidArg);
    }
    KernelTermios t;
    if (!GetTermios(t)) {
        return GetLastError();
    }
    static constexpr uint32_t kSizes[4] = {CS5, CS6, CS7, CS8};
    t.cflag &= ~static_cast<uint32_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    t.cflag |= kSizes[dataBits - 5];
    // Parity codes: odd and mark set PARODD; mark and space are the stick parities (CMSPAR).
    static constexpr uint32_t kParity[5] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                            PARENB | CMSPAR};
    t.cflag |= kParity[parity];
    if (parity != 0) {
        t.iflag |= INPCK;
    } else {
        t.iflag &= ~static_cast<uint32_t>(INPCK);
    }
    if (stopBits != 0) {
        t.cflag |= CSTOPB;
    }
    KernelSetSpeed(t, static_cast<uint32_t>(baudRate));
    if (int err = KernelSetTermios(DeviceFd(), t); err != 0) {
        return SetResult(WinErrorFromErrno(err));
    }
    // Drivers silently drop what they cannot do (a rate, stick parity): check what took.
    KernelTermios back;
    if (!GetTermios(back)) {
        return GetLastError();
    }
    uint32_t frameBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    if (m_Pty) {
        m_PtyFrameBits = t.cflag & (CSIZE | PARENB | PARODD | CMSPAR);
        frameBits = CSTOPB;
    }
    const double rate = KernelGetSpeed(back);
    if ((back.cflag & frameBits) != (t.cflag & frameBits) || rate < baudRate * 0.97 ||
        rate > baudRate * 1.03) {
        return SetResult(kErrInvalidParameter);
    }
    m_Baud = static_cast<uint32_t>(baudRate);
    return kErrSuccess;
}

uint32_t CLinkPort::ApplyEventByte(char eventChar, bool addToMask) {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        return SetResult(kErrInvalidHandle);
    }
    m_EventChar.store(eventChar);
    if (addToMask) {
        m_CommMask.fetch_or(EV_RXFLAG);
    }
    return kErrSuccess;
}

uint32_t CLinkPort::ApplyEventMask(uint32_t mask) {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        return SetResult(kErrInvalidHandle);
    }
    m_CommMask.store(mask);
    return kErrSuccess;
}

uint32_t CLinkPort::AwaitCommEvent(int waitMs) {
    SetResult(kErrSuccess);
    int fd = DeviceFd();
    if (fd < 0) {
        return SetResult(kErrInvalidHandle);
    }
    const uint32_t mask = m_CommMask.load();
    const bool wantInput = (mask & (EV_RXCHAR | EV_RXFLAG | EV_ERR)) != 0;
    pollfd fds[2] = {{wantInput ? fd : -1, POLLIN, 0}, {m_StopFd, POLLIN, 0}};
    const bool limited = waitMs >= 0;
    const auto deadline = DeadlineAfter(limited ? waitMs : 0);
    int rc = PollRetry(fds, 2, limited, deadline);
    if (rc < 0) {
        return SetResult(WinErrorFromErrno(errno));
    }
    if (fds[1].revents != 0 || IsStopping()) {
        return SetResult(kErrOperationAborted);
    }
    if (rc == 0) {
        return SetResult(kErrTimeout);
    }
    if ((fds[0].revents & POLLHUP) != 0) {
        // The line hung up (the other end of a pseudo-terminal closed, an adapter was unplugged).
        // A hung-up tty also reports input, but its reads return nothing: the port is done.
        return SetResult(kErrBrokenPipe);
    }
    if ((fds[0].revents & POLLIN) != 0) {
        m_EventMask.store(EV_RXCHAR);
        return kErrSuccess;
    }
    if ((fds[0].revents & POLLNVAL) != 0) {
        return SetResult(kErrInvalidHandle);
    }
    // Hang-up (the other end of a pseudo-terminal closed) or a device error.
    return SetResult(kErrBrokenPipe);
}

uint32_t CLinkPort::ApplyFlowControl(int mode) {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        return SetResult(kErrInvalidHandle);
    }
    if (mode < 0 || mode > 2) {
        return SetResult(kErrInvalidArg);
    }
    KernelTermios t;
    if (!GetTermios(t)) {
        return GetLastError();
    }
    t.cflag &= ~static_cast<uint32_t>(CRTSCTS);
    t.iflag &= ~static_cast<uint32_t>(IXON | IXOFF | IXANY);
    bool dtr = false;
    bool rts = false;
    switch (mode) {
    case 0: // none: DTR disabled, RTS enabled
        rts = true;
        break;
    case 1: // hardware: RTS/CTS handshake, DTR raised
        t.cflag |= CRTSCTS;
        dtr = true;
        rts = true;
        break;
    default: // software: XON/XOFF both ways, DTR and RTS disabled
        t.iflag |= IXON | IXOFF;
        break;
    }
    const int fd = DeviceFd();
    if (int err = KernelSetTermios(fd, t); err != 0) {
        return SetResult(WinErrorFromErrno(err));
    }
    KernelTermios back;
    if (!GetTermios(back)) {
        return GetLastError();
    }
    if ((back.cflag & CRTSCTS) != (t.cflag & CRTSCTS) ||
        (back.iflag & (IXON | IXOFF)) != (t.iflag & (IXON | IXOFF))) {
        return SetResult(kErrInvalidParameter);
    }
    if (int err = SetModemLine(fd, TIOCM_DTR, dtr); err != 0) {
        return SetResult(WinErrorFromErrno(err));
    }
    if (int err = SetModemLine(fd, TIOCM_RTS, rts); err != 0) {
        return SetResult(WinErrorFromErrno(err));
    }
    return kErrSuccess;
}

uint32_t CLinkPort::ApplyNoWaitTimeouts() {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        return SetResult(kErrInvalidHandle);
    }
    m_ReadInterval.store(0xFFFFFFFFu);
    m_ReadConstant.store(0);
    m_ReadMultiplier.store(0);
    return kErrSuccess;
}

uint32_t CLinkPort::ApplyReadTimeouts(int mode, uint32_t interval, uint32_t constant, uint32_t multiplier) {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        return SetResult(kErrInvalidHandle);
    }
    if (mode == 0) {
        interval = 0xFFFFFFFFu;
        constant = 0;
        multiplier = 0;
    } else if (mode != 1) {
        return SetResult(kErrInvalidArg);
    }
    m_ReadInterval.store(interval);
    m_ReadConstant.store(constant);
    m_ReadMultiplier.store(multiplier);
    return kErrSuccess;
}

bool CLinkPort::ReadLineSettings(SLineSettings& settings) {
    KernelTermios t;
    if (!GetTermios(t)) {
        return false;
    }
    settings.baudRate = static_cast<int>(KernelGetSpeed(t));
    switch (t.cflag & CSIZE) {
    case CS5:
        settings.byteSize = 5;
        break;
    case CS6:
        settings.byteSize = 6;
        break;
    case CS7:
        settings.byteSize = 7;
        break;
    default:
        settings.byteSize = 8;
        break;
    }
    settings.parity = 0;
    if ((t.iflag & INPCK) != 0 && (t.cflag & PARENB) != 0) {
        const bool odd = (t.cflag & PARODD) != 0;
        settings.parity = (t.cflag & CMSPAR) != 0 ? (odd ? 3 : 4) : (odd ? 1 : 2);
    }
    settings.stopBits = 0;
    if ((t.cflag & CSTOPB) != 0) {
        settings.stopBits = (t.cflag & CSIZE) == CS5 ? 1 : 2; // with 5 data bits the UART sends 1.5 stop bits
    }
    settings.flowControl = 0;
    if ((t.cflag & CRTSCTS) != 0) {
        settings.flowControl = 1;
    } else if ((t.iflag & IXON) != 0 && (t.iflag & IXOFF) != 0) {
        settings.flowControl = 2;
    }
    return true;
}

// termios has neither an event mask nor an event character: the port's own are the answer.
void CLinkPort::ReadDeviceEvents(uint32_t* /*mask*/, char* /*eventByte*/) {}

// --- reads and writes -----------------------------------------------------------------------

uint32_t CLinkPort::WriteAll(const void* data, uint32_t length, uint32_t* written, int waitMs) {
    SetResult(kErrSuccess);
    if (written != nullptr) {
        *written = 0;
    }
    const int fd = BeginIo();
    if (fd < 0) {
        return SetResult(kErrInvalidHandle);
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (m_BulkKind) {
        // One bulk OUT transfer carries the whole packet.
        uint32_t sent = 0;
        const uint32_t rc =
            m_Bulk->Write(bytes, length, &sent, waitMs, [this] { return IsCancelled() || IsStopping(); });
        if (written != nullptr) {
            *written = sent;
        }
        EndIo();
        return SetResult(rc);
    }
    const bool limited = waitMs >= 0;
    const auto deadline = DeadlineAfter(limited ? waitMs : 0);
    uint32_t done = 0;
    uint32_t rc = kErrSuccess;
    while (done < length) {
        if (IsCancelled() || IsStopping()) {
            rc = kErrOperationAborted;
            break;
        }
        ssize_t n = m_Socket ? ::send(fd, bytes + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                             : ::write(fd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            rc = WinErrorFromErrno(errno);
            break;
        }
        // The device's queue is full: wait for room, for the stop or for a cancel.
        pollfd fds[3] = {{fd, POLLOUT, 0}, {m_StopFd, POLLIN, 0}, {m_CancelFd, POLLIN, 0}};
        int prc = PollRetry(fds, 3, limited, deadline);
        if (prc < 0) {
            rc = WinErrorFromErrno(errno);
            break;
        }
        if (prc == 0) {
            rc = kErrTimeout;
            break;
        }
        if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (fds[0].revents & POLLOUT) == 0) {
            rc = (fds[0].revents & POLLNVAL) != 0 ? kErrInvalidHandle : kErrBrokenPipe;
            break;
        }
    }
    if (rc != kErrSuccess && done < length && m_Tty) {
        // Do not leave half a frame queued for the line.
        ::tcflush(fd, TCOFLUSH);
    }
    if (written != nullptr) {
        *written = done;
    }
    EndIo();
    return SetResult(rc);
}

uint32_t CLinkPort::ReadTimed(void* buffer, uint32_t length, uint32_t* readCount, int waitMs) {
    const int fd = BeginIo();
    if (fd < 0) {
        return SetResult(kErrInvalidHandle);
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    const uint32_t interval = m_ReadInterval.load();
    const uint32_t constant = m_ReadConstant.load();
    const uint32_t multiplier = m_ReadMultiplier.load();
    const bool noWait = interval == 0xFFFFFFFFu && constant == 0 && multiplier == 0;
    const bool totalLimited = constant != 0 || multiplier != 0;
    const auto totalDeadline = DeadlineAfter(
        static_cast<int>(std::min<uint64_t>(uint64_t{constant} + uint64_t{multiplier} * length, 1u << 30)));
    const bool waitLimited = waitMs >= 0;
    const auto waitDeadline = DeadlineAfter(waitLimited ? waitMs : 0);

    uint32_t done = 0;
    uint32_t rc = kErrSuccess;
    while (done < length) {
        ssize_t n = ::read(fd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            rc = WinErrorFromErrno(errno);
            break;
        }
        if (noWait) {
            break;
        }
        // Nothing there: wait for the next byte within the time-outs in force.
        bool limited = totalLimited || waitLimited || (done > 0 && interval != 0);
        auto deadline = Clock::time_point::max();
        if (totalLimited) {
            deadline = std::min(deadline, totalDeadline);
        }
        if (waitLimited) {
            deadline = std::min(deadline, waitDeadline);
        }
        if (done > 0 && interval != 0 && interval != 0xFFFFFFFFu) {
            deadline = std::min(deadline, DeadlineAfter(static_cast<int>(std::min(interval, 1u << 30))));
        } else if (done > 0 && interval == 0xFFFFFFFFu) {
            break;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_StopFd, POLLIN, 0}};
        int prc = PollRetry(fds, 2, limited, deadline);
        if (prc < 0) {
            rc = WinErrorFromErrno(errno);
            break;
        }
        if (fds[1].revents != 0) {
            rc = kErrOperationAborted;
            break;
        }
        if (prc == 0) {
            // The read time-outs end a read successfully; the caller's own wait limit does not.
            if (waitLimited && Clock::now() >= waitDeadline &&
                !(totalLimited && totalDeadline <= waitDeadline)) {
                rc = kErrTimeout;
            }
            break;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            rc = kErrBrokenPipe;
            break;
        }
    }
    if (readCount != nullptr) {
        *readCount = done;
    }
    EndIo();
    return SetResult(rc);
}

uint32_t CLinkPort::ReadBytesDirect(void* buffer, uint32_t length, uint32_t* readCount) {
    SetResult(kErrSuccess);
    if (readCount != nullptr) {
        *readCount = 0;
    }
    const int fd = BeginIo();
    if (fd < 0) {
        return SetResult(kErrInvalidHandle);
    }
    if (m_BulkKind) {
        EndIo();
        return SetResult(kErrInvalidFunction); // the reader takes bulk IN transfers itself
    }
    uint32_t rc = kErrSuccess;
    ssize_t n;
    do {
        n = m_Socket ? ::recv(fd, buffer, length, MSG_TRUNC | MSG_DONTWAIT) : ::read(fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno != EAGAIN) {
            rc = WinErrorFromErrno(errno);
        }
    } else if (m_Socket && static_cast<size_t>(n) > length) {
        rc = kErrMoreData; // a packet longer than any reply: dropped whole
    } else if (n == 0 && m_Socket) {
        rc = kErrBrokenPipe; // the other end closed
    } else if (readCount != nullptr) {
        *readCount = static_cast<uint32_t>(n);
    }
    EndIo();
    return SetResult(rc);
}

uint32_t CLinkPort::PurgeDevice() {
    SetResult(kErrSuccess);
    int fd = DeviceFd();
    if (fd < 0) {
        return SetResult(kErrInvalidHandle);
    }
    if (!m_Tty) {
        return kErrSuccess; // a packet device keeps no queues of ours
    }
    if (::tcflush(fd, TCIOFLUSH) != 0) {
        return SetResult(WinErrorFromErrno(errno));
    }
    return kErrSuccess;
}

uint32_t CLinkPort::ClearLineErrors() {
    int fd = DeviceFd();
    if (fd < 0 || !m_Tty || (m_CountersChecked && !m_HaveCounters)) {
        return 0;
    }
    serial_icounter_struct counts{};
    if (::ioctl(fd, TIOCGICOUNT, &counts) != 0) {
        m_CountersChecked = true;
        m_HaveCounters = false; // a pseudo-terminal keeps no counts
        return 0;
    }
    const int now[4] = {counts.overrun + counts.buf_overrun, counts.parity, counts.frame, counts.brk};
    uint32_t flags = 0;
    if (m_HaveCounters) {
        static constexpr uint32_t kFlags[4] = {0x0002, 0x0004, 0x0008, 0x0010};
        for (int i = 0; i < 4; ++i) {
            if (now[i] != m_Counts[i]) {
                flags |= kFlags[i];
            }
        }
    }
    std::copy(std::begin(now), std::end(now), m_Counts);
    m_CountersChecked = true;
    m_HaveCounters = true;
    return flags;
}
