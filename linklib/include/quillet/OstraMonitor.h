// COstraMonitor: the monitor command set of the handset (boot loader and flash writer). Each
// command operation is one transaction and returns the link status (see QuilletTypes.h).
// Not thread-safe: callers take turns.
#pragma once

#include <memory>
#include <string>

#include "quillet/QuilletExport.h"
#include "quillet/QuilletTypes.h"

class CPROTOCOL;

class QUILLET_API COstraMonitor {
public:
    explicit COstraMonitor(TS_PORT_CONFIG config);
    COstraMonitor();
    virtual ~COstraMonitor();
    COstraMonitor(const COstraMonitor&) = delete;
    COstraMonitor& operator=(const COstraMonitor&) = delete;

    // The device this monitor opens, instead of the one its port name ("COMn", "\\.\Csr0") resolves
    // to through the port map; empty goes back to the map. Takes effect at the next Initialize. A
    // program that runs several links at once gives each monitor its own path this way.
    void SetDevicePath(const std::string& path);

    signed char Initialize();
    signed char Quit();
    int IsSerialOpen() const;
    std::string GetSerialPortConnectStatusString() const;
    TE_PORT_TYPES GetPortTypes() const;

    // One data block (length bytes) or, with length 0 and no data, the end command of a kind.
    signed char FlashWrite(TE_FLASH_CMDS command, unsigned short length, const char* data);
    signed char ConfirmFlashWriting();
    signed char RequestAndWaitConfirmatonForFlashWrite(TE_REQ_FLASH_WRITE_RESULT& result);
    signed char QueryTargetRunner(TE_TARGET_RUNNER_TYPES& runner, std::string& version);
    signed char EraseFlashAll(unsigned int address);
    signed char EraseFlashBlock(unsigned int start, unsigned int end);
    signed char QueryFlashId(unsigned int address, TE_FLASH_MANUFACTURE_ID& id);
    // Reads count units into buffer, which must hold count x 1, 2 or 4 bytes. A reply shorter than
    // that copies what arrived and returns TM_ERR_UNEXPECTED.
    signed char MemoryDump(unsigned int address, unsigned short count, TE_DUMP_UNIT unit,
                           unsigned char* buffer);

    // Largest MemoryDump reply the link carries, in memory bytes: 20476 on UART, 996 on USB.
    int MaxDumpBytes() const;

    // Thread-safe. While on, a command waiting for its reply gives up at once with TM_ERR_TIMEOUT.
    void CancelWaits(bool on);

    // Why Initialize could not open the port ("COM1 (/dev/ttyUSB0): the device does not exist
    // (error 2)"); empty when it opened. See CPROTOCOL::GetPortErrorText.
    std::string GetPortErrorText() const;
    unsigned int GetPortLastError() const;

private:
    std::unique_ptr<CPROTOCOL> m_Protocol;
    TE_PORT_TYPES m_PortType = PORT_UART;
};
