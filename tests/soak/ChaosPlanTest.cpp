// The station chaos run's plan (tests/support/ChaosPlan.h, used by bench/station/station_chaos):
// a seed repeats a run's handsets port by port, ports and seeds differ, every fate and fault comes
// up, and a USB port is never planned a corrupted checksum (its link has none).
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "ChaosPlan.h"

namespace {

std::vector<std::string> Draw(uint64_t seed, int port, bool usb, int count) {
    chaos::CChaosPlan plan(seed, port, usb);
    std::vector<std::string> handsets;
    for (int k = 0; k < count; ++k) {
        handsets.push_back(chaos::DescribeHandset(plan.Next()));
    }
    return handsets;
}

TEST(ChaosPlan, ASeedRepeatsEveryPortsHandsetsAndPortsAndSeedsDiffer) {
    struct TS_CASE {
        uint64_t seed;
        int port;
        bool usb;
    };
    const TS_CASE cases[] = {{1, 0, false}, {1, 1, false}, {1, 15, true}, {2, 0, false}, {0, 0, false}};
    std::set<std::vector<std::string>> seen;
    for (const TS_CASE& c : cases) {
        const auto first = Draw(c.seed, c.port, c.usb, 200);
        EXPECT_EQ(first, Draw(c.seed, c.port, c.usb, 200)) << "seed " << c.seed << " port " << c.port;
        EXPECT_TRUE(seen.insert(first).second)
            << "seed " << c.seed << " port " << c.port << " repeats another";
        // no port's handsets are another's shifted by a few
        for (const auto& other : seen) {
            if (other != first) {
                EXPECT_NE(std::vector<std::string>(first.begin() + 1, first.end()),
                          std::vector<std::string>(other.begin(), other.end() - 1));
            }
        }
    }
}

TEST(ChaosPlan, EveryFateAndFaultComesUpAndUsbIsNeverCorrupted) {
    for (const bool usb : {false, true}) {
        chaos::CChaosPlan plan(7, 3, usb);
        std::map<chaos::TE_CHAOS_FATE, int> fates;
        int late = 0, lost = 0, garbage = 0, queries = 0, corrupt = 0;
        const int draws = 2000;
        for (int k = 0; k < draws; ++k) {
            const chaos::TS_CHAOS_HANDSET h = plan.Next();
            EXPECT_EQ(h.Serial, static_cast<uint64_t>(k));
            ++fates[h.Fate];
            late += h.LateConnectMs || h.LateRunnerMs ? 1 : 0;
            lost += h.LostPolls ? 1 : 0;
            garbage += h.GarbageTimes ? 1 : 0;
            queries += h.LostQueries ? 1 : 0;
            corrupt += h.CorruptQueries ? 1 : 0;
            EXPECT_TRUE(h.LateConnectMs == 0 || (h.LateConnectMs >= 40 && h.LateConnectMs <= 150));
            EXPECT_LE(h.LateRunnerMs, 1800u);
        }
        EXPECT_NEAR(fates[chaos::CHAOS_NORMAL], draws * 62 / 100, draws / 20);
        for (const auto fate : {chaos::CHAOS_REFUSED, chaos::CHAOS_UNPLUG_JOB, chaos::CHAOS_SILENT}) {
            EXPECT_GT(fates[fate], draws / 20) << chaos::ChaosFateName(fate);
        }
        for (const int count : {late, lost, garbage, queries}) {
            EXPECT_GT(count, draws / 10);
        }
        EXPECT_EQ(corrupt > 0, !usb);
    }
}

} // namespace
