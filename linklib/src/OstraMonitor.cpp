#include "quillet/OstraMonitor.h"

#include <algorithm>
#include <cstdio>

#include "quillet/PROTOCOL.h"

namespace {

constexpr unsigned char kQueryFlashId = 0x11;
constexpr unsigned char kEraseFlashAll = 0x12;
constexpr unsigned char kEraseFlashBlock = 0x13;
constexpr unsigned char kConfirmFlashWriting = 0x33;
constexpr unsigned char kRequestFlashWrite = 0x41;
constexpr unsigned char kQueryTargetRunner = 0x42;
constexpr unsigned char kMemoryDump = 0x51;

constexpr int kQueryFlashIdMs = 250;
constexpr int kEraseMs = 60000;
constexpr int kFlashWriteMs = 20000;
constexpr int kFlashWriteUsbDataMs = 3000;
constexpr int kConfirmMs = 50;
constexpr int kQueryRunnerMs = 2000;
constexpr int kMemoryDumpMs = 10000;
constexpr int kWriterBlockPauseMs = 100; // USB: the boot loader stores each writer block

constexpr int kMaxDumpUart = 20476; // a 20480-byte frame less lead, identifier, status, checksum
constexpr int kMaxDumpUsb = 996;    // a 999-byte packet less lead, identifier, status

// Addresses travel most significant byte first.
unsigned int SwapBytes(unsigned int value) {
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

} // namespace

COstraMonitor::COstraMonitor(TS_PORT_CONFIG config)
    : m_Protocol(std::make_unique<CPROTOCOL>(config)),
      m_PortType(static_cast<TE_PORT_TYPES>(config.PortType)) {}

COstraMonitor::COstraMonitor() : m_Protocol(std::make_unique<CPROTOCOL>()) {}

COstraMonitor::~COstraMonitor() = default;

void COstraMonitor::SetDevicePath(const std::string& path) {
    m_Protocol->SetDevicePath(path);
}

signed char COstraMonitor::Initialize() {
    return m_Protocol->Initialize();
}

signed char COstraMonitor::Quit() {
    m_Protocol->Exit();
    return 0;
}

int COstraMonitor::IsSerialOpen() const {
    return m_Protocol->IsSerialOpen();
}

std::string COstraMonitor::GetSerialPortConnectStatusString() const {
    return m_Protocol->GetSerialPortConnectStatusString();
}

std::string COstraMonitor::GetPortErrorText() const {
    return m_Protocol->GetPortErrorText();
}

unsigned int COstraMonitor::GetPortLastError() const {
    return m_Protocol->GetPortLastError();
}

TE_PORT_TYPES COstraMonitor::GetPortTypes() const {
    return m_PortType;
}

int COstraMonitor::MaxDumpBytes() const {
    return m_PortType == PORT_USB ? kMaxDumpUsb : kMaxDumpUart;
}

void COstraMonitor::CancelWaits(bool on) {
    m_Protocol->CancelWaits(on);
}

signed char COstraMonitor::FlashWrite(TE_FLASH_CMDS command, unsigned short length, const char* data) {
    m_Protocol->TmTransactionBegin(static_cast<unsigned char>(command));
    int timeoutMs = kFlashWriteMs;
    if (m_PortType == PORT_USB && length != 0) {
        // USB carries the block without its last byte (the record checksum of an S-record block).
        length = static_cast<unsigned short>(length - 1);
        timeoutMs = kFlashWriteUsbDataMs;
    }
    if (length != 0 && data != nullptr) {
        m_Protocol->PutData(data, length);
    }
    const int rc = m_Protocol->TmTransaction(timeoutMs);
    if (rc < 0) {
        return static_cast<signed char>(rc);
    }
    if (m_PortType == PORT_USB && command == FLASH_CMD_WRITER_DATA) {
        m_Protocol->Pause(kWriterBlockPauseMs);
    }
    return static_cast<signed char>(m_Protocol->GetUplinkErrorStatus());
}

signed char COstraMonitor::ConfirmFlashWriting() {
    m_Protocol->TmTransactionBegin(kConfirmFlashWriting);
    return static_cast<signed char>(m_Protocol->TmTransaction(kConfirmMs));
}

signed char COstraMonitor::RequestAndWaitConfirmatonForFlashWrite(TE_REQ_FLASH_WRITE_RESULT& result) {
    m_Protocol->TmTransactionBegin(kRequestFlashWrite);
    const int rc = m_Protocol->TmTransaction(kConfirmMs);
    if (rc < 0) {
        return static_cast<signed char>(rc);
    }
    result = static_cast<TE_REQ_FLASH_WRITE_RESULT>(m_Protocol->GetInt8());
    return static_cast<signed char>(rc);
}

signed char COstraMonitor::QueryTargetRunner(TE_TARGET_RUNNER_TYPES& runner, std::string& version) {
    m_Protocol->TmTransactionBegin(kQueryTargetRunner);
    const int rc = m_Protocol->TmTransaction(kQueryRunnerMs);
    if (rc < 0) {
        return static_cast<signed char>(rc);
    }
    runner = static_cast<TE_TARGET_RUNNER_TYPES>(m_Protocol->GetInt8());
    const unsigned a = m_Protocol->GetInt8();
    const unsigned b = m_Protocol->GetInt8();
    const unsigned c = m_Protocol->GetInt8();
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u", a, b, c);
    version = text;
    return static_cast<signed char>(rc);
}

signed char COstraMonitor::EraseFlashAll(unsigned int address) {
    m_Protocol->TmTransactionBegin(kEraseFlashAll);
    m_Protocol->PutInt32(SwapBytes(address));
    return static_cast<signed char>(m_Protocol->TmTransaction(kEraseMs));
}

signed char COstraMonitor::EraseFlashBlock(unsigned int start, unsigned int end) {
    m_Protocol->TmTransactionBegin(kEraseFlashBlock);
    m_Protocol->PutInt32(SwapBytes(start));
    m_Protocol->PutInt32(SwapBytes(end));
    return static_cast<signed char>(m_Protocol->TmTransaction(kEraseMs));
}

signed char COstraMonitor::QueryFlashId(unsigned int address, TE_FLASH_MANUFACTURE_ID& id) {
    m_Protocol->TmTransactionBegin(kQueryFlashId);
    m_Protocol->PutInt32(SwapBytes(address));
    const int rc = m_Protocol->TmTransaction(kQueryFlashIdMs);
    // Stored after every transaction: a target status such as -7 still carries the id.
    id = static_cast<TE_FLASH_MANUFACTURE_ID>(m_Protocol->GetInt8());
    return static_cast<signed char>(rc);
}

signed char COstraMonitor::MemoryDump(unsigned int address, unsigned short count, TE_DUMP_UNIT unit,
                                      unsigned char* buffer) {
    m_Protocol->TmTransactionBegin(kMemoryDump);
    m_Protocol->PutInt32(SwapBytes(address));
    m_Protocol->PutInt16(count);
    m_Protocol->PutInt8(static_cast<unsigned char>(unit));
    const int rc = m_Protocol->TmTransaction(kMemoryDumpMs);
    if (rc < 0) {
        return static_cast<signed char>(rc);
    }
    int unitBytes = 0;
    switch (unit) {
    case DUMP_BYTE:
        unitBytes = 1;
        break;
    case DUMP_WORD:
        unitBytes = 2;
        break;
    case DUMP_DWORD:
        unitBytes = 4;
        break;
    default:
        return static_cast<signed char>(rc); // no such unit: nothing copied
    }
    const int wanted = static_cast<int>(count) * unitBytes;
    const int available = m_Protocol->GetRemainingLength();
    const int copied = std::min(wanted, available);
    if (buffer != nullptr && copied > 0) {
        m_Protocol->GetData(buffer, copied);
    }
    // A reply shorter than asked for is not success: what came is copied, nothing past it.
    if (available < wanted) {
        return TM_ERR_UNEXPECTED;
    }
    return static_cast<signed char>(rc);
}
