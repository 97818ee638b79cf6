// The port's life: its thread, the run once, and in watch mode the loop over the states of
// TE_STATION_PORT_STATE (look for the device, open, wait for an answer, the job, wait for the
// handset to go).
#include "StationPort.h"

#include <exception>
#include <new>
#include <system_error>

#include "platform/Files.h"
#include "quillet/UsbDevices.h"

namespace {

using Clock = stationport::Clock;

constexpr auto kRetryInterval = std::chrono::milliseconds(200); // watch: the device is not there
constexpr auto kAwayInterval = std::chrono::milliseconds(500);  // watch: is the handset still there
// Watch: a seated handset counts as taken away after this many failed polls in a row spread over
// at least kAwaySpan (or at once on a lost link or a device that went). One failed query (a
// checksum error, a lost reply) is not evidence: a handset that loses every fourth reply stays.
constexpr int kAwayFailures = 3;
constexpr auto kAwaySpan = std::chrono::seconds(1);

// The device node or socket is there, or the libusb device is plugged in.
bool DevicePresent(const std::string& path) {
    return QuilletIsUsbDeviceText(path) ? QuilletUsbDevicePresent(path) : platform::PathPresent(path);
}

} // namespace

void CStationPort::Start(bool watch) {
    m_running.store(true); // Running() holds from Start on, not from when the thread is scheduled
    try {
        m_thread = std::thread([this, watch] { Run(watch); });
    } catch (const std::system_error& e) {
        // no thread (the process is out of them): this port ends at once, on the caller's thread
        ThreadFailed(std::string("its thread did not start: ") + e.what());
        m_running.store(false);
    }
}

void CStationPort::RequestStop() {
    {
        std::lock_guard lock(m_waitMutex);
        m_stop.store(true);
    }
    m_wake.notify_all();
    std::lock_guard lock(m_linkMutex);
    if (COstraMonitor* monitor = m_link.Monitor(); monitor && (!m_sending.load() || m_erasing.load())) {
        monitor->CancelWaits(true);
    }
}

void CStationPort::LookAgain() {
    {
        std::lock_guard lock(m_waitMutex);
        m_lookAgain = true;
    }
    m_wake.notify_all();
}

void CStationPort::CloseLink() {
    std::lock_guard lock(m_linkMutex);
    m_link.CloseTargetLink();
}

bool CStationPort::Sleep(Clock::duration span) {
    std::unique_lock lock(m_waitMutex);
    return !m_wake.wait_for(lock, span, [this] { return Stopped(); });
}

void CStationPort::WaitForDevice(Clock::duration span) {
    std::unique_lock lock(m_waitMutex);
    m_wake.wait_for(lock, span, [this] { return Stopped() || m_lookAgain; });
    m_lookAgain = false;
}

bool CStationPort::LinkLost() const {
    const COstraMonitor* monitor = m_link.Monitor();
    return monitor && m_link.IsPortOpen() && monitor->GetPortLastError() != 0;
}

void CStationPort::Run(bool watch) {
    // nothing may leave this thread: a failure ends this port alone, as a failed row
    try {
        if (watch) {
            Watch();
        } else {
            Once();
        }
    } catch (const std::bad_alloc& e) {
        ThreadFailed(std::string("out of memory (") + e.what() + ")");
    } catch (const std::system_error& e) {
        ThreadFailed(std::string("system error: ") + e.what());
    } catch (const std::exception& e) {
        ThreadFailed(e.what());
    } catch (...) {
        ThreadFailed("an unknown exception");
    }
    m_busy.store(false);
    m_running.store(false);
}

void CStationPort::ThreadFailed(const std::string& why) noexcept {
    try {
        m_holdLog = false;
        m_sending.store(false);
        m_erasing.store(false);
        CloseLink();
        FailedRow(STATION_ERR_INTERNAL, "the port failed and has stopped: " + why);
        SetState(STATION_PORT_ENDED);
    } catch (...) {
        // the report itself failed (out of memory again): the tally still counts the row
        m_engine.Ended(m_index, TS_STATION_RESULT{false, STATION_ERR_INTERNAL, {}, {}, 0, 0, {}});
    }
}

void CStationPort::Once() {
    Begin();
    const TS_STATION_RESULT result = RunJob(false);
    CloseLink();
    Finish(result);
}

void CStationPort::SetState(TE_STATION_PORT_STATE state) {
    if (m_stateSaid && state == m_state) {
        return;
    }
    m_state = state;
    m_stateSaid = true;
    m_engine.m_observer.OnPortState(m_index, state);
}

void CStationPort::Refused(const std::string& reason) {
    if (reason == m_refusal) {
        return;
    }
    m_refusal = reason;
    m_engine.m_observer.OnRefused(m_index, reason);
}

void CStationPort::WaitUntilAway() {
    int failures = 0;
    Clock::time_point firstFailure{};
    while (!Stopped()) {
        if (!DevicePresent(m_port.DevicePath) || LinkLost()) {
            return;
        }
        if (!m_link.Monitor() || !m_link.IsPortOpen()) {
            if (OpenLink(false).error != STATION_OK) {
                return; // a failed open: the port looks for its device again
            }
        }
        TE_TARGET_RUNNER_TYPES runner{};
        std::string version;
        if (Monitor().QueryTargetRunner(runner, version) >= 0) {
            failures = 0;
            Sleep(kAwayInterval);
            continue;
        }
        if (Stopped() || LinkLost()) {
            return;
        }
        if (failures++ == 0) {
            firstFailure = Clock::now();
        }
        if (failures >= kAwayFailures && Clock::now() - firstFailure >= kAwaySpan) {
            return; // silent for a while: taken away
        }
        Sleep(kRetryInterval); // the next poll soon: a silent handset is found within seconds
    }
}

void CStationPort::Watch() {
    // One loop over the states of the port's life. A lost link or a failed open, in any state,
    // goes back to STATION_PORT_NO_DEVICE, which looks for the device again: nothing waits for
    // good on a link that cannot answer.
    TE_STATION_PORT_STATE state = STATION_PORT_NO_DEVICE;
    bool waitingSaid = false; // OnWaiting(false) for the next handset
    while (!Stopped()) {
        SetState(state);
        switch (state) {
        case STATION_PORT_NO_DEVICE:
            CloseLink();
            if (!waitingSaid) {
                m_engine.m_observer.OnWaiting(m_index, false);
                waitingSaid = true;
            }
            if (DevicePresent(m_port.DevicePath)) {
                state = STATION_PORT_OPENING;
            } else {
                Refused("no device at " + m_port.DevicePath);
                WaitForDevice(kRetryInterval);
            }
            break;
        case STATION_PORT_OPENING: {
            m_holdLog = true;
            m_heldLog.clear();
            const TS_FAILURE open = OpenLink(true);
            if (open.error != STATION_OK) {
                m_holdLog = false;
                // a device that went between the look and the open is not there: no new reason
                Refused(DevicePresent(m_port.DevicePath) ? open.message
                                                         : "no device at " + m_port.DevicePath);
                WaitForDevice(kRetryInterval);
                state = STATION_PORT_NO_DEVICE;
            } else {
                m_refusal.clear(); // the next refusal is said again
                state = STATION_PORT_ANSWER;
            }
            break;
        }
        case STATION_PORT_ANSWER: {
            const TS_FAILURE answer = WaitForAnswer();
            m_holdLog = false;
            if (answer.error == STATION_OK) {
                state = STATION_PORT_JOB;
            } else if (answer.error == STATION_ERR_NOT_POSSIBLE) {
                // a handset that refuses is a failed row, once: then it has to be taken away
                Begin();
                std::string held;
                held.swap(m_heldLog);
                AppendLog(held);
                FailedRow(answer.error, answer.message);
                waitingSaid = false;
                state = STATION_PORT_REMOVAL;
            } else if (answer.error != STATION_ERR_STOPPED) {
                // the link was lost, or failed: look for the device again
                WaitForDevice(kRetryInterval);
                state = STATION_PORT_NO_DEVICE;
            }
            break;
        }
        case STATION_PORT_JOB: {
            Begin();
            {
                std::string held;
                held.swap(m_heldLog);
                AppendLog(held);
            }
            const TS_STATION_RESULT result = RunJob(true);
            Finish(result);
            waitingSaid = false;
            // a handset that went away during the job leaves nothing to wait for
            state = LinkLost() ? STATION_PORT_NO_DEVICE : STATION_PORT_REMOVAL;
            break;
        }
        case STATION_PORT_REMOVAL:
            m_engine.m_observer.OnWaiting(m_index, true);
            WaitUntilAway();
            state = STATION_PORT_NO_DEVICE;
            break;
        case STATION_PORT_ENDED:
            return;
        }
    }
    CloseLink();
    SetState(STATION_PORT_ENDED);
}
