// The handset's side of the wire: UART frames (start 0x02, escape 0x10, end 0x0A) and USB packets
// (header, big-endian length, segment flag, data, end byte, pad), and the checksums of requests
// and of the S-record blocks that FlashWrite carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vsim {

constexpr uint8_t kUartStart = 0x02;
constexpr uint8_t kUartEnd = 0x0A;
constexpr uint8_t kUartEscape = 0x10;

// Largest request frame the host can send (its send length is 16 bits).
constexpr size_t kMaxRequestFrame = 65535;

// XOR of length bytes.
uint8_t XorOf(const uint8_t* data, size_t length);

// Checksum of a compressed S-record block: address, data and trailing checksum as FlashWrite sends
// them on UART. The count is the block length; the checksum is the ones' complement of the low byte
// of the sum of both count bytes, the address bytes and the data.
uint8_t RecordChecksum(const uint8_t* addressAndData, size_t length, uint16_t count);
// True when block (address, data, checksum; length = the count) carries a correct checksum.
bool RecordChecksumOk(const uint8_t* block, size_t length);

// A reply frame before link framing: 21 CID STATUS payload [checksum on UART].
std::vector<uint8_t> BuildReplyFrame(uint8_t cid, int8_t status, const std::vector<uint8_t>& payload,
                                     bool withChecksum);
// Start byte, the frame with 0x10, 0x0A (and 0x02 when escape02) escaped, end byte.
std::vector<uint8_t> StuffUartFrame(const uint8_t* frame, size_t length, bool escape02);

// Receive decoder of the UART side, one byte at a time: bytes before a start byte are ignored; an
// escape byte makes the next byte literal; an unescaped end byte closes the frame; any other byte,
// an unescaped 0x02 included, is frame data. An empty frame is dropped. A frame that grows past
// maxFrame is dropped whole (counted) and decoding waits for the next start byte after its end.
class CUartFrameDecoder {
public:
    explicit CUartFrameDecoder(size_t maxFrame = 2 * kMaxRequestFrame);

    // Feeds bytes; every completed frame is appended to frames.
    void Feed(const uint8_t* data, size_t length, std::vector<std::vector<uint8_t>>& frames);
    // Back to waiting for a start byte.
    void Reset();
    bool InFrame() const { return m_State != EState::Idle; }
    uint64_t OversizeFrames() const { return m_Oversize; }
    // Bytes that arrived outside any frame.
    uint64_t IgnoredBytes() const { return m_Ignored; }

private:
    enum class EState { Idle, Receiving, Discarding };
    size_t m_MaxFrame;
    EState m_State = EState::Idle;
    bool m_EscapePending = false;
    std::vector<uint8_t> m_Frame;
    uint64_t m_Oversize = 0;
    uint64_t m_Ignored = 0;
};

// A USB request once all its packets have arrived: the command identifier and the frame's data
// (payload and request checksum).
struct SUsbRequest {
    uint8_t cid = 0;
    std::vector<uint8_t> data;
};

// Data bytes one USB packet carries at most.
constexpr size_t kUsbSegment = 993;
// Host-to-target packet length for L data bytes: 7 + L rounded up to even, 2 more on a multiple of 64.
size_t UsbPacketLength(size_t dataLength);

// Reassembles host packets. Every packet is checked: 0x02, length, 0x21, identifier, segment flag
// (0 whole, 1 first, 2 continuing, 3 last), data, 0x0A and exactly the pad the length rule asks for.
// Segments of a split request carry 993 bytes each but the last, and one identifier.
class CUsbPacketAssembler {
public:
    enum class EResult { Incomplete, Complete, Malformed };

    EResult Feed(const uint8_t* packet, size_t length);
    // The request completed by the last Feed.
    SUsbRequest Take();
    // After Malformed: why, and the identifier when the header was readable.
    const std::string& Error() const { return m_Error; }
    bool HasCid() const { return m_HasCid; }
    uint8_t Cid() const { return m_Cid; }
    void Reset();

private:
    EResult Fail(std::string why);

    bool m_Assembling = false;
    bool m_HasCid = false;
    uint8_t m_Cid = 0;
    uint8_t m_SplitCid = 0;
    std::vector<uint8_t> m_Data;
    std::string m_Error;
};

} // namespace vsim
