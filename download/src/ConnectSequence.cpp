#include "download/ConnectSequence.h"

#include <thread>
#include <utility>

#include "platform/Files.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kPollPeriod = std::chrono::milliseconds(50);
constexpr auto kCancelCheck = std::chrono::milliseconds(10);

TS_JOB_OUTCOME CancelledAt(TE_JOB_STEP step) {
    TS_JOB_OUTCOME outcome;
    outcome.Class = OUTCOME_CANCELLED;
    outcome.Step = step;
    return outcome;
}
} // namespace

int ExpectedWriterRunner(int portType) {
    return portType == PORT_USB ? RUNNER_FLASH_WRITER_USB : RUNNER_FLASH_WRITER_UART;
}

CConnectSequence::CConnectSequence(CTargetConnection& link, ILogSink& log, IJobObserver* observer,
                                   TS_CONNECT_PLAN plan)
    : m_link(&link), m_log(log), m_observer(observer), m_plan(std::move(plan)), m_start(Clock::now()),
      m_step(m_plan.First) {
    if (m_step == CONNECT_DEVICE && m_plan.WaitPath.empty()) {
        m_step = CONNECT_OPEN;
    }
}

CConnectSequence::CConnectSequence(COstraMonitor& monitor, ILogSink& log, IJobObserver* observer,
                                   TS_CONNECT_PLAN plan)
    : m_monitor(&monitor), m_log(log), m_observer(observer), m_plan(std::move(plan)), m_start(Clock::now()),
      m_step(std::max(m_plan.First, CONNECT_ANSWER)) {}

bool CConnectSequence::LinkLost() const {
    const COstraMonitor& monitor = Monitor();
    const bool open = m_link ? m_link->IsPortOpen() : monitor.IsSerialOpen();
    return open && monitor.GetPortLastError() != 0;
}

const TS_JOB_OUTCOME& CConnectSequence::Run(const std::atomic<bool>* cancel) {
    while (m_step != CONNECT_DONE) {
        const Clock::time_point tick = Clock::now();
        const TE_CONNECT_STEP step = m_step;
        if (!Step(cancel)) {
            break;
        }
        if (m_step == step && (step == CONNECT_ANSWER || step == CONNECT_DEVICE)) {
            // the next poll 50 ms after this one, the cancel flag looked at meanwhile
            const Clock::time_point next = tick + kPollPeriod;
            while (Clock::now() < next && !Cancelled(cancel)) {
                std::this_thread::sleep_for(std::min<Clock::duration>(kCancelCheck, next - Clock::now()));
            }
        }
    }
    return m_outcome;
}

bool CConnectSequence::Step(const std::atomic<bool>* cancel) {
    if (!m_begun) {
        m_begun = true;
        if (m_observer) {
            m_observer->OnJobPhase(JOB_PHASE_CONNECT);
        }
    }
    switch (m_step) {
    case CONNECT_DEVICE:
        DeviceStep(cancel);
        break;
    case CONNECT_OPEN:
        OpenStep(cancel);
        break;
    case CONNECT_ANSWER:
        AnswerStep(cancel);
        break;
    case CONNECT_STATUS:
        StatusStep(cancel);
        break;
    case CONNECT_WRITER:
        WriterStep(cancel);
        break;
    case CONNECT_FLASH_ID:
        FlashIdStep(cancel);
        break;
    case CONNECT_DONE:
        break;
    }
    return m_step != CONNECT_DONE;
}

void CConnectSequence::End(TS_JOB_OUTCOME outcome) {
    m_outcome = std::move(outcome);
    m_step = CONNECT_DONE;
    if (!m_outcome.Ok() && m_observer) {
        m_observer->OnJobEnd(m_outcome);
    }
}

void CConnectSequence::Next(TE_CONNECT_STEP after) {
    if (after >= m_plan.Last) {
        End({});
        return;
    }
    switch (after) {
    case CONNECT_DEVICE:
        m_step = CONNECT_OPEN;
        break;
    case CONNECT_OPEN:
        m_step = CONNECT_ANSWER;
        break;
    case CONNECT_ANSWER:
        m_step = CONNECT_STATUS;
        break;
    case CONNECT_STATUS:
        m_step = m_plan.SendWriter && NeedsFlashWriter(0, m_runner) ? CONNECT_WRITER
                 : m_plan.FlashId                                   ? CONNECT_FLASH_ID
                                                                    : CONNECT_DONE;
        break;
    case CONNECT_WRITER:
        m_step = m_plan.FlashId ? CONNECT_FLASH_ID : CONNECT_DONE;
        break;
    default:
        m_step = CONNECT_DONE;
        break;
    }
    if (m_step == CONNECT_DONE) {
        End({});
    }
}

TS_JOB_OUTCOME CConnectSequence::CommandFailed(TE_JOB_STEP step, int status) const {
    TS_JOB_OUTCOME outcome;
    outcome.Step = step;
    outcome.Status = status;
    // the port's typed error says that the device went away; its text is only shown
    if (LinkLost()) {
        outcome.Class = OUTCOME_LINK_LOST;
        outcome.SystemError = Monitor().GetPortLastError();
        outcome.Reason = Monitor().GetPortErrorText();
    } else {
        outcome.Class = OUTCOME_TARGET_REFUSED;
    }
    return outcome;
}

bool CConnectSequence::TimeLeft() const {
    return m_plan.Wait.count() <= 0 || Clock::now() - m_start < m_plan.Wait;
}

void CConnectSequence::CloseLink() {
    if (m_plan.LinkMutex) {
        std::lock_guard lock(*m_plan.LinkMutex);
        m_link->CloseTargetLink();
    } else {
        m_link->CloseTargetLink();
    }
}

void CConnectSequence::DeviceStep(const std::atomic<bool>* cancel) {
    if (platform::PathPresent(m_plan.WaitPath)) {
        Next(CONNECT_DEVICE);
        return;
    }
    if (Cancelled(cancel)) {
        End(CancelledAt(STEP_DEVICE));
        return;
    }
    if (!TimeLeft()) {
        TS_JOB_OUTCOME outcome;
        outcome.Class = OUTCOME_OPEN_REFUSED;
        outcome.Step = STEP_DEVICE;
        outcome.SystemError = 2; // not there
        End(outcome);
        return;
    }
    if (!m_deviceSaid) {
        m_deviceSaid = true;
        if (m_plan.DeviceMissing) {
            m_plan.DeviceMissing();
        }
    }
}

void CConnectSequence::OpenStep(const std::atomic<bool>* cancel) {
    bool open = false;
    {
        std::unique_lock<std::mutex> lock;
        if (m_plan.LinkMutex) {
            lock = std::unique_lock(*m_plan.LinkMutex);
        }
        m_link->CloseTargetLink();
        open = m_link->OpenTargetLink(m_plan.Config, m_plan.DevicePath);
        if (open && Cancelled(cancel)) {
            m_link->Monitor()->CancelWaits(true); // a stop that came meanwhile is not missed
        }
    }
    if (!open) {
        TS_JOB_OUTCOME outcome;
        outcome.Class = OUTCOME_OPEN_REFUSED;
        outcome.Step = STEP_OPEN;
        outcome.SystemError = m_link->PortLastError();
        outcome.Reason = m_link->PortErrorText();
        outcome.Text = m_link->StatusText();
        CloseLink();
        End(outcome);
        return;
    }
    if (m_plan.Opened) {
        m_plan.Opened();
    }
    if (m_plan.Banner) {
        StartTargetLog(m_log, m_plan.Version);
    }
    Next(CONNECT_OPEN);
}

void CConnectSequence::AnswerStep(const std::atomic<bool>* cancel) {
    if (Cancelled(cancel)) {
        End(CancelledAt(STEP_ANSWER));
        return;
    }
    const int polls = m_poll.polls;
    m_poll = PollTargetAnswer(Monitor(), m_log);
    m_poll.polls = polls + 1;
    switch (m_poll.answer) {
    case ANSWER_READY:
        Next(CONNECT_ANSWER);
        return;
    case ANSWER_NOT_POSSIBLE:
    case ANSWER_UNKNOWN: {
        TS_JOB_OUTCOME outcome;
        outcome.Class = OUTCOME_TARGET_REFUSED;
        outcome.Step = STEP_ANSWER;
        outcome.Status = m_poll.status;
        outcome.Result = m_poll.result;
        End(outcome);
        return;
    }
    case ANSWER_KEEP_WAITING:
        if (LinkLost()) {
            // the link is lost (the device went away): every later poll would time out at once
            End(CommandFailed(STEP_ANSWER, m_poll.status));
        } else if (!TimeLeft()) {
            TS_JOB_OUTCOME outcome;
            outcome.Class = Cancelled(cancel) ? OUTCOME_CANCELLED : OUTCOME_NO_ANSWER;
            outcome.Step = STEP_ANSWER;
            outcome.Status = m_poll.status;
            End(outcome);
        }
        return;
    default:
        End(CommandFailed(STEP_ANSWER, m_poll.status));
        return;
    }
}

void CConnectSequence::Runner(signed char status, int runner, const std::string& version) {
    if (status >= 0) {
        m_runner = runner;
        m_version = version;
    }
    if (m_observer) {
        m_observer->OnTargetRunner(status, runner, version);
    }
}

void CConnectSequence::StatusStep(const std::atomic<bool>* cancel) {
    int runner = -1;
    std::string version;
    const signed char status = ReportTargetStatus(Monitor(), m_log, runner, &version);
    Runner(status, runner, version);
    if (Cancelled(cancel)) {
        End(CancelledAt(STEP_STATUS));
        return;
    }
    if (status < 0) {
        End(CommandFailed(STEP_STATUS, status));
        return;
    }
    Next(CONNECT_STATUS);
}

void CConnectSequence::WriterStep(const std::atomic<bool>* cancel) {
    if (m_plan.WriterPath.empty() || !m_plan.Writer) {
        TS_JOB_OUTCOME outcome;
        outcome.Class = OUTCOME_FILE_ERROR;
        outcome.Step = STEP_WRITER;
        outcome.File = FILE_PROBLEM_NOT_SET;
        End(outcome);
        return;
    }
    if (m_observer) {
        m_observer->OnJobPhase(JOB_PHASE_WRITER);
    }
    TS_WRITER_SENT sent = m_plan.Writer(Monitor());
    if (Cancelled(cancel)) {
        TS_JOB_OUTCOME outcome = CancelledAt(STEP_WRITER);
        outcome.Text = sent.Outcome.Text;
        End(outcome);
        return;
    }
    if (!sent.Outcome.Ok()) {
        if (sent.Outcome.Step == STEP_NONE) {
            sent.Outcome.Step = STEP_WRITER;
        }
        End(sent.Outcome);
        return;
    }
    m_writerSent = true;
    if (!sent.Asked) {
        sent.Status = ReportTargetStatus(Monitor(), m_log, sent.Runner, &sent.Version);
    }
    Runner(sent.Status, sent.Runner, sent.Version);
    // The writer proves itself by reporting that it runs. Its RAM is its own once it runs (data,
    // stack), so reading the image back from there proves nothing.
    const int expected = ExpectedWriterRunner(m_plan.Config.PortType);
    if (sent.Status < 0 || sent.Runner != expected) {
        TS_JOB_OUTCOME outcome =
            sent.Status < 0 ? CommandFailed(STEP_WRITER_START, sent.Status) : TS_JOB_OUTCOME{};
        outcome.Class = sent.Status < 0 ? outcome.Class : OUTCOME_TARGET_REFUSED;
        outcome.Step = STEP_WRITER_START;
        outcome.Status = sent.Status;
        outcome.Runner = sent.Status < 0 ? -1 : sent.Runner;
        outcome.ExpectedRunner = expected;
        outcome.Version = sent.Status < 0 ? std::string() : sent.Version;
        End(outcome);
        return;
    }
    Next(CONNECT_WRITER);
}

void CConnectSequence::FlashIdStep(const std::atomic<bool>* cancel) {
    if (m_observer) {
        m_observer->OnJobPhase(JOB_PHASE_FLASH_ID);
    }
    TS_JOB_OUTCOME outcome = m_plan.FlashId(Monitor());
    if (Cancelled(cancel)) {
        outcome = CancelledAt(STEP_FLASH_ID);
    }
    if (!outcome.Ok()) {
        if (outcome.Step == STEP_NONE) {
            outcome.Step = STEP_FLASH_ID;
        }
        End(outcome);
        return;
    }
    Next(CONNECT_FLASH_ID);
}
