// CQueuedJobObserver: what a job reports on its worker thread (a download session, an erase, a
// dump), handed to the window's thread. Reports are gathered in one record and applied by one
// queued call, so a fast job (a dump of thousands of chunks) cannot flood the window's event queue:
// a report that arrives while a call is already queued just updates the record. The download
// dialog and the flash tools' windows use it.
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "download/JobObserver.h"

// Everything reported since the last apply; a flag tells which parts changed (the last value wins).
struct TS_JOB_REPORT {
    bool Caption = false, Status = false, Text = false, Range = false, Pos = false, Animation = false;
    std::string CaptionText, StatusText, ProgressText, AnimationMessage;
    uint32_t Low = 0, High = 0, Position = 0;
    int Steps = 0; // StepProgress calls since the last position or range
    bool AnimationOn = false;
};

class CQueuedJobObserver : public IJobObserver {
public:
    // apply runs on context's thread with what changed. The context outlives every job that
    // reports here (it waits for its worker before it goes).
    CQueuedJobObserver(QObject* context, std::function<void(const TS_JOB_REPORT&)> apply);

    // Applies what is pending now; on the context's thread (a window does this when the job ended,
    // so that nothing reported arrives after the end).
    void Flush();

    void SetCaption(const std::string& text) override;
    void SetStatus(const std::string& text) override;
    void SetProgressText(const std::string& text) override;
    void SetProgressRange(uint32_t low, uint32_t high) override;
    void SetProgressPos(uint32_t pos) override;
    void StepProgress() override;
    void SetEraseAnimation(bool on, const std::string& message) override;

private:
    template <class F>
    void Change(F&& change);

    QObject* m_context;
    std::function<void(const TS_JOB_REPORT&)> m_apply;
    std::mutex m_mutex;
    TS_JOB_REPORT m_pending;
    bool m_queued = false;
};
