#include "ConnectDlg.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ConnectAnimation.h"
#include "ControlId.h"
#include "VandrelDlg.h"
#include "quillet/PortMap.h"
#include "quillet/UsbDeviceWatcher.h"
#include "quillet/UsbDevices.h"
#include "resource.h"

CConnectDlg::CConnectDlg(CVandrelDlg* main)
    : QDialog(main, Qt::Dialog | Qt::FramelessWindowHint), m_main(main) {
    setObjectName(QStringLiteral("CConnectDlg"));
    setProperty("templateId", IDD_CONNECT);
    setModal(true);

    // no title bar: the dialog draws its own raised frame
    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("connectFrame"));
    frame->setStyleSheet(
        QStringLiteral("QFrame#connectFrame { border: 1px solid palette(dark); "
                       "border-top-color: palette(midlight); border-left-color: palette(midlight); }"));

    m_animation = new CConnectAnimation(frame);
    SetControlId(m_animation, IDC_CONNECT_ANIMATION);
    m_prompt = new QLabel(QString::fromLatin1(kPrompt), frame);
    QFont bold = m_prompt->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() + 1);
    m_prompt->setFont(bold);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), frame);
    SetControlId(m_cancel, IDCANCEL);
    m_cancel->setDefault(true);
    m_cancel->setMinimumWidth(88);
    connect(m_cancel, &QPushButton::clicked, this, &CConnectDlg::reject);

    auto* right = new QVBoxLayout;
    right->setSpacing(10);
    right->addStretch(1);
    right->addWidget(m_prompt);
    right->addWidget(m_cancel, 0, Qt::AlignRight);
    right->addStretch(1);
    auto* inner = new QHBoxLayout(frame);
    inner->setContentsMargins(16, 14, 16, 14);
    inner->setSpacing(18);
    inner->addWidget(m_animation, 0, Qt::AlignVCenter);
    inner->addLayout(right);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(frame);
    outer->setSizeConstraint(QLayout::SetFixedSize);

    m_usbWaitTimer.setObjectName(QStringLiteral("4099"));
    m_usbWaitTimer.setInterval(kUsbWaitMs);
    connect(&m_usbWaitTimer, &QTimer::timeout, this, &CConnectDlg::OnUsbWait);
    m_openTimer.setObjectName(QStringLiteral("4100"));
    m_openTimer.setInterval(kOpenMs);
    connect(&m_openTimer, &QTimer::timeout, this, &CConnectDlg::OnOpen);
    m_answerTimer.setObjectName(QStringLiteral("4101"));
    m_answerTimer.setInterval(kAnswerMs);
    connect(&m_answerTimer, &QTimer::timeout, this, &CConnectDlg::OnAnswerTick);
}

CConnectDlg::~CConnectDlg() {
    m_usbWatcher.reset(); // no report of the watcher after this
    StopWorker(true);
}

bool CConnectDlg::WaitingForHotplug() const {
    return m_usbWatcher != nullptr && m_usbWatcher->UsesHotplug();
}

void CConnectDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_started) {
        return;
    }
    m_started = true;
    m_animation->Open(IDR_CONNECT_ANIMATION);
    m_animation->Play(0, -1, -1);
    if (m_main->PortType() == PORT_USB) {
        const std::string path = QuilletResolveDevice("\\\\.\\Csr0");
        if (QuilletIsUsbDeviceText(path)) {
            // The bus is looked at when the watcher reports an arrival or a removal (and once now).
            m_usbText = path;
            m_usbWatcher = std::make_unique<CUsbDeviceWatcher>();
            if (m_usbWatcher->IsWatching()) {
                m_usbWatcher->SetListener([this] {
                    QMetaObject::invokeMethod(
                        this, [this] { OnUsbWait(); }, Qt::QueuedConnection);
                });
                QMetaObject::invokeMethod(
                    this, [this] { OnUsbWait(); }, Qt::QueuedConnection);
                return;
            }
            m_usbWatcher.reset(); // libusb does not start: listing every 100 ms says so each time
        }
        const bool listed = QuilletIsUsbDeviceText(path);
        m_usbWaitTimer.setInterval(listed ? kUsbListMs : kUsbWaitMs);
        m_usbWaitTimer.start();
    } else if (m_main->PortType() == PORT_UART) {
        m_openTimer.start();
    }
    // any other port type opens nothing: the dialog waits for Cancel
}

void CConnectDlg::OnUsbWait() {
    if (m_ending || (!m_usbWatcher && !m_usbWaitTimer.isActive())) {
        return; // a report that came after the wait ended
    }
    if (!(m_usbWatcher ? m_usbWatcher->IsPresent(m_usbText) : UsbDevicePresent())) {
        return; // asked again at the next tick or change
    }
    m_usbWaitTimer.stop();
    m_usbWatcher.reset();
    LinkStep();
}

void CConnectDlg::OnOpen() {
    m_openTimer.stop();
    LinkStep();
}

void CConnectDlg::LinkStep() {
    m_main->OpenTargetLink();
    if (!m_main->IsPortOpen()) {
        reject();
        return;
    }
    m_main->ApplyLogFont();
    StartTargetLog(m_main->Log(), m_main->FileVersion());
    // the connect sequence's answer step, one poll a tick, without a limit
    TS_CONNECT_PLAN plan;
    plan.First = CONNECT_ANSWER;
    plan.Last = CONNECT_ANSWER;
    plan.Wait = std::chrono::milliseconds(0);
    m_sequence = std::make_unique<CConnectSequence>(*m_main->Monitor(), m_main->Log(), nullptr, plan);
    const bool created = m_worker.Create([this] {
        m_sequence->Step();
        TS_TARGET_POLL poll = m_sequence->LastPoll();
        if (m_sequence->Current() == CONNECT_DONE && poll.answer == ANSWER_KEEP_WAITING) {
            poll.answer = ANSWER_FAILED; // the link was lost: every later poll would fail at once
        }
        QMetaObject::invokeMethod(
            this, [this, poll] { OnAnswer(poll); }, Qt::QueuedConnection);
    });
    if (!created) {
        reject();
        return;
    }
    m_answerTimer.start();
}

void CConnectDlg::OnAnswerTick() {
    if (m_pollInFlight || m_ending) {
        return; // the previous question has not been answered yet
    }
    m_pollInFlight = true;
    ++m_polls;
    m_worker.Signal();
}

void CConnectDlg::OnAnswer(TS_TARGET_POLL poll) {
    m_pollInFlight = false;
    if (m_ending) {
        return;
    }
    m_lastAnswer = poll.answer;
    switch (poll.answer) {
    case ANSWER_READY:
        m_answerTimer.stop();
        accept();
        break;
    case ANSWER_KEEP_WAITING:
        break; // no reply in time: the next tick asks again, without a limit
    default:
        // download not possible, an unknown answer or a link failure: the link is closed
        m_answerTimer.stop();
        reject();
        break;
    }
}

void CConnectDlg::StopWorker(bool cancelWaits) {
    if (!m_worker.IsCreated()) {
        return;
    }
    COstraMonitor* monitor = m_main->Monitor();
    if (cancelWaits && m_pollInFlight && monitor) {
        monitor->CancelWaits(true); // the question in flight gives up at once
    }
    m_worker.Quit();
    if (monitor) {
        monitor->CancelWaits(false);
    }
    m_pollInFlight = false;
}

void CConnectDlg::done(int result) {
    if (m_ending) {
        return;
    }
    m_ending = true;
    m_usbWaitTimer.stop();
    m_usbWatcher.reset();
    m_openTimer.stop();
    m_answerTimer.stop();
    StopWorker(result != QDialog::Accepted);
    m_animation->Close();
    QDialog::done(result);
}
