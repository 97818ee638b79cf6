// Bytes as they arrive from the wire on a serial port: libquillet's receive decoder (CLinkChannel,
// fed in runs of the sizes a reader sees), then the reply parse of a transaction (CReplyFrame, as
// CPROTOCOL uses it) and the field reads a monitor command makes.
//
// The frames the decoder hands over must be exactly those that the virtual handset's own decoder
// (an implementation written apart from it) finds in the same bytes: the two sides check each
// other. No frame may be lost while the ring has room.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "LinkChannel.h"
#include "ReplyFrame.h"
#include "vsim/WireCodec.h"

namespace {

TS_PORT_CONFIG UartConfig() {
    TS_PORT_CONFIG config{};
    config.PortType = PORT_UART;
    config.Baud = 12; // 115200
    config.Databits = 3;
    return config;
}

// Reads the fields of the current reply as the monitor commands do, in an order the input picks.
void ReadFields(CReplyFrame& reply, const uint8_t* script, size_t length) {
    static uint8_t sink[CReplyFrame::kFrameCapacity + 64];
    for (size_t i = 0; i < length; ++i) {
        const int before = reply.RemainingLength();
        switch (script[i] & 7) {
        case 0:
            reply.GetInt8();
            break;
        case 1:
            reply.GetInt16();
            break;
        case 2:
            reply.GetInt32();
            break;
        case 3:
            reply.PeekInt8();
            break;
        case 4: {
            const int want = (script[i] >> 3) * 37;
            if (reply.PeekData(sink, want) > std::min(want, before) || reply.RemainingLength() != before) {
                std::abort();
            }
            break;
        }
        case 5: {
            const int want = (script[i] >> 3) * 1291;
            if (reply.GetData(sink, want) != std::min(want, before)) {
                std::abort();
            }
            break;
        }
        case 6: {
            // far more than the reply holds: the rest is filler, and the position stays past the end
            const int got = reply.GetData(sink, static_cast<int>(sizeof sink));
            if (got != before || reply.RemainingLength() != 0 || reply.GetInt8() != 0xBA) {
                std::abort();
            }
            break;
        }
        default:
            break;
        }
        if (reply.RemainingLength() > before || reply.RemainingLength() < 0) {
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // First byte: run size (1..64), second: how many field reads each reply gets.
    const size_t run = (data[0] & 63) + 1;
    const size_t reads = data[1] & 15;
    data += 2;
    size -= 2;

    static CLinkChannel* channel = [] {
        auto* c = new CLinkChannel(UartConfig());
        return c;
    }();
    static auto* reply = new CReplyFrame;
    channel->ResetRing();

    vsim::CUartFrameDecoder reference(FrameSlot::kCapacity);
    std::vector<std::vector<uint8_t>> expected;
    size_t taken = 0;
    const uint64_t droppedBefore = channel->DroppedFrames();

    for (size_t at = 0; at < size; at += run) {
        const size_t n = std::min(run, size - at);
        channel->DecodeBytes(data + at, n);
        reference.Feed(data + at, n, expected);
        for (;;) {
            const int length = channel->TakeFrame(reply->Frame(), CReplyFrame::kFrameCapacity);
            if (length <= 0) {
                break;
            }
            if (taken >= expected.size() || expected[taken].size() != static_cast<size_t>(length) ||
                std::memcmp(expected[taken].data(), reply->Frame(), static_cast<size_t>(length)) != 0) {
                std::abort(); // the two decoders disagree
            }
            ++taken;
            const int result = reply->Accept(length, true);
            if (result == CReplyFrame::kNotAReply) {
                continue;
            }
            if (result == TM_ERR_CHECKSUM) {
                continue;
            }
            if (result != static_cast<signed char>(reply->Status()) ||
                reply->RemainingLength() != length - 4) {
                std::abort();
            }
            ReadFields(*reply, data + at, std::min(reads, n));
        }
    }
    // Oversized frames are dropped by both; nothing else may be lost. (The handset's decoder counts
    // an oversized frame when it outgrows the limit, the host's when its end arrives.)
    if (taken != expected.size() ||
        (!reference.InFrame() && channel->DroppedFrames() - droppedBefore != reference.OversizeFrames())) {
        std::abort();
    }
    return 0;
}
