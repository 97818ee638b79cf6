// Shared by the flash tool end-to-end tests: a virtual handset with a monitor connected to it, and
// recorders of what a job shows and logs.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LinkedHandset.h"
#include "download/JobObserver.h"
#include "quillet/Quillet.h"

namespace tooltest {

using testsupport::ESimLink;

using testsupport::FlashWriterOptions;

// A handset on one link and an open monitor on it.
class CLinkedHandset : public testsupport::CLinkedHandset {
public:
    explicit CLinkedHandset(ESimLink link, const vsim::SSimulatorOptions& options = FlashWriterOptions())
        : testsupport::CLinkedHandset(link, options) {
        EXPECT_TRUE(IsOpen()) << MonitorPtr()->GetPortErrorText();
    }
    COstraMonitor& Monitor() { return *MonitorPtr(); }
};

inline const char* LinkName(ESimLink link) {
    return link == ESimLink::Usb ? "Usb" : "Uart";
}

// Every call a job makes on its observer, as text, in order. Safe to read after the job ended;
// OnEvent (optional) runs on the job's thread with each event.
class CRecordingObserver : public IJobObserver {
public:
    void SetCaption(const std::string& text) override { Add("caption:" + text); }
    void SetStatus(const std::string& text) override { Add("status:" + text); }
    void SetProgressText(const std::string& text) override { Add("text:" + text); }
    void SetProgressRange(uint32_t low, uint32_t high) override {
        Add("range:" + std::to_string(low) + ".." + std::to_string(high));
    }
    void SetProgressPos(uint32_t pos) override { Add("pos:" + std::to_string(pos)); }
    void StepProgress() override { Add("step"); }
    void SetEraseAnimation(bool on, const std::string& message) override {
        Add(on ? "anim:on:" + message : "anim:off");
    }

    std::vector<std::string> Events() const {
        std::lock_guard lock(m_Mutex);
        return m_Events;
    }
    // The events that start with a prefix, the prefix removed.
    std::vector<std::string> Events(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const std::string& e : Events()) {
            if (e.rfind(prefix, 0) == 0) {
                out.push_back(e.substr(prefix.size()));
            }
        }
        return out;
    }

    std::function<void(const std::string&)> OnEvent;

private:
    void Add(const std::string& event) {
        {
            std::lock_guard lock(m_Mutex);
            m_Events.push_back(event);
        }
        if (OnEvent) {
            OnEvent(event);
        }
    }

    mutable std::mutex m_Mutex;
    std::vector<std::string> m_Events;
};

class CRecordingLog : public ILogSink {
public:
    void AppendLog(const std::string& text) override {
        std::lock_guard lock(m_Mutex);
        m_Text += text;
    }
    std::string Text() const {
        std::lock_guard lock(m_Mutex);
        return m_Text;
    }

private:
    mutable std::mutex m_Mutex;
    std::string m_Text;
};

} // namespace tooltest
