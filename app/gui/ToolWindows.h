// The flash tools the main window opens: the "Memory Dump" page of its second tab and the erase
// tool of the "Flash Tools" menu. They are made here, so that the main window does not depend on
// how they are built.
//
// The tools/ folder provides them (target vandrel_tools_ui): when it exists, app/CMakeLists.txt
// links it and defines VANDREL_HAVE_TOOLS_UI, and the functions below make the real page and
// dialog. Without it the second tab shows a placeholder page and the erase command stays disabled.
#pragma once

#include <QWidget>

#include <functional>

class COstraMonitor;

// A page the main window lends its monitor to. The main window calls SetMonitor with the monitor
// when a link opens, and with nullptr before the monitor is destroyed; from the moment
// SetMonitor(nullptr) returns the page must not touch the old monitor again (a dump to a file in
// progress is stopped first; COstraMonitor::CancelWaits ends a command that waits for its reply).
class IMonitorPage {
public:
    virtual ~IMonitorPage() = default;
    virtual void SetMonitor(COstraMonitor* monitor) = 0;
    // True while the page runs a job of its own on the monitor (a dump to a file): the main
    // window's commands that use the monitor wait until it has ended. Closing the window does not
    // wait: it takes the monitor back with SetMonitor(nullptr).
    virtual bool IsBusy() const { return false; }
    // The main window's hook; the page calls BusyChanged() on the UI thread whenever IsBusy()
    // changes.
    void SetBusyChanged(std::function<void()> hook) { m_busyChanged = std::move(hook); }

protected:
    void BusyChanged() {
        if (m_busyChanged) {
            m_busyChanged();
        }
    }

private:
    std::function<void()> m_busyChanged;
};

struct TS_TOOL_PAGE {
    QWidget* widget = nullptr; // owned by the tab control once placed there
    IMonitorPage* page = nullptr;
};

// The "Memory Dump" page; the monitor is none at this time.
TS_TOOL_PAGE CreateMemoryDumpPage(QWidget* parent);

// Whether the erase tool is part of this build (the "Erase Flash" command is enabled only then).
bool EraseFlashToolAvailable();
// Shows the erase tool modally with the main window's monitor; returns when it has closed.
// Nothing happens when the tool is not available.
void RunEraseFlashTool(COstraMonitor* monitor, QWidget* parent);

// What the second tab shows while the tools/ folder has not provided the page yet.
class CMemoryDumpPlaceholder : public QWidget, public IMonitorPage {
    Q_OBJECT
public:
    explicit CMemoryDumpPlaceholder(QWidget* parent = nullptr);
    void SetMonitor(COstraMonitor* monitor) override;
    COstraMonitor* Monitor() const { return m_monitor; }

private:
    COstraMonitor* m_monitor = nullptr;
    class QLabel* m_state;
};
