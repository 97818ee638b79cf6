// CLinkPort: one communication device, a serial tty (termios) or the USB packet device, with the
// Windows-style error codes of LinkError.h. Every operation returns the code it ends with and
// keeps it as the last error (0 = success); an operation on a closed device returns 6.
//
// Waits never spin: every blocking step is a poll() on the device together with a stop
// descriptor (set by CloseDevice, ends every wait of the port) and, for the caller's writes, a
// cancel descriptor (SetCancel, ends the caller's waits but not the reader's).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "KernelTermios.h"

namespace quillet {
class CUsbBulkDevice;
}

// Communication events (the event mask).
constexpr uint32_t EV_RXCHAR = 0x0001; // a character arrived
constexpr uint32_t EV_RXFLAG = 0x0002; // the event character arrived
constexpr uint32_t EV_ERR = 0x0080;    // a line error

class CLinkPort {
public:
    CLinkPort();
    virtual ~CLinkPort();
    CLinkPort(const CLinkPort&) = delete;
    CLinkPort& operator=(const CLinkPort&) = delete;

    // Opens a serial device ("COMn" through the port map, or a path): read/write, no controlling
    // terminal, close-on-exec, exclusive, raw mode with the given settings. The queue sizes are
    // accepted for compatibility; the kernel's tty buffers are fixed. Any failing step closes
    // the device again and returns its error.
    virtual uint32_t OpenComDevice(const std::string& deviceName, int baudRate, int dataBits, int parity,
                                   int stopBits, int flowMode, uint32_t eventMask, uint32_t inQueue,
                                   uint32_t outQueue);
    // Opens the USB device "\\.\Csr0" through the port map: a device text "usb:..." is opened
    // through libusb (CUsbBulkDevice), a Unix socket is connected as SOCK_SEQPACKET, anything else
    // is opened as a device file.
    virtual uint32_t OpenUsbDevice();
    // A path that both opens use instead of resolving the device name (empty: resolve it).
    void SetDevicePathOverride(const std::string& path) { m_PathOverride = path; }
    // Stops every wait of the port, waits for the caller's operations in flight to leave,
    // restores the tty settings found at the open and closes the device. 0 if none was open.
    virtual uint32_t CloseDevice();

    // baudRate in bit/s; dataBits 5..8; parity 0 none, 1 odd, 2 even, 3 mark, 4 space; stopBits
    // 0 = 1, 1 = 1.5, 2 = 2. There is no 1.5 stop-bit setting in termios: 1.5 sets CSTOPB, which a
    // 16550-type UART sends as 1.5 stop bits with 5 data bits and as 2 stop bits otherwise (the
    // nearest longer setting, which a receiver expecting 1.5 accepts). The settings are read back
    // after writing; a device that does not take them fails with 87 (on a pseudo-terminal, which
    // keeps no data size or parity, those two are kept by the port and reported as set).
    virtual uint32_t ApplyLineSettings(int baudRate, int dataBits, int parity, int stopBits);
    virtual uint32_t ApplyEventByte(char eventChar, bool addToMask);
    virtual uint32_t ApplyEventMask(uint32_t mask);
    // Waits up to waitMs (-1: no limit) for an event of the mask; the events go to the event
    // mask. 1460 on time-out, 995 when the port is being closed, 109 when the line hung up.
    virtual uint32_t AwaitCommEvent(int waitMs);
    // 0 none, 1 hardware (RTS/CTS; DSR flow has no termios equivalent, DTR is raised), 2 software
    // (XON/XOFF both ways). Modem lines a device does not have (a pseudo-terminal) are skipped.
    virtual uint32_t ApplyFlowControl(int mode);
    virtual uint32_t ApplyNoWaitTimeouts();
    // Read time-outs as on Windows: mode 0 reads return at once with what is there; mode 1 uses
    // the interval, constant and multiplier given (ms).
    virtual uint32_t ApplyReadTimeouts(int mode, uint32_t interval, uint32_t constant, uint32_t multiplier);
    virtual uint32_t ApplyReadMode(int mode);

    // Settings read back from the device; -1 on failure.
    virtual int QueryBaudRate();
    virtual int QueryByteSize();
    virtual int QueryParity();
    virtual int QueryStopBits();
    virtual int QueryFlowControl();
    // The event mask and event character are kept by the port (termios has neither); 0 on failure.
    virtual uint32_t QueryEventMask();
    virtual char QueryEventByte();

    // Writes all bytes, waiting for room as needed, up to waitMs (-1: no limit); 1460 on
    // time-out, 995 when cancelled or closed. written gets the bytes that went out.
    virtual uint32_t WriteString(const char* text, uint32_t* written, int waitMs);
    virtual uint32_t WriteBytes(const void* data, uint32_t length, uint32_t* written, int waitMs);
    virtual uint32_t WriteBytesLocked(const void* data, uint32_t length, uint32_t* written, int waitMs);
    // Reads with the read time-outs in force; waitMs caps the whole read (-1: no limit).
    virtual uint32_t ReadBytes(void* buffer, uint32_t length, uint32_t* readCount, int waitMs);
    // One read of what the device holds now (nothing waiting counts as success with 0 bytes). On
    // the packet socket a packet longer than the buffer is dropped and 234 returned.
    virtual uint32_t ReadBytesDirect(void* buffer, uint32_t length, uint32_t* readCount);

    uint32_t PurgeDevice();
    uint32_t TakeEventMask();
    // Line errors (CE_ flags: overrun 2, parity 4, frame 8, break 0x10) since the last call; 0 when
    // none or when the device keeps no counts.
    uint32_t ClearLineErrors();

    uint32_t GetLastError() const { return m_LastError.load(std::memory_order_relaxed); }
    bool IsOpen() const { return m_Fd.load(std::memory_order_acquire) >= 0; }
    bool IsPacketDevice() const { return m_PacketDevice; }
    bool IsSocket() const { return m_Socket; }
    // The packet device is a USB device reached through libusb.
    bool IsBulkDevice() const { return m_BulkKind; }
    // What the last open found wrong, in words a user can act on, when the device kind says more
    // than the error code ("no USB device 1234:5678 is connected"); empty otherwise.
    const std::string& OpenDetail() const { return m_OpenDetail; }
    // Why the link ended, when the device kind says more than the error code (an endpoint that
    // stalled, a request cut short); empty otherwise. Thread-safe.
    std::string LinkLostDetail() const;
    // The path that the last open tried ("/dev/ttyUSB0"); empty before any open.
    const std::string& DevicePath() const { return m_DevicePath; }

    // Thread-safe. While on, the caller's writes and reads give up with 995.
    void SetCancel(bool on);
    bool IsCancelled() const { return m_Cancel.load(std::memory_order_acquire); }

protected:
    uint32_t SetResult(uint32_t code) {
        m_LastError.store(code, std::memory_order_relaxed);
        return code;
    }
    int DeviceFd() const { return m_Fd.load(std::memory_order_acquire); }
    int StopFd() const { return m_StopFd; }
    // Makes every wait of the port give up (the reader's included). Thread-safe.
    void SignalStop();
    bool IsStopping() const { return m_Stopping.load(std::memory_order_acquire); }
    // Called by SetCancel and SignalStop after the flag changed, to wake other kinds of waits.
    virtual void WakeWaiters() {}
    // The libusb device (meaningful while IsBulkDevice()); Wake() on it is safe at any time.
    quillet::CUsbBulkDevice& Bulk() { return *m_Bulk; }
    // What a system's backend keeps beside the members below (handles, events, overlapped
    // records: LinkPortWin.h); none on POSIX.
    struct SNativeState;
    SNativeState& Native() { return *m_Native; }

private:
    // A caller's operation holds the device open while it runs; CloseDevice waits for it.
    int BeginIo();
    void EndIo();
    // The close's first step: every wait stopped, the callers' operations left; the port counts as
    // closed from here, and the descriptor it had is returned.
    int StopAndWaitForCallers();
    // The settings an open gives, in order; the first failure ends it.
    uint32_t ApplyOpenSettings(int baudRate, int dataBits, int parity, int stopBits, int flowMode,
                               uint32_t eventMask);
    uint32_t WriteAll(const void* data, uint32_t length, uint32_t* written, int waitMs);
    uint32_t ReadTimed(void* buffer, uint32_t length, uint32_t* readCount, int waitMs);
    uint32_t FailOpen(uint32_t code);
    bool GetTermios(quillet::KernelTermios& t); // POSIX only

    // The line settings as the Query functions report them (their numbering).
    struct SLineSettings {
        int baudRate = 0;
        int byteSize = 8;
        int parity = 0;
        int stopBits = 0;
        int flowControl = 0;
    };
    int QueryLineSetting(int SLineSettings::*field);
    // What the system's file gives: the device's settings (false, with the error kept, when
    // they cannot be read), and the event mask and character where the device keeps them (each
    // left as it is otherwise; a null pointer is not asked for).
    bool ReadLineSettings(SLineSettings& settings);
    void ReadDeviceEvents(uint32_t* mask, char* eventByte);

    std::atomic<uint32_t> m_LastError{0};
    std::atomic<int> m_Fd{-1};
    std::atomic<uint32_t> m_EventMask{0};
    std::atomic<uint32_t> m_CommMask{0};
    std::atomic<char> m_EventChar{0};
    std::mutex m_WriteLock; // held by WriteBytesLocked

    std::string m_PathOverride;
    bool m_PacketDevice = false; // opened by OpenUsbDevice
    bool m_Socket = false;       // the packet device is a SOCK_SEQPACKET socket
    // The packet device is a USB device reached through libusb. It has no descriptor of its own:
    // an eventfd stands in as the port's open handle, so that the open/closed state and the
    // hand-over of the caller's operations to CloseDevice work as for the other kinds.
    bool m_BulkKind = false;
    std::unique_ptr<quillet::CUsbBulkDevice> m_Bulk; // made with the port, never replaced
    std::shared_ptr<SNativeState> m_Native;          // made with the port by a backend that has one
    std::string m_OpenDetail;
    bool m_Tty = false;
    // A pseudo-terminal has no line: its driver keeps 8 data bits and no parity whatever is set.
    // The port keeps the data size and parity it was given and reports them as set.
    bool m_Pty = false;
    uint32_t m_PtyFrameBits = 0;
    bool m_HaveOldTermios = false;
    bool m_Exclusive = false; // this port set the device's exclusive mode (TIOCEXCL)
    quillet::KernelTermios m_OldTermios{};
    std::string m_DevicePath;
    uint32_t m_Baud = 0;

    // Read time-outs (ms); all ones / 0 / 0 = reads return at once.
    std::atomic<uint32_t> m_ReadInterval{0xFFFFFFFFu};
    std::atomic<uint32_t> m_ReadConstant{0};
    std::atomic<uint32_t> m_ReadMultiplier{0};

    // Line error counters at the last ClearLineErrors.
    bool m_CountersChecked = false;
    bool m_HaveCounters = false;
    int m_Counts[4] = {};

    int m_StopFd = -1;   // eventfd, readable once the port is being closed
    int m_CancelFd = -1; // eventfd, readable while the caller's waits are cancelled
    std::atomic<bool> m_Stopping{false};
    std::atomic<bool> m_Cancel{false};

    std::mutex m_IoMutex;
    std::condition_variable m_IoIdle;
    int m_IoUsers = 0;
    bool m_Closing = false;
};
