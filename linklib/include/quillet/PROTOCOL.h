// CPROTOCOL: the transaction layer. One request frame out, one reply frame back, checked and
// readable field by field. Not thread-safe: one transaction at a time per object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "quillet/QuilletExport.h"
#include "quillet/QuilletTypes.h"

class CLinkChannel;

class QUILLET_API CPROTOCOL {
public:
    explicit CPROTOCOL(TS_PORT_CONFIG config);
    CPROTOCOL();
    ~CPROTOCOL();
    CPROTOCOL(const CPROTOCOL&) = delete;
    CPROTOCOL& operator=(const CPROTOCOL&) = delete;

    // Lifecycle
    // The device path to open instead of the port map's (empty: the map); see COstraMonitor.
    void SetDevicePath(const std::string& path);
    signed char Initialize();
    signed char Exit();
    signed char Reset();
    int IsSerialOpen() const;
    std::string GetSerialPortConnectStatusString() const;

    // Building a request
    signed char TmTransactionBegin(unsigned char cid);
    void PutInit(unsigned char cid);
    void PutInt8(unsigned char value);
    void PutInt16(unsigned short value);
    void PutInt32(unsigned int value);
    void PutData(const char* data, unsigned short length);

    // Running the transaction. A negative time-out sends without waiting for a reply. When the
    // device goes away (hangs up, is unplugged) the wait ends at once with TM_ERR_TIMEOUT, and every
    // later transaction returns TM_ERR_TIMEOUT at once without sending, until Initialize opens the
    // port again; GetPortErrorText then says that the device was disconnected.
    //
    // Late replies: a reply that answers another command than the request (its identifier differs
    // and its status is 0 or more) came after its own transaction had given up. It is dropped and
    // the wait goes on for what is left of the same time-out; TM_ERR_CID_MISMATCH only when that
    // time-out runs out after such replies and none for this request came. Frames already complete
    // when a request is sent are late too and are dropped before it goes out. A negative status is
    // the target's refusal and is returned whatever identifier it carries. TmReceive waits for the
    // reply to cid by the same rule.
    int TmTransaction(int timeoutMs);
    int TmReceive(unsigned char cid, int timeoutMs);
    // Late replies dropped by this object (while waiting or before a request went out), since it
    // was made. Thread-safe, for tests and diagnostics.
    uint64_t GetLateReplyCount() const;

    // Reading the reply of the last transaction that returned 0 or more
    unsigned char GetCID() const;
    unsigned char GetUplinkErrorStatus() const;
    unsigned char GetInt8();
    unsigned short GetInt16();
    unsigned int GetInt32();
    // Copy length bytes from the read position (GetData also advances it). Bytes past the end of
    // the payload are not read: out gets the 0xBA filler there. The result is the number of
    // payload bytes copied.
    int GetData(void* out, int length);
    int PeekData(void* out, int length) const;
    signed char ExpectInt8(unsigned char expected);
    signed char ExpectInt16(unsigned short expected);
    // Payload bytes of the last reply not read yet (0 when none).
    int GetRemainingLength() const;

    // Thread-safe. While on, a transaction waiting for its reply gives up at once with
    // TM_ERR_TIMEOUT, so that a job can be stopped without waiting out a long time-out.
    void CancelWaits(bool on);

    // Sleeps milliseconds; ends early while CancelWaits is on.
    void Pause(int milliseconds);
    // Why the last Initialize could not open the port, naming the port, the path it resolved to
    // and the reason ("COM1 (/dev/ttyUSB0): the device does not exist (error 2)"); empty when it
    // opened. After the device went away under the open port: "COM1 (/dev/ttyUSB0): the device was
    // disconnected: ..." with the code in GetPortLastError. GetPortLastError is the port's Windows-style
    // error code of that open (0 = opened).
    std::string GetPortErrorText() const;
    unsigned int GetPortLastError() const;

private:
    struct TxBuffer;
    struct RxBuffer;
    struct Shared;

    int TmTransmit();
    void DropStaleFrames();
    static char TmChecksum(const char* data, int length);
    unsigned char PeekInt8() const;

    TS_PORT_CONFIG m_Config{};
    bool m_HasConfig = false;
    std::unique_ptr<TxBuffer> m_Tx;
    std::unique_ptr<RxBuffer> m_Rx;
    std::unique_ptr<CLinkChannel> m_Port;
    std::unique_ptr<Shared> m_Shared; // cancel state, shared with CancelWaits callers
};
