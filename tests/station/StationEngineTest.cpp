// The station engine with several virtual handsets at once: all succeed, one fails while the
// others succeed, one is unplugged in the middle, the watch loop takes one handset after another
// on the same port, a stop ends every port, and a port given twice is found.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
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
    };
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
        At(port, [&](TS_PORT_RECORD& r) { r.ends.push_back(result); });
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
        CStationEngine station(fleet.job, fleet.ports, recorder);
        station.Start(false);
        station.Wait();
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
