// The station engine with a production line's hooks (station/LineHooks.h), on fake sources and
// recorders: the handset's data patched into an image's data or written after the images, both
// verified; the flash parts and the data field known before anything is erased; a refusal of
// the data source fails the handset before any erase; a store that cannot be written holds the
// handset (untouched before its record is open) until the store is back, and a handset whose
// record is not written never counts as passed.
#include <gtest/gtest.h>

#include <functional>
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
    std::vector<TE_STATION_STORE> storeStates;
    std::function<void()> onUnreachable;
    void OnBegin(int, const std::string&) override {}
    void OnPhase(int, TE_STATION_PHASE) override {}
    void OnProgress(int, uint64_t, uint64_t) override {}
    void OnLog(int, const std::string&) override {}
    void OnEnd(int, const TS_STATION_RESULT&) override {}
    void OnStoreState(TE_STATION_STORE state, const std::string& reason) override {
        storeStates.push_back(state);
        EXPECT_EQ(reason.empty(), state == STATION_STORE_OK) << reason;
        if (state == STATION_STORE_UNREACHABLE && onUnreachable) {
            onUnreachable();
        }
    }
};

class CFakeLine final : public IHandsetDataSource, public IAttemptRecorder {
public:
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
    bool refuse = false; // TakeData says no
    // the store cannot be written: so many times in a row (-1: for good) at each step
    int failBegin = 0;
    int failTake = 0;
    int failEnd = 0;
    std::mutex mutex;
    std::vector<TS_HANDSET_FACTS> facts;
    std::vector<TS_ATTEMPT_OUTCOME> outcomes;

    uint32_t FieldAddress() const override { return address; }
    std::size_t FieldLength() const override { return bytes.size(); }
    bool TakeData(int64_t, const TS_HANDSET_FACTS& f, TS_HANDSET_DATA& data, TE_STATION_ERROR& error,
                  std::string& reason) override {
        std::lock_guard lock(mutex);
        facts.push_back(f);
        if (failTake != 0) {
            failTake -= failTake > 0 ? 1 : 0;
            error = STATION_ERR_RECORD;
            reason = "the server went away";
            return false;
        }
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
        if (failBegin != 0) {
            failBegin -= failBegin > 0 ? 1 : 0;
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
        if (failEnd != 0) {
            failEnd -= failEnd > 0 ? 1 : 0;
            reason = "the server went away";
            return false;
        }
        return true;
    }
};

// stopWhenUnreachable: the station is stopped as soon as it says it waits for its store.
TS_STATION_RESULT RunOne(CSimHarness& sim, CFakeLine& line,
                         std::vector<TE_STATION_STORE>* storeStates = nullptr,
                         bool stopWhenUnreachable = false) {
    TS_STATION_JOB job;
    job.Files = {kSamples + "/vmain.m0", kSamples + "/vdrive.m0"};
    job.WriterPath = kSamples + "/vwriter.m0";
    job.Verify = true;
    CQuietObserver observer;
    CStationEngine station(job, {StationUartPort(sim.Path(), 12)}, observer);
    if (stopWhenUnreachable) {
        observer.onUnreachable = [&station] { station.StopAll(); };
    }
    station.SetLineHooks({&line, &line});
    station.SetStoreRetry(std::chrono::milliseconds(20));
    station.Start(false);
    station.Wait();
    if (storeStates) {
        *storeStates = observer.storeStates;
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
    CSimHarness sim(ESimLink::Uart);
    CFakeLine line;
    line.address = 0x0037F000;
    line.bytes = {1, 2, 3, 4};
    line.refuse = true;
    const TS_STATION_RESULT result = RunOne(sim, line);
    EXPECT_FALSE(result.Ok);
    EXPECT_EQ(result.Error, STATION_ERR_FLASH_ID) << result.Message;
    EXPECT_EQ(sim.Host().ReadMemory(0x00006000, 4), std::vector<uint8_t>(4, 0xFF)); // nothing erased
    EXPECT_EQ(line.outcomes.size(), 1u);
}

// A store that cannot be written at the attempt's begin, at its serial or at its end: the station
// says it waits, the handset waits (untouched before its record is open, nothing erased before
// its serial is taken), and the station goes on by itself once the store is back. Stopped while
// it waits, the handset fails as "record" and never counts as passed.
TEST(LineHooks, AStoreThatCannotBeWrittenHoldsTheHandsetUntilItIsBack) {
    const struct {
        const char* name;
        int failBegin, failTake, failEnd;
        bool ok;
        bool flashed;       // the images went to the handset
        std::size_t ends;   // EndAttempt calls
        const char* reason; // in the failure's message
        bool back;          // the station said the store was back (the failed attempt's end written)
    } cases[] = {
        {"begin, twice", 2, 0, 0, true, true, 1, "", true},
        {"serial, twice", 0, 2, 0, true, true, 1, "", true},
        {"end, twice", 0, 0, 2, true, true, 3, "", true},
        {"begin, for good", -1, 0, 0, false, false, 0, "the handset was not touched: disk full", false},
        {"serial, for good", 0, -1, 0, false, false, 1, "nothing was erased: the server went away", true},
        {"end, for good", 0, 0, -1, false, true, 1, "does not count as passed: the server went away", false},
    };
    for (const auto& c : cases) {
        CSimHarness sim(ESimLink::Uart);
        CFakeLine line;
        line.address = 0x0037F000;
        line.bytes = {1, 2, 3, 4};
        line.failBegin = c.failBegin;
        line.failTake = c.failTake;
        line.failEnd = c.failEnd;
        std::vector<TE_STATION_STORE> states;
        const bool forGood = c.failBegin < 0 || c.failTake < 0 || c.failEnd < 0;
        const TS_STATION_RESULT result = RunOne(sim, line, &states, forGood);
        EXPECT_EQ(result.Ok, c.ok) << c.name << ": " << result.Message;
        if (!c.ok) {
            EXPECT_EQ(result.Error, STATION_ERR_RECORD) << c.name;
            EXPECT_NE(result.Message.find(c.reason), std::string::npos) << c.name << ": " << result.Message;
        }
        EXPECT_EQ(sim.Host().ReadMemory(0x00006000, 4) != std::vector<uint8_t>(4, 0xFF), c.flashed) << c.name;
        if (c.failBegin < 0) {
            EXPECT_EQ(sim.Host().Handset().CommandCount(), 0u) << c.name; // not even asked
        }
        EXPECT_EQ(line.outcomes.size(), c.ends) << c.name;
        const std::vector<TE_STATION_STORE> said =
            c.back ? std::vector<TE_STATION_STORE>{STATION_STORE_UNREACHABLE, STATION_STORE_OK}
                   : std::vector<TE_STATION_STORE>{STATION_STORE_UNREACHABLE};
        EXPECT_EQ(states, said) << c.name; // once per change, however many tries
    }
}
