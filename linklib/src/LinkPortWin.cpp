// CLinkPort on the Windows communications API: the COM port opened with CreateFile and overlapped
// I/O, its device control block, driver queues, time-outs and communication events; the USB
// packet device (the vendor driver's \\.\Csr0, or a message-mode named pipe standing in for it)
// opened as a file, one packet per write and one reply per read.
//
// Written to Windows' documented behaviour and tolerant of wine's serial emulation
// (docs/WINDOWS.md): a read whose total time-out expires may end with 1460 and an event wait
// with an empty mask and 995; both mean "nothing yet". The transferred count is used whatever the
// result. Every wait is on the operation's event together with the stop event (set by
// CloseDevice) and, for the caller's operations, the cancel event (SetCancel).
#include "LinkPortWin.h"

#include <algorithm>
#include <cstring>

#include "LinkError.h"
#include "UsbBulkDevice.h"
#include "WinUtf8.h"
#include "quillet/PortMap.h"
#include "quillet/UsbDevices.h"

using namespace quillet;

// The libusb kind is Linux-only: no device is ever made here, only its owner's destructor runs.
quillet::CUsbBulkDevice::~CUsbBulkDevice() = default;

namespace {

constexpr DWORD kAllOnes = MAXDWORD;

HANDLE ManualEvent() {
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

// "\\.\COM3" is shown as "COM3", the name users know; other paths as they are.
std::string ShownPath(const std::string& path) {
    if (path.size() > 7 && path.compare(0, 4, "\\\\.\\") == 0 &&
        (path.compare(4, 3, "COM") == 0 || path.compare(4, 3, "com") == 0)) {
        return path.substr(4);
    }
    return path;
}

// The path CreateFile takes: "COM10" and above only open as "\\.\COM10".
std::string OpenPath(const std::string& path) {
    if (path.size() > 3 && (path.compare(0, 3, "COM") == 0 || path.compare(0, 3, "com") == 0) &&
        std::all_of(path.begin() + 3, path.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return "\\\\.\\" + path;
    }
    return path;
}

} // namespace

namespace quillet {

uint32_t WinFinishOverlapped(HANDLE device, OVERLAPPED& ov, HANDLE stop, HANDLE cancel, int waitMs,
                             DWORD& transferred) {
    HANDLE events[3] = {ov.hEvent, stop, cancel};
    const DWORD count = cancel != nullptr ? 3 : 2;
    const DWORD wait =
        ::WaitForMultipleObjects(count, events, FALSE, waitMs < 0 ? INFINITE : static_cast<DWORD>(waitMs));
    uint32_t result = kErrSuccess;
    if (wait != WAIT_OBJECT_0) {
        // Stopped, cancelled or out of time: cancel and wait for the cancellation, so that the
        // record and the buffer are free when we return.
        ::CancelIoEx(device, &ov);
        result = wait == WAIT_TIMEOUT  ? kErrTimeout
                 : wait == WAIT_FAILED ? ::GetLastError()
                                       : kErrOperationAborted;
    }
    transferred = 0;
    if (!::GetOverlappedResult(device, &ov, &transferred, TRUE)) {
        const DWORD err = ::GetLastError();
        if (result == kErrSuccess && err != ERROR_OPERATION_ABORTED) {
            result = err;
        } else if (result == kErrSuccess) {
            result = kErrOperationAborted;
        }
    }
    return result;
}

} // namespace quillet

CLinkPort::SNativeState::SNativeState()
    : stop(ManualEvent()), cancel(ManualEvent()), writeDone(ManualEvent()), readDone(ManualEvent()),
      commDone(ManualEvent()), rxEnable(ManualEvent()) {}

CLinkPort::SNativeState::~SNativeState() {
    for (HANDLE h : {stop, cancel, writeDone, readDone, commDone, rxEnable}) {
        if (h != nullptr) {
            ::CloseHandle(h);
        }
    }
}

CLinkPort::CLinkPort() : m_Native(std::make_shared<SNativeState>()) {}

CLinkPort::~CLinkPort() {
    CLinkPort::CloseDevice();
}

// --- opening and closing --------------------------------------------------------------------

uint32_t CLinkPort::FailOpen(uint32_t code) {
    SNativeState& n = Native();
    if (n.device != INVALID_HANDLE_VALUE) {
        ::CloseHandle(n.device);
        n.device = INVALID_HANDLE_VALUE;
    }
    m_Fd.store(-1, std::memory_order_release);
    return SetResult(code);
}

uint32_t CLinkPort::OpenComDevice(const std::string& deviceName, int baudRate, int dataBits, int parity,
                                  int stopBits, int flowMode, uint32_t eventMask, uint32_t inQueue,
                                  uint32_t outQueue) {
    SetResult(kErrSuccess);
    if (IsOpen()) {
        return SetResult(kErrAlreadyInitialized);
    }
    SNativeState& n = Native();
    const std::string path =
        OpenPath(m_PathOverride.empty() ? QuilletResolveDevice(deviceName) : m_PathOverride);
    m_DevicePath = ShownPath(path);
    m_PacketDevice = false;
    m_Socket = false;
    m_BulkKind = false;
    m_OpenDetail.clear();
    m_Stopping.store(false);
    ::ResetEvent(n.stop);

    // Read and write, no sharing, an existing device only, overlapped.
    n.device = ::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (n.device == INVALID_HANDLE_VALUE) {
        // Access denied is what Windows says when another program has the port open: the words
        // for it say so (LinkErrorTextWin.cpp).
        const DWORD err = ::GetLastError();
        return SetResult(err == ERROR_SHARING_VIOLATION ? kErrAccessDenied : err);
    }
    n.comm = true;
    n.pipe = false;
    m_Fd.store(0, std::memory_order_release); // "open"; the handle is in the native state
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(n.device, &dcb)) {
        return FailOpen(kErrInvalidFunction); // not a serial device
    }
    // Driver queues. A driver that keeps fixed queues may refuse the sizes: that is no failure.
    if (!::SetupComm(n.device, inQueue, outQueue)) {
        const DWORD err = ::GetLastError();
        if (err != ERROR_INVALID_FUNCTION && err != ERROR_NOT_SUPPORTED && err != ERROR_INVALID_PARAMETER) {
            return FailOpen(err);
        }
    }
    if (const uint32_t rc = ApplyOpenSettings(baudRate, dataBits, parity, stopBits, flowMode, eventMask);
        rc != kErrSuccess) {
        return FailOpen(rc);
    }
    ::PurgeComm(n.device, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    DWORD errors = 0;
    ::ClearCommError(n.device, &errors, nullptr);
    return SetResult(kErrSuccess);
}

uint32_t CLinkPort::OpenUsbDevice() {
    SetResult(kErrSuccess);
    if (IsOpen()) {
        return SetResult(kErrAlreadyInitialized);
    }
    SNativeState& n = Native();
    const std::string path = m_PathOverride.empty() ? QuilletResolveDevice("\\\\.\\Csr0") : m_PathOverride;
    m_DevicePath = path;
    m_PacketDevice = true;
    m_Socket = false;
    m_BulkKind = false;
    m_OpenDetail.clear();
    m_Stopping.store(false);
    ::ResetEvent(n.stop);

    if (QuilletIsUsbDeviceText(path)) {
        m_OpenDetail = "USB devices named by their ids (usb:...) are reached through libusb, which this "
                       "Windows build does not have; name the vendor driver's device (\\\\.\\Csr0)";
        return SetResult(kErrInvalidFunction);
    }
    // Read and write, shared, an existing device only; overlapped, so that a read that never
    // completes can still be cancelled when the port closes.
    n.device = ::CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                             nullptr);
    if (n.device == INVALID_HANDLE_VALUE) {
        const DWORD err = ::GetLastError();
        if (err == ERROR_PIPE_BUSY) {
            m_OpenDetail = "the device is in use by another program";
        }
        return SetResult(err);
    }
    n.comm = false;
    n.pipe = ::GetFileType(n.device) == FILE_TYPE_PIPE;
    if (n.pipe) {
        // A pipe standing in for the driver carries one packet per message.
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (!::SetNamedPipeHandleState(n.device, &mode, nullptr, nullptr)) {
            const DWORD err = ::GetLastError();
            m_OpenDetail = "the pipe does not carry messages (it must be made with PIPE_TYPE_MESSAGE)";
            ::CloseHandle(n.device);
            n.device = INVALID_HANDLE_VALUE;
            return SetResult(err);
        }
    }
    m_Fd.store(0, std::memory_order_release);
    return SetResult(kErrSuccess);
}

uint32_t CLinkPort::CloseDevice() {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        return kErrSuccess;
    }
    StopAndWaitForCallers();
    SNativeState& n = Native();
    if (n.device != INVALID_HANDLE_VALUE) {
        ::CancelIoEx(n.device, nullptr);
        ::CloseHandle(n.device);
        n.device = INVALID_HANDLE_VALUE;
    }
    n.comm = false;
    n.pipe = false;
    m_CountersChecked = false;
    return kErrSuccess;
}

void CLinkPort::SignalStop() {
    m_Stopping.store(true, std::memory_order_release);
    ::SetEvent(Native().stop);
    WakeWaiters();
}

void CLinkPort::SetCancel(bool on) {
    m_Cancel.store(on, std::memory_order_release);
    if (on) {
        ::SetEvent(Native().cancel);
    } else {
        ::ResetEvent(Native().cancel);
    }
    WakeWaiters();
}

// --- settings -------------------------------------------------------------------------------

namespace {

// The device control block of an open COM port; false (and the error kept) when it is not one.
bool ReadDcb(HANDLE device, bool comm, DCB& dcb, uint32_t& error) {
    if (device == INVALID_HANDLE_VALUE) {
        error = kErrInvalidHandle;
        return false;
    }
    if (!comm) {
        error = kErrInvalidFunction;
        return false;
    }
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(device, &dcb)) {
        error = ::GetLastError();
        return false;
    }
    return true;
}

} // namespace

uint32_t CLinkPort::ApplyLineSettings(int baudRate, int dataBits, int parity, int stopBits) {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        return SetResult(kErrInvalidHandle);
    }
    if (baudRate <= 0 || dataBits < 5 || dataBits > 8 || parity < 0 || parity > 4 || stopBits < 0 ||
        stopBits > 2) {
        return SetResult(kErrInvalidArg);
    }
    SNativeState& n = Native();
    DCB dcb;
    uint32_t err = 0;
    if (!ReadDcb(n.device, n.comm, dcb, err)) {
        return SetResult(err);
    }
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.ByteSize = static_cast<BYTE>(dataBits);
    dcb.Parity = static_cast<BYTE>(parity);     // NOPARITY .. SPACEPARITY: the same codes
    dcb.StopBits = static_cast<BYTE>(stopBits); // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    dcb.fParity = parity != NOPARITY ? TRUE : FALSE;
    dcb.fBinary = TRUE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!::SetCommState(n.device, &dcb)) {
        return SetResult(::GetLastError());
    }
    m_Baud = static_cast<uint32_t>(baudRate);
    return kErrSuccess;
}

uint32_t CLinkPort::ApplyEventByte(char eventChar, bool addToMask) {
    SetResult(kErrSuccess);
    SNativeState& n = Native();
    DCB dcb;
    uint32_t err = 0;
    if (!IsOpen()) {
        return SetResult(kErrInvalidHandle);
    }
    if (!ReadDcb(n.device, n.comm, dcb, err)) {
        return SetResult(err);
    }
    dcb.EvtChar = eventChar;
    if (!::SetCommState(n.device, &dcb)) {
        return SetResult(::GetLastError());
    }
    m_EventChar.store(eventChar);
    if (addToMask) {
        return ApplyEventMask(m_CommMask.load() | EV_RXFLAG);
    }
    return kErrSuccess;
}

uint32_t CLinkPort::ApplyEventMask(uint32_t mask) {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        return SetResult(kErrInvalidHandle);
    }
    SNativeState& n = Native();
    if (n.comm && !::SetCommMask(n.device, mask)) {
        return SetResult(::GetLastError());
    }
    m_CommMask.store(mask);
    return kErrSuccess;
}

uint32_t CLinkPort::AwaitCommEvent(int waitMs) {
    SetResult(kErrSuccess);
    if (BeginIo() < 0) {
        return SetResult(kErrInvalidHandle);
    }
    SNativeState& n = Native();
    if (!n.comm) {
        EndIo();
        return SetResult(kErrInvalidFunction);
    }
    OVERLAPPED ov{};
    ov.hEvent = n.commDone;
    ::ResetEvent(ov.hEvent);
    DWORD mask = 0;
    uint32_t rc = kErrSuccess;
    if (!::WaitCommEvent(n.device, &mask, &ov)) {
        const DWORD err = ::GetLastError();
        if (err != ERROR_IO_PENDING) {
            EndIo();
            return SetResult(err);
        }
        DWORD ignored = 0;
        rc = WinFinishOverlapped(n.device, ov, n.stop, nullptr, waitMs, ignored);
        if (rc == kErrOperationAborted && !IsStopping()) {
            // wine ends a wait with nothing to report this way: no event yet
            rc = kErrSuccess;
            mask = 0;
        }
    }
    EndIo();
    if (rc == kErrSuccess) {
        m_EventMask.store(mask);
    }
    return SetResult(rc);
}

uint32_t CLinkPort::ApplyFlowControl(int mode) {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        return SetResult(kErrInvalidHandle);
    }
    if (mode < 0 || mode > 2) {
        return SetResult(kErrInvalidArg);
    }
    SNativeState& n = Native();
    DCB dcb;
    uint32_t err = 0;
    if (!ReadDcb(n.device, n.comm, dcb, err)) {
        return SetResult(err);
    }
    switch (mode) {
    case 0: // none
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        break;
    case 1: // hardware
        dcb.fOutxCtsFlow = TRUE;
        dcb.fOutxDsrFlow = TRUE;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        break;
    default: // software
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fOutX = TRUE;
        dcb.fInX = TRUE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 2048;
        dcb.XoffLim = 512;
        break;
    }
    if (!::SetCommState(n.device, &dcb)) {
        return SetResult(::GetLastError());
    }
    return kErrSuccess;
}

uint32_t CLinkPort::ApplyNoWaitTimeouts() {
    return ApplyReadTimeouts(0, 0, 0, 0);
}

uint32_t CLinkPort::ApplyReadTimeouts(int mode, uint32_t interval, uint32_t constant, uint32_t multiplier) {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        return SetResult(kErrInvalidHandle);
    }
    if (mode == 0) {
        interval = kAllOnes;
        constant = 0;
        multiplier = 0;
    } else if (mode != 1) {
        return SetResult(kErrInvalidArg);
    }
    SNativeState& n = Native();
    if (n.comm) {
        COMMTIMEOUTS t{};
        if (!::GetCommTimeouts(n.device, &t)) {
            t = COMMTIMEOUTS{};
        }
        t.ReadIntervalTimeout = interval;
        t.ReadTotalTimeoutConstant = constant;
        t.ReadTotalTimeoutMultiplier = multiplier;
        if (!::SetCommTimeouts(n.device, &t)) {
            return SetResult(::GetLastError());
        }
    }
    m_ReadInterval.store(interval);
    m_ReadConstant.store(constant);
    m_ReadMultiplier.store(multiplier);
    return kErrSuccess;
}

bool CLinkPort::ReadLineSettings(SLineSettings& settings) {
    SNativeState& n = Native();
    DCB dcb;
    uint32_t err = 0;
    if (!ReadDcb(n.device, n.comm, dcb, err)) {
        SetResult(err);
        return false;
    }
    settings.baudRate = static_cast<int>(dcb.BaudRate);
    settings.byteSize = dcb.ByteSize;
    settings.parity = dcb.fParity ? dcb.Parity : 0;
    settings.stopBits = dcb.StopBits;
    settings.flowControl = 0;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        settings.flowControl = 1;
    } else if (dcb.fOutX && dcb.fInX) {
        settings.flowControl = 2;
    }
    return true;
}

// A COM port's own mask and event character; a packet device has neither and keeps the port's.
void CLinkPort::ReadDeviceEvents(uint32_t* mask, char* eventByte) {
    SNativeState& n = Native();
    DWORD deviceMask = 0;
    if (mask != nullptr && n.comm && ::GetCommMask(n.device, &deviceMask)) {
        *mask = deviceMask;
    }
    DCB dcb;
    uint32_t err = 0;
    if (eventByte != nullptr && ReadDcb(n.device, n.comm, dcb, err)) {
        *eventByte = dcb.EvtChar;
    }
}

// --- reads and writes -----------------------------------------------------------------------

uint32_t CLinkPort::WriteAll(const void* data, uint32_t length, uint32_t* written, int waitMs) {
    SetResult(kErrSuccess);
    if (written != nullptr) {
        *written = 0;
    }
    if (BeginIo() < 0) {
        return SetResult(kErrInvalidHandle);
    }
    SNativeState& n = Native();
    std::lock_guard lock(n.writeMutex);
    uint32_t rc = kErrSuccess;
    DWORD done = 0;
    if (IsCancelled() || IsStopping()) {
        rc = kErrOperationAborted;
    } else {
        OVERLAPPED ov{};
        ov.hEvent = n.writeDone;
        ::ResetEvent(ov.hEvent);
        if (::WriteFile(n.device, data, length, nullptr, &ov) || ::GetLastError() == ERROR_IO_PENDING) {
            rc = WinFinishOverlapped(n.device, ov, n.stop, n.cancel, waitMs, done);
        } else {
            rc = ::GetLastError();
        }
        if (rc == kErrSuccess && done < length) {
            rc = kErrTimeout; // the driver's write time-out ended it early
        }
        if (rc != kErrSuccess && done < length && n.comm) {
            // Do not leave half a frame queued for the line.
            ::PurgeComm(n.device, PURGE_TXABORT | PURGE_TXCLEAR);
        }
    }
    if (written != nullptr) {
        *written = done;
    }
    EndIo();
    return SetResult(rc);
}

uint32_t CLinkPort::ReadTimed(void* buffer, uint32_t length, uint32_t* readCount, int waitMs) {
    if (BeginIo() < 0) {
        return SetResult(kErrInvalidHandle);
    }
    SNativeState& n = Native();
    std::lock_guard lock(n.readMutex);
    OVERLAPPED ov{};
    ov.hEvent = n.readDone;
    ::ResetEvent(ov.hEvent);
    DWORD done = 0;
    uint32_t rc = kErrSuccess;
    if (::ReadFile(n.device, buffer, length, nullptr, &ov) || ::GetLastError() == ERROR_IO_PENDING) {
        rc = WinFinishOverlapped(n.device, ov, n.stop, nullptr, waitMs, done);
    } else {
        rc = ::GetLastError();
    }
    if (rc == kErrTimeout && waitMs < 0) {
        rc = kErrSuccess; // wine: the read time-outs in force ended the read, which is no failure
    }
    if (rc == ERROR_MORE_DATA && n.pipe) {
        rc = 234;
    }
    if (readCount != nullptr) {
        *readCount = done;
    }
    EndIo();
    return SetResult(rc);
}

uint32_t CLinkPort::ReadBytesDirect(void* buffer, uint32_t length, uint32_t* readCount) {
    // One read of what the device holds now: a COM port with the no-wait time-outs returns at
    // once; the packet device blocks until a packet arrives (or the port closes).
    SetResult(kErrSuccess);
    if (readCount != nullptr) {
        *readCount = 0;
    }
    return ReadTimed(buffer, length, readCount, -1);
}

uint32_t CLinkPort::PurgeDevice() {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        return SetResult(kErrInvalidHandle);
    }
    SNativeState& n = Native();
    if (!n.comm) {
        return kErrSuccess; // a packet device keeps no queues of ours
    }
    if (!::PurgeComm(n.device, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR)) {
        return SetResult(::GetLastError());
    }
    return kErrSuccess;
}

uint32_t CLinkPort::ClearLineErrors() {
    SNativeState& n = Native();
    if (!IsOpen() || !n.comm) {
        return 0;
    }
    DWORD errors = 0;
    if (!::ClearCommError(n.device, &errors, nullptr)) {
        return 0;
    }
    return errors;
}

// Only the libusb kind, which this build has not, names how a link was lost.
std::string CLinkPort::LinkLostDetail() const {
    return {};
}
