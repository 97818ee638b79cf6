#include "LinkChannel.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "LinkError.h"

using namespace quillet;

namespace {

constexpr int kBaudTable[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                              19200, 38400, 56000, 57600, 115200, 128000, 256000};

int TableValue(int index, int count, int base) {
    return index >= 0 && index < count ? base + index : -1;
}

} // namespace

int LinkBaudRate(int index) {
    return index >= 0 && index < static_cast<int>(std::size(kBaudTable)) ? kBaudTable[index] : -1;
}

CLinkChannel::CLinkChannel(const TS_PORT_CONFIG& config)
    : m_Config(config), m_Escape(config.PortType == PORT_UART ? kUartEscape : 0),
      m_Ring(new FrameSlot[kSlotCount]) {
    m_TxStuffed.resize(2 * 65535 + 2);
    m_TxPacket.resize(kUsbPacketData + 7 + 3);
}

CLinkChannel::~CLinkChannel() {
    CLinkChannel::CloseDevice();
}

// --- opening --------------------------------------------------------------------------------

std::string CLinkChannel::DeviceName() const {
    if (m_Config.PortType == PORT_UART) {
        return "COM" + std::to_string(m_Config.Port + 1);
    }
    if (m_Config.PortType == PORT_USB) {
        return "\\\\.\\Csr0";
    }
    return {};
}

signed char CLinkChannel::Connect() {
    m_OpenError = 0;
    signed char rc;
    if (m_Config.PortType == PORT_UART) {
        const int baud = LinkBaudRate(m_Config.Baud);
        const int dataBits = TableValue(m_Config.Databits, 4, 5);
        const int parity = TableValue(m_Config.Parity, 5, 0);
        const int stopBits = TableValue(m_Config.Stopbits, 3, 0);
        static constexpr int kFlowModes[3] = {0, 2, 1}; // none, software, hardware
        const int flow =
            m_Config.FlowControl >= 0 && m_Config.FlowControl < 3 ? kFlowModes[m_Config.FlowControl] : -1;
        static const char* const kParityText[5] = {"-N", "-O", "-E", "-M", "-S"};
        static const char* const kStopText[3] = {"-1", "-1.5", "-2"};
        char text[96];
        std::snprintf(text, sizeof text, "COM%d(%d-%d%s%s)", m_Config.Port + 1, baud, dataBits,
                      parity >= 0 ? kParityText[parity] : "-?", stopBits >= 0 ? kStopText[stopBits] : "-?");
        m_StatusText = text;
        m_BaudRate = baud > 0 ? baud : 110;
        m_BitsPerChar = 1 + std::max(dataBits, 8) + (parity > 0 ? 1 : 0) + 2;
        rc = OpenComChannel(DeviceName(), baud, dataBits, parity, stopBits, flow, EV_RXCHAR, 4096, 131072);
    } else if (m_Config.PortType == PORT_USB) {
        m_StatusText = "USB port is opened successfully";
        rc = OpenUsbChannel();
    } else {
        return 0;
    }
    if (rc < 0) {
        m_OpenError = GetLastError() != 0 ? GetLastError() : kErrGenFailure;
        return rc;
    }
    ResetRing();
    return 0;
}

std::string CLinkChannel::OpenErrorText() const {
    const uint32_t lost = LinkLostError();
    if (m_OpenError == 0 && lost == 0) {
        return {};
    }
    std::string text = DeviceName();
    if (!DevicePath().empty() && DevicePath() != text) {
        text += " (" + DevicePath() + ")";
    }
    if (m_OpenError == 0) {
        const std::string detail = LinkLostDetail();
        return text + ": " + (detail.empty() ? "the device was disconnected: " + WinErrorText(lost) : detail);
    }
    if (!OpenDetail().empty()) {
        return text + ": " + OpenDetail() + " (error " + std::to_string(m_OpenError) + ")";
    }
    return text + ": " + WinErrorText(m_OpenError);
}

signed char CLinkChannel::OpenComChannel(const std::string& deviceName, int baudRate, int dataBits,
                                         int parity, int stopBits, int flowMode, uint32_t eventMask,
                                         uint32_t inQueue, uint32_t outQueue) {
    if (OpenComDevice(deviceName, baudRate, dataBits, parity, stopBits, flowMode, eventMask, inQueue,
                      outQueue) != kErrSuccess) {
        return TM_ERR_PORT_OPEN;
    }
    return StartReader(false) ? 0 : TM_ERR_PORT_OPEN;
}

// Opening and closing on every system; the system's file gives the receive-enable wake-up
// (OpenReceiveWake, CloseReceiveWake) and the reader thread's name and priority.

uint32_t CLinkChannel::CloseDevice() {
    SignalStop();
    if (m_Reader.joinable()) {
        m_Reader.join();
    }
    m_LinkLost.store(0, std::memory_order_release);
    const uint32_t rc = CLinkPort::CloseDevice();
    m_RxEnabled.store(false);
    CloseReceiveWake();
    return rc;
}

signed char CLinkChannel::OpenUsbChannel() {
    if (OpenUsbDevice() != kErrSuccess) {
        return TM_ERR_PORT_OPEN;
    }
    m_RxEnabled.store(false);
    if (const uint32_t err = OpenReceiveWake(); err != kErrSuccess) {
        CloseDevice();
        SetResult(err);
        return TM_ERR_PORT_OPEN;
    }
    return StartReader(true) ? 0 : TM_ERR_PORT_OPEN;
}

bool CLinkChannel::StartReader(bool usb) {
    m_ReaderResult.store(0);
    m_LinkLost.store(0, std::memory_order_release);
    try {
        m_Reader = std::thread([this, usb] {
            SetReaderThreadTraits(usb);
            const uint32_t result = usb ? UsbReaderLoop() : ComReaderLoop();
            m_ReaderResult.store(result);
            if (!IsStopping()) {
                // Nobody asked the reader to stop: the device hung up or failed. Nothing more can
                // arrive, so the caller's wait ends now instead of at its time-out.
                MarkLinkLost(result != kErrSuccess ? result : kErrBrokenPipe);
            }
        });
    } catch (const std::system_error& e) {
        CloseDevice();
        SetResult(ReaderStartError(e));
        return false;
    }
    return true;
}

// One packet the USB reader read: the first after the open is the device's greeting and is
// dropped; an empty read is none.
void CLinkChannel::TakeUsbPacket(const uint8_t* packet, uint32_t count, bool& greeted) {
    if (count == 0) {
        return;
    }
    if (!greeted) {
        greeted = true;
        return;
    }
    StoreFrame(packet, static_cast<int>(count));
}

// --- the ring -------------------------------------------------------------------------------

void CLinkChannel::DecodeByte(uint8_t byte) {
    DecodeBytes(&byte, 1);
}

void CLinkChannel::DecodeBytes(const uint8_t* bytes, size_t count) {
    bool completed = false;
    {
        std::lock_guard lock(m_RingMutex);
        const uint64_t before = m_Completed;
        for (size_t i = 0; i < count; ++i) {
            DecodeByteLocked(bytes[i]);
        }
        completed = m_Completed != before;
    }
    if (completed) {
        NotifyFrame();
    }
}

void CLinkChannel::DecodeByteLocked(uint8_t byte) {
    FrameSlot& slot = m_Ring[m_Producer.load(std::memory_order_relaxed)];
    const uint32_t state = slot.state.load(std::memory_order_acquire);
    if (state == kArmed) {
        if (byte == kStartByte) {
            m_EscapePending = false;
            m_Discarding = false;
            slot.readPos = 0;
            slot.length = 0;
            slot.state.store(kReceiving, std::memory_order_relaxed);
        }
        return;
    }
    if (state != kReceiving) {
        return; // free (ring not reset yet) or complete: ignored
    }
    if (!m_EscapePending) {
        if (m_Escape != 0 && byte == m_Escape) {
            m_EscapePending = true;
            return;
        }
        if (byte == kEndByte) {
            if (m_Discarding || slot.length == 0) {
                // An oversized frame is dropped whole; an empty one is no frame.
                if (m_Discarding) {
                    m_Dropped.fetch_add(1, std::memory_order_relaxed);
                }
                m_Discarding = false;
                slot.length = 0;
                slot.state.store(kArmed, std::memory_order_relaxed);
            } else {
                CompleteFrameLocked(slot);
            }
            return;
        }
    }
    m_EscapePending = false;
    if (m_Discarding) {
        return;
    }
    if (slot.length >= FrameSlot::kCapacity) {
        m_Discarding = true; // nothing is written past the slot
        return;
    }
    slot.data[slot.length++] = byte;
}

void CLinkChannel::StoreFrame(const uint8_t* bytes, int length) {
    bool completed = false;
    {
        std::lock_guard lock(m_RingMutex);
        const uint64_t before = m_Completed;
        StoreFrameLocked(bytes, length);
        completed = m_Completed != before;
    }
    if (completed) {
        NotifyFrame();
    }
}

void CLinkChannel::StoreFrameLocked(const uint8_t* bytes, int length) {
    if (length <= 0) {
        return;
    }
    FrameSlot& slot = m_Ring[m_Producer.load(std::memory_order_relaxed)];
    const uint32_t state = slot.state.load(std::memory_order_acquire);
    if ((state != kArmed && state != kReceiving) || static_cast<uint32_t>(length) > FrameSlot::kCapacity) {
        m_Dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    std::memcpy(slot.data, bytes, static_cast<size_t>(length));
    slot.length = static_cast<uint32_t>(length);
    CompleteFrameLocked(slot);
}

void CLinkChannel::CompleteFrameLocked(FrameSlot& slot) {
    const int producer = m_Producer.load(std::memory_order_relaxed);
    const int next = (producer + 1) % kSlotCount;
    if (m_Ring[next].state.load(std::memory_order_acquire) != kFree) {
        // Every other slot holds a frame: the newest one is lost, its slot takes the next one.
        slot.length = 0;
        slot.readPos = 0;
        slot.state.store(kArmed, std::memory_order_relaxed);
        m_Dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    slot.readPos = 0;
    slot.state.store(kComplete, std::memory_order_release); // publishes data and length
    m_Ring[next].state.store(kArmed, std::memory_order_relaxed);
    m_Producer.store(next, std::memory_order_relaxed);
    ++m_Completed;
}

void CLinkChannel::MarkLinkLost(uint32_t error) {
    uint32_t none = 0;
    m_LinkLost.compare_exchange_strong(none, error, std::memory_order_acq_rel); // the first cause stays
    NotifyFrame();
}

bool CLinkChannel::DeviceGone(uint32_t error) {
    // EPIPE and ECONNRESET (the socket's far end closed), EIO (a tty that hung up), ENODEV and
    // ENXIO (the adapter was unplugged).
    return error == kErrBrokenPipe || error == kErrIoDevice || error == kErrFileNotFound;
}

void CLinkChannel::NotifyFrame() {
    // Taking the mutex orders the publication before a waiter's check (no lost wake-up).
    { std::lock_guard lock(m_WakeMutex); }
    m_WakeCv.notify_all();
}

void CLinkChannel::WakeWaiters() {
    NotifyFrame();
}

int CLinkChannel::WaitFrame(int timeoutMs) {
    if (timeoutMs <= 0) {
        return 0;
    }
    // The time-out counts in 20 ms steps: the wait gives up after ceil(t / 20) x 20 ms.
    const long long steps = (static_cast<long long>(timeoutMs) + 19) / 20;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(steps * 20);
    std::unique_lock lock(m_WakeMutex);
    for (;;) {
        if (IsCancelled() || IsStopping()) {
            return 0;
        }
        FrameSlot& slot = m_Ring[m_Consumer.load(std::memory_order_relaxed)];
        if (slot.state.load(std::memory_order_acquire) == kComplete && slot.length > 0) {
            return static_cast<int>(slot.length);
        }
        if (LinkLost()) {
            return 0; // nothing more can arrive
        }
        if (m_WakeCv.wait_until(lock, deadline) == std::cv_status::timeout) {
            FrameSlot& last = m_Ring[m_Consumer.load(std::memory_order_relaxed)];
            if (!IsCancelled() && last.state.load(std::memory_order_acquire) == kComplete &&
                last.length > 0) {
                return static_cast<int>(last.length);
            }
            return 0;
        }
    }
}

int CLinkChannel::ReadyFrameLength() const {
    const FrameSlot& slot = m_Ring[m_Consumer.load(std::memory_order_relaxed)];
    if (slot.state.load(std::memory_order_acquire) != kComplete) {
        return 0;
    }
    return static_cast<int>(slot.length - slot.readPos);
}

int CLinkChannel::TakeFrame(uint8_t* buffer, int capacity) {
    const int consumer = m_Consumer.load(std::memory_order_relaxed);
    FrameSlot& slot = m_Ring[consumer];
    if (slot.state.load(std::memory_order_acquire) != kComplete || capacity <= 0) {
        return 0;
    }
    const uint32_t count = std::min(slot.length - slot.readPos, static_cast<uint32_t>(capacity));
    std::memcpy(buffer, slot.data + slot.readPos, count);
    slot.readPos += count;
    if (slot.readPos >= slot.length) {
        slot.length = 0;
        slot.readPos = 0;
        slot.state.store(kFree, std::memory_order_release); // hands the slot back to the reader
        m_Consumer.store((consumer + 1) % kSlotCount, std::memory_order_relaxed);
    }
    return static_cast<int>(count);
}

void CLinkChannel::ResetRing() {
    if (m_Config.PortType == PORT_UART && IsOpen()) {
        PurgeDevice();
    }
    std::lock_guard lock(m_RingMutex); // holds the reader off the ring meanwhile
    for (int i = 0; i < kSlotCount; ++i) {
        m_Ring[i].length = 0;
        m_Ring[i].readPos = 0;
        m_Ring[i].state.store(kFree, std::memory_order_relaxed);
    }
    m_Producer.store(0, std::memory_order_relaxed);
    m_Consumer.store(0, std::memory_order_relaxed);
    m_EscapePending = false;
    m_Discarding = false;
    m_Ring[0].state.store(kArmed, std::memory_order_release);
}

void CLinkChannel::ShutDown() {
    ResetRing();
    CloseDevice();
}

bool CLinkChannel::Pause(int ms) {
    if (ms <= 0) {
        return !IsCancelled();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock lock(m_WakeMutex);
    return !m_WakeCv.wait_until(lock, deadline, [this] { return IsCancelled() || IsStopping(); });
}

std::string CLinkChannel::GetStatusText() const {
    return m_StatusText;
}

// --- sending --------------------------------------------------------------------------------

int CLinkChannel::SendFrame(const uint8_t* frame, unsigned short length) {
    if (m_Config.PortType == PORT_UART) {
        return SendUart(frame, length);
    }
    if (m_Config.PortType == PORT_USB) {
        return SendUsb(frame, length);
    }
    return 0;
}

int CLinkChannel::SendUart(const uint8_t* frame, unsigned short length) {
    uint8_t* out = m_TxStuffed.data();
    size_t n = 0;
    out[n++] = kStartByte;
    for (unsigned i = 0; i < length; ++i) {
        const uint8_t b = frame[i];
        if (b == kUartEscape || b == kStartByte || b == kEndByte) {
            out[n++] = kUartEscape;
        }
        out[n++] = b;
    }
    out[n++] = kEndByte;
    // Never hang: twice the time the bytes take on the wire, plus 5 s.
    const long long wireMs = (static_cast<long long>(n) * m_BitsPerChar * 1000 + m_BaudRate - 1) / m_BaudRate;
    const int waitMs = static_cast<int>(std::min<long long>(2 * wireMs + 5000, 1 << 30));
    uint32_t written = 0;
    if (const uint32_t rc = WriteBytes(out, static_cast<uint32_t>(n), &written, waitMs); rc != kErrSuccess) {
        if (DeviceGone(rc)) {
            MarkLinkLost(rc);
        }
        return TM_ERR_WRITE;
    }
    return static_cast<int>(written);
}

int CLinkChannel::SendUsb(const uint8_t* frame, unsigned short length) {
    if (length < 2) {
        return TM_ERR_WRITE;
    }
    const int dataBytes = length - 2; // payload and checksum; lead byte and identifier go in the header
    const uint8_t* data = frame + 2;
    const bool single = dataBytes <= kUsbPacketData;
    int offset = 0;
    uint32_t written = 0;
    do {
        const int chunk = std::min(kUsbPacketData, dataBytes - offset);
        uint8_t flag = 0;
        if (!single) {
            flag = offset == 0 ? 1 : (offset + chunk == dataBytes ? 3 : 2);
        }
        uint8_t* p = m_TxPacket.data();
        p[0] = kStartByte;
        p[1] = static_cast<uint8_t>(chunk >> 8);
        p[2] = static_cast<uint8_t>(chunk);
        p[3] = frame[0];
        p[4] = frame[1];
        p[5] = flag;
        std::memcpy(p + 6, data + offset, static_cast<size_t>(chunk));
        p[6 + chunk] = kEndByte;
        // 7 + L rounded up to even; a length that is a multiple of 64 gets two more pad bytes.
        size_t size = static_cast<size_t>(7 + chunk);
        size += size & 1;
        if (size % 64 == 0) {
            size += 2;
        }
        std::memset(p + 7 + chunk, 0, size - static_cast<size_t>(7 + chunk));
        if (const uint32_t rc =
                WriteBytesLocked(p, static_cast<uint32_t>(size), &written, kUsbWriteTimeoutMs);
            rc != kErrSuccess) {
            if (DeviceGone(rc)) {
                MarkLinkLost(rc);
            }
            return TM_ERR_WRITE;
        }
        offset += chunk;
    } while (offset < dataBytes);
    return single ? static_cast<int>(written) : dataBytes;
}
