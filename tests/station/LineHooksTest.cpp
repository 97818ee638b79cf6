// The station engine with a production line's hooks (station/LineHooks.h), on fake sources and
// recorders: the handset's data patched into an image's data or written after the images, both
// verified; the flash parts and the data field known before anything is erased; a refusal of
// the data source fails the handset before any erase; a recorder that cannot begin an attempt
// leaves the handset untouched and stops every port.
#include <gtest/gtest.h>

#include <mutex>

#include "SimHarness.h"
#include "station/LineHooks.h"
#include "station/StationEngine.h"

using testsupport::CSimHarness;
using testsupport::ESimLink;

namespace {

const std::string kSamples = std::string(VANDREL_SOURCE_DIR) + "/samples";

class CQuietObserver final : public IStationObserver {
public:
    void OnBegin(int, const std::string&) override {}
    void OnPhase(int, TE_STATION_PHASE) override {}
    void OnProgress(int, uint64_t, uint64_t) override {}
    void OnLog(int, const std::string&) override {}
    void OnEnd(int, const TS_STATION_RESULT&) override {}
};

class CFakeLine final : public IHandsetDataSource, public IAttemptRecorder {
public:
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
    bool refuse = false;    // TakeData says no
    bool failBegin = false; // BeginAttempt says no
    bool failEnd = false;   // EndAttempt says no
    std::mutex mutex;
    std::vector<TS_HANDSET_FACTS> facts;
    std::vector<TS_ATTEMPT_OUTCOME> outcomes;

    uint32_t FieldAddress() const override { return address; }
    std::size_t FieldLength() const override { return bytes.size(); }
    bool TakeData(int64_t, const TS_HANDSET_FACTS& f, TS_HANDSET_DATA& data, TE_STATION_ERROR& error,
                  std::string& reason) override {
        std::lock_guard lock(mutex);
        facts.push_back(f);
        if (refuse) {
            error = STATION_ERR_FLASH_ID;
            reason = "the handset's CS#0 holds another part";
            return false;
        }
        data.Present = true;
        data.Address = address;
        data.Bytes = bytes;
        data.Text = "S1";
        return true;
    }
    bool BeginAttempt(int, const std::string&, const std::string&, int64_t& attempt,
                      std::string& reason) override {
        if (failBegin) {
            reason = "disk full";
            return false;
        }
        attempt = 7;
        return true;
    }
    bool EndAttempt(int64_t attempt, const TS_ATTEMPT_OUTCOME& outcome, std::string& reason) override {
        std::lock_guard lock(mutex);
        EXPECT_EQ(attempt, 7);
        outcomes.push_back(outcome);
        if (failEnd) {
            reason = "the server went away";
            return false;
        }
        return true;
    }
};

TS_STATION_RESULT RunOne(CSimHarness& sim, CFakeLine& line, bool* stopped = nullptr) {
    TS_STATION_JOB job;
    job.Files = {kSamples + "/vmain.m0", kSamples + "/vdrive.m0"};
    job.WriterPath = kSamples + "/vwriter.m0";
    job.Verify = true;
    CQuietObserver observer;
    CStationEngine station(job, {StationUartPort(sim.Path(), 12)}, observer);
    station.SetLineHooks({&line, &line});
    station.Start(false);
    station.Wait();
    if (stopped) {
        *stopped = station.StopRequested();
    }
    return station.LastResult(0);
}

} // namespace

TEST(LineHooks, DataInsideAnImageOrAfterTheImagesIsWrittenAndVerified) {
    const struct {
        const char* name;
        uint32_t address;
    } cases[] = {
        {"inside vmain.m0's data", 0x00010003},
        {"straddling the end of vmain.m0's data", 0x0001DFFC}, // its data ends at 0x0001E000
        {"after the images, in the erased main area", 0x0037F000},
    };
    for (const auto& c : cases) {
        CSimHarness sim(ESimLink::Uart);
        CFakeLine line;
        line.address = c.address;
        line.bytes = {'R', '3', '7', '0', '0', '-', '4', '2'};
        const TS_STATION_RESULT result = RunOne(sim, line);
        EXPECT_TRUE(result.Ok) << c.name << ": " << result.Message;
        EXPECT_EQ(sim.Host().ReadMemory(c.address, 8), line.bytes) << c.name;
        ASSERT_EQ(line.facts.size(), 1u);
        EXPECT_TRUE(line.facts[0].FieldRead);
        EXPECT_EQ(line.facts[0].Field, std::vector<uint8_t>(8, 0xFF)) << c.name; // read before the erase
        EXPECT_EQ(line.facts[0].FlashParts[0], 19);
        EXPECT_EQ(line.facts[0].FlashParts[2], 18);
        ASSERT_EQ(line.outcomes.size(), 1u);
        EXPECT_EQ(line.outcomes[0].Verify, "passed");
        EXPECT_NE(line.outcomes[0].Log.find("Serial : S1"), std::string::npos);
        EXPECT_EQ(line.outcomes[0].Files.size(), 3u); // the writer, two images
        // the programs that answered, from the connect sequence's typed reports
        EXPECT_EQ(line.outcomes[0].Facts.Runners,
                  "Boot loader is running[UART - 1.0.0]; Flash writer is running[UART - 2.1.0]");
    }
}

TEST(LineHooks, RefusalsComeBeforeAnythingIsErased) {
    for (const bool beginFails : {false, true}) {
        CSimHarness sim(ESimLink::Uart);
        CFakeLine line;
        line.address = 0x0037F000;
        line.bytes = {1, 2, 3, 4};
        line.refuse = !beginFails;
        line.failBegin = beginFails;
        const TS_STATION_RESULT result = RunOne(sim, line);
        EXPECT_FALSE(result.Ok);
        EXPECT_EQ(result.Error, beginFails ? STATION_ERR_RECORD : STATION_ERR_FLASH_ID) << result.Message;
        EXPECT_EQ(sim.Host().ReadMemory(0x00006000, 4),
                  std::vector<uint8_t>(4, 0xFF)); // nothing erased or written
        if (beginFails) {
            EXPECT_EQ(sim.Host().Handset().CommandCount(), 0u); // the handset was not even asked
        }
        EXPECT_EQ(line.outcomes.size(), beginFails ? 0u : 1u);
    }
}

// A handset flashed in full whose record cannot be completed does not count as good, and the
// station stops: the next handset would have no record either.
TEST(LineHooks, ARecordThatCannotBeCompletedStopsTheStation) {
    CSimHarness sim(ESimLink::Uart);
    CFakeLine line;
    line.address = 0x0037F000;
    line.bytes = {1, 2, 3, 4};
    line.failEnd = true;
    bool stopped = false;
    const TS_STATION_RESULT result = RunOne(sim, line, &stopped);
    EXPECT_FALSE(result.Ok);
    EXPECT_EQ(result.Error, STATION_ERR_RECORD);
    EXPECT_NE(result.Message.find("the server went away"), std::string::npos) << result.Message;
    EXPECT_TRUE(stopped);
}
