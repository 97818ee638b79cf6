// The download runs and JobThread against the virtual handset: log blocks, the run-on flag,
// skipped files, the flash writer, and runs driven from a worker thread as the GUI drives them.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <thread>

#include "SessionTestSupport.h"
#include "app/DownloadRuns.h"
#include "app/JobThread.h"
#include "download/DownloadSession.h"

using namespace sessiontest;
using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

const std::string kMark = "\xE2\x97\x88";
const std::string kMarks8 = kMark + kMark + kMark + kMark + kMark + kMark + kMark + kMark;
constexpr std::time_t kNow = 1765185923; // the clock of the log's times

// Runs each session inline, as the CLI does; records what it was asked and shown.
class CInlineHost : public IRunHost {
public:
    TS_SESSION_OUTCOME RunDownloadSession(int32_t mode, const std::string& path,
                                          COstraMonitor* monitor) override {
        CDownloadSession session(mode, path, monitor, nullptr);
        TS_SESSION_OUTCOME outcome;
        outcome.sent = session.RunSession();
        outcome.errorText = session.GetErrorText();
        std::lock_guard lock(mutex);
        sessions.push_back((mode == MODE_WRITER_CODE ? "writer:" : "app:") + path);
        return outcome;
    }
    void ShowFileMessage(const std::string& text, const std::string& path, int errnum) override {
        std::lock_guard lock(mutex);
        messages.push_back(text);
        (void)path;
        errnums.push_back(errnum);
    }
    std::mutex mutex;
    std::vector<std::string> sessions;
    std::vector<std::string> messages;
    std::vector<int> errnums;
};

struct TS_RIG {
    explicit TS_RIG(vsim::SSimulatorOptions options = WriterRunning(0xFF))
        : sim(ESimLink::Uart, options), monitor(OpenMonitor(sim, false)), runs(list, log, host) {
        runs.SetMonitor(monitor.get());
        runs.SetClock([] { return kNow; });
        runs.SetSound([this] { log.AppendLog("<sound>"); });
    }
    std::string Image(const std::string& name, uint32_t address, unsigned seed) {
        return dir.Write(name, M0Text({{address, Pattern(64, seed)}}));
    }
    CSimHarness sim;
    std::unique_ptr<COstraMonitor> monitor;
    CTempDir dir;
    CPathList list;
    CLogRecorder log;
    CInlineHost host;
    CDownloadRuns runs;
};

std::string Block(const std::string& label, const std::string& path) {
    const std::string date = FormatLogDateTime(kNow);
    return "\r\n" + kMarks8 + "  Download information for the " + label + "  " + kMarks8 +
           "\r\n - File path : '" + path + "'" + "\r\n - Start time : " + date + "\r\n";
}

std::string Done() {
    return " - End time : " + FormatLogDateTime(kNow) + "\r\n - Elapsed time : 00:00:00\r\n";
}

std::string Total() {
    return "\r\n" + kMark + " Total elapsed time : 00:00:00\r\n<sound>";
}

} // namespace

TEST(DownloadRunsTest, LabelsAndWriterPaths) {
    const char* labels[] = {"1st file in the above listbox", "2nd file in the above listbox",
                            "3rd file in the above listbox", "4th file in the above listbox",
                            "5th file in the above listbox"};
    for (int row = 0; row < 5; ++row) {
        EXPECT_EQ(FileLabel(row), labels[row]);
    }
    AppSettings settings;
    settings.FlashWriterPath[PORT_UART] = "/w/uart.m0";
    settings.FlashWriterPath[PORT_USB] = "/w/usb.m0";
    EXPECT_EQ(FlashWriterPath(settings), "/w/uart.m0");
    settings.PortConfig.PortType = PORT_USB;
    EXPECT_EQ(FlashWriterPath(settings), "/w/usb.m0");
    settings.PortConfig.PortType = 5;
    EXPECT_EQ(FlashWriterPath(settings), "");
    EXPECT_EQ(FormatSpan(3723), "01:02:03");
}

// Download All over three files, the second refused by the handset (no flash at CS#1): the first
// file's block, the second's header, path, start line and error text, the total line; the third
// file is not tried.
TEST(DownloadRunsTest, AllRunStopsAfterAFailedFile) {
    TS_RIG rig;
    const std::string a = rig.Image("va.m0", 0x00010000, 1);
    const std::string b = rig.Image("vb.m0", 0x04000000, 2);
    const std::string c = rig.Image("vc.m0", 0x00020000, 3);
    rig.list.SetPaths({a, b, c});
    rig.list.SetCurSel(1);
    const TS_RUN_SUMMARY summary = rig.runs.AllRun();
    EXPECT_EQ(rig.log.Text(), Block("1st file in the above listbox", a) + Done() +
                                  Block("2nd file in the above listbox", b) +
                                  " *** Error occurred => code[-30]\r\n" + Total());
    EXPECT_EQ(rig.host.sessions, (std::vector<std::string>{"app:" + a, "app:" + b}));
    EXPECT_EQ(summary.sent, 1);
    EXPECT_EQ(summary.failed, 1);
    EXPECT_EQ(rig.runs.RunOn(), 0);
    EXPECT_EQ(rig.list.GetCurSel(), -1); // no row stays selected
    for (int row = 0; row < 3; ++row) {
        EXPECT_FALSE(rig.list.IsBold(row));
    }
}

// A listed file that no longer opens: its message, and the run goes on with the next file.
TEST(DownloadRunsTest, AllRunSkipsAFileThatDoesNotOpen) {
    TS_RIG rig;
    const std::string a = rig.Image("va.m0", 0x00010000, 1);
    const std::string b = rig.dir.File("vgone.m0");
    const std::string c = rig.Image("vc.m0", 0x00020000, 3);
    rig.list.SetPaths({a, b, c});
    const TS_RUN_SUMMARY summary = rig.runs.AllRun();
    EXPECT_EQ(rig.host.messages,
              (std::vector<std::string>{b + "\r\nCannot open above file.\n\nPlease check again."}));
    EXPECT_EQ(rig.host.errnums, (std::vector<int>{ENOENT}));
    EXPECT_EQ(rig.log.Text(), Block("1st file in the above listbox", a) + Done() +
                                  Block("3rd file in the above listbox", c) + Done() + Total());
    EXPECT_EQ(summary.sent, 2);
    EXPECT_EQ(summary.skipped, 1);
    EXPECT_TRUE(rig.sim.Host().ReadMemory(0x00020000, 64) == Pattern(64, 3));
}

TEST(DownloadRunsTest, SingleRunSendsTheSelectedRow) {
    TS_RIG rig;
    const std::string a = rig.Image("va.m0", 0x00010000, 1);
    const std::string b = rig.Image("vb.m0", 0x00020000, 2);
    rig.list.SetPaths({a, b});
    rig.list.SetCurSel(1);
    const TS_RUN_SUMMARY summary = rig.runs.SingleRun();
    EXPECT_EQ(rig.log.Text(), Block("2nd file in the above listbox", b) + Done() + Total());
    EXPECT_EQ(summary.sent, 1);
    EXPECT_EQ(rig.list.GetCurSel(), 1);
    EXPECT_EQ(rig.runs.RunOn(), 1);
}

// The flash writer: its block, then the sound, the end time, the target status and the elapsed time.
TEST(DownloadRunsTest, FlashWriterDownloadAndItsMissingFile) {
    TS_RIG rig(vsim::SSimulatorOptions{});
    const std::string writer = rig.dir.Write("vwriter.m0", M0Text({{0x20000000, Pattern(300, 1)}}));
    EXPECT_TRUE(rig.runs.FlashWriterDownload(writer));
    EXPECT_EQ(rig.log.Text(), "\r\n" + kMarks8 + "  Download information for the Flash Writer Code " +
                                  kMarks8 + "\r\n - File path : '" + writer +
                                  "'\r\n - Start time : " + FormatLogDateTime(kNow) +
                                  "\r\n<sound> - End time : " + FormatLogDateTime(kNow) + "\r\n\r\n" + kMark +
                                  " Target status : Flash writer is running[UART - 2.1.0]\r\n\r\n" + kMark +
                                  " Elapsed time : 00:00:00\r\n");
    EXPECT_EQ(rig.sim.Host().Runner(), vsim::ERunner::FlashWriter);

    // a writer file that cannot be opened: the message, no download, no log entry
    const std::string logBefore = rig.log.Text();
    EXPECT_FALSE(rig.runs.FlashWriterDownload(""));
    EXPECT_FALSE(rig.runs.FlashWriterDownload(rig.dir.Path())); // a folder is no file
    EXPECT_EQ(
        rig.host.messages,
        (std::vector<std::string>(2, "Cannot open flash writer file.\n\nPlease select an appropriate flash "
                                     "writer file\n\nin global settings dialog.")));
    EXPECT_EQ(rig.host.errnums, (std::vector<int>{0, EISDIR}));
    EXPECT_EQ(rig.log.Text(), logBefore);
}

// ---- driven as the GUI drives it: JobThread, and a UI thread that serves posted requests ----

namespace {

// The UI thread: runs what is posted to it, one request at a time.
class CUiThread {
public:
    CUiThread() : m_thread([this] { Loop(); }) {}
    ~CUiThread() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    void Post(std::function<void()> fn) {
        {
            std::lock_guard lock(m_mutex);
            m_queue.push_back(std::move(fn));
        }
        m_changed.notify_all();
    }
    // Requests wait until Resume (a window busy elsewhere).
    void Hold() {
        std::lock_guard lock(m_mutex);
        m_held = true;
    }

private:
    void Loop() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock lock(m_mutex);
                m_changed.wait(lock, [&] { return m_stop || (!m_held && !m_queue.empty()); });
                if (m_stop) {
                    return;
                }
                fn = std::move(m_queue.front());
                m_queue.pop_front();
            }
            fn();
        }
    }
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_queue;
    bool m_stop = false;
    bool m_held = false;
    std::thread m_thread;
};

struct CGuiHost : IJobThreadHost {
    CGuiHost(CUiThread& ui, CDownloadRuns& runs, std::string writer)
        : ui(ui), runs(runs), writer(std::move(writer)) {}
    void PostFlashWriterDownload() override {
        ui.Post([this] {
            runs.FlashWriterDownload(writer);
            writerDone.Set();
        });
    }
    void ShowRefusal(const std::string& text) override { refusals.push_back(text); }
    CUiThread& ui;
    CDownloadRuns& runs;
    std::string writer;
    platform::ManualResetEvent writerDone;
    std::vector<std::string> refusals;
};

} // namespace

TEST(JobThreadTest, ConnectThenDownloadAllFromTheWorker) {
    TS_RIG rig(vsim::SSimulatorOptions{});
    const std::string writer = rig.dir.Write("vwriter.m0", M0Text({{0x20000000, Pattern(100, 9)}}));
    const std::string a = rig.Image("va.m0", 0x00010000, 1);
    const std::string b = rig.Image("vb.m0", 0x00020000, 2);
    CUiThread ui;
    CGuiHost host(ui, rig.runs, writer);
    rig.runs.SetAppDownloadPoster([&] {
        ui.Post([&] {
            rig.runs.AppFileDownload();
            rig.runs.FileDone();
        });
    });
    CJobThread job(rig.runs, rig.log, host);
    // set when JobThread has finished its second job (the status query, then the run)
    platform::ManualResetEvent jobDone;
    std::atomic<int> jobs{0};
    job.SetJobDoneHook([&] {
        if (++jobs == 2) {
            jobDone.Set();
        }
    });
    ASSERT_TRUE(job.Start());

    // refusals on an empty list and without a selection
    EXPECT_FALSE(job.DownloadAll());
    EXPECT_FALSE(job.DownloadOne());
    EXPECT_EQ(host.refusals,
              (std::vector<std::string>{"No flash files to download!", "No flash file is selected!"}));

    // the boot loader answers: the status query on the worker posts the flash-writer download
    job.Connected();
    ASSERT_EQ(host.writerDone.Wait(std::chrono::seconds(30)), 0);
    EXPECT_EQ(rig.sim.Host().Runner(), vsim::ERunner::FlashWriter);

    rig.list.SetPaths({a, b});
    ASSERT_TRUE(job.DownloadAll());
    ASSERT_EQ(jobDone.Wait(std::chrono::seconds(30)), 0);
    job.Quit();
    const std::string text = rig.log.Text();
    EXPECT_NE(text.find(Block("1st file in the above listbox", a) + Done()), std::string::npos) << text;
    EXPECT_NE(text.find(Block("2nd file in the above listbox", b) + Done() + Total()), std::string::npos)
        << text;
    EXPECT_TRUE(rig.sim.Host().ReadMemory(0x00020000, 64) == Pattern(64, 2));
}

// Closing while JobThread waits for a download the UI thread has not started: Quit ends the run at
// once, and the request that arrives afterwards does nothing.
TEST(JobThreadTest, QuitDuringARunDoesNotHang) {
    TS_RIG rig;
    const std::string a = rig.Image("va.m0", 0x00010000, 1);
    const std::string b = rig.Image("vb.m0", 0x00020000, 2);
    rig.list.SetPaths({a, b});
    CUiThread ui;
    ui.Hold();
    CGuiHost host(ui, rig.runs, "");
    platform::ManualResetEvent posted;
    rig.runs.SetAppDownloadPoster([&] {
        ui.Post([&] {
            rig.runs.AppFileDownload();
            rig.runs.FileDone();
        });
        posted.Set();
    });
    {
        CJobThread job(rig.runs, rig.log, host);
        ASSERT_TRUE(job.Start());
        ASSERT_TRUE(job.DownloadAll());
        ASSERT_EQ(posted.Wait(std::chrono::seconds(30)), 0);
        job.Quit();
    }
    EXPECT_TRUE(rig.runs.RunCancelled());
    EXPECT_FALSE(rig.runs.AppFileDownload()); // the late request
    EXPECT_TRUE(rig.host.sessions.empty());
    EXPECT_EQ(rig.log.Text(), Total());
}
