// CWindowLog: the main window's log as every thread writes it: on the UI thread at once, from
// another thread through a queued call.
#pragma once

#include <string>

#include "app/DownloadRuns.h"

class CVandrelDlg;

class CWindowLog : public ILogSink {
public:
    explicit CWindowLog(CVandrelDlg* window) : m_window(window) {}
    void AppendLog(const std::string& text) override;
    void ClearLog() override;

private:
    CVandrelDlg* m_window;
};
