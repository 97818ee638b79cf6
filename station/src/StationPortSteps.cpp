// The port's steps: the connect sequence as the station runs it (open, answer, status, the flash
// writer and its start), and the small jobs on it: status, flash id, erase. What each step gives
// is a typed outcome; the station's words for it are composed here.
#include "StationPort.h"

#include <cstdio>

#include "download/ConnectSequence.h"
#include "download/DownloadSession.h"
#include "quillet/UsbDevices.h"
#include "station/StationOutcome.h"
#include "tools/EraseJob.h"
#include "tools/FlashIdentification.h"

namespace {

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

} // namespace

TS_CONNECT_PLAN CStationPort::Plan(TE_CONNECT_STEP first, TE_CONNECT_STEP last, bool banner) {
    TS_CONNECT_PLAN plan;
    plan.Config = m_port.Config;
    plan.DevicePath = m_port.DevicePath;
    plan.First = first;
    plan.Last = last;
    plan.Banner = banner;
    plan.Version = m_engine.m_version;
    plan.LinkMutex = &m_linkMutex;
    return plan;
}

TS_FAILURE CStationPort::OpenLink(bool banner) {
    CConnectSequence open(m_link, *this, nullptr, Plan(CONNECT_OPEN, CONNECT_OPEN, banner));
    return ConnectFailure(open.Run(&m_stop), 0);
}

TS_FAILURE CStationPort::WaitForAnswer() {
    // no limit: the operator may take a while to seat the handset; a lost link ends the wait
    TS_CONNECT_PLAN plan = Plan(CONNECT_ANSWER, CONNECT_ANSWER, false);
    plan.Wait = std::chrono::milliseconds(0);
    CConnectSequence answer(m_link, *this, nullptr, plan);
    return ConnectFailure(answer.Run(&m_stop), 0);
}

TS_FAILURE CStationPort::Connect(bool sendWriter, bool answered,
                                 std::function<TS_JOB_OUTCOME(COstraMonitor&)> flashId) {
    const double wait = m_engine.m_job.WaitSeconds;
    TS_CONNECT_PLAN plan = Plan(answered ? CONNECT_STATUS : CONNECT_DEVICE, CONNECT_FLASH_ID, true);
    plan.Wait = std::chrono::milliseconds(static_cast<int64_t>(wait * 1000.0));
    if (m_port.Config.PortType == PORT_USB && !QuilletIsUsbDeviceText(m_port.DevicePath)) {
        // as the connect dialog does: wait until the device (or the handset's socket) is there;
        // a libusb device is opened at once: its open says what is missing
        plan.WaitPath = m_port.DevicePath;
    }
    plan.SendWriter = sendWriter;
    plan.WriterPath = m_port.WriterPath.empty() ? m_engine.m_job.WriterPath : m_port.WriterPath;
    plan.Writer = [this, writer = plan.WriterPath](COstraMonitor&) { return SendFlashWriter(writer); };
    plan.FlashId = std::move(flashId);
    CConnectSequence connect(m_link, *this, this, plan);
    const TS_JOB_OUTCOME& outcome = connect.Run(&m_stop);
    m_writerSent = connect.WriterSent();
    return ConnectFailure(outcome, wait);
}

TS_FAILURE CStationPort::ConnectFailure(const TS_JOB_OUTCOME& o, double waitSeconds) {
    const TE_STATION_ERROR error = StationErrorFor(o);
    std::string text;
    switch (o.Step) {
    case STEP_DEVICE:
        text = o.Class == OUTCOME_CANCELLED
                   ? "stopped while waiting for the device; nothing was sent"
                   : m_port.DevicePath + " did not appear within " + Seconds(waitSeconds) + " s";
        break;
    case STEP_OPEN:
        text = o.Class == OUTCOME_CANCELLED
                   ? "stopped while waiting for the target's answer; nothing was sent"
                   : "cannot open " + (o.Reason.empty() ? m_port.DevicePath : OpenReason(o.Reason));
        break;
    case STEP_ANSWER:
        text =
            o.Class == OUTCOME_CANCELLED   ? "stopped while waiting for the target's answer; nothing was sent"
            : o.Class == OUTCOME_NO_ANSWER ? "no answer from the target within " + Seconds(waitSeconds) + " s"
            : error == STATION_ERR_NOT_POSSIBLE
                ? "the target answered that a download is not possible (result " + std::to_string(o.Result) +
                      ")"
                : "the link failed while waiting for the target: " + StatusCodeText(o.Status);
        break;
    case STEP_STATUS:
        text = o.Class == OUTCOME_CANCELLED
                   ? "stopped after the target answered; nothing was sent"
                   : "the target did not say which program runs: " + StatusCodeText(o.Status);
        break;
    case STEP_WRITER:
        text = o.File == FILE_PROBLEM_NOT_SET ? "the boot loader runs and no flash writer is set"
               : !o.Text.empty()              ? o.Text
                                 : "stopped while the flash writer was being sent; nothing else was sent";
        break;
    case STEP_WRITER_START: {
        const std::string seen =
            o.Runner < 0 ? "the target did not say which program runs: " + StatusCodeText(o.Status)
                         : "the target reports runner " + std::to_string(o.Runner) + " (" +
                               OneLine(RunnerLine(o.Runner, o.Version)) + ")";
        text = o.Class == OUTCOME_CANCELLED
                   ? "stopped while the flash writer was being sent; nothing else was sent"
                   : "the flash writer " + m_writerPath +
                         " was sent, but it does not report itself running (runner " +
                         std::to_string(o.ExpectedRunner) + " expected): " + seen;
        break;
    }
    case STEP_FLASH_ID:
        text = o.Class == OUTCOME_CANCELLED ? "stopped while the flash parts were being asked" : o.Text;
        break;
    default:
        text = o.Text;
        break;
    }
    switch (o.Class) {
    case OUTCOME_OK:
        return {STATION_OK, {}};
    case OUTCOME_TARGET_REFUSED:
    case OUTCOME_LINK_LOST:
    case OUTCOME_INTERNAL:
        if (error != STATION_ERR_NOT_POSSIBLE) {
            // a port stopped meanwhile says so; a lost link names the port's reason
            return LinkFailure(error, text, o.Class == OUTCOME_LINK_LOST);
        }
        return {error, text};
    default:
        return {error, text};
    }
}

std::string CStationPort::OpenReason(const std::string& reason) const {
    // "COM1 (/dev/ttyUSB0): ...": every serial port of the station opens under the name COM1,
    // which says nothing here; the device path does
    const std::string name = PortTextName(m_port.Config, m_port.DevicePath);
    if (m_port.DevicePath != name && reason.compare(0, name.size(), name) == 0) {
        return OneLine(m_port.DevicePath + reason.substr(name.size()));
    }
    return OneLine(reason);
}

TS_WRITER_SENT CStationPort::SendFlashWriter(const std::string& writer) {
    m_writerPath = writer;
    TS_WRITER_SENT sent;
    TS_JOB_OUTCOME& outcome = sent.Outcome;
    AppendLog("\r\n" + std::string(LOG_MARK) + " Flash writer : '" + writer + "'\r\n");
    TE_STATION_ERROR error = STATION_OK;
    std::string problem;
    const std::shared_ptr<const TS_PREPARED_FILE> prepared = m_engine.Prepare(*this, writer, error, problem);
    if (!prepared) {
        if (error == STATION_ERR_STOPPED) {
            outcome.Class = OUTCOME_CANCELLED;
            outcome.Text = "stopped while the flash writer was being prepared; nothing was sent";
        } else {
            outcome.Class = OUTCOME_FILE_ERROR;
            outcome.File = FILE_PROBLEM_READ;
            outcome.Text = "flash writer " + problem;
        }
        return sent;
    }
    CDownloadSession session(MODE_WRITER_CODE, writer, m_link.Monitor(), nullptr);
    if (prepared->Compressed) {
        session.UsePrepared(prepared->SendPath, prepared->Marks);
    }
    session.SetStopFlag(&m_stop);
    m_sending.store(true);
    const bool ok = session.RunSession();
    m_sending.store(false);
    if (ok) {
        m_attemptFiles.push_back({"writer", writer, session.BytesWritten()});
        return sent; // the sequence asks which program now runs
    }
    outcome = session.Outcome();
    AppendLog(session.GetErrorText());
    if (Stopped()) {
        outcome.Class = OUTCOME_CANCELLED;
        outcome.Text = "stopped while the flash writer was being sent; nothing else was sent";
    } else if (outcome.Class == OUTCOME_FILE_ERROR &&
               (outcome.File == FILE_PROBLEM_COMPRESS || outcome.File == FILE_PROBLEM_FORMAT ||
                outcome.File == FILE_PROBLEM_OPEN)) {
        outcome.Text = "flash writer '" + writer + "': " + OneLine(session.GetErrorText());
    } else {
        if (outcome.Class == OUTCOME_FILE_ERROR) {
            outcome.Class = OUTCOME_TARGET_REFUSED; // a record that did not read: the writer was not taken
        }
        outcome.Text = "the flash writer was not sent: " + OneLine(session.GetErrorText());
    }
    return sent;
}

TS_FAILURE CStationPort::Status(std::string& summary) {
    if (TS_FAILURE f = Connect(false, m_answered); f.error != STATION_OK) {
        return f;
    }
    TE_TARGET_RUNNER_TYPES runner{};
    std::string version;
    const signed char status = Monitor().QueryTargetRunner(runner, version);
    if (status < 0) {
        return LinkFailure(STATION_ERR_LINK,
                           "the target did not say which program runs: " + StatusCodeText(status));
    }
    summary = OneLine(RunnerLine(runner, version));
    return {STATION_OK, {}};
}

TS_FAILURE CStationPort::FlashId(std::string& summary) {
    const auto ask = [this, &summary](COstraMonitor& monitor) {
        const auto answers = GetFlashId(monitor, *this);
        TS_JOB_OUTCOME outcome;
        bool allAnswered = true;
        for (std::size_t cs = 0; cs < answers.size(); ++cs) {
            summary += (cs ? ", CS#" : "CS#") + std::to_string(cs) + " ";
            if (answers[cs].answered) {
                summary += FlashPartName(answers[cs].id);
            } else {
                summary += "error " + StatusCodeText(answers[cs].status);
                allAnswered = false;
                outcome.Status = answers[cs].status;
            }
        }
        if (!allAnswered) {
            outcome.Class = LinkLost() ? OUTCOME_LINK_LOST : OUTCOME_TARGET_REFUSED;
            outcome.Text = "not every chip select answered: " + summary;
        }
        return outcome;
    };
    return Connect(true, m_answered, ask);
}

TS_FAILURE CStationPort::Erase(std::string& summary) {
    if (TS_FAILURE f = Connect(true, m_answered); f.error != STATION_OK) {
        return f;
    }
    Phase(STATION_PHASE_ERASE_CHIP);
    TS_JOB_HOOKS hooks;
    hooks.Observer = this;
    hooks.Log = this;
    hooks.Stop = &m_stop;
    CEraseJob job(Monitor(), hooks);
    const TS_FLASH_QUERY query = job.RunQuery();
    if (query.Stopped || Stopped()) {
        return {STATION_ERR_STOPPED, "stopped before anything was erased"};
    }
    CEraseSelection selection;
    std::string problem;
    if (!SelectEraseItems(m_engine.m_job.EraseItems, query, selection, problem)) {
        return {STATION_ERR_ERASE, problem};
    }
    m_erasing.store(true); // every erase command's wait may be given up
    const TS_ERASE_RESULT result = job.RunErase(selection);
    m_erasing.store(false);
    if (result.Outcome == ERASE_STOPPED || Stopped()) {
        return {STATION_ERR_STOPPED, "stopped while erasing: " + OneLine(result.Message)};
    }
    for (const TS_ERASE_STEP_RESULT& step : result.Steps) {
        if (step.Sent && step.Status >= 0) {
            summary += (summary.empty() ? "erased " : ", ") + std::string(step.Step.Name);
        }
    }
    if (result.Outcome != ERASE_DONE) {
        return LinkFailure(result.Outcome == ERASE_NOTHING_SELECTED ? STATION_ERR_USAGE : STATION_ERR_ERASE,
                           OneLine(result.Message));
    }
    return {STATION_OK, {}};
}
