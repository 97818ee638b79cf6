#include "ReplyFrame.h"

#include <algorithm>
#include <cstring>

#include "quillet/QuilletTypes.h"

namespace {
constexpr uint8_t kLeadByte = 0x21;
}

int CReplyFrame::Accept(int length, bool uart) {
    const int minimum = uart ? 4 : 3; // lead, identifier, status (and checksum)
    if (length < minimum || length > kFrameCapacity || m_Frame[0] != kLeadByte) {
        return kNotAReply;
    }
    if (uart) {
        uint8_t sum = 0;
        for (int i = 1; i < length; ++i) {
            sum ^= m_Frame[i];
        }
        if (sum != 0) {
            return TM_ERR_CHECKSUM;
        }
    }
    m_Cid = m_Frame[1];
    m_Status = m_Frame[2];
    m_Len = static_cast<uint32_t>(length - minimum);
    std::memcpy(m_Payload, m_Frame + 3, m_Len);
    m_Pos = 0;
    return static_cast<signed char>(m_Status);
}

bool CReplyFrame::Advance(uint32_t count, uint32_t& start) {
    // The position saturates one past the end: however far a caller reads, it never wraps round
    // into the payload again.
    if (m_Pos <= m_Len && count <= m_Len - m_Pos) {
        start = m_Pos;
        m_Pos += count;
        return true;
    }
    m_Pos = m_Len + 1;
    return false;
}

uint8_t CReplyFrame::GetInt8() {
    uint32_t at = 0;
    return Advance(1, at) ? m_Payload[at] : 0xBA;
}

uint16_t CReplyFrame::GetInt16() {
    uint32_t at = 0;
    if (!Advance(2, at)) {
        return 0xBABA;
    }
    const uint8_t* p = m_Payload + at;
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t CReplyFrame::GetInt32() {
    uint32_t at = 0;
    if (!Advance(4, at)) {
        return 0xBABABABAu;
    }
    const uint8_t* p = m_Payload + at;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

int CReplyFrame::RemainingLength() const {
    return m_Pos >= m_Len ? 0 : static_cast<int>(m_Len - m_Pos);
}

int CReplyFrame::PeekData(void* out, int length) const {
    if (out == nullptr || length <= 0) {
        return 0;
    }
    const int count = std::min(RemainingLength(), length);
    if (count > 0) {
        std::memcpy(out, m_Payload + m_Pos, static_cast<size_t>(count));
    }
    std::memset(static_cast<uint8_t*>(out) + count, 0xBA, static_cast<size_t>(length - count));
    return count;
}

int CReplyFrame::GetData(void* out, int length) {
    const int count = PeekData(out, length);
    if (length > 0 && out != nullptr) {
        uint32_t at = 0;
        Advance(static_cast<uint32_t>(length), at);
    }
    return count;
}

uint8_t CReplyFrame::PeekInt8() const {
    return RemainingLength() > 0 ? m_Payload[m_Pos] : 0xBA;
}
