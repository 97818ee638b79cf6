// CLinkChannel: the port as the transaction layer uses it. Adds to CLinkPort the configuration,
// the reader thread, the ring of 64 frame slots and the link framing of both port types:
//   UART: 02, the frame with 10 02 0A escaped by 10, 0A;
//   USB:  packets 02 Lhi Llo 21 cid flag data 0A pad (host to target); one packet per reply.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "LinkPort.h"
#include "quillet/QuilletTypes.h"

// One frame of the ring. The state is the hand-over between the reader (producer) and the
// caller (consumer); see the comment above CLinkChannel::m_Ring.
struct FrameSlot {
    static constexpr uint32_t kCapacity = 20480;

    uint8_t data[kCapacity];
    uint32_t length = 0;  // bytes stored
    uint32_t readPos = 0; // bytes already taken by the consumer
    std::atomic<uint32_t> state{0};
};

class CLinkChannel : public CLinkPort {
public:
    static constexpr int kSlotCount = 64;
    enum SlotState : uint32_t { kFree = 0, kArmed = 1, kReceiving = 2, kComplete = 3 };

    static constexpr uint8_t kStartByte = 0x02;
    static constexpr uint8_t kEndByte = 0x0A;
    static constexpr uint8_t kUartEscape = 0x10;
    static constexpr int kUsbReadBytes = 999;       // one reply packet at most
    static constexpr int kUsbPacketData = 993;      // data bytes per request packet at most
    static constexpr int kUsbWriteTimeoutMs = 5000; // per request packet

    explicit CLinkChannel(const TS_PORT_CONFIG& config);
    ~CLinkChannel() override;

    // Stops and joins the reader (promptly, whatever the device does), then closes the device.
    uint32_t CloseDevice() override;
    // Open the device and start the reader: 0 or TM_ERR_PORT_OPEN, the cause kept as last error.
    virtual signed char OpenComChannel(const std::string& deviceName, int baudRate, int dataBits, int parity,
                                       int stopBits, int flowMode, uint32_t eventMask, uint32_t inQueue,
                                       uint32_t outQueue);
    virtual signed char OpenUsbChannel();
    // Reader bodies; their result is the error that ended them (0 when stopped).
    virtual uint32_t ComReaderLoop();
    virtual uint32_t UsbReaderLoop();

    // Builds the status text and opens the configured port; 0 or TM_ERR_PORT_OPEN. A port type
    // other than UART or USB opens nothing and returns 0.
    signed char Connect();
    // Purges a serial device and empties the ring (slot 0 armed). Safe while the reader runs: the
    // reader is held off the ring meanwhile, so it never sees a slot half reset.
    void ResetRing();
    // ResetRing, then CloseDevice.
    void ShutDown();

    // Frames the bytes for the port type and writes them: the bytes written, or TM_ERR_WRITE. A
    // UART write gives up after twice its time on the wire plus 5 s, a USB packet after 5 s.
    int SendFrame(const uint8_t* frame, unsigned short length);
    // Waits for a complete frame at the consumer slot: its length, or 0 once the time-out is used
    // up. The time-out runs in 20 ms steps (a 50 ms wait gives up after 60 ms), but the wait ends
    // as soon as the frame is complete. A time-out of 0 or less does not wait. Gives up at once
    // while the caller's waits are cancelled or the port closes, and once the link is lost (a
    // frame completed before that is still taken).
    int WaitFrame(int timeoutMs);
    // The length of the complete frame at the consumer slot, 0 when none; does not wait.
    int ReadyFrameLength() const;
    // Copies up to capacity bytes of the frame at the consumer slot; frees the slot when the
    // whole frame has been taken. 0 when no frame is complete.
    int TakeFrame(uint8_t* buffer, int capacity);
    // USB: one packet as a complete frame.
    void StoreFrame(const uint8_t* bytes, int length);
    // UART receive decoder, one byte or a run of bytes.
    void DecodeByte(uint8_t byte);
    void DecodeBytes(const uint8_t* bytes, size_t count);

    std::string GetStatusText() const;
    int IsDeviceOpen() const { return IsOpen() ? 1 : 0; }
    const TS_PORT_CONFIG& Config() const { return m_Config; }
    // The device name of the configured port: "COM1" .. or "\\.\Csr0".
    std::string DeviceName() const;
    // The error of the last Connect (0 = opened) and a message naming the port and the reason;
    // once the link is lost, its error and "the device was disconnected".
    uint32_t OpenError() const { return m_OpenError != 0 ? m_OpenError : LinkLostError(); }
    std::string OpenErrorText() const;

    // USB: while on, the reader takes packets from the device; while off they wait there.
    void EnableReceive(bool on);
    // The caller's waits (WaitFrame, Pause, writes) give up at once while on. Thread-safe.
    void CancelWaits(bool on) { SetCancel(on); }
    // Sleeps ms milliseconds; false when cut short by CancelWaits or the close.
    bool Pause(int ms);

    // Inspection, for tests and diagnostics.
    int ProducerIndex() const { return m_Producer.load(std::memory_order_relaxed); }
    int ConsumerIndex() const { return m_Consumer.load(std::memory_order_relaxed); }
    uint32_t SlotStateAt(int index) const { return m_Ring[index].state.load(std::memory_order_acquire); }
    // Frames lost because the ring was full, oversized or truncated.
    uint64_t DroppedFrames() const { return m_Dropped.load(std::memory_order_relaxed); }
    // The result the reader thread ended with, valid after it ended.
    uint32_t ReaderResult() const { return m_ReaderResult.load(); }
    // The device went away under the open port (hung up, unplugged, failed): the reader ended
    // with this error, or a write found the device gone (0 while the link is up, and after a
    // close). From then on WaitFrame gives up
    // at once and OpenError / OpenErrorText say that the device was disconnected. Thread-safe.
    uint32_t LinkLostError() const { return m_LinkLost.load(std::memory_order_acquire); }
    bool LinkLost() const { return LinkLostError() != 0; }

protected:
    void WakeWaiters() override;

private:
    void DecodeByteLocked(uint8_t byte);
    void StoreFrameLocked(const uint8_t* bytes, int length);
    void CompleteFrameLocked(FrameSlot& slot);
    void NotifyFrame();
    // The device went away (the reader ended on its own, or a write found it gone).
    void MarkLinkLost(uint32_t error);
    // The USB reader over libusb: one bulk IN transfer at a time, each one reply frame.
    uint32_t UsbBulkReaderLoop();
    static bool DeviceGone(uint32_t error);
    bool StartReader(bool usb);
    void TakeUsbPacket(const uint8_t* packet, uint32_t count, bool& greeted);
    // What the system's file gives (LinkChannelPosix.cpp, LinkChannelWin.cpp): the wake-up of the
    // USB reader when receiving is enabled, made at the open and let go at the close; the reader
    // thread's name and priority; the error a reader thread that cannot start is reported with.
    uint32_t OpenReceiveWake();
    void CloseReceiveWake();
    static void SetReaderThreadTraits(bool usb);
    static uint32_t ReaderStartError(const std::system_error& e);
    int SendUart(const uint8_t* frame, unsigned short length);
    int SendUsb(const uint8_t* frame, unsigned short length);

    TS_PORT_CONFIG m_Config;
    uint8_t m_Escape;
    std::string m_StatusText;
    uint32_t m_OpenError = 0;
    int m_BitsPerChar = 10; // start + data + parity + stop, for the write time-out
    int m_BaudRate = 115200;

    // The frame ring, allocated once with the port object.
    //
    // Hand-over: a slot belongs to the reader while its state is free, armed or receiving, and to
    // the caller while it is complete. The reader writes data and length, then stores complete
    // with release; the caller loads the state with acquire before it reads data and length, and
    // after copying stores free with release; the reader loads free with acquire before it fills
    // the slot again. So neither side ever sees the other's bytes half written.
    //
    // The reader only publishes a frame when the next slot is free, so a published frame is
    // never taken back: when the ring is full the newest frame is dropped before it is published
    // and its slot is re-armed for the next one.
    //
    // m_RingMutex is held by the reader while it decodes a run of bytes or stores a packet, and
    // by ResetRing; the caller's WaitFrame and TakeFrame never take it.
    std::unique_ptr<FrameSlot[]> m_Ring;
    std::atomic<int> m_Producer{0}; // written by the reader only
    std::atomic<int> m_Consumer{0}; // written by the caller only
    bool m_EscapePending = false;
    bool m_Discarding = false; // the frame outgrew its slot: skip to its end byte
    std::mutex m_RingMutex;
    uint64_t m_Completed = 0; // frames published, under m_RingMutex
    std::atomic<uint64_t> m_Dropped{0};

    // Wakes WaitFrame and Pause: a frame completed, the waits were cancelled or the port closes.
    std::mutex m_WakeMutex;
    std::condition_variable m_WakeCv;

    std::thread m_Reader;
    std::atomic<uint32_t> m_ReaderResult{0};
    std::atomic<uint32_t> m_LinkLost{0};
    std::atomic<bool> m_RxEnabled{false};
    int m_RxWakeFd = -1; // eventfd: the receive-enable state changed

    // Transmit buffers, allocated once: the stuffed UART frame and one USB packet.
    std::vector<uint8_t> m_TxStuffed;
    std::vector<uint8_t> m_TxPacket;
};

// Bit rate of a baud-table index; -1 outside the table.
int LinkBaudRate(int index);
