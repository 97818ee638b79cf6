#include "LinkPeers.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include "quillet/PortMap.h"

namespace linktest {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool WaitReadable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, ms);
    } while (rc < 0 && errno == EINTR);
    return rc > 0 && (p.revents & POLLIN) != 0;
}

void WriteAll(int fd, const uint8_t* data, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        if (w <= 0) {
            return;
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
}

} // namespace

Bytes RequestFrame(uint8_t cid, const Bytes& payload) {
    Bytes f{0x21, cid};
    uint8_t sum = cid;
    for (uint8_t b : payload) {
        f.push_back(b);
        sum ^= b;
    }
    f.push_back(sum);
    return f;
}

Bytes ReplyFrame(uint8_t cid, uint8_t status, const Bytes& payload, bool withChecksum) {
    Bytes f{0x21, cid, status};
    f.insert(f.end(), payload.begin(), payload.end());
    if (withChecksum) {
        uint8_t sum = 0;
        for (size_t i = 1; i < f.size(); ++i) {
            sum ^= f[i];
        }
        f.push_back(sum);
    }
    return f;
}

Bytes UartStuff(const Bytes& frame) {
    Bytes out{0x02};
    for (uint8_t b : frame) {
        if (b == 0x10 || b == 0x02 || b == 0x0A) {
            out.push_back(0x10);
        }
        out.push_back(b);
    }
    out.push_back(0x0A);
    return out;
}

TS_PORT_CONFIG UartConfig(int port) {
    return TS_PORT_CONFIG{PORT_UART, port, 12, 3, 0, 0, 0};
}

TS_PORT_CONFIG UsbConfig() {
    return TS_PORT_CONFIG{PORT_USB, 0, 0, 0, 0, 0, 0};
}

void ClearPortEnvironment() {
    for (const char* name :
         {"VANDREL_COM1", "VANDREL_COM2", "VANDREL_COM3", "VANDREL_COM4", "VANDREL_USB_DEVICE"}) {
        ::unsetenv(name);
    }
}

std::string Hex(const Bytes& bytes) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", bytes[i]);
        s += buf;
    }
    return s;
}

// --- PtyPeer --------------------------------------------------------------------------------

PtyPeer::PtyPeer(int comNumber) : m_ComNumber(comNumber) {
    int slave = -1;
    char name[128] = {};
    if (::openpty(&m_Master, &slave, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    termios t{};
    ::tcgetattr(m_Master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(m_Master, TCSANOW, &t);
    ::fcntl(m_Master, F_SETFL, ::fcntl(m_Master, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_Master, F_SETFD, FD_CLOEXEC);
    m_SlaveKeep = slave;
    ::fcntl(m_SlaveKeep, F_SETFD, FD_CLOEXEC);
    m_Path = name;
    QuilletSetComPath(m_ComNumber, m_Path);
}

PtyPeer::~PtyPeer() {
    QuilletSetComPath(m_ComNumber, "");
    CloseMaster();
    if (m_SlaveKeep >= 0) {
        ::close(m_SlaveKeep);
    }
}

void PtyPeer::CloseMaster() {
    if (m_Master >= 0) {
        ::close(m_Master);
        m_Master = -1;
    }
}

void PtyPeer::Write(const Bytes& bytes) {
    WriteAll(m_Master, bytes.data(), bytes.size());
}

Bytes PtyPeer::ReadFor(int ms) {
    Bytes out = std::move(m_Pending);
    m_Pending.clear();
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    uint8_t buf[4096];
    while (WaitReadable(m_Master, MsLeft(deadline))) {
        ssize_t n = ::read(m_Master, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

std::optional<Bytes> PtyPeer::ReadFrame(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    uint8_t buf[65536];
    for (;;) {
        // Decode what is pending: skip to 02, unescape up to an unescaped 0A.
        size_t i = 0;
        while (i < m_Pending.size() && m_Pending[i] != 0x02) {
            ++i;
        }
        if (i < m_Pending.size()) {
            Bytes frame;
            bool escape = false;
            for (size_t j = i + 1; j < m_Pending.size(); ++j) {
                uint8_t b = m_Pending[j];
                if (escape) {
                    frame.push_back(b);
                    escape = false;
                } else if (b == 0x10) {
                    escape = true;
                } else if (b == 0x0A) {
                    m_LastRaw.assign(m_Pending.begin() + static_cast<long>(i),
                                     m_Pending.begin() + static_cast<long>(j) + 1);
                    m_Pending.erase(m_Pending.begin(), m_Pending.begin() + static_cast<long>(j) + 1);
                    return frame;
                } else {
                    frame.push_back(b);
                }
            }
        }
        int left = MsLeft(deadline);
        if (left == 0 || m_Master < 0 || !WaitReadable(m_Master, left)) {
            return std::nullopt;
        }
        ssize_t n = ::read(m_Master, buf, sizeof buf);
        if (n <= 0) {
            return std::nullopt;
        }
        m_Pending.insert(m_Pending.end(), buf, buf + n);
    }
}

// --- UsbPeer --------------------------------------------------------------------------------

UsbPeer::UsbPeer() {
    char tmpl[] = "/tmp/quillet-usb-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_Dir = tmpl;
    m_Path = m_Dir + "/csr0";
    m_Listen = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, m_Path.c_str(), sizeof addr.sun_path - 1);
    if (::bind(m_Listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_Listen, 4) != 0) {
        throw std::runtime_error("bind/listen failed");
    }
    QuilletSetUsbDevicePath(m_Path);
}

UsbPeer::~UsbPeer() {
    QuilletSetUsbDevicePath("");
    CloseConnection();
    ::close(m_Listen);
    ::unlink(m_Path.c_str());
    ::rmdir(m_Dir.c_str());
}

bool UsbPeer::Accept(int ms, bool greet) {
    if (!WaitReadable(m_Listen, ms)) {
        return false;
    }
    m_Conn = ::accept4(m_Listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (m_Conn < 0) {
        return false;
    }
    if (greet) {
        Send(Bytes{'h', 'e', 'l', 'l', 'o'});
    }
    return true;
}

void UsbPeer::Send(const Bytes& packet) {
    ::send(m_Conn, packet.data(), packet.size(), MSG_NOSIGNAL);
}

std::optional<Bytes> UsbPeer::ReadPacket(int ms) {
    if (m_Conn < 0 || !WaitReadable(m_Conn, ms)) {
        return std::nullopt;
    }
    Bytes buf(70000);
    ssize_t n = ::recv(m_Conn, buf.data(), buf.size(), 0);
    if (n <= 0) {
        return std::nullopt;
    }
    buf.resize(static_cast<size_t>(n));
    return buf;
}

std::optional<Bytes> UsbPeer::ReadRequest(int ms, std::vector<Bytes>* packets) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    Bytes frame;
    for (;;) {
        // The packets of one request follow each other at once; only the first one is awaited.
        auto p = ReadPacket(frame.empty() ? MsLeft(deadline) : 2000);
        if (!p || p->size() < 7) {
            return std::nullopt;
        }
        if (packets != nullptr) {
            packets->push_back(*p);
        }
        const Bytes& pk = *p;
        const size_t len = (static_cast<size_t>(pk[1]) << 8) | pk[2];
        if (frame.empty()) {
            frame = {pk[3], pk[4]};
        }
        frame.insert(frame.end(), pk.begin() + 6, pk.begin() + 6 + static_cast<long>(len));
        if (pk[5] == 0 || pk[5] == 3) {
            return frame;
        }
    }
}

void UsbPeer::CloseConnection() {
    if (m_Conn >= 0) {
        ::close(m_Conn);
        m_Conn = -1;
    }
}

// --- Responder ------------------------------------------------------------------------------

Responder::Responder(PtyPeer& peer, Reply reply) {
    m_Thread = std::thread([this, &peer, reply] {
        while (!m_Stop.load()) {
            if (auto frame = peer.ReadFrame(20)) {
                m_Count.fetch_add(1);
                for (const Bytes& out : reply(*frame)) {
                    peer.Write(out);
                }
            }
        }
    });
}

Responder::Responder(UsbPeer& peer, Reply reply) {
    m_Thread = std::thread([this, &peer, reply] {
        while (!m_Stop.load()) {
            if (auto frame = peer.ReadRequest(20)) {
                m_Count.fetch_add(1);
                for (const Bytes& out : reply(*frame)) {
                    peer.Send(out);
                }
            }
        }
    });
}

Responder::~Responder() {
    m_Stop.store(true);
    m_Thread.join();
}

Responder::Reply EchoStatus(bool uart, uint8_t status, const Bytes& payload) {
    return [uart, status, payload](const Bytes& request) -> std::vector<Bytes> {
        Bytes reply = ReplyFrame(request.at(1), status, payload, uart);
        return {uart ? UartStuff(reply) : reply};
    };
}

} // namespace linktest
