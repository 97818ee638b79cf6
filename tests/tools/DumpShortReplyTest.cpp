// A MemoryDump reply shorter than asked for (which the virtual handset never sends) is a failure
// of the dump, never bytes passed off as memory. A scripted USB peer sends one.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "TempDir.h"
#include "quillet/Quillet.h"
#include "tools/DumpToFile.h"
#include "tools/MemoryDump.h"

namespace {

// Answers every MemoryDump request with status 0 and the bytes 0x5A; from request number
// `shortFrom` (counting from 0) on, with `missing` bytes fewer than asked for.
class CShortDumpPeer {
public:
    CShortDumpPeer(int shortFrom, int missing) : m_ShortFrom(shortFrom), m_Missing(missing) {
        m_Path = m_Dir.File("csr0");
        m_Listen = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, m_Path.c_str(), sizeof addr.sun_path - 1);
        EXPECT_EQ(::bind(m_Listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(m_Listen, 1), 0);
        setenv("VANDREL_USB_DEVICE", m_Path.c_str(), 1);
        m_Thread = std::thread([this] { Serve(); });
    }
    ~CShortDumpPeer() {
        m_Stop = true;
        m_Thread.join();
        ::close(m_Listen);
    }
    int Requests() const { return m_Requests.load(); }

private:
    static bool Readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 20) == 1;
    }
    void Serve() {
        int conn = -1;
        while (!m_Stop) {
            if (conn < 0) {
                if (Readable(m_Listen)) {
                    conn = ::accept4(m_Listen, nullptr, nullptr, SOCK_CLOEXEC);
                    const uint8_t greeting[] = {'h', 'e', 'l', 'l', 'o'}; // the device's first message
                    ::send(conn, greeting, sizeof greeting, MSG_NOSIGNAL);
                }
                continue;
            }
            if (!Readable(conn)) {
                continue;
            }
            uint8_t packet[2048];
            const ssize_t n = ::recv(conn, packet, sizeof packet, 0);
            if (n <= 0) {
                break;
            }
            // One packet: 3 header bytes, then 21 51, a flag byte, address BE32, count LE16, unit.
            if (n < 13 || packet[4] != 0x51) {
                continue;
            }
            const int count = packet[10] | packet[11] << 8;
            const int bytes = count << packet[12];
            const int request = m_Requests++;
            const int sent = request >= m_ShortFrom ? bytes - m_Missing : bytes;
            std::vector<uint8_t> reply{0x21, 0x51, 0x00};
            reply.insert(reply.end(), static_cast<std::size_t>(sent), 0x5A);
            ::send(conn, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        if (conn >= 0) {
            ::close(conn);
        }
    }

    CTempDir m_Dir;
    std::string m_Path;
    int m_Listen = -1;
    int m_ShortFrom;
    int m_Missing;
    std::atomic<bool> m_Stop{false};
    std::atomic<int> m_Requests{0};
    std::thread m_Thread;
};

COstraMonitor* Open(std::unique_ptr<COstraMonitor>& monitor) {
    monitor = std::make_unique<COstraMonitor>(TS_PORT_CONFIG{PORT_USB, 0, 12, 3, 0, 0, 0});
    monitor->Initialize();
    EXPECT_TRUE(monitor->IsSerialOpen()) << monitor->GetPortErrorText();
    return monitor.get();
}

} // namespace

TEST(DumpShortReplyTest, AShortReplyFailsTheDumpToFile) {
    CShortDumpPeer peer(1, 3);
    std::unique_ptr<COstraMonitor> monitor;
    Open(monitor);
    CTempDir dir;
    const std::string path = dir.File("short.bin");
    const TS_DUMP_FILE_RESULT r = DumpToFile(*monitor, path, 0, 0x406);
    monitor->Quit();
    EXPECT_EQ(r.Outcome, DUMP_FILE_READ_ERROR);
    EXPECT_EQ(r.Status, TM_ERR_UNEXPECTED);
    EXPECT_EQ(r.StatusText, "Memory read error [ Error code : -101 ]");
    EXPECT_EQ(ReadFile(path), std::string(996, '\x5A')); // only the whole first reply
    EXPECT_EQ(peer.Requests(), 2);
}

TEST(DumpShortReplyTest, AShortReplyFailsTheDumpToScreenAndTheRead) {
    CShortDumpPeer peer(0, 1);
    std::unique_ptr<COstraMonitor> monitor;
    Open(monitor);
    std::vector<uint8_t> data{7};
    const TS_MEMORY_READ screen = DumpToScreen(*monitor, 0x100, 16, DUMP_BYTE, data);
    EXPECT_EQ(screen.Status, TM_ERR_UNEXPECTED);
    EXPECT_EQ(ScreenDumpErrorText(screen), "Memory read error(-101)");
    EXPECT_EQ(data, std::vector<uint8_t>{7});
    std::vector<uint8_t> out;
    const TS_MEMORY_READ read = ReadTargetMemory(*monitor, 0x100, 16, out);
    EXPECT_FALSE(read.Ok());
    EXPECT_EQ(read.Status, TM_ERR_UNEXPECTED);
    EXPECT_TRUE(out.empty());
    monitor->Quit();
}
