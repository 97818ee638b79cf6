// Test helpers for the virtual handset: byte strings, FlashWrite blocks, USB packets made the way a
// host makes them, and small raw clients for the pty and the socket.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "vsim/WireCodec.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline Bytes Hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline Bytes Be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

// A FlashWrite block as the download session sends it: address BE32, data, and (UART) the record
// checksum over the two count bytes, address and data.
inline Bytes MakeBlock(uint32_t address, const Bytes& data, bool withChecksum) {
    Bytes block;
    block.reserve(data.size() + 5);
    for (int shift = 24; shift >= 0; shift -= 8) {
        block.push_back(uint8_t(address >> shift));
    }
    for (uint8_t b : data) {
        block.push_back(b);
    }
    if (withChecksum) {
        const uint32_t count = uint32_t(block.size() + 1);
        uint32_t sum = (count >> 8) + (count & 0xFF);
        for (uint8_t b : block) {
            sum += b;
        }
        block.push_back(uint8_t(~sum));
    }
    return block;
}

// Request payload plus XOR checksum over identifier and payload.
inline Bytes WithChecksum(uint8_t cid, const Bytes& payload) {
    Bytes data = payload;
    uint8_t x = cid;
    for (uint8_t b : payload) {
        x ^= b;
    }
    data.push_back(x);
    return data;
}

inline Bytes MakeUsbPacket(uint8_t cid, uint8_t flag, const Bytes& data) {
    Bytes p;
    p.reserve(data.size() + 10);
    for (uint8_t b :
         {uint8_t(0x02), uint8_t(data.size() >> 8), uint8_t(data.size()), uint8_t(0x21), cid, flag}) {
        p.push_back(b);
    }
    p.insert(p.end(), data.begin(), data.end());
    p.push_back(0x0A);
    size_t n = p.size() + (p.size() & 1);
    if (n % 64 == 0) {
        n += 2;
    }
    p.resize(n, 0x00);
    return p;
}

// The packets of one request whose frame data (payload and checksum) is data.
inline std::vector<Bytes> MakeUsbPackets(uint8_t cid, const Bytes& data) {
    if (data.size() <= 993) {
        return {MakeUsbPacket(cid, 0, data)};
    }
    std::vector<Bytes> packets;
    for (size_t at = 0; at < data.size(); at += 993) {
        const size_t n = std::min<size_t>(993, data.size() - at);
        const uint8_t flag = at == 0 ? 1 : (at + n == data.size() ? 3 : 2);
        packets.push_back(
            MakeUsbPacket(cid, flag, Bytes(data.begin() + long(at), data.begin() + long(at + n))));
    }
    return packets;
}

struct SReply {
    uint8_t cid = 0;
    int8_t status = 0;
    Bytes payload;
};

// Reads until fd is readable or the time is up.
inline bool WaitReadable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0 && (p.revents & POLLIN);
}

// A host on the pty, raw, with its own decoder.
class CRawUart {
public:
    explicit CRawUart(const std::string& path) {
        m_Fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_Fd >= 0) {
            termios tio{};
            tcgetattr(m_Fd, &tio);
            cfmakeraw(&tio);
            tcsetattr(m_Fd, TCSANOW, &tio);
        }
    }
    ~CRawUart() { Close(); }
    bool IsOpen() const { return m_Fd >= 0; }
    int Fd() const { return m_Fd; }
    void Close() {
        if (m_Fd >= 0) {
            close(m_Fd);
            m_Fd = -1;
        }
    }
    bool WriteRaw(const Bytes& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(m_Fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                return false;
            }
            done += size_t(n);
        }
        return true;
    }
    bool Send(uint8_t cid, const Bytes& payload) {
        Bytes frame{0x21, cid};
        const Bytes data = WithChecksum(cid, payload);
        frame.insert(frame.end(), data.begin(), data.end());
        return WriteRaw(vsim::StuffUartFrame(frame.data(), frame.size(), true));
    }
    // The next frame, decoded; nullopt after the time-out.
    std::optional<Bytes> ReadFrame(int ms = 5000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (!m_Frames.empty()) {
                Bytes f = std::move(m_Frames.front());
                m_Frames.erase(m_Frames.begin());
                return f;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || !WaitReadable(m_Fd, int(left))) {
                return std::nullopt;
            }
            uint8_t buf[4096];
            const ssize_t n = read(m_Fd, buf, sizeof buf);
            if (n <= 0) {
                return std::nullopt;
            }
            m_Raw.insert(m_Raw.end(), buf, buf + n);
            m_Decoder.Feed(buf, size_t(n), m_Frames);
        }
    }
    // The next reply with its checksum checked (status and payload split off).
    std::optional<SReply> ReadReply(int ms = 5000) {
        auto f = ReadFrame(ms);
        if (!f || f->size() < 4 || (*f)[0] != 0x21 || vsim::XorOf(f->data() + 1, f->size() - 1) != 0) {
            return std::nullopt;
        }
        return SReply{(*f)[1], int8_t((*f)[2]), Bytes(f->begin() + 3, f->end() - 1)};
    }
    std::optional<SReply> Transact(uint8_t cid, const Bytes& payload = {}, int ms = 5000) {
        if (!Send(cid, payload)) {
            return std::nullopt;
        }
        return ReadReply(ms);
    }
    // Every byte read so far, as it was on the wire.
    const Bytes& Raw() const { return m_Raw; }

private:
    int m_Fd = -1;
    vsim::CUartFrameDecoder m_Decoder;
    std::vector<Bytes> m_Frames;
    Bytes m_Raw;
};

// A host on the USB socket.
class CRawUsb {
public:
    explicit CRawUsb(const std::string& path) {
        m_Fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (connect(m_Fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(m_Fd);
            m_Fd = -1;
        }
    }
    ~CRawUsb() {
        if (m_Fd >= 0) {
            close(m_Fd);
        }
    }
    bool IsOpen() const { return m_Fd >= 0; }
    bool SendPacket(const Bytes& packet) {
        return send(m_Fd, packet.data(), packet.size(), MSG_NOSIGNAL) == ssize_t(packet.size());
    }
    bool Send(uint8_t cid, const Bytes& payload) {
        for (const Bytes& p : MakeUsbPackets(cid, WithChecksum(cid, payload))) {
            if (!SendPacket(p)) {
                return false;
            }
        }
        return true;
    }
    // One message; nullopt after the time-out; an empty message when the handset closed.
    std::optional<Bytes> ReadMessage(int ms = 5000) {
        if (!WaitReadable(m_Fd, ms)) {
            return std::nullopt;
        }
        Bytes buf(4096);
        const ssize_t n = recv(m_Fd, buf.data(), buf.size(), 0);
        if (n < 0) {
            return std::nullopt;
        }
        buf.resize(size_t(n));
        return buf;
    }
    std::optional<SReply> ReadReply(int ms = 5000) {
        auto m = ReadMessage(ms);
        if (!m || m->size() < 3 || (*m)[0] != 0x21) {
            return std::nullopt;
        }
        return SReply{(*m)[1], int8_t((*m)[2]), Bytes(m->begin() + 3, m->end())};
    }
    std::optional<SReply> Transact(uint8_t cid, const Bytes& payload = {}, int ms = 5000) {
        if (!Send(cid, payload)) {
            return std::nullopt;
        }
        return ReadReply(ms);
    }

private:
    int m_Fd = -1;
};

} // namespace simtest
