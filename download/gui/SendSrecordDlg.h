// CSendSrecordDlg: the download dialog. A thin view over one download session (CDownloadSession):
// it starts the session on its own worker thread as soon as it is shown, shows what the session
// reports (caption, status line, progress bar with its text, elapsed time, the erase animation)
// and ends with IDOK when the file was sent to its end, IDCANCEL otherwise (GetErrorText says why).
//
//   CSendSrecordDlg dialog(MODE_APP_CODE, path, monitor, this);
//   if (dialog.DoModal() != IDOK) log.AppendLog(dialog.GetErrorText());
//
// The dialog has no buttons and cannot be cancelled: Enter, Esc and the close box do nothing while
// the session runs. The worker reaches the widgets only through queued calls on the UI thread.
#pragma once

#include <QDialog>
#include <QTimer>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "QueuedJobObserver.h"
#include "download/DownloadSession.h"
#include "download/ElapsedTimer.h"
#include "download/JobWorker.h"

class CCaptionProgressCtrl;
class QLabel;

class CSendSrecordDlg : public QDialog {
    Q_OBJECT
public:
    // The dialog's timers, by their old numbers.
    static constexpr int ERASE_TIMER = 4096;   // 500 ms, while one erase command runs
    static constexpr int ELAPSED_TIMER = 4097; // 1000 ms, for the whole life of the dialog
    static constexpr int kEraseTimerMs = 500;
    static constexpr int kElapsedTimerMs = 1000;

    // mode: MODE_APP_CODE or MODE_WRITER_CODE; monitor: the open link, lent for the session.
    CSendSrecordDlg(int32_t mode, const std::string& path, COstraMonitor* monitor, QWidget* parent = nullptr);
    ~CSendSrecordDlg() override;

    // Shows the dialog modally and runs the session; IDOK (1) when the file was sent to its end,
    // IDCANCEL (2) otherwise.
    int DoModal();
    // Why the session failed; valid once DoModal has returned.
    std::string GetErrorText() const;

    // What is shown, for tests and screenshots.
    QString Caption() const { return windowTitle(); }
    QString StatusText() const;
    QString ElapsedText() const;
    CCaptionProgressCtrl* Progress() const { return m_progress; }
    bool SessionRunning() const { return m_running; }
    bool EraseTimerActive() const { return m_eraseTimer.isActive(); }
    const CDownloadSession& Session() const { return m_session; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;

public slots:
    void reject() override;

private:
    // What the session reported since the last update, on the UI thread.
    void ApplyReport(const TS_JOB_REPORT& report);
    void StartSession();
    void OnEraseTick();
    void OnElapsedTick();
    void EndSession();

    // The session's reports, called on the worker thread, handed to the UI thread in one queued
    // update, so that a fast session cannot flood the event queue.
    CQueuedJobObserver m_observer;
    CDownloadSession m_session;
    COstraMonitor* m_monitor;
    CJobWorker m_worker;
    CElapsedTimer m_stopwatch;
    QTimer m_eraseTimer;
    QTimer m_elapsedTimer;
    std::string m_eraseMessage;
    bool m_started = false;
    bool m_startFailed = false; // no worker thread could be made
    std::atomic<bool> m_running{false};

    CCaptionProgressCtrl* m_progress;
    QLabel* m_status;
    QLabel* m_elapsed;
};
