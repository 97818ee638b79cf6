#include "QueuedJobObserver.h"

#include <QMetaObject>

#include <utility>

CQueuedJobObserver::CQueuedJobObserver(QObject* context, std::function<void(const TS_JOB_REPORT&)> apply)
    : m_context(context), m_apply(std::move(apply)) {}

template <class F>
void CQueuedJobObserver::Change(F&& change) {
    std::lock_guard lock(m_mutex);
    change(m_pending);
    if (!m_queued) {
        m_queued = true;
        QMetaObject::invokeMethod(
            m_context, [this] { Flush(); }, Qt::QueuedConnection);
    }
}

void CQueuedJobObserver::Flush() {
    TS_JOB_REPORT report;
    {
        std::lock_guard lock(m_mutex);
        report = std::move(m_pending);
        m_pending = TS_JOB_REPORT{};
        m_queued = false;
    }
    if (report.Caption || report.Status || report.Text || report.Range || report.Pos || report.Animation ||
        report.Steps) {
        m_apply(report);
    }
}

void CQueuedJobObserver::SetCaption(const std::string& text) {
    Change([&](TS_JOB_REPORT& r) {
        r.Caption = true;
        r.CaptionText = text;
    });
}

void CQueuedJobObserver::SetStatus(const std::string& text) {
    Change([&](TS_JOB_REPORT& r) {
        r.Status = true;
        r.StatusText = text;
    });
}

void CQueuedJobObserver::SetProgressText(const std::string& text) {
    Change([&](TS_JOB_REPORT& r) {
        r.Text = true;
        r.ProgressText = text;
    });
}

void CQueuedJobObserver::SetProgressRange(uint32_t low, uint32_t high) {
    Change([&](TS_JOB_REPORT& r) {
        r.Range = true;
        r.Low = low;
        r.High = high;
        r.Steps = 0;
    });
}

void CQueuedJobObserver::SetProgressPos(uint32_t pos) {
    Change([&](TS_JOB_REPORT& r) {
        r.Pos = true;
        r.Position = pos;
        r.Steps = 0;
    });
}

void CQueuedJobObserver::StepProgress() {
    Change([](TS_JOB_REPORT& r) { ++r.Steps; });
}

void CQueuedJobObserver::SetEraseAnimation(bool on, const std::string& message) {
    Change([&](TS_JOB_REPORT& r) {
        r.Animation = true;
        r.AnimationOn = on;
        r.AnimationMessage = message;
    });
}
