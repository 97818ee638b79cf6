// CEraseFlashDlg: the flash erase tool ("Flash Erase Tool"), a modal dialog over the erase engine
// (CEraseJob, CEraseSelection).
//
//   CEraseFlashDlg tool(monitor, this, &log);   // the open link, lent while the tool is shown
//   tool.DoModal();
//
// When it is shown its worker asks the four chip selects which flash parts they carry and enables
// only the boxes of fitted chip selects. The user ticks whole chip selects or Ostra areas (the box
// rules are the selection's) and presses Start; the worker erases the selection while the progress
// bar shows the erase message and steps once a second. A failed erase command is named, with its
// code, on the status line under the bar (and in the log, when one is given).
//
// Closing the tool while a job runs never blocks: the job is asked to stop before its next command,
// the wait for the command in flight is cancelled, and the tool finishes closing when the job has
// returned.
#pragma once

#include <QDialog>
#include <QString>
#include <QTimer>

#include <array>
#include <memory>
#include <string>

#include "QueuedJobObserver.h"
#include "ToolWorker.h"
#include "tools/EraseJob.h"
#include "tools/EraseSelection.h"

class CCaptionProgressCtrl;
class CFaceButton;
class QCheckBox;
class QLabel;
class ILogSink;

class CEraseFlashDlg : public QDialog {
    Q_OBJECT
public:
    // ERASE_TIMER: steps the bar while an erase job runs.
    static constexpr int ERASE_TIMER = 4096;

    // monitor: the open link, lent while the tool is shown (null or closed: nothing can be done).
    // log: where failed erase commands are written as well; may be null.
    explicit CEraseFlashDlg(COstraMonitor* monitor, QWidget* parent = nullptr, ILogSink* log = nullptr);
    ~CEraseFlashDlg() override;

    // Shows the tool modally until the user closes it.
    int DoModal();

    // What the tool shows and holds, for tests and screenshots.
    QCheckBox* Box(TE_ERASE_ITEM item) const { return m_boxes[static_cast<std::size_t>(item)]; }
    CFaceButton* StartButton() const { return m_start; }
    CCaptionProgressCtrl* Progress() const { return m_progress; }
    QString StatusText() const;
    const CEraseSelection& Selection() const { return m_selection; }
    // A job (the query or an erase) runs or its end has not been shown yet.
    bool IsJobRunning() const { return m_job != JOB_NONE; }
    bool IsEraseTimerActive() const { return m_eraseTimer.isActive(); }
    // What the last erase job did; valid after EraseFinished.
    const TS_ERASE_RESULT& LastErase() const { return m_eraseResult; }
    const TS_FLASH_QUERY& LastQuery() const { return m_query; }

signals:
    // The query job has ended and the boxes show its result.
    void QueryFinished();
    // An erase job has ended and the tool is idle again.
    void EraseFinished();

public slots:
    void reject() override;
    // Start: erases the ticked boxes, or says that nothing is ticked.
    void OnStart();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    enum TE_TOOL_JOB { JOB_NONE, JOB_QUERY, JOB_ERASE };

    void BuildControls();
    void StartQuery();
    void OnBoxClicked(TE_ERASE_ITEM item, bool checked);
    void ShowSelection();
    void ApplyReport(const TS_JOB_REPORT& report);
    void OnEraseTick();
    void OnJobEnded();
    void SetStatusText(const QString& text);

    COstraMonitor* m_monitor;
    ILogSink* m_log;
    CQueuedJobObserver m_observer;
    std::unique_ptr<CEraseJob> m_engine; // none without a monitor
    CEraseSelection m_selection;
    CEraseSelection m_running; // the copy an erase job works on
    TS_FLASH_QUERY m_query;
    TS_ERASE_RESULT m_eraseResult;
    TE_TOOL_JOB m_job = JOB_NONE;
    bool m_started = false;
    bool m_closePending = false;
    std::string m_eraseMessage;
    QTimer m_eraseTimer;
    CToolWorker m_worker; // last: stopped before the members its jobs use go

    std::array<QCheckBox*, ERASE_ITEM_COUNT> m_boxes{};
    CFaceButton* m_start = nullptr;
    CCaptionProgressCtrl* m_progress = nullptr;
    QLabel* m_status = nullptr;
};
