#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Links.h"

namespace vsim {

namespace {
constexpr auto kSendGiveUp = std::chrono::seconds(2);

bool FillAddress(const std::string& path, sockaddr_un& addr, std::string* error) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        if (error) {
            *error = "socket path '" + path + "' is empty or longer than " +
                     std::to_string(sizeof addr.sun_path - 1) + " bytes";
        }
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}
} // namespace

const std::vector<uint8_t>& UsbGreeting() {
    static const std::vector<uint8_t> greeting{'R', '3', '7', '0', '0', ' ', 'v', 'i', 'r', 't', 'u',
                                               'a', 'l', ' ', 'h', 'a', 'n', 'd', 's', 'e', 't'};
    return greeting;
}

bool HandleUsbPacket(CVirtualHandset& handset, CUsbPacketAssembler& assembler, const uint8_t* packet,
                     size_t length, SResponse& response) {
    SRequest request;
    request.transport = ETransport::Usb;
    switch (assembler.Feed(packet, length)) {
    case CUsbPacketAssembler::EResult::Incomplete:
        return false;
    case CUsbPacketAssembler::EResult::Malformed:
        handset.CountBadPacket();
        handset.NoteLinkEvent("bad USB packet: " + assembler.Error());
        if (!assembler.HasCid()) {
            return false; // nothing to answer to
        }
        request.cid = assembler.Cid();
        request.framingStatus = status::BadPacket;
        break;
    case CUsbPacketAssembler::EResult::Complete: {
        SUsbRequest whole = assembler.Take();
        request.cid = whole.cid;
        if ((XorOf(whole.data.data(), whole.data.size()) ^ whole.cid) != 0) {
            handset.CountBadChecksum();
            request.framingStatus = status::BadRequestChecksum;
        } else {
            request.payload.assign(whole.data.begin(), whole.data.end() - 1);
        }
        break;
    }
    }
    response = handset.Handle(request);
    return true;
}

CUsbLink::CUsbLink(CVirtualHandset& handset, const SSimulatorOptions& options)
    : m_Handset(handset), m_Options(options) {}

CUsbLink::~CUsbLink() {
    Stop();
}

bool CUsbLink::Start(const std::string& socketPath, std::string* error) {
    if (m_Thread.joinable()) {
        if (error) {
            *error = "the USB side is already running";
        }
        return false;
    }
    sockaddr_un addr{};
    if (!FillAddress(socketPath, addr, error)) {
        return false;
    }
    struct stat st {};
    if (lstat(socketPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            if (error) {
                *error = socketPath + " exists and is not a socket; not replacing it";
            }
            return false;
        }
        // A socket left by a handset that is gone is replaced; a live one is not.
        const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0) {
            close(probe);
        }
        if (live) {
            if (error) {
                *error = socketPath + " is in use by another handset";
            }
            return false;
        }
        unlink(socketPath.c_str());
    }
    m_Listen = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_Listen < 0 || bind(m_Listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(m_Listen, 4) != 0) {
        if (error) {
            *error = "cannot listen on " + socketPath + ": " + std::strerror(errno);
        }
        if (m_Listen >= 0) {
            close(m_Listen);
            m_Listen = -1;
        }
        return false;
    }
    m_Path = socketPath;
    m_Handset.NoteLinkEvent("USB socket " + socketPath);
    m_Thread = std::thread([this] { Run(); });
    return true;
}

void CUsbLink::Stop() {
    if (m_Thread.joinable()) {
        m_Stop.Set();
        m_Thread.join();
    }
    if (m_Listen >= 0) {
        close(m_Listen);
        m_Listen = -1;
        unlink(m_Path.c_str());
    }
}

void CUsbLink::Run() {
    for (;;) {
        const int ready = m_Stop.WaitFd(m_Listen, POLLIN, Clock::time_point::max());
        if (ready < 0) {
            return;
        }
        const int conn = accept4(m_Listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (conn < 0) {
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                // Out of descriptors or the like: the connection stays queued; try again shortly
                // instead of spinning on a listen socket that keeps reporting it.
                m_Handset.NoteLinkEvent(std::string("cannot accept a USB connection: ") +
                                        std::strerror(errno));
                if (!m_Stop.SleepUntil(Clock::now() + std::chrono::milliseconds(200))) {
                    return;
                }
            }
            continue;
        }
        m_Handset.CountUsbConnection();
        Serve(conn);
        close(conn);
        if (m_Stop.IsSet()) {
            return;
        }
    }
}

void CUsbLink::Serve(int conn) {
    if (m_Options.usbGreeting && !Send(conn, UsbGreeting())) {
        return;
    }
    CUsbPacketAssembler assembler;
    CLateQueue late; // replies of this connection still to come late
    std::vector<uint8_t> packet(8192);
    for (;;) {
        std::vector<uint8_t> due;
        while (late.TakeDue(Clock::now(), due)) {
            if (!Send(conn, due)) {
                return;
            }
        }
        const int ready = m_Stop.WaitFd(conn, POLLIN, late.Next());
        if (ready < 0) {
            return;
        }
        if (ready == 0) {
            continue; // a late reply is due
        }
        const ssize_t n = recv(conn, packet.data(), packet.size(), MSG_TRUNC);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            return;
        }
        if (n == 0) {
            return; // the host closed the device
        }
        // A message longer than the buffer is no packet of ours; MSG_TRUNC gives its real length.
        if (size_t(n) > packet.size()) {
            m_Handset.CountBadPacket();
            m_Handset.NoteLinkEvent("USB message of " + std::to_string(n) + " bytes ignored");
            assembler.Reset();
            continue;
        }
        SResponse response;
        if (!HandleUsbPacket(m_Handset, assembler, packet.data(), size_t(n), response)) {
            continue;
        }
        if (response.hangUp) {
            shutdown(conn, SHUT_RDWR);
            m_Handset.NoteLinkEvent("hung up the USB connection");
            m_Handset.CountHangUp();
            return;
        }
        if (response.busyUs &&
            !m_Stop.SleepUntil(Clock::now() + std::chrono::microseconds(response.busyUs))) {
            return;
        }
        if (response.lateMs > 0) {
            if (response.send) {
                const Clock::time_point when = Clock::now() + std::chrono::milliseconds(response.lateMs);
                if (!response.garbage.empty()) {
                    late.Add(when, response.garbage);
                }
                late.Add(when, response.frame);
            }
            continue;
        }
        if (!response.garbage.empty() && !Send(conn, response.garbage)) {
            return;
        }
        if (response.send && !Send(conn, response.frame)) {
            return;
        }
    }
}

bool CUsbLink::Send(int conn, const std::vector<uint8_t>& message) {
    for (;;) {
        const ssize_t n = send(conn, message.data(), message.size(), MSG_NOSIGNAL);
        if (n >= 0) {
            return true;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            return false;
        }
        const int ready = m_Stop.WaitFd(conn, POLLOUT, Clock::now() + kSendGiveUp);
        if (ready <= 0) {
            if (ready == 0) {
                m_Handset.NoteLinkEvent("the host does not read: USB connection dropped");
            }
            return false;
        }
    }
}

} // namespace vsim
