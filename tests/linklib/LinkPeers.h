// Scripted peers for the link tests: the far end of a pseudo-terminal (UART framing) and of a
// SOCK_SEQPACKET socket (USB packets), with helpers to build and check wire bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quillet/QuilletTypes.h"

namespace linktest {

using Bytes = std::vector<uint8_t>;

// Request frame 21 cid payload checksum.
Bytes RequestFrame(uint8_t cid, const Bytes& payload);
// Reply frame 21 cid status payload [checksum on UART].
Bytes ReplyFrame(uint8_t cid, uint8_t status, const Bytes& payload, bool withChecksum);
// 02, the frame with 10 02 0A escaped, 0A.
Bytes UartStuff(const Bytes& frame);
// The configuration of COM<port+1> at 115200-8-N-1, or of the USB device.
TS_PORT_CONFIG UartConfig(int port = 0);
TS_PORT_CONFIG UsbConfig();
// Clears VANDREL_COM1..4 and VANDREL_USB_DEVICE so that the program's own map decides.
void ClearPortEnvironment();

// Which of two values "a" names: for table-driven tests.
std::string Hex(const Bytes& bytes);

// The far end of a pseudo-terminal. The slave path is mapped to COM<port+1>.
class PtyPeer {
public:
    explicit PtyPeer(int comNumber = 1);
    ~PtyPeer();
    const std::string& Path() const { return m_Path; }
    void Write(const Bytes& bytes);
    // Bytes that arrive within ms (all of them, up to the time).
    Bytes ReadFor(int ms);
    // One request frame, decoded from the UART framing; nothing after ms.
    std::optional<Bytes> ReadFrame(int ms);
    // Raw bytes of the last ReadFrame, as they were on the wire.
    const Bytes& LastRaw() const { return m_LastRaw; }
    void CloseMaster();
    int MasterFd() const { return m_Master; }

private:
    int m_Master = -1;
    int m_SlaveKeep = -1; // keeps the slave side alive between opens
    int m_ComNumber;
    std::string m_Path;
    Bytes m_Pending;
    Bytes m_LastRaw;
};

// The far end of the USB packet socket: listens at a temporary path mapped to "\\.\Csr0".
class UsbPeer {
public:
    UsbPeer();
    ~UsbPeer();
    const std::string& Path() const { return m_Path; }
    // Accepts the port's connection; with a greeting, sends it as the first packet.
    bool Accept(int ms, bool greet = true);
    void Send(const Bytes& packet);
    // One packet; nothing after ms.
    std::optional<Bytes> ReadPacket(int ms);
    // One request, its packets joined back into the frame 21 cid data; the packets in packets.
    std::optional<Bytes> ReadRequest(int ms, std::vector<Bytes>* packets = nullptr);
    void CloseConnection();

private:
    std::string m_Dir;
    std::string m_Path;
    int m_Listen = -1;
    int m_Conn = -1;
};

// Answers every request on a thread of its own: reply(request) gives the raw bytes to send
// back (empty: no answer). Stops when destroyed.
class Responder {
public:
    using Reply = std::function<std::vector<Bytes>(const Bytes& request)>;
    Responder(PtyPeer& peer, Reply reply);
    Responder(UsbPeer& peer, Reply reply);
    ~Responder();
    int Requests() const { return m_Count.load(); }

private:
    std::atomic<bool> m_Stop{false};
    std::atomic<int> m_Count{0};
    std::thread m_Thread;
};

// A responder body that answers request cid with status 0 and the given payload, framed for the
// port type.
Responder::Reply EchoStatus(bool uart, uint8_t status, const Bytes& payload);

} // namespace linktest
