#include "vsim/WireCodec.h"

namespace vsim {

uint8_t XorOf(const uint8_t* data, size_t length) {
    uint8_t x = 0;
    for (size_t i = 0; i < length; ++i) {
        x ^= data[i];
    }
    return x;
}

uint8_t RecordChecksum(const uint8_t* addressAndData, size_t length, uint16_t count) {
    uint32_t sum = uint32_t(count >> 8) + uint32_t(count & 0xFF);
    for (size_t i = 0; i < length; ++i) {
        sum += addressAndData[i];
    }
    return uint8_t(~sum & 0xFF);
}

bool RecordChecksumOk(const uint8_t* block, size_t length) {
    if (length < 5 || length > 0xFFFF) {
        return false;
    }
    return RecordChecksum(block, length - 1, uint16_t(length)) == block[length - 1];
}

std::vector<uint8_t> BuildReplyFrame(uint8_t cid, int8_t status, const std::vector<uint8_t>& payload,
                                     bool withChecksum) {
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 4);
    frame.push_back(0x21);
    frame.push_back(cid);
    frame.push_back(uint8_t(status));
    frame.insert(frame.end(), payload.begin(), payload.end());
    if (withChecksum) {
        frame.push_back(XorOf(frame.data() + 1, frame.size() - 1));
    }
    return frame;
}

std::vector<uint8_t> StuffUartFrame(const uint8_t* frame, size_t length, bool escape02) {
    std::vector<uint8_t> out;
    out.reserve(2 * length + 2);
    out.push_back(kUartStart);
    for (size_t i = 0; i < length; ++i) {
        const uint8_t b = frame[i];
        if (b == kUartEscape || b == kUartEnd || (escape02 && b == kUartStart)) {
            out.push_back(kUartEscape);
        }
        out.push_back(b);
    }
    out.push_back(kUartEnd);
    return out;
}

CUartFrameDecoder::CUartFrameDecoder(size_t maxFrame) : m_MaxFrame(maxFrame) {}

void CUartFrameDecoder::Reset() {
    m_State = EState::Idle;
    m_EscapePending = false;
    m_Frame.clear();
}

void CUartFrameDecoder::Feed(const uint8_t* data, size_t length, std::vector<std::vector<uint8_t>>& frames) {
    for (size_t i = 0; i < length; ++i) {
        const uint8_t b = data[i];
        switch (m_State) {
        case EState::Idle:
            if (b == kUartStart) {
                m_State = EState::Receiving;
                m_EscapePending = false;
                m_Frame.clear();
            } else {
                ++m_Ignored;
            }
            break;
        case EState::Receiving:
        case EState::Discarding:
            if (m_EscapePending) {
                m_EscapePending = false;
            } else if (b == kUartEscape) {
                m_EscapePending = true;
                break;
            } else if (b == kUartEnd) {
                if (m_State == EState::Receiving && !m_Frame.empty()) {
                    frames.push_back(std::move(m_Frame));
                }
                m_Frame.clear();
                m_State = EState::Idle;
                break;
            }
            if (m_State == EState::Receiving) {
                if (m_Frame.size() >= m_MaxFrame) {
                    ++m_Oversize;
                    m_Frame.clear();
                    m_Frame.shrink_to_fit();
                    m_State = EState::Discarding;
                } else {
                    m_Frame.push_back(b);
                }
            }
            break;
        }
    }
}

size_t UsbPacketLength(size_t dataLength) {
    size_t n = 7 + dataLength;
    n += n & 1;
    if (n % 64 == 0) {
        n += 2;
    }
    return n;
}

void CUsbPacketAssembler::Reset() {
    m_Assembling = false;
    m_Data.clear();
}

CUsbPacketAssembler::EResult CUsbPacketAssembler::Fail(std::string why) {
    m_Error = std::move(why);
    Reset();
    return EResult::Malformed;
}

CUsbPacketAssembler::EResult CUsbPacketAssembler::Feed(const uint8_t* packet, size_t length) {
    m_Error.clear();
    m_HasCid = false;
    if (length < 6 || packet[0] != 0x02 || packet[3] != 0x21) {
        return Fail("packet header is not 02 LL LL 21");
    }
    m_HasCid = true;
    m_Cid = packet[4];
    const size_t dataLength = size_t(packet[1]) << 8 | packet[2];
    const uint8_t flag = packet[5];
    if (length < 7 + dataLength) {
        return Fail("packet shorter than its length field");
    }
    if (packet[6 + dataLength] != 0x0A) {
        return Fail("packet data not followed by 0A");
    }
    if (length != UsbPacketLength(dataLength)) {
        return Fail("packet of " + std::to_string(length) + " bytes for " + std::to_string(dataLength) +
                    " data bytes (expected " + std::to_string(UsbPacketLength(dataLength)) + ")");
    }
    if (dataLength == 0 || dataLength > kUsbSegment) {
        return Fail("packet data length " + std::to_string(dataLength) + " outside 1..993");
    }
    const uint8_t* data = packet + 6;
    switch (flag) {
    case 0:
        if (m_Assembling) {
            return Fail("whole packet while a split request was open");
        }
        m_Data.assign(data, data + dataLength);
        return EResult::Complete;
    case 1:
        if (m_Assembling) {
            return Fail("first packet while a split request was open");
        }
        if (dataLength != kUsbSegment) {
            return Fail("first packet of a split request carries " + std::to_string(dataLength) + " bytes");
        }
        m_Assembling = true;
        m_SplitCid = m_Cid;
        m_Data.assign(data, data + dataLength);
        return EResult::Incomplete;
    case 2:
    case 3:
        if (!m_Assembling) {
            return Fail("continuing or last packet without a first packet");
        }
        if (m_Cid != m_SplitCid) {
            return Fail("packet of a split request with another identifier");
        }
        break;
    default:
        return Fail("segment flag " + std::to_string(flag));
    }
    if (m_Data.size() + dataLength > kMaxRequestFrame - 2) {
        return Fail("split request longer than a frame");
    }
    if (flag == 2 && dataLength != kUsbSegment) {
        return Fail("continuing packet carries " + std::to_string(dataLength) + " bytes");
    }
    m_Data.insert(m_Data.end(), data, data + dataLength);
    if (flag == 3) {
        m_Assembling = false;
        return EResult::Complete;
    }
    return EResult::Incomplete;
}

SUsbRequest CUsbPacketAssembler::Take() {
    SUsbRequest r;
    r.cid = m_Cid;
    r.data = std::move(m_Data);
    m_Data.clear();
    return r;
}

} // namespace vsim
