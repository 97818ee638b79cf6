// CLinkPort on every system: what does not depend on the device's API. The system's file
// (LinkPortPosix.cpp: termios and poll(); LinkPortWin.cpp: the communications API) opens, closes,
// reads and writes the device and reads its settings back (ReadLineSettings, ReadDeviceEvents).
#include <cstring>
#include <mutex>

#include "LinkError.h"
#include "LinkPort.h"

using namespace quillet;

// --- open and close ---------------------------------------------------------------------------

uint32_t CLinkPort::ApplyOpenSettings(int baudRate, int dataBits, int parity, int stopBits, int flowMode,
                                      uint32_t eventMask) {
    // A port that cannot be configured is not open: every step decides.
    uint32_t rc = ApplyEventMask(eventMask);
    if (rc == kErrSuccess) {
        rc = ApplyLineSettings(baudRate, dataBits, parity, stopBits);
    }
    if (rc == kErrSuccess) {
        rc = ApplyReadMode(0);
    }
    if (rc == kErrSuccess) {
        rc = ApplyFlowControl(flowMode);
    }
    return rc;
}

int CLinkPort::StopAndWaitForCallers() {
    SignalStop();
    std::unique_lock lock(m_IoMutex);
    m_Closing = true;
    m_IoIdle.wait(lock, [this] { return m_IoUsers == 0; });
    const int fd = m_Fd.exchange(-1, std::memory_order_acq_rel);
    m_Closing = false;
    return fd;
}

int CLinkPort::BeginIo() {
    std::lock_guard lock(m_IoMutex);
    const int fd = m_Fd.load(std::memory_order_acquire);
    if (fd < 0 || m_Closing) {
        return -1;
    }
    ++m_IoUsers;
    return fd;
}

void CLinkPort::EndIo() {
    std::lock_guard lock(m_IoMutex);
    if (--m_IoUsers == 0) {
        m_IoIdle.notify_all();
    }
}

// --- settings ---------------------------------------------------------------------------------

uint32_t CLinkPort::ApplyReadMode(int mode) {
    if (mode == 1) {
        return ApplyReadTimeouts(1, 0, 1, 1);
    }
    return ApplyReadTimeouts(mode == 0 ? 0 : -1, 0, 0, 0);
}

// --- settings read back -----------------------------------------------------------------------

int CLinkPort::QueryLineSetting(int SLineSettings::*field) {
    SetResult(kErrSuccess);
    SLineSettings settings;
    return ReadLineSettings(settings) ? settings.*field : -1;
}

int CLinkPort::QueryBaudRate() {
    return QueryLineSetting(&SLineSettings::baudRate);
}

int CLinkPort::QueryByteSize() {
    return QueryLineSetting(&SLineSettings::byteSize);
}

int CLinkPort::QueryParity() {
    return QueryLineSetting(&SLineSettings::parity);
}

int CLinkPort::QueryStopBits() {
    return QueryLineSetting(&SLineSettings::stopBits);
}

int CLinkPort::QueryFlowControl() {
    return QueryLineSetting(&SLineSettings::flowControl);
}

uint32_t CLinkPort::QueryEventMask() {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        SetResult(kErrInvalidHandle);
        return 0;
    }
    uint32_t mask = m_CommMask.load();
    ReadDeviceEvents(&mask, nullptr);
    return mask;
}

char CLinkPort::QueryEventByte() {
    SetResult(kErrSuccess);
    if (!IsOpen()) {
        SetResult(kErrInvalidHandle);
        return 0;
    }
    char eventByte = m_EventChar.load();
    ReadDeviceEvents(nullptr, &eventByte);
    return eventByte;
}

// --- reads and writes -------------------------------------------------------------------------

uint32_t CLinkPort::WriteString(const char* text, uint32_t* written, int waitMs) {
    return WriteBytes(text, text != nullptr ? static_cast<uint32_t>(std::strlen(text)) : 0, written, waitMs);
}

uint32_t CLinkPort::WriteBytes(const void* data, uint32_t length, uint32_t* written, int waitMs) {
    return WriteAll(data, length, written, waitMs);
}

uint32_t CLinkPort::WriteBytesLocked(const void* data, uint32_t length, uint32_t* written, int waitMs) {
    std::lock_guard lock(m_WriteLock);
    return WriteAll(data, length, written, waitMs);
}

uint32_t CLinkPort::ReadBytes(void* buffer, uint32_t length, uint32_t* readCount, int waitMs) {
    SetResult(kErrSuccess);
    if (readCount != nullptr) {
        *readCount = 0;
    }
    return ReadTimed(buffer, length, readCount, waitMs);
}

uint32_t CLinkPort::TakeEventMask() {
    return m_EventMask.exchange(0xFFFFFFFFu);
}
