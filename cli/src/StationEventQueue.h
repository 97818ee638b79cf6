// The hand-over between the station's port threads and vandrel-cli's one output writer.
//
// A port thread reports an event with Push and goes on at once: Push takes a lock that is only
// ever held to move events in or out, never while anything is written, so a terminal stopped with
// Ctrl-S, a --json reader that stops reading or a --log file on a slow disk holds up the writer
// alone, never a handset.
//
// Order: every event but progress is kept in the order of Push (per port, and across ports as
// they came). Progress is coalesced per port, the latest wins: a port has one progress slot, and a
// progress still in its slot when the port's next event comes is queued ahead of that event, so a
// phase's last progress (its 100 %) is never lost and never comes after the next phase.
//
// What a stalled reader costs, at most:
//  - one progress slot per port, however long the stall;
//  - log texts up to the log budget (kLogBudgetBytes, 8 MiB of text by default). Past it, log
//    events are dropped and counted per port; the next event of that port that is queued carries
//    the count (Dropped), and the views say how many lines were not shown;
//  - every other event (begin, phase, waiting, port state, refusal, store, end) is always queued: each is a
//    few hundred bytes and a job has a handful of them (begin, its phases, its notes, its end),
//    so a reader that never reads costs about 1 KiB per job on top of the log budget. That is of
//    the order of the table row each job keeps anyway.
// Push never waits for the writer, whatever the state of the queue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "station/StationEngine.h"

enum class EStationEvent { Begin, Phase, Progress, Log, End, Waiting, PortState, Refusal, Store };

struct TS_STATION_EVENT {
    EStationEvent Kind = EStationEvent::Log;
    int Port = 0;
    int64_t UnixMilliseconds = 0;               // when it happened (the JSON "ts")
    std::chrono::steady_clock::time_point At{}; // when it happened (the terminal's rates)
    std::string Text; // begin: the device; log: the text; refusal, store: the reason
    TE_STATION_PHASE Phase = STATION_PHASE_CONNECT;       // phase
    uint64_t Done = 0;                                    // progress
    uint64_t Total = 0;                                   // progress
    bool Away = false;                                    // waiting
    TE_STATION_PORT_STATE State = STATION_PORT_NO_DEVICE; // port state
    TS_STATION_RESULT Result;                             // end
    TE_STATION_STORE Store = STATION_STORE_OK;            // store (the station's, carried by port 0)
    uint64_t Dropped = 0; // log events of this port dropped (log budget) just before this one
    std::string Extra;    // begin, end: the fields a production line adds to the JSON event
};

class CStationEventQueue {
public:
    static constexpr std::size_t kLogBudgetBytes = 8u << 20;

    explicit CStationEventQueue(int ports, std::size_t logBudgetBytes = kLogBudgetBytes);

    // From any thread; never waits for the writer. The time of the event is set here when it is
    // not set yet.
    void Push(TS_STATION_EVENT event);
    // The writer: waits up to timeout for events, then moves out everything queued (in order,
    // then the progress slots in port order). False once Close was called and nothing is left.
    bool Take(std::vector<TS_STATION_EVENT>& events, std::chrono::milliseconds timeout);
    // No more events will come; Take returns what is left, then false.
    void Close();

    // Log bytes queued now, and log events dropped so far (for the tests).
    std::size_t LogBytes() const;
    uint64_t DroppedTotal() const;

private:
    const std::size_t m_budget;
    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<TS_STATION_EVENT> m_queue;
    std::vector<TS_STATION_EVENT> m_progress; // a slot per port
    std::vector<bool> m_progressPending;
    std::vector<uint64_t> m_dropped; // per port, not yet told
    uint64_t m_droppedTotal = 0;
    std::size_t m_logBytes = 0;
    bool m_closed = false;
};
