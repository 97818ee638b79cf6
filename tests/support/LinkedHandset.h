// A virtual handset in-process with an open COstraMonitor on it (COM1 or the USB device), for the
// tests of the jobs and windows that use a link. Link `vandrel_sim_harness` and `quillet`.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SimHarness.h"
#include "quillet/Quillet.h"

namespace testsupport {

// A handset that already runs the flash writer, so that jobs can start at once.
inline vsim::SSimulatorOptions FlashWriterOptions() {
    vsim::SSimulatorOptions o;
    o.startRunner = vsim::ERunner::FlashWriter;
    return o;
}

class CLinkedHandset {
public:
    explicit CLinkedHandset(ESimLink link = ESimLink::Uart,
                            const vsim::SSimulatorOptions& options = FlashWriterOptions())
        : m_Sim(link, options) {
        m_Sim.ExportEnvironment(1);
        const TS_PORT_CONFIG config{link == ESimLink::Usb ? PORT_USB : PORT_UART, 0, 12, 3, 0, 0, 0};
        m_Monitor = std::make_unique<COstraMonitor>(config);
        m_Monitor->Initialize();
    }
    ~CLinkedHandset() { CloseLink(); }
    CLinkedHandset(const CLinkedHandset&) = delete;
    CLinkedHandset& operator=(const CLinkedHandset&) = delete;

    bool IsOpen() const { return m_Monitor && m_Monitor->IsSerialOpen() != 0; }
    // The monitor; null once the link was closed.
    COstraMonitor* MonitorPtr() { return m_Monitor.get(); }
    vsim::CSimulatorHost& Host() { return m_Sim.Host(); }
    const std::string& Dir() const { return m_Sim.Dir(); }
    // Quits and destroys the monitor, as the main window does when the link closes.
    void CloseLink() {
        if (m_Monitor) {
            m_Monitor->Quit();
            m_Monitor.reset();
        }
    }
    // The commands the handset recorded with one identifier, in order.
    std::vector<vsim::SCommandRecord> Commands(uint8_t cid) {
        std::vector<vsim::SCommandRecord> out;
        for (const vsim::SCommandRecord& r : Host().Snapshot().commands) {
            if (r.cid == cid) {
                out.push_back(r);
            }
        }
        return out;
    }

private:
    CSimHarness m_Sim;
    std::unique_ptr<COstraMonitor> m_Monitor;
};

} // namespace testsupport
