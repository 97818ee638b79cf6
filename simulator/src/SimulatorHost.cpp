#include "vsim/SimulatorHost.h"

#include "Links.h"

namespace vsim {

CSimulatorHost::CSimulatorHost(const SSimulatorOptions& options) : m_Options(options), m_Handset(options) {}

CSimulatorHost::~CSimulatorHost() {
    Stop();
}

bool CSimulatorHost::StartUart(const std::string& linkPath, std::string* error) {
    if (m_Uart) {
        if (error) {
            *error = "the UART side is already running";
        }
        return false;
    }
    auto link = std::make_unique<CUartLink>(m_Handset, m_Options);
    if (!link->Start(linkPath, error)) {
        return false;
    }
    m_Uart = std::move(link);
    m_UartLinkPath = linkPath;
    return true;
}

bool CSimulatorHost::StartUsb(const std::string& socketPath, std::string* error) {
    if (m_Usb) {
        if (error) {
            *error = "the USB side is already running";
        }
        return false;
    }
    auto link = std::make_unique<CUsbLink>(m_Handset, m_Options);
    if (!link->Start(socketPath, error)) {
        return false;
    }
    m_Usb = std::move(link);
    m_UsbPath = socketPath;
    return true;
}

void CSimulatorHost::Stop() {
    m_Uart.reset();
    m_Usb.reset();
    m_UartLinkPath.clear();
    m_UsbPath.clear();
}

std::string CSimulatorHost::UartPath() const {
    if (!m_Uart) {
        return {};
    }
    return m_UartLinkPath.empty() ? m_Uart->SlavePath() : m_UartLinkPath;
}

std::string CSimulatorHost::UartSlavePath() const {
    return m_Uart ? m_Uart->SlavePath() : std::string();
}

std::string CSimulatorHost::UsbPath() const {
    return m_UsbPath;
}

} // namespace vsim
