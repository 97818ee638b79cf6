// CReplyFrame: the last reply a transaction took, and how it is read field by field. CPROTOCOL
// keeps one; the fuzz targets drive it directly with the frames the UART decoder produces.
#pragma once

#include <cstdint>

class CReplyFrame {
public:
    static constexpr int kFrameCapacity = 40960;
    // Accept() result for a frame that is no reply (too short, not led by 0x21): skip it.
    static constexpr int kNotAReply = 1000;

    // Checks the frame in Frame()[0, length) and, when it is a reply, makes it the current one:
    // the target's status (a signed byte), TM_ERR_CHECKSUM for a UART reply whose XOR does not
    // add up (the previous reply stays as it was), or kNotAReply.
    int Accept(int length, bool uart);

    uint8_t* Frame() { return m_Frame; }

    uint8_t Cid() const { return m_Cid; }
    uint8_t Status() const { return m_Status; }
    // Past the end of the payload every read gives the 0xBA filler and never touches memory
    // beyond it.
    uint8_t GetInt8();
    uint16_t GetInt16();
    uint32_t GetInt32();
    int PeekData(void* out, int length) const;
    int GetData(void* out, int length);
    uint8_t PeekInt8() const;
    int RemainingLength() const;

private:
    // Moves the read position count bytes on; false (and the position past the end) when fewer
    // remain. start gets where the bytes begin.
    bool Advance(uint32_t count, uint32_t& start);

    uint32_t m_Pos = 0; // read position in the payload
    uint32_t m_Len = 0; // payload bytes (without a UART checksum)
    uint8_t m_Cid = 0;
    uint8_t m_Status = 0;
    uint8_t m_Payload[kFrameCapacity] = {};
    uint8_t m_Frame[kFrameCapacity] = {};
};
