// The station chaos run's plan: what happens to each handset put on a port, drawn from a seed.
// The same seed gives every port the same handsets in the same order, whatever the timing of the
// run; the timing itself (when a reply comes, when a row is read) is the machine's.
//
//   chaos::CChaosPlan plan(seed, port);
//   for (;;) { chaos::TS_CHAOS_HANDSET h = plan.Next(); ... }
//
// A handset's fate decides what its row must be:
//   CHAOS_NORMAL      flashed: one row, "ok" (and its flash holds the image)
//   CHAOS_REFUSED     answers "download not possible" to every request flash write: one row,
//                     "failed" (not-possible); the port must not retry it into a second row
//   CHAOS_UNPLUG_JOB  pulled in the middle of its job (after its connect, writer, erase, program
//                     or verify phase began): one row, "failed" (disconnected); "ok" only when the job had
//                     ended before the pull (the driver sees that on the handset and says so)
//   CHAOS_SILENT      never answers and is pulled while the port waits for it: no row
// and on any fate, faults a sound station survives without a trace in the row:
//   late replies to the connect poll (0x41, 40 to 150 ms) and to the runner query (0x42, up to
//   1.8 s), and a random share of the replies to any command 20 to 150 ms late; lost replies to
//   the connect poll (up to 30: a handset slow to start); garbage before replies; after the row, lost (or on
//   UART corrupted) replies to the runner queries that ask whether the handset is still there,
//   every other one (never several in a row: that is how a station tells a handset was taken).
// Every handset is a fresh one, blank flash, the boot loader running, put on the same port; now
// and then one is pulled as soon as its row is out, and the next seated as soon as the last went
// (within 50 ms: faster than the station looks).
#pragma once

#include <cstdint>
#include <string>

namespace chaos {

enum TE_CHAOS_FATE { CHAOS_NORMAL, CHAOS_REFUSED, CHAOS_UNPLUG_JOB, CHAOS_SILENT };

inline const char* ChaosFateName(TE_CHAOS_FATE fate) {
    switch (fate) {
    case CHAOS_NORMAL:
        return "normal";
    case CHAOS_REFUSED:
        return "refused";
    case CHAOS_UNPLUG_JOB:
        return "unplug-mid-job";
    case CHAOS_SILENT:
        return "silent-pulled";
    }
    return "?";
}

// The phases after whose begin an unplug mid-job may come.
enum TE_CHAOS_PULL_PHASE {
    CHAOS_PULL_CONNECT,
    CHAOS_PULL_WRITER,
    CHAOS_PULL_ERASE,
    CHAOS_PULL_PROGRAM,
    CHAOS_PULL_VERIFY
};

inline const char* ChaosPullPhaseName(TE_CHAOS_PULL_PHASE phase) {
    switch (phase) {
    case CHAOS_PULL_CONNECT:
        return "connect";
    case CHAOS_PULL_WRITER:
        return "writer";
    case CHAOS_PULL_ERASE:
        return "erase";
    case CHAOS_PULL_PROGRAM:
        return "program";
    case CHAOS_PULL_VERIFY:
        return "verify";
    }
    return "?";
}

struct TS_CHAOS_HANDSET {
    uint64_t Serial = 0; // the n-th handset of the port, from 0
    TE_CHAOS_FATE Fate = CHAOS_NORMAL;
    // faults the station must survive
    uint32_t LateConnectMs = 0;    // the connect poll's replies come this late (0: on time)
    uint32_t LateConnectEvery = 1; // ... every one of them (1), or every second, third...
    uint32_t LateRunnerMs = 0;     // the runner query's replies come this late (0: on time)
    uint32_t LateRunnerEvery = 1;
    uint32_t LateAnyPercent = 0; // a random share of the replies to any command comes late ...
    uint32_t LateAnyMs = 0;      // ... by up to this (from 20 ms)
    uint32_t LostPolls = 0;      // connect poll replies dropped (many: a handset slow to start)
    uint32_t GarbageAfter = 0;   // requests answered cleanly before garbage comes
    uint32_t GarbageTimes = 0;   // replies with garbage before them
    uint32_t LostQueries = 0;    // after the row: runner queries unanswered (or corrupted, see below)
    bool CorruptQueries = false; // UART only: the replies come with a wrong checksum instead
    // timing
    TE_CHAOS_PULL_PHASE PullPhase = CHAOS_PULL_PROGRAM; // CHAOS_UNPLUG_JOB
    uint32_t PullAfterMs = 0; // CHAOS_UNPLUG_JOB: after that phase began; CHAOS_SILENT: after seating
    uint32_t DwellMs = 0;     // the handset stays seated after its row
    uint32_t GapMs = 0;       // the port stays empty after the handset went
};

// splitmix64: the same numbers on every platform and standard library.
class CChaosRandom {
public:
    explicit CChaosRandom(uint64_t seed) : m_state(seed) {}
    static uint64_t Mix(uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t Next() { return Mix(m_state += 0x9E3779B97F4A7C15ull); }
    // uniform in [low, high]
    uint32_t Range(uint32_t low, uint32_t high) {
        return low + static_cast<uint32_t>(Next() % (static_cast<uint64_t>(high) - low + 1));
    }
    // true with the chance percent / 100
    bool Chance(uint32_t percent) { return Next() % 100 < percent; }

private:
    uint64_t m_state;
};

class CChaosPlan {
public:
    // usb: the port is a USB socket (no checksum to corrupt there).
    CChaosPlan(uint64_t seed, int port, bool usb = false)
        : m_random(CChaosRandom::Mix(seed ^ CChaosRandom::Mix(static_cast<uint64_t>(port) + 0x5DEECE66Dull))),
          m_usb(usb) {}

    TS_CHAOS_HANDSET Next() {
        TS_CHAOS_HANDSET h;
        h.Serial = m_serial++;
        const uint32_t fate = m_random.Range(0, 99);
        h.Fate = fate < 62   ? CHAOS_NORMAL
                 : fate < 72 ? CHAOS_REFUSED
                 : fate < 86 ? CHAOS_UNPLUG_JOB
                             : CHAOS_SILENT;
        if (m_random.Chance(30)) {
            h.LateConnectMs = m_random.Range(40, 150);
            h.LateConnectEvery = m_random.Range(1, 3);
        }
        if (m_random.Chance(20)) {
            h.LateRunnerMs = m_random.Range(100, 1800);
            h.LateRunnerEvery = m_random.Range(1, 2);
        }
        if (m_random.Chance(25)) {
            h.LostPolls = m_random.Range(1, 30);
        }
        if (m_random.Chance(30)) {
            h.GarbageAfter = m_random.Range(0, 40);
            h.GarbageTimes = m_random.Range(1, 4);
        }
        if (m_random.Chance(30)) {
            h.LostQueries = m_random.Range(1, 4);
            h.CorruptQueries = !m_usb && m_random.Chance(50);
        }
        if (m_random.Chance(20)) {
            h.LateAnyPercent = m_random.Range(5, 20);
            h.LateAnyMs = m_random.Range(40, 150);
        }
        h.PullPhase = static_cast<TE_CHAOS_PULL_PHASE>(m_random.Range(0, 4));
        h.PullAfterMs = h.Fate == CHAOS_SILENT ? m_random.Range(500, 4000) : m_random.Range(0, 400);
        // most operators look at the result first; some pull at once, some swap at once
        h.DwellMs = m_random.Chance(15) ? m_random.Range(0, 200) : m_random.Range(1500, 4000);
        h.GapMs = m_random.Chance(15) ? m_random.Range(0, 50) : m_random.Range(200, 1500);
        return h;
    }

private:
    CChaosRandom m_random;
    bool m_usb;
    uint64_t m_serial = 0;
};

// One line for a report: "#12 unplug-mid-job (program +120 ms) late-0x41 90ms /2 garbage@3x1"
// (/2: every second reply late; garbage@3x1: once, after 3 clean replies).
inline std::string DescribeHandset(const TS_CHAOS_HANDSET& h) {
    std::string text = "#" + std::to_string(h.Serial) + " " + ChaosFateName(h.Fate);
    if (h.Fate == CHAOS_UNPLUG_JOB) {
        text += std::string(" (") + ChaosPullPhaseName(h.PullPhase) + " +" + std::to_string(h.PullAfterMs) +
                " ms)";
    } else if (h.Fate == CHAOS_SILENT) {
        text += " (pulled after " + std::to_string(h.PullAfterMs) + " ms)";
    }
    if (h.LateConnectMs) {
        text += " late-0x41 " + std::to_string(h.LateConnectMs) + "ms /" + std::to_string(h.LateConnectEvery);
    }
    if (h.LateRunnerMs) {
        text += " late-0x42 " + std::to_string(h.LateRunnerMs) + "ms /" + std::to_string(h.LateRunnerEvery);
    }
    if (h.LateAnyMs) {
        text +=
            " late-any 20-" + std::to_string(h.LateAnyMs) + "ms " + std::to_string(h.LateAnyPercent) + "%";
    }
    if (h.LostPolls) {
        text += " lost-0x41 x" + std::to_string(h.LostPolls);
    }
    if (h.GarbageTimes) {
        text += " garbage@" + std::to_string(h.GarbageAfter) + "x" + std::to_string(h.GarbageTimes);
    }
    if (h.LostQueries) {
        text += std::string(h.CorruptQueries ? " corrupt" : " lost") + "-0x42-after-row x" +
                std::to_string(h.LostQueries);
    }
    return text;
}

} // namespace chaos
