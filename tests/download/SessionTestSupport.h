// Shared by the download session and run tests: recorders for the observer and the log, flash
// images written into a scratch folder, their expected memory made by srec_cat, and a monitor
// opened on the in-process virtual handset.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SimHarness.h"
#include "SrecText.h"
#include "TempDir.h"
#include "download/JobObserver.h"
#include "quillet/OstraMonitor.h"
#include "quillet/PortMap.h"

namespace sessiontest {

// Everything a job shows, in order, as "kind:text".
class CObserverRecorder : public IJobObserver {
public:
    void SetCaption(const std::string& t) override { Add("caption:" + t); }
    void SetStatus(const std::string& t) override { Add("status:" + t); }
    void SetProgressText(const std::string& t) override { Add("text:" + t); }
    void SetProgressRange(uint32_t lo, uint32_t hi) override {
        Add("range:" + std::to_string(lo) + ".." + std::to_string(hi));
    }
    void SetProgressPos(uint32_t pos) override { Add("pos:" + std::to_string(pos)); }
    void StepProgress() override { Add("step"); }
    void SetEraseAnimation(bool on, const std::string& message) override {
        Add(on ? "erase-on:" + message : std::string("erase-off"));
    }
    void OnBlockWritten(uint32_t address, uint32_t length) override {
        char text[48];
        std::snprintf(text, sizeof text, "block:%08X+%u", address, length);
        Add(text);
        if (onBlock) {
            onBlock(address, length);
        }
    }
    std::vector<std::string> Events() const {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    // The events of one kind ("caption", "status", "text", ...), without the kind.
    std::vector<std::string> Of(const std::string& kind) const {
        std::vector<std::string> out;
        for (const std::string& e : Events()) {
            if (e.compare(0, kind.size() + 1, kind + ":") == 0) {
                out.push_back(e.substr(kind.size() + 1));
            }
        }
        return out;
    }
    std::function<void(uint32_t, uint32_t)> onBlock;

private:
    void Add(std::string e) {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(e));
    }
    mutable std::mutex m_mutex;
    std::vector<std::string> m_events;
};

class CLogRecorder : public ILogSink {
public:
    void AppendLog(const std::string& text) override {
        std::lock_guard lock(m_mutex);
        m_text += text;
        m_appends.push_back(text);
    }
    void ClearLog() override {
        std::lock_guard lock(m_mutex);
        m_text.clear();
        m_appends.push_back("<clear>");
    }
    std::string Text() const {
        std::lock_guard lock(m_mutex);
        return m_text;
    }
    std::vector<std::string> Appends() const {
        std::lock_guard lock(m_mutex);
        return m_appends;
    }

private:
    mutable std::mutex m_mutex;
    std::string m_text;
    std::vector<std::string> m_appends;
};

struct TS_SEGMENT {
    uint32_t address;
    std::vector<uint8_t> data;
};

// An .m0 file: an S0 header, the segments cut into S3 records of recordSize bytes, an S7 record.
inline std::string M0Text(const std::vector<TS_SEGMENT>& segments, std::size_t recordSize = 32,
                          bool withEnd = true) {
    std::string text = "S00600004844521B\n";
    for (const TS_SEGMENT& s : segments) {
        for (std::size_t at = 0; at < s.data.size(); at += recordSize) {
            const std::size_t n = std::min(recordSize, s.data.size() - at);
            text += S3Line(s.address + static_cast<uint32_t>(at),
                           std::vector<uint8_t>(s.data.begin() + static_cast<long>(at),
                                                s.data.begin() + static_cast<long>(at + n)));
        }
    }
    if (withEnd) {
        text += "S70500000000FA\n";
    }
    return text;
}

// srec_cat's binary of an .m0 file from address first up to its last byte, holes as fill (erased
// flash reads 0xFF, the handset's RAM 0x00).
inline std::vector<uint8_t> SrecCatBinary(const std::string& m0, uint32_t first, int fill = 0xFF) {
    const std::string bin = m0 + ".bin";
    char offset[32];
    std::snprintf(offset, sizeof offset, "-0x%X", first);
    const std::string command = "srec_cat '(' '" + m0 + "' -fill " + std::to_string(fill) + " -over '" + m0 +
                                "' ')' -offset " + offset + " -o '" + bin + "' -binary";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    const std::string bytes = ReadFile(bin);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// Forgets the environment's device names so that the program's own map decides.
inline void ClearPortEnvironment() {
    for (int n = 1; n <= 4; ++n) {
        unsetenv(("VANDREL_COM" + std::to_string(n)).c_str());
    }
    unsetenv("VANDREL_USB_DEVICE");
}

// COM1 at 115200 8N1, or the USB device, pointed at the handset.
inline TS_PORT_CONFIG SimConfig(testsupport::CSimHarness& sim, bool usb) {
    ClearPortEnvironment();
    if (usb) {
        QuilletSetUsbDevicePath(sim.UsbPath());
        return TS_PORT_CONFIG{PORT_USB, 0, 12, 3, 0, 0, 0};
    }
    QuilletSetComPath(1, sim.UartPath());
    return TS_PORT_CONFIG{PORT_UART, 0, 12, 3, 0, 0, 0};
}

inline std::unique_ptr<COstraMonitor> OpenMonitor(testsupport::CSimHarness& sim, bool usb) {
    auto monitor = std::make_unique<COstraMonitor>(SimConfig(sim, usb));
    monitor->Initialize();
    EXPECT_TRUE(monitor->IsSerialOpen()) << monitor->GetPortErrorText();
    return monitor;
}

inline vsim::SSimulatorOptions WriterRunning(uint8_t flashFill = 0x00) {
    vsim::SSimulatorOptions o;
    o.startRunner = vsim::ERunner::FlashWriter;
    // flash that holds old contents: an area the host forgets to erase refuses the write
    o.flashFill = flashFill;
    return o;
}

// The commands of one identifier the handset was sent.
inline std::vector<vsim::SCommandRecord> CommandsOf(const vsim::SHandsetSnapshot& s, uint8_t cid) {
    std::vector<vsim::SCommandRecord> out;
    for (const auto& c : s.commands) {
        if (c.cid == cid) {
            out.push_back(c);
        }
    }
    return out;
}

} // namespace sessiontest
