#include "quillet/PROTOCOL.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "LinkChannel.h"
#include "ReplyFrame.h"

namespace {

constexpr uint8_t kLeadByte = 0x21;
constexpr uint8_t kWriterEnd = 0x22;
constexpr int kMaxRequestPayload = 65532; // a request frame is at most 65535 bytes
constexpr int kDefaultTimeoutMs = 4000;   // a time-out of 0
constexpr int kWriterEndPauseMs = 500;    // USB: the boot loader starts the writer before answering

} // namespace

// The request being built, laid out as the frame it becomes: 21, identifier, payload, checksum.
struct CPROTOCOL::TxBuffer {
    static constexpr uint32_t kPayloadCapacity = 131071;
    uint32_t count = 0;    // payload bytes
    bool overflow = false; // more was put than the buffer holds: the request is refused
    uint8_t frame[2 + kPayloadCapacity + 1] = {};
};

// The last reply taken, and room for the frame being taken.
struct CPROTOCOL::RxBuffer : CReplyFrame {};

struct CPROTOCOL::Shared {
    std::mutex mutex; // guards replacing m_Port against CancelWaits from another thread
    std::atomic<bool> cancel{false};
    std::atomic<uint64_t> lateReplies{0}; // GetLateReplyCount
    std::string devicePath;               // SetDevicePath: opened instead of the port map's device
};

CPROTOCOL::CPROTOCOL(TS_PORT_CONFIG config) : m_Config(config), m_HasConfig(true), m_Shared(new Shared) {}

CPROTOCOL::CPROTOCOL() : m_Shared(new Shared) {}

CPROTOCOL::~CPROTOCOL() {
    std::unique_ptr<CLinkChannel> port;
    {
        std::lock_guard lock(m_Shared->mutex);
        port = std::move(m_Port);
    }
    // The port's destructor stops its reader and closes the device.
}

// --- lifecycle ------------------------------------------------------------------------------

void CPROTOCOL::SetDevicePath(const std::string& path) {
    m_Shared->devicePath = path;
}

signed char CPROTOCOL::Initialize() {
    if (!m_HasConfig) {
        return TM_ERR_PORT_OPEN; // nothing to open
    }
    try {
        m_Tx = std::make_unique<TxBuffer>();
        m_Rx = std::make_unique<RxBuffer>();
    } catch (const std::bad_alloc&) {
        m_Tx.reset();
        m_Rx.reset();
        return TM_ERR_NO_MEMORY;
    }
    std::unique_ptr<CLinkChannel> old;
    {
        std::lock_guard lock(m_Shared->mutex);
        old = std::move(m_Port);
    }
    if (old) {
        old->ShutDown();
        old.reset();
    }
    std::unique_ptr<CLinkChannel> port;
    try {
        port = std::make_unique<CLinkChannel>(m_Config);
        port->SetDevicePathOverride(m_Shared->devicePath);
    } catch (const std::bad_alloc&) {
        return TM_ERR_NO_MEMORY;
    }
    {
        std::lock_guard lock(m_Shared->mutex);
        port->CancelWaits(m_Shared->cancel.load());
        m_Port = std::move(port);
    }
    return m_Port->Connect();
}

signed char CPROTOCOL::Exit() {
    m_Tx.reset();
    m_Rx.reset();
    if (m_Port) {
        m_Port->ShutDown();
    }
    return 0;
}

signed char CPROTOCOL::Reset() {
    if (m_Port) {
        m_Port->ResetRing();
    }
    return 0;
}

int CPROTOCOL::IsSerialOpen() const {
    return m_Port ? m_Port->IsDeviceOpen() : 0;
}

std::string CPROTOCOL::GetSerialPortConnectStatusString() const {
    return m_Port ? m_Port->GetStatusText() : std::string();
}

std::string CPROTOCOL::GetPortErrorText() const {
    if (!m_HasConfig) {
        return "no port is configured";
    }
    return m_Port ? m_Port->OpenErrorText() : std::string();
}

unsigned int CPROTOCOL::GetPortLastError() const {
    return m_Port ? m_Port->OpenError() : 0;
}

void CPROTOCOL::CancelWaits(bool on) {
    std::lock_guard lock(m_Shared->mutex);
    m_Shared->cancel.store(on);
    if (m_Port) {
        m_Port->CancelWaits(on);
    }
}

void CPROTOCOL::Pause(int milliseconds) {
    if (m_Port) {
        m_Port->Pause(milliseconds);
    } else if (!m_Shared->cancel.load() && milliseconds > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

// --- building a request ---------------------------------------------------------------------

signed char CPROTOCOL::TmTransactionBegin(unsigned char cid) {
    PutInit(cid);
    return 0;
}

void CPROTOCOL::PutInit(unsigned char cid) {
    if (m_Tx) {
        m_Tx->count = 0;
        m_Tx->overflow = false;
        m_Tx->frame[1] = cid;
    }
}

void CPROTOCOL::PutInt8(unsigned char value) {
    PutData(reinterpret_cast<const char*>(&value), 1);
}

void CPROTOCOL::PutInt16(unsigned short value) {
    const char bytes[2] = {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
    PutData(bytes, 2);
}

void CPROTOCOL::PutInt32(unsigned int value) {
    const char bytes[4] = {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                           static_cast<char>((value >> 16) & 0xFF), static_cast<char>(value >> 24)};
    PutData(bytes, 4);
}

void CPROTOCOL::PutData(const char* data, unsigned short length) {
    if (!m_Tx || length == 0) {
        return;
    }
    if (data == nullptr || m_Tx->count + length > TxBuffer::kPayloadCapacity) {
        m_Tx->overflow = true;
        return;
    }
    std::memcpy(m_Tx->frame + 2 + m_Tx->count, data, length);
    m_Tx->count += length;
}

// --- the transaction ------------------------------------------------------------------------

char CPROTOCOL::TmChecksum(const char* data, int length) {
    char sum = 0;
    for (int i = 0; i < length; ++i) {
        sum = static_cast<char>(sum ^ data[i]);
    }
    return sum;
}

int CPROTOCOL::TmTransmit() {
    if (!m_Tx || !m_Port) {
        return TM_ERR_WRITE;
    }
    // A request that does not fit the frame format is refused whole, never cut short.
    if (m_Tx->overflow || m_Tx->count > static_cast<uint32_t>(kMaxRequestPayload)) {
        return TM_ERR_WRITE;
    }
    uint8_t* frame = m_Tx->frame;
    frame[0] = kLeadByte;
    const int count = static_cast<int>(m_Tx->count);
    frame[2 + count] = static_cast<uint8_t>(TmChecksum(reinterpret_cast<const char*>(frame + 1), count + 1));
    return m_Port->SendFrame(frame, static_cast<unsigned short>(count + 3));
}

int CPROTOCOL::TmTransaction(int timeoutMs) {
    if (!m_Tx || !m_Port) {
        return TM_ERR_WRITE;
    }
    if (m_Shared->cancel.load()) {
        return TM_ERR_TIMEOUT; // a stopped job sends nothing more
    }
    if (m_Port->LinkLost()) {
        return TM_ERR_TIMEOUT; // the device went away: no reply can come, nothing is sent
    }
    const unsigned char cid = m_Tx->frame[1];
    DropStaleFrames();
    const int sent = TmTransmit();
    if (sent < 0) {
        return sent;
    }
    const bool usb = m_Config.PortType == PORT_USB;
    if (usb) {
        if (cid == kWriterEnd) {
            Pause(kWriterEndPauseMs);
        }
        m_Port->EnableReceive(true);
    }
    if (timeoutMs < 0) {
        return sent;
    }
    const int result = TmReceive(cid, timeoutMs);
    if (usb) {
        m_Port->EnableReceive(false);
    }
    return result;
}

void CPROTOCOL::DropStaleFrames() {
    // Whatever is complete in the ring before the request goes out cannot answer it: it is the
    // reply to an earlier request that came after that one had given up (or noise). Bounded by
    // the ring, so a line that never stops producing frames cannot hold the request back.
    for (int i = 0; i < CLinkChannel::kSlotCount && m_Port->ReadyFrameLength() > 0; ++i) {
        const int length = m_Port->TakeFrame(m_Rx->Frame(), RxBuffer::kFrameCapacity);
        if (length >= 3 && m_Rx->Frame()[0] == kLeadByte) {
            m_Shared->lateReplies.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

int CPROTOCOL::TmReceive(unsigned char cid, int timeoutMs) {
    if (!m_Port || !m_Rx) {
        return TM_ERR_TIMEOUT;
    }
    if (timeoutMs == -1) {
        timeoutMs = INT_MAX;
    } else if (timeoutMs == 0) {
        timeoutMs = kDefaultTimeoutMs;
    }
    const bool uart = m_Config.PortType == PORT_UART;
    // One deadline for the whole wait: frames that are no reply (noise on the line, a stray
    // packet) and late replies to earlier requests do not push it back, so a noisy cable or a
    // slow handset cannot hold the caller for ever.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int waitMs = timeoutMs;
    bool lateSeen = false;
    auto waitLeft = [&] {
        // at least one more look at the ring, for a reply that came with the frame just dropped
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::clamp<long long>(left.count(), 1, INT_MAX));
    };
    for (;;) {
        if (m_Port->WaitFrame(waitMs) <= 0) {
            // Only a time-out that ran out says that late replies came instead of this one's; a
            // cancelled wait or a lost link stays a time-out.
            const bool ranOut = std::chrono::steady_clock::now() >= deadline && !m_Shared->cancel.load() &&
                                !m_Port->LinkLost();
            return lateSeen && ranOut ? TM_ERR_CID_MISMATCH : TM_ERR_TIMEOUT;
        }
        const int length = m_Port->TakeFrame(m_Rx->Frame(), RxBuffer::kFrameCapacity);
        const int result = m_Rx->Accept(length, uart);
        if (result == CReplyFrame::kNotAReply) {
            waitMs = waitLeft(); // not a reply: dropped
            continue;
        }
        if (result >= 0 && m_Rx->Cid() != cid) {
            // The reply to an earlier request that gave up before it came: dropped and counted,
            // and the wait goes on for this request's own. A negative status is the target's
            // refusal and is passed on whatever identifier it carries.
            m_Shared->lateReplies.fetch_add(1, std::memory_order_relaxed);
            lateSeen = true;
            waitMs = waitLeft();
            continue;
        }
        return result; // a checksum error leaves the previous reply readable as it was
    }
}

uint64_t CPROTOCOL::GetLateReplyCount() const {
    return m_Shared->lateReplies.load(std::memory_order_relaxed);
}

// --- reading the reply ----------------------------------------------------------------------

unsigned char CPROTOCOL::GetCID() const {
    return m_Rx ? m_Rx->Cid() : 0;
}

unsigned char CPROTOCOL::GetUplinkErrorStatus() const {
    return m_Rx ? m_Rx->Status() : 0;
}

unsigned char CPROTOCOL::GetInt8() {
    return m_Rx ? m_Rx->GetInt8() : 0xBA;
}

unsigned short CPROTOCOL::GetInt16() {
    return m_Rx ? m_Rx->GetInt16() : 0xBABA;
}

unsigned int CPROTOCOL::GetInt32() {
    return m_Rx ? m_Rx->GetInt32() : 0xBABABABAu;
}

int CPROTOCOL::PeekData(void* out, int length) const {
    if (!m_Rx) {
        if (out != nullptr && length > 0) {
            std::memset(out, 0xBA, static_cast<size_t>(length));
        }
        return 0;
    }
    return m_Rx->PeekData(out, length);
}

int CPROTOCOL::GetData(void* out, int length) {
    if (!m_Rx) {
        return PeekData(out, length);
    }
    return m_Rx->GetData(out, length);
}

unsigned char CPROTOCOL::PeekInt8() const {
    return m_Rx ? m_Rx->PeekInt8() : 0xBA;
}

signed char CPROTOCOL::ExpectInt8(unsigned char expected) {
    return GetInt8() == expected ? 0 : TM_ERR_UNEXPECTED;
}

signed char CPROTOCOL::ExpectInt16(unsigned short expected) {
    return GetInt16() == expected ? 0 : TM_ERR_UNEXPECTED;
}

int CPROTOCOL::GetRemainingLength() const {
    return m_Rx ? m_Rx->RemainingLength() : 0;
}
