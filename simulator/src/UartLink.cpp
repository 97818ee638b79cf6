#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Links.h"

namespace vsim {

// ---- CStopEvent ----

CStopEvent::CStopEvent() : m_Fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CStopEvent::~CStopEvent() {
    if (m_Fd >= 0) {
        close(m_Fd);
    }
}

void CStopEvent::Set() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(m_Fd, &one, sizeof one);
}

bool CStopEvent::IsSet() const {
    pollfd p{m_Fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

namespace {
timespec ToTimespec(Clock::duration d) {
    if (d < Clock::duration::zero()) {
        d = Clock::duration::zero();
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}
} // namespace

int CStopEvent::WaitFd(int fd, short events, Clock::time_point deadline) const {
    for (;;) {
        pollfd p[2] = {{m_Fd, POLLIN, 0}, {fd, events, 0}};
        const int nfds = fd >= 0 ? 2 : 1;
        timespec ts{};
        const timespec* timeout = nullptr;
        if (deadline != Clock::time_point::max()) {
            ts = ToTimespec(deadline - Clock::now());
            timeout = &ts;
        }
        const int r = ppoll(p, nfds_t(nfds), timeout, nullptr);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 || (p[0].revents & POLLIN)) {
            return -1;
        }
        if (r == 0) {
            return 0;
        }
        return nfds == 2 ? p[1].revents : 0;
    }
}

bool CStopEvent::SleepUntil(Clock::time_point deadline) const {
    while (Clock::now() < deadline) {
        if (WaitFd(-1, 0, deadline) < 0) {
            return false;
        }
    }
    return true;
}

// ---- CUartLink ----

namespace {
// How long a reply may wait for a host that does not read before it is given up.
constexpr auto kWriteGiveUp = std::chrono::seconds(2);
} // namespace

CUartLink::CUartLink(CVirtualHandset& handset, const SSimulatorOptions& options)
    : m_Handset(handset), m_Options(options) {}

CUartLink::~CUartLink() {
    Stop();
}

std::string CUartLink::SlavePath() const {
    std::lock_guard lock(m_PathMutex);
    return m_SlavePath;
}

bool CUartLink::OpenPty(std::string* error) {
    auto fail = [&](const char* what) {
        if (error) {
            *error = std::string(what) + ": " + std::strerror(errno);
        }
        ClosePty();
        return false;
    };
    m_Master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_Master < 0) {
        return fail("cannot open a pseudo-terminal");
    }
    if (grantpt(m_Master) != 0 || unlockpt(m_Master) != 0) {
        return fail("cannot unlock the pseudo-terminal");
    }
    char name[128];
    if (ptsname_r(m_Master, name, sizeof name) != 0) {
        return fail("cannot name the pseudo-terminal");
    }
    // Raw from the start: no echo of our replies back to us, no line editing, no CR/LF mapping.
    termios tio{};
    if (tcgetattr(m_Master, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(m_Master, TCSANOW, &tio);
    }
    m_SlaveHold = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_SlaveHold < 0) {
        return fail("cannot open the pseudo-terminal's slave");
    }
    m_Inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_Inotify >= 0 &&
        inotify_add_watch(m_Inotify, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        close(m_Inotify);
        m_Inotify = -1;
    }
    {
        std::lock_guard lock(m_PathMutex);
        m_SlavePath = name;
    }
    if (!m_LinkPath.empty()) {
        const std::string tmp = m_LinkPath + ".new";
        unlink(tmp.c_str());
        if (symlink(name, tmp.c_str()) != 0) {
            return fail(("cannot make the link " + tmp).c_str());
        }
        if (rename(tmp.c_str(), m_LinkPath.c_str()) != 0) {
            unlink(tmp.c_str());
            return fail(("cannot make the link " + m_LinkPath).c_str());
        }
    }
    m_Decoder.Reset();
    m_Handset.CountUartConnection();
    m_Handset.NoteLinkEvent(std::string("pseudo-terminal ") + name +
                            (m_LinkPath.empty() ? "" : " linked as " + m_LinkPath));
    return true;
}

void CUartLink::ClosePty() {
    for (int* fd : {&m_Inotify, &m_SlaveHold, &m_Master}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

bool CUartLink::Start(const std::string& linkPath, std::string* error) {
    if (m_Thread.joinable()) {
        if (error) {
            *error = "the UART side is already running";
        }
        return false;
    }
    if (!linkPath.empty()) {
        struct stat st {};
        if (lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            if (error) {
                *error = linkPath + " exists and is not a symbolic link; not replacing it";
            }
            return false;
        }
    }
    m_LinkPath = linkPath;
    if (!OpenPty(error)) {
        return false;
    }
    m_Thread = std::thread([this] { Run(); });
    return true;
}

void CUartLink::Stop() {
    if (m_Thread.joinable()) {
        m_Stop.Set();
        m_Thread.join();
    }
    ClosePty();
    if (!m_LinkPath.empty()) {
        // Remove the link only while it still points at our pty.
        char target[256];
        const ssize_t n = readlink(m_LinkPath.c_str(), target, sizeof target - 1);
        if (n > 0) {
            target[n] = 0;
            if (SlavePath() == target) {
                unlink(m_LinkPath.c_str());
            }
        }
    }
}

void CUartLink::HostClosed(bool reopened) {
    if (reopened) {
        // The next host has the slave open already and may be waiting for a reply: what is on
        // the line now is its own, and its exclusive mode stays.
        m_Handset.CountHostClose();
        m_Handset.NoteLinkEvent("the host closed " + SlavePath() + " and a host opened it again");
        return;
    }
    // The host let go of the slave: a frame it left half-sent is void, and replies it did not read
    // (or that were still to come late) would only greet the next host.
    m_Decoder.Reset();
    m_Late.Clear();
    tcflush(m_SlaveHold, TCIFLUSH);
    ioctl(m_SlaveHold, TIOCNXCL);
    m_Handset.CountHostClose(); // counted once tidied up: a test may reopen the moment it sees it
    m_Handset.NoteLinkEvent("the host closed " + SlavePath());
}

CUartLink::SOpenClose CUartLink::ReadOpenClose() {
    SOpenClose r;
    alignas(inotify_event) char events[4096];
    ssize_t n;
    while ((n = read(m_Inotify, events, sizeof events)) > 0) {
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            inotify_event e;
            std::memcpy(&e, events + at, sizeof e);
            if ((e.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0) {
                r.closed = true;
                r.openedAfterClose = false;
            }
            if ((e.mask & IN_OPEN) != 0) {
                r.opened = true;
                r.openedAfterClose = r.closed;
            }
            at += ssize_t(sizeof(inotify_event) + e.len);
        }
    }
    return r;
}

bool CUartLink::SendDue() {
    std::vector<uint8_t> bytes;
    while (m_Late.TakeDue(Clock::now(), bytes)) {
        if (!Send(bytes) && m_Stop.IsSet()) {
            return false;
        }
    }
    return true;
}

void CUartLink::Run() {
    for (;;) {
        if (!SendDue()) {
            return;
        }
        // Wait for the host, or until the next late reply is due.
        int timeoutMs = -1;
        if (const Clock::time_point due = m_Late.Next(); due != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
            timeoutMs = int(std::clamp<long long>(left, 0, 60000));
        }
        pollfd p[3] = {{m_Stop.Fd(), POLLIN, 0}, {m_Master, POLLIN, 0}, {m_Inotify, POLLIN, 0}};
        const int r = poll(p, m_Inotify >= 0 ? 3 : 2, timeoutMs);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (p[0].revents) {
            return;
        }
        if (m_Inotify >= 0 && (p[2].revents & POLLIN)) {
            // Our own descriptor was opened before the watch and stays open, so any open or close
            // is a host's. What a closing host wrote is taken first, then its leftovers are
            // dropped, unless the next host has opened the slave meanwhile (a quick reconnect):
            // then what is on the line is the new host's, and flushing would lose its reply.
            SOpenClose ev = ReadOpenClose();
            if (ev.closed) {
                bool reopened = ev.openedAfterClose;
                for (;;) {
                    EReadResult rr;
                    while ((rr = ReadMaster()) == EReadResult::Data) {
                    }
                    if (rr == EReadResult::Stop) {
                        return;
                    }
                    // A host that opened while we read may have been answered already.
                    const SOpenClose later = ReadOpenClose();
                    if (later.closed) {
                        reopened = later.openedAfterClose;
                        continue; // and that one closed too: take what it wrote
                    }
                    reopened = reopened || later.opened;
                    break;
                }
                HostClosed(reopened);
                continue;
            }
        }
        if ((p[1].revents & (POLLIN | POLLHUP | POLLERR)) && ReadMaster() == EReadResult::Stop) {
            return;
        }
    }
}

CUartLink::EReadResult CUartLink::ReadMaster() {
    uint8_t buffer[4096];
    const auto byteTime = m_Options.lineRate ? std::chrono::nanoseconds(10'000'000'000ll / m_Options.lineRate)
                                             : std::chrono::nanoseconds(0);
    const ssize_t n = read(m_Master, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return EReadResult::Empty;
    }
    if (n <= 0) {
        // Cannot happen while we hold the slave; never spin on it if it does.
        m_Handset.NoteLinkEvent("pseudo-terminal failed; offering a fresh one");
        ClosePty();
        return OpenPty(nullptr) ? EReadResult::Empty : EReadResult::Stop;
    }
    if (byteTime.count()) {
        const auto start = std::max(Clock::now(), m_InputFreeAt);
        m_InputFreeAt = start + byteTime * n;
    }
    std::vector<std::vector<uint8_t>> frames;
    const uint64_t oversizeBefore = m_Decoder.OversizeFrames();
    m_Decoder.Feed(buffer, size_t(n), frames);
    if (m_Decoder.OversizeFrames() != oversizeBefore) {
        m_Handset.CountOversizeFrame();
    }
    if (!frames.empty() && byteTime.count() && !m_Stop.SleepUntil(m_InputFreeAt)) {
        return EReadResult::Stop;
    }
    for (auto& frame : frames) {
        if (m_Stop.IsSet()) {
            return EReadResult::Stop;
        }
        const int master = m_Master;
        Serve(std::move(frame));
        if (m_Master < 0) {
            return EReadResult::Stop; // a hang-up could not offer a fresh pty
        }
        if (m_Master != master) {
            return EReadResult::Empty; // hung up: the rest was meant for the old pty
        }
    }
    return EReadResult::Data;
}

void CUartLink::Serve(std::vector<uint8_t>&& frame) {
    if (frame[0] != kLeadByte || frame.size() < 3) {
        m_Handset.CountStrayFrame();
        return;
    }
    SRequest request;
    request.transport = ETransport::Uart;
    request.cid = frame[1];
    if (XorOf(frame.data() + 1, frame.size() - 1) != 0) {
        m_Handset.CountBadChecksum();
        request.framingStatus = status::BadRequestChecksum;
    } else {
        request.payload.assign(frame.begin() + 2, frame.end() - 1);
    }
    const SResponse response = m_Handset.Handle(request);
    if (response.hangUp) {
        // The fresh pty is made before the old one closes, so that it gets another name.
        const std::string old = SlavePath();
        const int oldFds[3] = {m_Master, m_SlaveHold, m_Inotify};
        m_Master = m_SlaveHold = m_Inotify = -1;
        const bool fresh = OpenPty(nullptr);
        for (const int fd : oldFds) {
            if (fd >= 0) {
                close(fd);
            }
        }
        if (fresh) {
            m_Handset.NoteLinkEvent("hung up " + old + "; now on " + SlavePath());
        }
        m_Late.Clear(); // they were meant for the old pty
        m_Handset.CountHangUp();
        return;
    }
    if (response.busyUs && !m_Stop.SleepUntil(Clock::now() + std::chrono::microseconds(response.busyUs))) {
        return;
    }
    if (response.lateMs > 0) {
        if (response.send) {
            std::vector<uint8_t> bytes = response.garbage;
            const std::vector<uint8_t> reply =
                StuffUartFrame(response.frame.data(), response.frame.size(), m_Options.escape02);
            bytes.insert(bytes.end(), reply.begin(), reply.end());
            m_Late.Add(Clock::now() + std::chrono::milliseconds(response.lateMs), std::move(bytes));
        }
        return;
    }
    if (!response.garbage.empty() && !Send(response.garbage)) {
        return;
    }
    if (response.send) {
        Send(StuffUartFrame(response.frame.data(), response.frame.size(), m_Options.escape02));
    }
}

bool CUartLink::Send(const std::vector<uint8_t>& bytes) {
    const auto byteTime = m_Options.lineRate ? std::chrono::nanoseconds(10'000'000'000ll / m_Options.lineRate)
                                             : std::chrono::nanoseconds(0);
    // Paced output goes out in slices of about 5 ms of line time.
    const size_t slice = byteTime.count() ? std::max<size_t>(1, m_Options.lineRate / 10 / 200) : bytes.size();
    const auto start = Clock::now();
    size_t sent = 0;
    while (sent < bytes.size()) {
        // A slice is handed over once its last byte would have crossed the line.
        const size_t want = std::min(slice, bytes.size() - sent);
        if (byteTime.count() && !m_Stop.SleepUntil(start + byteTime * (sent + want))) {
            return false;
        }
        const ssize_t n = write(m_Master, bytes.data() + sent, want);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        const int ready = m_Stop.WaitFd(m_Master, POLLOUT, Clock::now() + kWriteGiveUp);
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            m_Handset.NoteLinkEvent("the host does not read: reply dropped");
            return false;
        }
    }
    return true;
}

} // namespace vsim
