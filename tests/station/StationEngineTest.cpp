// The station engine with several virtual handsets at once: all succeed, one fails while the
// others succeed, one is unplugged in the middle, the watch loop takes one handset after another
// on the same port, a stop ends every port, and a port given twice is found.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "SimHarness.h"
#include "TempDir.h"
#include "station/StationEngine.h"

using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

const std::string kSamples = std::string(VANDREL_SOURCE_DIR) + "/samples";

// What the observer saw, per port.
class CRecorder final : public IStationObserver {
public:
    struct TS_PORT_RECORD {
        int begins = 0;
        std::vector<std::string> phases;
        uint64_t lastDone = 0;
        uint64_t lastTotal = 0;
        std::string log;
        std::vector<TS_STATION_RESULT> ends;
        int waits = 0;
        std::vector<std::string> refusals;
        std::vector<TE_STATION_PORT_STATE> states;
        std::vector<std::pair<ino_t, int64_t>> preparedAtEnd; // the .cp64's inode and mtime at each end
    };
    // watched: a prepared file whose inode and mtime each end records
    std::string watched;
    void OnBegin(int port, const std::string&) override {
        At(port, [](TS_PORT_RECORD& r) { ++r.begins; });
    }
    void OnPhase(int port, TE_STATION_PHASE phase) override {
        At(port, [phase](TS_PORT_RECORD& r) {
            if (r.phases.empty() || r.phases.back() != StationPhaseName(phase)) {
                r.phases.push_back(StationPhaseName(phase));
            }
        });
    }
    void OnProgress(int port, uint64_t done, uint64_t total) override {
        At(port, [=](TS_PORT_RECORD& r) {
            r.lastDone = done;
            r.lastTotal = total;
        });
    }
    void OnLog(int port, const std::string& text) override {
        At(port, [&](TS_PORT_RECORD& r) { r.log += text; });
    }
    void OnEnd(int port, const TS_STATION_RESULT& result) override {
        struct stat st {};
        const bool seen = !watched.empty() && ::stat(watched.c_str(), &st) == 0;
        At(port, [&](TS_PORT_RECORD& r) {
            r.ends.push_back(result);
            if (seen) {
                r.preparedAtEnd.emplace_back(st.st_ino,
                                             int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec);
            }
        });
    }
    void OnRefused(int port, const std::string& reason) override {
        At(port, [&](TS_PORT_RECORD& r) { r.refusals.push_back(reason); });
    }
    void OnPortState(int port, TE_STATION_PORT_STATE state) override {
        At(port, [state](TS_PORT_RECORD& r) { r.states.push_back(state); });
    }
    void OnWaiting(int port, bool away) override {
        At(port, [away](TS_PORT_RECORD& r) { r.waits += away ? 0 : 1; });
    }
    TS_PORT_RECORD Port(int port) {
        std::lock_guard lock(m_mutex);
        return m_ports[port];
    }

private:
    template <typename F>
    void At(int port, F f) {
        std::lock_guard lock(m_mutex);
        f(m_ports[port]);
    }
    std::mutex m_mutex;
    std::map<int, TS_PORT_RECORD> m_ports;
};

struct TS_HANDSET_SETUP {
    ESimLink link;
    bool fault; // a bit flips in flash: the verify finds it
};

struct TS_FLEET {
    CTempDir dir;
    std::vector<std::unique_ptr<CSimHarness>> sims;
    std::vector<TS_STATION_PORT> ports;
    TS_STATION_JOB job;

    explicit TS_FLEET(const std::vector<TS_HANDSET_SETUP>& setups) {
        for (const char* name : {"vwriter.m0", "vmain.m0"}) {
            std::filesystem::copy_file(kSamples + "/" + name, dir.File(name));
        }
        job.Command = STATION_DOWNLOAD;
        job.Files = {dir.File("vmain.m0")};
        job.WriterPath = dir.File("vwriter.m0");
        job.Verify = true;
        job.WaitSeconds = 20;
        for (const TS_HANDSET_SETUP& setup : setups) {
            auto sim = std::make_unique<CSimHarness>(setup.link);
            if (setup.fault) {
                sim->Host().SetFault(vsim::EFault::BitFlip, {.after = 2, .times = 1});
            }
            ports.push_back(setup.link == ESimLink::Usb ? StationUsbPort(sim->Path())
                                                        : StationUartPort(sim->Path(), 12));
            sims.push_back(std::move(sim));
        }
    }
};

TEST(StationEngine, RunsEveryPortAtOnceAndOneFailureStopsNoOther) {
    struct TS_CASE {
        const char* name;
        std::vector<TS_HANDSET_SETUP> handsets;
        int succeeded;
        int failed;
    };
    const std::vector<TS_CASE> cases = {
        {"four succeed",
         {{ESimLink::Uart, false}, {ESimLink::Usb, false}, {ESimLink::Uart, false}, {ESimLink::Usb, false}},
         4,
         0},
        {"one of four fails verify",
         {{ESimLink::Uart, false}, {ESimLink::Uart, true}, {ESimLink::Usb, false}, {ESimLink::Uart, false}},
         3,
         1},
    };
    for (const TS_CASE& c : cases) {
        SCOPED_TRACE(c.name);
        TS_FLEET fleet(c.handsets);
        CRecorder recorder;
        recorder.watched = fleet.dir.File("vmain.cp64");
        CStationEngine station(fleet.job, fleet.ports, recorder);
        station.Start(false);
        station.Wait();
        // each image (the writer and vmain.m0) was compressed once, and no port rewrote the
        // .cp64 that the others send and verify
        EXPECT_EQ(station.Compressions(), 2);
        std::vector<std::pair<ino_t, int64_t>> prepared;
        for (int k = 0; k < station.PortCount(); ++k) {
            const auto seen = recorder.Port(k).preparedAtEnd;
            prepared.insert(prepared.end(), seen.begin(), seen.end());
        }
        ASSERT_EQ(prepared.size(), c.handsets.size());
        for (const auto& p : prepared) {
            EXPECT_EQ(p, prepared.front());
        }
        const TS_STATION_TALLY tally = station.Tally();
        EXPECT_EQ(tally.Succeeded, c.succeeded);
        EXPECT_EQ(tally.Failed, c.failed);
        EXPECT_EQ(tally.Running, 0);
        for (int k = 0; k < station.PortCount(); ++k) {
            const auto record = recorder.Port(k);
            ASSERT_EQ(record.ends.size(), 1u);
            const TS_STATION_RESULT& end = record.ends[0];
            EXPECT_EQ(record.begins, 1);
            if (c.handsets[static_cast<std::size_t>(k)].fault) {
                EXPECT_FALSE(end.Ok);
                EXPECT_EQ(end.Error, STATION_ERR_VERIFY) << end.Message;
                EXPECT_NE(end.Message.find("vmain.m0"), std::string::npos) << end.Message;
            } else {
                EXPECT_TRUE(end.Ok) << end.Message;
                EXPECT_EQ(end.Summary, "1 file sent after the flash writer, verified 98304 bytes");
                EXPECT_EQ(end.Bytes, 98304u);
                const std::vector<std::string> phases = {"connect", "writer",  "compress",
                                                         "erase",   "program", "verify"};
                EXPECT_EQ(record.phases, phases);
                EXPECT_EQ(record.lastDone, record.lastTotal);
                EXPECT_NE(record.log.find("Target is ready"), std::string::npos);
            }
        }
    }
}

TEST(StationEngine, AHandsetUnpluggedInTheMiddleFailsAloneAndStopEndsEveryPort) {
    TS_FLEET fleet({{ESimLink::Uart, false}, {ESimLink::Usb, false}});
    fleet.sims[0]->Host().SetFault(vsim::EFault::HangUp, {.after = 2, .times = 1});
    CRecorder recorder;
    {
        CStationEngine station(fleet.job, fleet.ports, recorder);
        station.Start(false);
        station.Wait();
        EXPECT_EQ(station.LastResult(0).Error, STATION_ERR_DISCONNECTED) << station.LastResult(0).Message;
        EXPECT_TRUE(station.LastResult(1).Ok) << station.LastResult(1).Message;
    }
    // stopped while every port waits for an answer that never comes
    for (auto& sim : fleet.sims) {
        sim->Host().SetFault(vsim::EFault::DropReply, {.after = 0, .times = 1000000});
    }
    fleet.job.WaitSeconds = 0;
    CRecorder stopped;
    CStationEngine station(fleet.job, fleet.ports, stopped);
    station.Start(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    station.StopAll();
    station.Wait();
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(station.LastResult(k).Error, STATION_ERR_STOPPED) << station.LastResult(k).Message;
    }
}

TEST(StationEngine, WatchTakesOneHandsetAfterAnotherOnTheSamePort) {
    TS_FLEET fleet({});
    const std::string fixture = fleet.dir.File("fixture");
    fleet.ports = {StationUartPort(fixture, 12, "bed1")};
    CRecorder recorder;
    CStationEngine station(fleet.job, fleet.ports, recorder);
    station.Start(true);
    const auto waitForEnds = [&](std::size_t count) {
        for (int k = 0; k < 600 && recorder.Port(0).ends.size() < count; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return recorder.Port(0).ends.size();
    };
    for (int handset = 1; handset <= 2; ++handset) {
        CSimHarness sim(ESimLink::Uart);
        std::filesystem::create_symlink(sim.Path(), fixture);
        ASSERT_EQ(waitForEnds(static_cast<std::size_t>(handset)), static_cast<std::size_t>(handset));
        EXPECT_TRUE(recorder.Port(0).ends.back().Ok) << recorder.Port(0).ends.back().Message;
        EXPECT_EQ(sim.Host().ReadMemory(0x00006000, 4).size(), 4u);
        std::filesystem::remove(fixture); // the handset goes away
    }
    station.StopAll();
    station.Wait();
    const TS_STATION_TALLY tally = station.Tally();
    EXPECT_EQ(tally.Succeeded, 2);
    EXPECT_EQ(tally.Failed, 0);
    EXPECT_EQ(recorder.Port(0).begins, 2);
}

// Waits (generously: the machine is loaded) until a port has ended count jobs.
std::size_t WaitForEnds(CRecorder& recorder, int port, std::size_t count, int seconds = 40) {
    for (int k = 0; k < seconds * 20 && recorder.Port(port).ends.size() < count; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return recorder.Port(port).ends.size();
}

TEST(StationEngine, WatchLooksForTheDeviceAgainWhenTheLinkIsLostWhileWaiting) {
    for (const ESimLink link : {ESimLink::Uart, ESimLink::Usb}) {
        SCOPED_TRACE(link == ESimLink::Uart ? "pty" : "USB socket");
        TS_FLEET fleet({});
        const std::string fixture = fleet.dir.File("fixture");
        fleet.ports = {link == ESimLink::Usb ? StationUsbPort(fixture, "bed1")
                                             : StationUartPort(fixture, 12, "bed1")};
        CRecorder recorder;
        CStationEngine station(fleet.job, fleet.ports, recorder);
        station.Start(true);
        {
            // a handset that never answers, then pulled: the link is lost while the port waits
            CSimHarness silent(link);
            silent.Host().SetFault(vsim::EFault::DropReply, {.after = 0, .times = 1000000});
            std::filesystem::create_symlink(silent.Path(), fixture);
            // the port has opened it and asks
            for (int k = 0; k < 400 && silent.Host().Snapshot().commands.empty(); ++k) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            ASSERT_FALSE(silent.Host().Snapshot().commands.empty());
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            std::filesystem::remove(fixture);
        }
        CSimHarness good(link);
        std::filesystem::create_symlink(good.Path(), fixture);
        ASSERT_EQ(WaitForEnds(recorder, 0, 1), 1u);
        EXPECT_TRUE(recorder.Port(0).ends[0].Ok) << recorder.Port(0).ends[0].Message;
        EXPECT_EQ(good.Host().ReadMemory(0x00006000, 4).size(), 4u);
        station.StopAll();
        station.Wait();
        EXPECT_EQ(recorder.Port(0).states.back(), STATION_PORT_ENDED);
    }
}

TEST(StationEngine, ARefusedPortSaysWhyOncePerReason) {
    TS_FLEET fleet({});
    const std::string fixture = fleet.dir.File("fixture");
    fleet.ports = {StationUartPort(fixture, 12, "bed1")};
    CRecorder recorder;
    CStationEngine station(fleet.job, fleet.ports, recorder);
    station.Start(true);
    // each stays for several retries (every 200 ms): each reason is said once all the same
    struct TS_STEP {
        const char* what;
        std::string said; // the start of the reason
    };
    const std::vector<TS_STEP> steps = {
        {"nothing", "no device at " + fixture},
        {"a folder", "cannot open " + fixture + ": "},
        {"nothing", "no device at " + fixture},
    };
    for (std::size_t k = 0; k < steps.size(); ++k) {
        SCOPED_TRACE(k);
        if (std::string(steps[k].what) == "a folder") {
            std::filesystem::create_directory(fixture);
        } else {
            std::filesystem::remove(fixture);
        }
        for (int wait = 0; wait < 400 && recorder.Port(0).refusals.size() <= k; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        const auto refusals = recorder.Port(0).refusals;
        ASSERT_EQ(refusals.size(), k + 1) << refusals.back();
        EXPECT_EQ(refusals[k].rfind(steps[k].said, 0), 0u) << refusals[k];
    }
    EXPECT_TRUE(recorder.Port(0).ends.empty()); // a refusal is no row
    {
        // a handset seated, flashed, taken away: the port opened, so the same reason is said again
        CSimHarness sim(ESimLink::Uart);
        std::filesystem::create_symlink(sim.Path(), fixture);
        ASSERT_EQ(WaitForEnds(recorder, 0, 1), 1u);
        std::filesystem::remove(fixture);
    }
    for (int wait = 0; wait < 400 && recorder.Port(0).refusals.size() < 4; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    station.StopAll();
    station.Wait();
    const auto refusals = recorder.Port(0).refusals;
    ASSERT_EQ(refusals.size(), 4u);
    EXPECT_EQ(refusals[3], "no device at " + fixture);
}

TEST(StationEngine, WatchCountsEachHandsetOnce) {
    // A handset that answers "download not possible" is one failed row; a seated handset that
    // loses every fourth reply to the runner query (the removal poll) is flashed once.
    struct TS_CASE {
        const char* name;
        ESimLink link;
        vsim::EFault fault;
        vsim::SFaultSpec rule;
        std::size_t handsets; // one after another on the port
        TE_STATION_ERROR error;
    };
    const vsim::SFaultSpec notPossible{.after = 0, .times = 1000000, .value = 1};
    const vsim::SFaultSpec everyFourth{
        .after = 3, .times = 1000000, .cid = vsim::cmd::QueryTargetRunner, .every = 4};
    const std::vector<TS_CASE> cases = {
        {"every fourth runner reply lost", ESimLink::Uart, vsim::EFault::DropReply, everyFourth, 1,
         STATION_OK},
        {"every fourth runner reply lost over USB", ESimLink::Usb, vsim::EFault::DropReply, everyFourth, 1,
         STATION_OK},
        {"not possible, two handsets", ESimLink::Uart, vsim::EFault::FlashWriteAnswer, notPossible, 2,
         STATION_ERR_NOT_POSSIBLE},
    };
    for (const TS_CASE& c : cases) {
        SCOPED_TRACE(c.name);
        TS_FLEET fleet({});
        const std::string fixture = fleet.dir.File("fixture");
        fleet.ports = {c.link == ESimLink::Usb ? StationUsbPort(fixture, "bed1")
                                               : StationUartPort(fixture, 12, "bed1")};
        CRecorder recorder;
        CStationEngine station(fleet.job, fleet.ports, recorder);
        station.Start(true);
        for (std::size_t handset = 1; handset <= c.handsets; ++handset) {
            CSimHarness sim(c.link);
            sim.Host().SetFault(c.fault, c.rule);
            std::filesystem::create_symlink(sim.Path(), fixture);
            if (WaitForEnds(recorder, 0, handset) < handset) {
                ADD_FAILURE() << "handset " << handset << " has no row";
                break;
            }
            // seated for a while longer: several removal polls, some of them failed
            std::this_thread::sleep_for(std::chrono::seconds(5));
            const auto ends = recorder.Port(0).ends;
            EXPECT_EQ(ends.size(), handset);
            EXPECT_EQ(ends.back().Error, c.error) << ends.back().Message;
            std::filesystem::remove(fixture); // taken away
            // until the port has seen it go (the next one must not find this one's link)
            for (int k = 0; k < 400 && recorder.Port(0).waits <= static_cast<int>(handset); ++k) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        station.StopAll();
        station.Wait();
        const TS_STATION_TALLY tally = station.Tally();
        EXPECT_EQ(tally.Succeeded + tally.Failed, static_cast<int>(c.handsets));
        EXPECT_EQ(recorder.Port(0).begins, static_cast<int>(c.handsets));
    }
}

TEST(StationEngine, APortWhoseThreadFailsIsAFailedRowAndTheOthersFinish) {
    TS_FLEET fleet({{ESimLink::Uart, false}});
    struct TS_CASE {
        std::function<void()> raise;
        std::string named;
    };
    const std::vector<TS_CASE> cases = {
        {[] { throw std::bad_alloc(); }, "out of memory (std::bad_alloc)"},
        {[] {
             throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                     "thread");
         },
         "system error: thread"},
        {[] { throw 42; }, "an unknown exception"},
    };
    for (std::size_t k = 0; k < cases.size(); ++k) {
        fleet.ports.push_back(StationUartPort(fleet.dir.File("bed" + std::to_string(k)), 12));
    }
    CRecorder recorder;
    CStationEngine station(fleet.job, fleet.ports, recorder);
    station.SetJobHook([&cases](int port) {
        if (port > 0) {
            cases[static_cast<std::size_t>(port - 1)].raise();
        }
    });
    station.Start(false);
    station.Wait();
    EXPECT_TRUE(station.LastResult(0).Ok) << station.LastResult(0).Message;
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const auto record = recorder.Port(static_cast<int>(k + 1));
        ASSERT_EQ(record.ends.size(), 1u);
        EXPECT_EQ(record.begins, 1);
        EXPECT_EQ(record.ends[0].Error, STATION_ERR_INTERNAL);
        EXPECT_NE(record.ends[0].Message.find(cases[k].named), std::string::npos) << record.ends[0].Message;
    }
    const TS_STATION_TALLY tally = station.Tally();
    EXPECT_EQ(tally.Succeeded, 1);
    EXPECT_EQ(tally.Failed, 3);
    EXPECT_EQ(tally.Running, 0);
}

TEST(StationEngine, AFileWithoutAnEndRecordSucceedsWithANote) {
    struct TS_CASE {
        bool endRecord;
    };
    for (const TS_CASE c : {TS_CASE{true}, TS_CASE{false}}) {
        SCOPED_TRACE(c.endRecord ? "with S7" : "without S7");
        TS_FLEET fleet({{ESimLink::Uart, false}});
        const std::string image = fleet.dir.File("cut.m0");
        {
            std::ifstream in(kSamples + "/vmain.m0");
            std::ofstream out(image);
            for (std::string line; std::getline(in, line);) {
                if (c.endRecord || line.rfind("S7", 0) != 0) {
                    out << line << "\n";
                }
            }
        }
        fleet.job.Files = {image};
        CRecorder recorder;
        CStationEngine station(fleet.job, fleet.ports, recorder);
        station.Start(false);
        station.Wait();
        const TS_STATION_RESULT result = station.LastResult(0);
        EXPECT_TRUE(result.Ok) << result.Message;
        EXPECT_EQ(result.NoEndRecord,
                  c.endRecord ? std::vector<std::string>{} : std::vector<std::string>{image});
        EXPECT_EQ(recorder.Port(0).log.find(STATION_NO_END_RECORD) != std::string::npos, !c.endRecord);
    }
}

TEST(StationEngine, APortGivenTwiceIsFound) {
    CTempDir dir;
    const std::string tty = dir.File("tty");
    { std::ofstream(tty.c_str()); }
    std::filesystem::create_symlink(tty, dir.File("by-id"));
    struct TS_CASE {
        std::vector<TS_STATION_PORT> ports;
        std::string repeated;
    };
    const std::vector<TS_CASE> cases = {
        {{StationUartPort(tty, 12), StationUsbPort(dir.File("csr0"))}, ""},
        {{StationUartPort(tty, 12), StationUartPort(tty, 12)}, tty},
        {{StationUartPort(tty, 12), StationUartPort(dir.File("by-id"), 12)}, dir.File("by-id")},
    };
    for (const TS_CASE& c : cases) {
        EXPECT_EQ(CStationEngine::RepeatedPort(c.ports), c.repeated);
    }
}

} // namespace
