// CConnectDlg: "Please, switch on the target!". Opens the link for the main window and waits,
// without a limit, until the target answers that it accepts a download, or the user cancels.
//
// Timers, by their old numbers: 4099 polls for the USB device until it can be opened, 4100 opens
// the COM port once, 4101 asks the target for its answer every 50 ms. A libusb device is not
// polled: a CUsbDeviceWatcher says when devices arrive or leave (libusb's hot-plug events, or its
// own scan on one libusb context), and the dialog looks at the bus then. Each question runs on the
// dialog's worker thread (at most its reply time-out), so the dialog stays responsive; a question
// still in flight when the user cancels gives up at once.
#pragma once

#include <QDialog>
#include <QTimer>

#include <memory>
#include <string>

#include "download/ConnectSequence.h"
#include "download/JobWorker.h"
#include "download/TargetConnection.h"

class CConnectAnimation;
class CUsbDeviceWatcher;
class CVandrelDlg;
class QLabel;
class QPushButton;

class CConnectDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kUsbWaitTimer = 4099;
    static constexpr int kOpenTimer = 4100;
    static constexpr int kAnswerTimer = 4101;
    // The USB device is looked for every 10 ms (the old 1 ms timer never ran faster than that).
    static constexpr int kUsbWaitMs = 10;
    static constexpr int kUsbListMs = 100; // a libusb device text: the bus is listed each time
    static constexpr int kOpenMs = 1;
    static constexpr int kAnswerMs = 50;
    static constexpr const char* kPrompt = "Please, switch on the target!";

    explicit CConnectDlg(CVandrelDlg* main);
    ~CConnectDlg() override;

    // The last answer of the target, for tests.
    TE_TARGET_ANSWER LastAnswer() const { return m_lastAnswer; }
    int Polls() const { return m_polls; }
    bool WaitingForUsbDevice() const { return m_usbWaitTimer.isActive() || m_usbWatcher != nullptr; }
    // The libusb device is waited for through the watcher's hot-plug events (for tests).
    bool WaitingForHotplug() const;
    bool WaitingForAnswer() const { return m_answerTimer.isActive(); }
    CConnectAnimation* Animation() const { return m_animation; }
    QPushButton* CancelButton() const { return m_cancel; }

public slots:
    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void OnUsbWait();
    void OnOpen();
    void LinkStep();
    void OnAnswerTick();
    void OnAnswer(TS_TARGET_POLL poll);
    void StopWorker(bool cancelWaits);

    CVandrelDlg* m_main;
    CConnectAnimation* m_animation;
    QLabel* m_prompt;
    QPushButton* m_cancel;
    QTimer m_usbWaitTimer;
    QTimer m_openTimer;
    QTimer m_answerTimer;
    std::unique_ptr<CUsbDeviceWatcher> m_usbWatcher; // while a libusb device is waited for
    std::string m_usbText;
    std::unique_ptr<CConnectSequence> m_sequence; // the answer step, polled by the worker
    CJobWorker m_worker;
    bool m_started = false;
    bool m_pollInFlight = false;
    bool m_ending = false;
    int m_polls = 0;
    TE_TARGET_ANSWER m_lastAnswer = ANSWER_KEEP_WAITING;
};
