// station_chaos: one `vandrel-cli --json --watch` process serves 16 ports (pseudo-terminals, and
// some USB sockets) for ten minutes while a driver plays the operators: it puts handsets on the
// ports (a fresh in-process virtual handset, blank flash, behind the port's fixed path), pulls
// them, and makes them misbehave as chaos::CChaosPlan draws from the seed: late replies, lost
// replies, garbage, refusals, unplugs mid-job, silent handsets pulled while the port waits for
// them, lost runner queries while a flashed handset is still seated.
//
// It checks
//   - rows: every handset has exactly the rows its fate calls for (ChaosPlan.h): one "ok" row with
//     the image in its flash, one "failed" row, or none; a second row for a seated handset, a row
//     with no cause and a missing row are mismatches;
//   - refusals are said once per reason: a port's "refused" event does not repeat its last reason
//     while the port's state stays the same;
//   - no port stops flashing: every port has rows until the end (no gap between a port's rows
//     longer than a tenth of the run, 15 to 60 s);
//   - resources of the vandrel-cli process are flat: open descriptors (/proc/PID/fd), threads and
//     resident memory (/proc/PID/status), sampled every few seconds, compared between a window
//     early in the run (after the warm-up) and the last fifth.
// and prints a summary; the exit status is 1 when a check failed, 2 when the run did not start.
//
//   station_chaos                      10 minutes, seed 1
//   station_chaos --short              30 s, to try it
//   station_chaos --seconds 900 --seed 7 --out chaos.jsonl --verbose
//   station_chaos --short --cli /tmp/old/build/cli/vandrel-cli   (another build of vandrel-cli)
//
// Not a ctest test: it is a benchmark of robustness; its figures go to docs/PERFORMANCE.md.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChaosPlan.h"
#include "RandomImage.h"
#include "SimHarness.h"
#include "TempDir.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kImageAddress = 0x00006000;
constexpr uint32_t kImageBytes = 64u << 10;
// Programming slowed down so that a job lasts about a second and an unplug can come in its middle.
constexpr uint32_t kProgramUsPerKiB = 12000;
constexpr auto kBeginLimit = 45s;  // a seated handset that answers must begin a row within this
constexpr auto kEndLimit = 120s;   // a row must end within this after its begin
constexpr auto kPulledLimit = 30s; // a row whose handset was pulled must end within this
constexpr std::size_t kHistoryLines = 60;

// Flat: the last fifth of the run against the early window, at most this much higher.
constexpr int kFdSlack = 4;
constexpr int kThreadSlack = 4;
constexpr long kRssSlackKiB = 8 * 1024;
constexpr double kJudgeResourcesSeconds = 300; // shorter runs are mostly the allocator's warm-up

struct TS_OPTIONS {
    double seconds = 600;
    uint64_t seed = 1;
    int ports = 16;
    int usbPorts = 4;
    double sampleSeconds = 2;
    std::string out;                    // a copy of the JSON stream
    std::string cli = VANDREL_CLI_PATH; // the vandrel-cli to try (another build, an older one)
    bool verbose = false;
};

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The bytes MakeRandomImage writes (its S3 records, in order).
std::vector<uint8_t> ImageBytes(uint32_t size, uint32_t seed = 0x12345678) {
    std::vector<uint8_t> bytes;
    uint32_t state = seed;
    for (uint32_t k = 0; k < size; ++k) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes.push_back(static_cast<uint8_t>(state));
    }
    return bytes;
}

// ---- what vandrel-cli says, per port ----

struct TS_EVENT {
    std::string event; // begin, phase, end
    std::string phase;
    std::string result;
    std::string error;
    std::string message;
};

class CPortFeed {
public:
    void Push(TS_EVENT event, const std::string& line) {
        {
            std::lock_guard lock(m_mutex);
            m_history.push_back(line);
            if (m_history.size() > kHistoryLines) {
                m_history.pop_front();
            }
            if (!event.event.empty()) {
                m_events.push_back(std::move(event));
            }
        }
        m_changed.notify_all();
    }
    void Close() {
        {
            std::lock_guard lock(m_mutex);
            m_closed = true;
        }
        m_changed.notify_all();
    }
    // The next event, or nothing once the limit passed (or the stream ended).
    std::optional<TS_EVENT> Next(Clock::time_point until) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_until(lock, until, [this] { return !m_events.empty() || m_closed; });
        if (m_events.empty()) {
            return std::nullopt;
        }
        TS_EVENT e = std::move(m_events.front());
        m_events.pop_front();
        return e;
    }
    bool Closed() const {
        std::lock_guard lock(m_mutex);
        return m_closed;
    }
    std::vector<std::string> History() const {
        std::lock_guard lock(m_mutex);
        return {m_history.begin(), m_history.end()};
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<TS_EVENT> m_events;
    std::deque<std::string> m_history;
    bool m_closed = false;
};

// ---- the vandrel-cli child ----

class CCliChild {
public:
    ~CCliChild() {
        if (m_pid > 0 && !m_reaped) {
            ::kill(m_pid, SIGKILL);
            Reap();
        }
        for (std::thread* t : {&m_outThread, &m_errThread}) {
            if (t->joinable()) {
                t->join();
            }
        }
    }

    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env, std::function<void(const std::string&)> onLine,
               std::string& error) {
        int outPipe[2];
        int errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
            error = "pipe failed";
            return false;
        }
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv) {
            cargv.push_back(a.data());
        }
        cargv.push_back(nullptr);
        std::vector<std::string> envCopy = env;
        std::vector<char*> cenv;
        for (auto& e : envCopy) {
            cenv.push_back(e.data());
        }
        cenv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
        const int rc = ::posix_spawn(&m_pid, cargv[0], &actions, &attr, cargv.data(), cenv.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        if (rc != 0) {
            ::close(outPipe[0]);
            ::close(errPipe[0]);
            error = "posix_spawn " + program + ": " + std::strerror(rc);
            m_pid = -1;
            return false;
        }
        m_outThread = std::thread([this, fd = outPipe[0], onLine = std::move(onLine)] {
            std::string pending;
            char buffer[65536];
            for (;;) {
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    break;
                }
                pending.append(buffer, static_cast<std::size_t>(n));
                std::size_t start = 0;
                for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
                    onLine(pending.substr(start, nl - start));
                }
                pending.erase(0, start);
            }
            if (!pending.empty()) {
                onLine(pending);
            }
            ::close(fd);
            m_outEnded.store(true);
        });
        m_errThread = std::thread([this, fd = errPipe[0]] {
            char buffer[4096];
            for (;;) {
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    break;
                }
                std::lock_guard lock(m_errMutex);
                m_err.append(buffer, static_cast<std::size_t>(n));
                if (m_err.size() > 16384) {
                    m_err.erase(0, m_err.size() - 16384);
                }
            }
            ::close(fd);
        });
        return true;
    }

    pid_t Pid() const { return m_pid; }
    bool Exited() {
        if (m_reaped) {
            return true;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            Record(status);
            return true;
        }
        return false;
    }
    void Signal(int sig) const {
        if (m_pid > 0 && !m_reaped) {
            ::kill(m_pid, sig);
        }
    }
    // The exit status (128 + n for signal n), or -1 when it did not end in time.
    int Wait(std::chrono::seconds limit) {
        const Clock::time_point until = Clock::now() + limit;
        while (!Exited()) {
            if (Clock::now() > until) {
                return -1;
            }
            std::this_thread::sleep_for(50ms);
        }
        if (m_outThread.joinable()) {
            m_outThread.join();
        }
        return m_status;
    }
    std::string Err() {
        std::lock_guard lock(m_errMutex);
        return m_err;
    }

private:
    void Reap() {
        int status = 0;
        if (::waitpid(m_pid, &status, 0) == m_pid) {
            Record(status);
        }
    }
    void Record(int status) {
        m_reaped = true;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = -1;
    std::thread m_outThread;
    std::thread m_errThread;
    std::atomic<bool> m_outEnded{false};
    std::mutex m_errMutex;
    std::string m_err;
};

// ---- resources of the child ----

struct TS_SAMPLE {
    double at = 0;
    int fds = 0;
    int threads = 0;
    long rssKiB = 0;
    double cpuSeconds = 0; // user + system so far
};

bool SampleProcess(pid_t pid, double at, TS_SAMPLE& sample) {
    sample = TS_SAMPLE{};
    sample.at = at;
    const std::string base = "/proc/" + std::to_string(pid);
    DIR* dir = ::opendir((base + "/fd").c_str());
    if (!dir) {
        return false;
    }
    while (dirent* entry = ::readdir(dir)) {
        sample.fds += entry->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(dir);
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            sample.threads = std::atoi(line.c_str() + 8);
        } else if (line.rfind("VmRSS:", 0) == 0) {
            sample.rssKiB = std::atol(line.c_str() + 6);
        }
    }
    // /proc/PID/stat: utime and stime are the 14th and 15th fields, after the ")" of the name
    std::ifstream stat(base + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    if (const std::size_t close = text.rfind(')'); close != std::string::npos) {
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        unsigned long long ticks = 0;
        for (int k = 3; k <= 15 && fields >> field; ++k) {
            ticks += k >= 14 ? std::stoull(field) : 0;
        }
        sample.cpuSeconds = static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    return sample.threads > 0;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// ---- the record of the run ----

struct TS_ROW {
    std::string result; // ok, failed
    std::string error;  // the error name when failed
    std::string message;
    double at = 0; // seconds into the run, when the end was read
};

struct TS_MISMATCH {
    std::string kind; // for the tally: "two rows", "no row began", ...
    int port = 0;
    std::string label;
    std::string handset;
    std::string what;
    double at = 0;
    std::vector<std::string> lines; // the port's last lines of JSON
};

class CRecord {
public:
    void PutOn(chaos::TE_CHAOS_FATE fate) {
        std::lock_guard lock(m_mutex);
        ++m_putOn[fate];
    }
    void Row(int port, const TS_ROW& row) {
        std::lock_guard lock(m_mutex);
        ++m_rows;
        ++m_results[row.result == "ok" ? "ok" : "failed: " + row.error];
        m_rowTimes[port].push_back(row.at);
    }
    void Mismatch(TS_MISMATCH m) {
        std::lock_guard lock(m_mutex);
        ++m_kinds[m.kind];
        std::fprintf(stderr, "MISMATCH t=%.1fs port %d (%s) %s: %s\n", m.at, m.port, m.label.c_str(),
                     m.handset.c_str(), m.what.c_str());
        m_mismatches.push_back(std::move(m));
    }
    void Note(const std::string& what) {
        std::lock_guard lock(m_mutex);
        ++m_notes[what];
    }

    std::mutex m_mutex;
    std::map<chaos::TE_CHAOS_FATE, int> m_putOn;
    int m_rows = 0;
    std::map<std::string, int> m_results;
    std::map<int, std::vector<double>> m_rowTimes;
    std::vector<TS_MISMATCH> m_mismatches;
    std::map<std::string, int> m_notes;
    std::map<std::string, int> m_kinds;
};

// ---- one port's operator ----

class CPortDriver {
public:
    CPortDriver(const TS_OPTIONS& options, int index, bool usb, std::string path, CPortFeed& feed,
                CRecord& record, Clock::time_point start, Clock::time_point deadline,
                const std::vector<uint8_t>& image)
        : m_o(options), m_index(index), m_usb(usb), m_path(std::move(path)), m_feed(feed), m_record(record),
          m_start(start), m_deadline(deadline), m_image(image), m_plan(options.seed, index, usb) {}

    void Run() {
        while (Clock::now() < m_deadline && !m_feed.Closed()) {
            Cycle(m_plan.Next());
        }
        // a row still open (a handset flashed again in its last moments) ends once it was pulled
        if (m_open) {
            WaitForEnd(Clock::now() + kPulledLimit);
        }
    }
    int Handsets() const { return m_handsets; }

private:
    struct TS_SEATED {
        chaos::TS_CHAOS_HANDSET plan;
        std::vector<TS_ROW> rows;
        std::string expected; // "ok", "failed", "none", "either"
        bool flashOk = true;
        bool judged = false; // a mismatch was already reported for its rows
    };

    void Say(const std::string& text) const {
        if (m_o.verbose) {
            std::fprintf(stderr, "t=%7.2fs port %2d %s\n", Since(m_start), m_index, text.c_str());
        }
    }
    void Fail(const std::string& kind, const std::string& what) {
        m_record.Mismatch({kind, m_index, m_path, m_current ? chaos::DescribeHandset(m_current->plan) : "-",
                           what, Since(m_start), m_feed.History()});
    }

    void Seat(const chaos::TS_CHAOS_HANDSET& h) {
        vsim::SSimulatorOptions options;
        options.programUsPerKiB = kProgramUsPerKiB;
        if (h.Fate == chaos::CHAOS_REFUSED) {
            options.flashWriteAnswer = 1;
        }
        if (h.LateConnectMs) {
            options.lateReplies.push_back({.cid = 0x41,
                                           .minMs = h.LateConnectMs,
                                           .maxMs = h.LateConnectMs,
                                           .every = h.LateConnectEvery});
        }
        if (h.LateRunnerMs) {
            options.lateReplies.push_back(
                {.cid = 0x42, .minMs = h.LateRunnerMs, .maxMs = h.LateRunnerMs, .every = h.LateRunnerEvery});
        }
        if (h.LateAnyMs) {
            // after the rules above: the first rule that names a command decides
            options.lateReplies.push_back(
                {.cid = 0, .minMs = 20, .maxMs = h.LateAnyMs, .every = 1, .percent = h.LateAnyPercent});
            options.lateSeed = static_cast<uint32_t>(m_o.seed * 1000003u + h.Serial);
        }
        m_sim = std::make_unique<testsupport::CSimHarness>(
            m_usb ? testsupport::ESimLink::Usb : testsupport::ESimLink::Uart, options);
        vsim::CSimulatorHost& host = m_sim->Host();
        if (h.Fate == chaos::CHAOS_SILENT) {
            host.SetFault(vsim::EFault::DropReply, {.after = 0, .times = 0xFFFFFFFFu});
        } else if (h.LostPolls) {
            host.SetFault(vsim::EFault::DropReply, {.after = 0, .times = h.LostPolls, .cid = 0x41});
        }
        if (h.GarbageTimes) {
            host.SetFault(vsim::EFault::Garbage, {.after = h.GarbageAfter, .times = h.GarbageTimes});
        }
        std::error_code ec;
        std::filesystem::remove(m_path, ec);
        std::filesystem::create_symlink(m_sim->Path(), m_path);
        ++m_handsets;
        m_record.PutOn(h.Fate);
        Say("seated " + chaos::DescribeHandset(h));
    }
    void Pull() {
        std::error_code ec;
        std::filesystem::remove(m_path, ec);
        m_sim.reset();
        Say("pulled");
    }

    // Takes the port's events until the time; begins and ends make rows of the seated handset.
    // stopAt: also returns at the first event it matches.
    std::optional<TS_EVENT> Consume(Clock::time_point until,
                                    const std::function<bool(const TS_EVENT&)>& stopAt = {}) {
        while (auto e = m_feed.Next(until)) {
            Handle(*e);
            if (stopAt && stopAt(*e)) {
                return e;
            }
        }
        return std::nullopt;
    }
    void Handle(const TS_EVENT& e) {
        if (e.event == "begin") {
            if (m_open) {
                Fail("begin in a row", "a begin while the row before had not ended");
            }
            m_open = true;
            Say("begin");
        } else if (e.event == "end") {
            if (!m_open) {
                Fail("end without begin", "an end without a begin");
            }
            m_open = false;
            TS_ROW row{e.result, e.error, e.message, Since(m_start)};
            m_record.Row(m_index, row);
            Say("end " + e.result + (e.error.empty() ? "" : " " + e.error + ": " + e.message));
            if (m_current) {
                m_current->rows.push_back(row);
                if (m_current->rows.size() == 1 && row.result == "ok" && m_sim) {
                    m_current->flashOk = m_sim->Host().ReadMemory(kImageAddress, kImageBytes) == m_image;
                }
            } else {
                Fail("row with no handset", "a row with no handset on the port: " + e.result);
            }
        }
    }
    bool WaitForBegin(Clock::time_point until) {
        return m_open || Consume(until, [](const TS_EVENT& e) { return e.event == "begin"; }).has_value();
    }
    bool WaitForEnd(Clock::time_point until) {
        return !m_open || Consume(until, [](const TS_EVENT& e) { return e.event == "end"; }).has_value();
    }

    // The handset's side: the job is over when the station asked the runner after the verify's
    // reads (it asks whether the handset is still there).
    bool JobOverOnHandset() const {
        bool read = false;
        for (const auto& command : m_sim->Host().Snapshot().commands) {
            if (command.cid == 0x51) {
                read = true;
            } else if (read && command.cid == 0x42) {
                return true;
            }
        }
        return false;
    }

    void Cycle(const chaos::TS_CHAOS_HANDSET& h) {
        m_current = std::make_unique<TS_SEATED>();
        m_current->plan = h;
        Seat(h);
        switch (h.Fate) {
        case chaos::CHAOS_SILENT:
            m_current->expected = "none";
            Consume(Clock::now() + std::chrono::milliseconds(h.PullAfterMs));
            Pull();
            break;
        case chaos::CHAOS_NORMAL:
        case chaos::CHAOS_REFUSED:
            m_current->expected = h.Fate == chaos::CHAOS_NORMAL ? "ok" : "failed";
            if (!WaitForBegin(Clock::now() + kBeginLimit)) {
                Fail("no row began",
                     "no row began within " + std::to_string(kBeginLimit.count()) + " s of seating");
                m_current->judged = true;
                Pull();
                break;
            }
            if (!WaitForEnd(Clock::now() + kEndLimit)) {
                Fail("row did not end",
                     "the row did not end within " + std::to_string(kEndLimit.count()) + " s");
            }
            if (h.LostQueries && m_sim) {
                // the station now asks, every half second or so, whether the handset is still there:
                // every other answer lost, never enough in a row to be taken for a removal
                m_sim->Host().SetFault(h.CorruptQueries ? vsim::EFault::CorruptReply
                                                        : vsim::EFault::DropReply,
                                       {.after = 0, .times = h.LostQueries, .cid = 0x42, .every = 2});
            }
            Consume(Clock::now() + std::chrono::milliseconds(h.DwellMs));
            Pull();
            break;
        case chaos::CHAOS_UNPLUG_JOB: {
            m_current->expected = "failed";
            if (!WaitForBegin(Clock::now() + kBeginLimit)) {
                Fail("no row began",
                     "no row began within " + std::to_string(kBeginLimit.count()) + " s of seating");
                m_current->judged = true;
                Pull();
                break;
            }
            const std::string phase = chaos::ChaosPullPhaseName(h.PullPhase);
            Consume(Clock::now() + kEndLimit, [&](const TS_EVENT& e) {
                return (e.event == "phase" && e.phase == phase) || e.event == "end";
            });
            Consume(Clock::now() + std::chrono::milliseconds(h.PullAfterMs),
                    [](const TS_EVENT& e) { return e.event == "end"; });
            if (!m_current->rows.empty() || JobOverOnHandset()) {
                // the job was over before the pull came: its row stands as it is
                m_current->expected = "either";
                m_record.Note("unplug came after the job had ended");
            }
            Pull();
            if (!WaitForEnd(Clock::now() + kPulledLimit)) {
                Fail("row did not end", "the row of a handset pulled mid-job did not end within " +
                                            std::to_string(kPulledLimit.count()) + " s");
            }
            break;
        }
        }
        Consume(Clock::now() + std::chrono::milliseconds(h.GapMs));
        if (m_open) {
            // a second row began for this handset; its end comes after the pull
            WaitForEnd(Clock::now() + kPulledLimit);
        }
        Judge();
        m_current.reset();
    }

    void Judge() {
        const TS_SEATED& s = *m_current;
        if (s.judged && s.rows.empty()) {
            return;
        }
        const std::size_t rows = s.rows.size();
        auto rowsText = [&] {
            std::string text;
            for (const TS_ROW& row : s.rows) {
                text += (text.empty() ? "" : "; ") + row.result +
                        (row.error.empty() ? "" : " (" + row.error + ": " + row.message + ")");
            }
            return text.empty() ? std::string("none") : text;
        };
        if (s.expected == "none") {
            if (rows != 0) {
                Fail("row for a silent handset",
                     "a silent handset has " + std::to_string(rows) + " row(s): " + rowsText());
            }
            return;
        }
        if (rows == 0) {
            Fail("no row", "no row (expected " + s.expected + ")");
            return;
        }
        if (rows > 1) {
            Fail("several rows", std::to_string(rows) + " rows for one handset: " + rowsText());
            return;
        }
        const TS_ROW& row = s.rows.front();
        if (s.expected != "either" && row.result != s.expected) {
            Fail("wrong result", "expected " + s.expected + ", the row says " + rowsText());
            return;
        }
        if (row.result == "ok" && !s.flashOk) {
            Fail("ok without the image", "the row says ok but the handset's flash does not hold the image");
            return;
        }
        if (row.result == "failed") {
            const char* wanted = s.plan.Fate == chaos::CHAOS_REFUSED ? "not-possible" : "disconnected";
            if (row.error != wanted) {
                m_record.Note(std::string(chaos::ChaosFateName(s.plan.Fate)) + " failed as " + row.error +
                              " (not " + wanted + ")");
            }
        }
    }

    const TS_OPTIONS& m_o;
    const int m_index;
    const bool m_usb;
    const std::string m_path;
    CPortFeed& m_feed;
    CRecord& m_record;
    const Clock::time_point m_start;
    const Clock::time_point m_deadline;
    const std::vector<uint8_t>& m_image;
    chaos::CChaosPlan m_plan;
    std::unique_ptr<testsupport::CSimHarness> m_sim;
    std::unique_ptr<TS_SEATED> m_current;
    bool m_open = false; // a row has begun and not ended
    int m_handsets = 0;
};

// ---- the figures ----

struct TS_FLAT {
    std::string name;
    double first = 0, last = 0, min = 0, max = 0;
    double early = 0, late = 0; // the maximum (fds, threads) or median (RSS) of each window
    double slack = 0;
    bool flat = true;
};

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// early window: 10 % to 35 % of the run (the ports are all busy by then); late: the last fifth.
TS_FLAT Flatness(const std::string& name, const std::vector<TS_SAMPLE>& samples, double runSeconds,
                 const std::function<double(const TS_SAMPLE&)>& value, bool median, double slack) {
    TS_FLAT f;
    f.name = name;
    f.slack = slack;
    if (samples.empty()) {
        f.flat = false;
        return f;
    }
    f.first = value(samples.front());
    f.last = value(samples.back());
    f.min = f.max = f.first;
    std::vector<double> early, late;
    for (const TS_SAMPLE& s : samples) {
        const double v = value(s);
        f.min = std::min(f.min, v);
        f.max = std::max(f.max, v);
        if (s.at >= 0.10 * runSeconds && s.at <= 0.35 * runSeconds) {
            early.push_back(v);
        } else if (s.at >= 0.80 * runSeconds) {
            late.push_back(v);
        }
    }
    if (early.empty() || late.empty()) {
        f.flat = false;
        return f;
    }
    f.early = median ? Median(early) : *std::max_element(early.begin(), early.end());
    f.late = median ? Median(late) : *std::max_element(late.begin(), late.end());
    f.flat = f.late <= f.early + slack;
    return f;
}

bool ParseOptions(int argc, char** argv, TS_OPTIONS& o) {
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        auto value = [&]() -> const char* { return k + 1 < argc ? argv[++k] : nullptr; };
        const char* v = nullptr;
        if (a == "--short") {
            o.seconds = 30;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (a == "--seconds" && (v = value())) {
            o.seconds = std::atof(v);
        } else if (a == "--seed" && (v = value())) {
            o.seed = std::strtoull(v, nullptr, 0);
        } else if (a == "--ports" && (v = value())) {
            o.ports = std::atoi(v);
        } else if (a == "--usb" && (v = value())) {
            o.usbPorts = std::atoi(v);
        } else if (a == "--sample" && (v = value())) {
            o.sampleSeconds = std::atof(v);
        } else if (a == "--out" && (v = value())) {
            o.out = v;
        } else if (a == "--cli" && (v = value())) {
            o.cli = v;
        } else {
            std::fprintf(
                stderr,
                "usage: station_chaos [--seconds N | --short] [--seed N] [--ports N] [--usb N]\n"
                "                     [--sample SECONDS] [--out FILE.jsonl] [--cli PATH] [--verbose]\n"
                "  default: 600 s, seed 1, 16 ports of which 4 are USB sockets, a sample every 2 s\n");
            return false;
        }
    }
    if (o.seconds <= 0 || o.ports < 1 || o.usbPorts < 0 || o.usbPorts > o.ports || o.sampleSeconds <= 0) {
        std::fprintf(stderr, "station_chaos: bad option value\n");
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    TS_OPTIONS o;
    if (!ParseOptions(argc, argv, o)) {
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    CTempDir dir;
    const std::string writer = dir.File("vwriter.m0");
    std::filesystem::copy_file(std::string(VANDREL_SOURCE_DIR) + "/samples/vwriter.m0", writer);
    const std::string image = testsupport::MakeRandomImage(dir.File("vchaos.m0"), kImageAddress, kImageBytes);
    const std::vector<uint8_t> imageBytes = ImageBytes(kImageBytes);

    // the ports: UART first, the USB sockets last; each a fixed path that a handset's link or
    // socket is put behind while it is seated
    std::vector<std::string> paths;
    std::vector<std::string> args = {"--json", "--watch", "--baud", "115200"};
    std::map<std::string, int> portOf;
    for (int k = 0; k < o.ports; ++k) {
        const bool usb = k >= o.ports - o.usbPorts;
        paths.push_back(dir.File((usb ? "usb" : "tty") + std::to_string(k)));
        args.push_back(usb ? "--usb" : "--port");
        args.push_back(paths.back());
        portOf[paths.back()] = k;
    }
    args.insert(args.end(), {"--writer", writer, "download", "--verify", image});

    std::vector<std::string> env{"PATH=/usr/bin:/bin", "VANDREL_CONFIG_DIR=" + dir.File("config"),
                                 "LANG=C.UTF-8"};
    for (const char* keep : {"TMPDIR", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = std::getenv(keep)) {
            env.push_back(std::string(keep) + "=" + value);
        }
    }

    std::vector<std::unique_ptr<CPortFeed>> feeds;
    for (int k = 0; k < o.ports; ++k) {
        feeds.push_back(std::make_unique<CPortFeed>());
    }
    std::ofstream copy;
    if (!o.out.empty()) {
        copy.open(o.out);
    }
    std::mutex streamMutex;
    std::string summaryLine;
    uint64_t lines = 0, badLines = 0, ends = 0;
    std::map<std::string, int> strangePorts;
    // refusals (a port that does not open says why once, when the reason changes): the last reason
    // of each port, and whether its state changed since
    struct TS_REFUSALS {
        std::string last;
        bool changed = true;
        int said = 0;
        int repeated = 0;
    };
    std::vector<TS_REFUSALS> refusals(static_cast<std::size_t>(o.ports));
    std::map<std::string, int> refusalReasons;
    auto onLine = [&](const std::string& line) {
        std::lock_guard lock(streamMutex);
        ++lines;
        if (copy.is_open()) {
            copy << line << '\n';
        }
        const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object()) {
            ++badLines;
            return;
        }
        const std::string event = j.value("event", "");
        if (event == "summary") {
            summaryLine = line;
            return;
        }
        const auto port = portOf.find(j.value("port", ""));
        if (port == portOf.end()) {
            ++strangePorts[j.value("port", "")];
            return;
        }
        TS_REFUSALS& refused = refusals[static_cast<std::size_t>(port->second)];
        if (event == "refused") {
            const std::string reason = j.value("reason", "");
            refused.repeated += !refused.changed && reason == refused.last ? 1 : 0;
            ++refused.said;
            refused.last = reason;
            refused.changed = false;
            // the reason without the port's path, for the tally
            std::string kind = reason;
            if (const std::size_t at = kind.find(j.value("port", "")); at != std::string::npos) {
                kind.replace(at, j.value("port", "").size(), "PORT");
            }
            ++refusalReasons[kind];
        } else if (event != "log" && event != "progress") {
            refused.changed = true;
        }
        TS_EVENT e;
        if (event == "begin" || event == "phase" || event == "end") {
            e.event = event;
            e.phase = j.value("phase", "");
            e.result = j.value("result", "");
            if (j.contains("error") && j["error"].is_object()) {
                e.error = j["error"].value("name", "");
                e.message = j["error"].value("message", "");
            }
            ends += event == "end" ? 1 : 0;
        }
        feeds[static_cast<std::size_t>(port->second)]->Push(std::move(e), line);
    };

    CCliChild cli;
    std::string error;
    if (!cli.Start(o.cli, args, env, onLine, error)) {
        std::fprintf(stderr, "station_chaos: %s\n", error.c_str());
        return 2;
    }
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline =
        start + std::chrono::milliseconds(static_cast<int64_t>(o.seconds * 1000));
    const std::string loadBefore = LoadAverage();
    std::printf(
        "station_chaos: seed %llu, %d ports (%d USB sockets), %.0f s, vandrel-cli pid %d, load average %s\n",
        static_cast<unsigned long long>(o.seed), o.ports, o.usbPorts, o.seconds, cli.Pid(),
        loadBefore.c_str());
    std::fflush(stdout);

    // the samples of the child's resources
    std::vector<TS_SAMPLE> samples;
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling.load()) {
            TS_SAMPLE s;
            if (SampleProcess(cli.Pid(), Since(start), s)) {
                samples.push_back(s);
            }
            const Clock::time_point next =
                Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(o.sampleSeconds * 1000));
            while (sampling.load() && Clock::now() < next) {
                std::this_thread::sleep_for(50ms);
            }
        }
    });

    CRecord record;
    std::vector<std::unique_ptr<CPortDriver>> drivers;
    std::vector<std::thread> threads;
    for (int k = 0; k < o.ports; ++k) {
        drivers.push_back(std::make_unique<CPortDriver>(
            o, k, k >= o.ports - o.usbPorts, paths[static_cast<std::size_t>(k)],
            *feeds[static_cast<std::size_t>(k)], record, start, deadline, imageBytes));
    }
    std::atomic<bool> cliGone{false};
    std::thread watchdog([&] {
        while (!cliGone.load() && Clock::now() < deadline + 10min) {
            if (cli.Exited()) {
                cliGone.store(true);
                for (auto& feed : feeds) {
                    feed->Close();
                }
                break;
            }
            std::this_thread::sleep_for(200ms);
        }
    });
    for (auto& driver : drivers) {
        threads.emplace_back([&driver] { driver->Run(); });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    const double runSeconds = Since(start);
    sampling.store(false);
    sampler.join();
    const bool diedEarly = cliGone.load();
    cliGone.store(true);
    watchdog.join();

    const std::string loadAfter = LoadAverage();
    // every handset is off its port: stop the station as an operator does
    cli.Signal(SIGINT);
    int status = cli.Wait(60s);
    if (status < 0) {
        cli.Signal(SIGKILL);
        status = cli.Wait(10s);
    }
    for (auto& feed : feeds) {
        feed->Close();
    }

    // ---- the summary ----
    bool failed = false;
    int handsets = 0;
    for (auto& driver : drivers) {
        handsets += driver->Handsets();
    }
    std::lock_guard lock(record.m_mutex);
    std::printf("\nrun: %.0f s, %d ports (%d USB), seed %llu; vandrel-cli exit status %d%s\n", runSeconds,
                o.ports, o.usbPorts, static_cast<unsigned long long>(o.seed), status,
                diedEarly ? " (it ended before the run did)" : "");
    failed = failed || diedEarly;
    std::printf(
        "load average (1, 5, 15 min) at the start %s, at the end %s; CPU of vandrel-cli %.1f s (%.1f %% of "
        "one core)\n",
        loadBefore.c_str(), loadAfter.c_str(), samples.empty() ? 0.0 : samples.back().cpuSeconds,
        samples.empty() ? 0.0 : 100.0 * samples.back().cpuSeconds / std::max(1.0, samples.back().at));
    std::printf("handsets put on: %d (", handsets);
    for (const auto& [fate, count] : record.m_putOn) {
        std::printf("%s%s %d", fate == record.m_putOn.begin()->first ? "" : ", ", chaos::ChaosFateName(fate),
                    count);
    }
    std::printf(")\n");
    std::printf("rows: %d (JSON end events: %llu; lines %llu, not JSON %llu)\n", record.m_rows,
                static_cast<unsigned long long>(ends), static_cast<unsigned long long>(lines),
                static_cast<unsigned long long>(badLines));
    for (const auto& [result, count] : record.m_results) {
        std::printf("  %-28s %d\n", result.c_str(), count);
    }
    for (const auto& [note, count] : record.m_notes) {
        std::printf("note: %s: %d\n", note.c_str(), count);
    }
    int said = 0, repeated = 0;
    for (const TS_REFUSALS& r : refusals) {
        said += r.said;
        repeated += r.repeated;
    }
    std::printf("refusals said: %d (the same reason again with no change of the port's state between: %d)\n",
                said, repeated);
    for (const auto& [reason, count] : refusalReasons) {
        std::printf("  %-40s %d\n", reason.c_str(), count);
    }
    failed = failed || repeated > 0;
    for (const auto& [port, count] : strangePorts) {
        std::printf("lines of an unknown port \"%s\": %d\n", port.c_str(), count);
        failed = true;
    }
    if (badLines) {
        failed = true;
    }
    // the summary object against the rows
    const nlohmann::json summary = nlohmann::json::parse(summaryLine, nullptr, false);
    if (summary.is_discarded() || !summary.is_object()) {
        std::printf("no summary line at the end\n");
        failed = true;
    } else {
        int ok = 0;
        for (const auto& [result, count] : record.m_results) {
            ok += result == "ok" ? count : 0;
        }
        const int s = summary.value("succeeded", -1);
        const int f = summary.value("failed", -1);
        std::printf("summary object: %d succeeded, %d failed%s\n", s, f,
                    s == ok && f == record.m_rows - ok ? "" : "  (differs from the rows!)");
        failed = failed || s != ok || f != record.m_rows - ok;
    }

    // ports keep flashing: no gap between a port's rows (or from the start to its first row, or
    // from its last row to the end of the run) longer than a tenth of the run, within 15 to 60 s
    const double window = std::clamp(0.1 * o.seconds, 15.0, 60.0);
    std::printf("ports (rows; longest gap between rows, from the start and to the end of the run at %.0f s; "
                "more than %.0f s: stopped flashing):\n",
                o.seconds, window);
    int stalled = 0;
    for (int k = 0; k < o.ports; ++k) {
        const std::vector<double>& times = record.m_rowTimes[k];
        double gap = 0, previous = 0;
        for (double t : times) {
            gap = std::max(gap, t - previous);
            previous = t;
        }
        gap = std::max(gap, o.seconds - previous);
        const bool ok = gap <= window;
        stalled += ok ? 0 : 1;
        std::printf("  %2d %-4s %4zu rows, longest gap %5.1f s%s\n", k,
                    k >= o.ports - o.usbPorts ? "usb" : "tty", times.size(), gap,
                    ok ? "" : "   <- stopped flashing");
    }
    failed = failed || stalled > 0;

    // resources
    const TS_FLAT flats[] = {
        Flatness(
            "open descriptors", samples, runSeconds, [](const TS_SAMPLE& s) { return double(s.fds); }, false,
            kFdSlack),
        Flatness(
            "threads", samples, runSeconds, [](const TS_SAMPLE& s) { return double(s.threads); }, false,
            kThreadSlack),
        Flatness(
            "VmRSS KiB", samples, runSeconds, [](const TS_SAMPLE& s) { return double(s.rssKiB); }, true,
            double(kRssSlackKiB)),
    };
    const bool judgeResources = o.seconds >= kJudgeResourcesSeconds;
    std::printf("vandrel-cli resources (%zu samples every %.0f s; early = 10-35 %% of the run, late = last "
                "fifth; max of each window, median for RSS):\n",
                samples.size(), o.sampleSeconds);
    for (const TS_FLAT& f : flats) {
        std::printf(
            "  %-17s first %8.0f last %8.0f min %8.0f max %8.0f  early %8.0f late %8.0f (slack %.0f) %s\n",
            f.name.c_str(), f.first, f.last, f.min, f.max, f.early, f.late, f.slack,
            f.flat ? "flat" : "NOT FLAT");
        failed = failed || (!f.flat && judgeResources);
    }
    if (!judgeResources) {
        std::printf("  (a run shorter than %.0f s is too short to judge the resources: mostly warm-up)\n",
                    kJudgeResourcesSeconds);
    }

    // the course of the run, a tenth at a time
    std::printf("  by tenth of the run (max fds, max threads, median VmRSS MiB):");
    for (int tenth = 0; tenth < 10; ++tenth) {
        int fds = 0, threads = 0;
        std::vector<double> rss;
        for (const TS_SAMPLE& sample : samples) {
            if (sample.at >= tenth * runSeconds / 10 && sample.at < (tenth + 1) * runSeconds / 10) {
                fds = std::max(fds, sample.fds);
                threads = std::max(threads, sample.threads);
                rss.push_back(double(sample.rssKiB) / 1024);
            }
        }
        std::printf(" %d/%d/%.1f", fds, threads, Median(rss));
    }
    std::printf("\n");

    std::printf("mismatches: %zu\n", record.m_mismatches.size());
    for (const auto& [kind, count] : record.m_kinds) {
        std::printf("  %-28s %d\n", kind.c_str(), count);
    }
    constexpr std::size_t kShown = 40;
    for (const TS_MISMATCH& m : record.m_mismatches) {
        if (&m - record.m_mismatches.data() == static_cast<std::ptrdiff_t>(kShown)) {
            std::printf("\n(%zu more mismatches: see stderr)\n", record.m_mismatches.size() - kShown);
            break;
        }
        std::printf("\n- t=%.1f s, port %d (%s), handset %s:\n  %s\n  the port's last lines:\n", m.at, m.port,
                    m.label.c_str(), m.handset.c_str(), m.what.c_str());
        const std::size_t from = m.lines.size() > 12 ? m.lines.size() - 12 : 0;
        for (std::size_t k = from; k < m.lines.size(); ++k) {
            std::printf("    %s\n", m.lines[k].c_str());
        }
    }
    failed = failed || !record.m_mismatches.empty();
    if (diedEarly || status < 0) {
        std::printf("vandrel-cli stderr (last part):\n%s\n", cli.Err().c_str());
    }
    std::printf("\nresult: %s\n", failed ? "FAILED" : "passed");
    return failed ? 1 : 0;
}
