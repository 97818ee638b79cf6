// Starts a virtual handset in-process for a test: in a fresh temporary folder, on a pseudo-terminal
// (a symbolic link "ttyR3700" to its slave) or on a USB socket ("csr0"). Link target
// `vandrel_sim_harness`. It does not use libquillet; point the host at Path():
//
//   testsupport::CSimHarness sim(testsupport::ESimLink::Uart);
//   QuilletSetComPath(1, sim.Path());          // or sim.ExportEnvironment() for VANDREL_COM1
//   ... COstraMonitor on COM1 ...
//   EXPECT_EQ(sim.Host().Runner(), vsim::ERunner::FlashWriter);
//
// The folder, the link and the socket are removed when the harness goes.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "vsim/SimulatorHost.h"

namespace testsupport {

enum class ESimLink { Uart, Usb, Both };

class CSimHarness {
public:
    explicit CSimHarness(ESimLink link, const vsim::SSimulatorOptions& options = {}) : m_Host(options) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/vandrel-sim-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            throw std::runtime_error("cannot make a temporary folder from " + pattern);
        }
        m_Dir = pattern;
        std::string error;
        if ((link != ESimLink::Usb && !m_Host.StartUart(m_Dir + "/ttyR3700", &error)) ||
            (link != ESimLink::Uart && !m_Host.StartUsb(m_Dir + "/csr0", &error))) {
            Cleanup();
            throw std::runtime_error("virtual handset: " + error);
        }
    }
    ~CSimHarness() { Cleanup(); }
    CSimHarness(const CSimHarness&) = delete;
    CSimHarness& operator=(const CSimHarness&) = delete;

    // The path to open: the pty link when the UART side runs, else the USB socket.
    std::string Path() const { return UartRunning() ? m_Host.UartPath() : m_Host.UsbPath(); }
    std::string UartPath() const { return m_Host.UartPath(); }
    std::string UsbPath() const { return m_Host.UsbPath(); }
    const std::string& Dir() const { return m_Dir; }
    vsim::CSimulatorHost& Host() { return m_Host; }

    // Sets VANDREL_COM<comNumber> and/or VANDREL_USB_DEVICE to this handset's paths.
    void ExportEnvironment(int comNumber = 1) const {
        if (UartRunning()) {
            setenv(("VANDREL_COM" + std::to_string(comNumber)).c_str(), m_Host.UartPath().c_str(), 1);
        }
        if (!m_Host.UsbPath().empty()) {
            setenv("VANDREL_USB_DEVICE", m_Host.UsbPath().c_str(), 1);
        }
    }

private:
    void Cleanup() {
        m_Host.Stop();
        std::error_code ignored;
        std::filesystem::remove_all(m_Dir, ignored);
    }
    bool UartRunning() const { return !m_Host.UartPath().empty(); }

    vsim::CSimulatorHost m_Host;
    std::string m_Dir;
};

} // namespace testsupport
