// The virtual handset's side of the wire on any bytes: USB packet reassembly (a message sequence,
// each message length-prefixed in the input) and UART un-stuffing. What reassembles must be a
// request the host could have sent; every refusal says why; an un-stuffed frame stuffs back into
// bytes that decode to the same frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "vsim/WireCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vsim::CUsbPacketAssembler assembler;
    size_t at = 0;
    while (at + 2 <= size) {
        size_t length = (size_t{data[at]} << 8 | data[at + 1]) % 1100;
        at += 2;
        if (length > size - at) {
            length = size - at;
        }
        // Each packet in a block of its own size, as a socket message is.
        std::unique_ptr<uint8_t[]> packet(new uint8_t[length == 0 ? 1 : length]);
        if (length != 0) {
            std::memcpy(packet.get(), data + at, length);
        }
        at += length;
        switch (assembler.Feed(packet.get(), length)) {
        case vsim::CUsbPacketAssembler::EResult::Complete: {
            const vsim::SUsbRequest request = assembler.Take();
            if (request.data.empty() || request.data.size() > vsim::kMaxRequestFrame - 2) {
                std::abort();
            }
            break;
        }
        case vsim::CUsbPacketAssembler::EResult::Malformed:
            if (assembler.Error().empty()) {
                std::abort();
            }
            break;
        case vsim::CUsbPacketAssembler::EResult::Incomplete:
            break;
        }
    }

    // UART: the same bytes as a stream, with a frame limit small enough to reach.
    vsim::CUartFrameDecoder decoder(512);
    std::vector<std::vector<uint8_t>> frames;
    decoder.Feed(data, size, frames);
    for (const std::vector<uint8_t>& frame : frames) {
        if (frame.empty() || frame.size() > 512) {
            std::abort();
        }
        for (const bool escape02 : {false, true}) {
            const std::vector<uint8_t> stuffed = vsim::StuffUartFrame(frame.data(), frame.size(), escape02);
            vsim::CUartFrameDecoder again(512);
            std::vector<std::vector<uint8_t>> back;
            again.Feed(stuffed.data(), stuffed.size(), back);
            if (back.size() != 1 || back[0] != frame) {
                std::abort();
            }
        }
    }
    return 0;
}
