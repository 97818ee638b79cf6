#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Events.h"

using namespace std::chrono_literals;
using platform::kWaitTimeout;
using platform::ManualResetEvent;
using platform::WaitForAny;

TEST(EventsTest, ReturnsTheFirstSignalledEventInTheGivenOrder) {
    const struct {
        bool set[3];
        int expected;
    } cases[] = {
        {{true, false, false}, 0},
        {{false, false, true}, 2},
        {{false, true, true}, 1},
        {{true, true, true}, 0},
    };
    for (const auto& c : cases) {
        ManualResetEvent a(c.set[0]), b(c.set[1]), d(c.set[2]);
        EXPECT_EQ(WaitForAny({&a, &b, &d}, 0ms), c.expected);
        EXPECT_EQ(WaitForAny({&d, &b, &a}, 0ms), c.set[2] ? 0 : c.set[1] ? 1 : 2);
    }
}

TEST(EventsTest, StaysSignalledUntilReset) {
    ManualResetEvent e;
    EXPECT_FALSE(e.IsSet());
    e.Set();
    EXPECT_EQ(e.Wait(0ms), 0);
    EXPECT_EQ(e.Wait(0ms), 0); // a wait does not reset it
    e.Reset();
    EXPECT_FALSE(e.IsSet());
    EXPECT_EQ(e.Wait(0ms), kWaitTimeout);
}

TEST(EventsTest, TimesOutWhenNothingIsSignalled) {
    ManualResetEvent a, b;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForAny({&a, &b}, 100ms), kWaitTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 95ms);
    EXPECT_EQ(WaitForAny({}, 10ms), kWaitTimeout);
}

TEST(EventsTest, WakesWhenAnotherThreadSignals) {
    ManualResetEvent quit, job;
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        job.Set();
    });
    EXPECT_EQ(WaitForAny({&quit, &job}), 1); // without time limit
    setter.join();
}

TEST(EventsTest, OneSetWakesEveryWaiter) {
    ManualResetEvent go;
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            if (go.Wait(30s) == 0) {
                ++woken;
            }
        });
    }
    std::this_thread::sleep_for(20ms);
    go.Set();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(woken.load(), 4);
}

// A worker loop as the job dialogs run it: wait for quit or a job, reset the job event, run it.
TEST(EventsTest, WorkerLoopRunsEveryJobAndQuits) {
    ManualResetEvent quit, job, done;
    std::atomic<int> runs{0};
    std::thread worker([&] {
        for (;;) {
            const int r = WaitForAny({&quit, &job}, 30s);
            if (r != 1) {
                break;
            }
            job.Reset();
            ++runs;
            done.Set();
        }
    });
    for (int i = 0; i < 200; ++i) {
        done.Reset();
        job.Set();
        ASSERT_EQ(done.Wait(30s), 0);
    }
    quit.Set();
    worker.join();
    EXPECT_EQ(runs.load(), 200);
}

TEST(EventsTest, ManyThreadsSettingAndWaitingStayConsistent) {
    std::vector<ManualResetEvent> events(4);
    std::vector<ManualResetEvent*> list;
    for (auto& e : events) {
        list.push_back(&e);
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            while (!stop) {
                events[static_cast<std::size_t>(i)].Set();
                events[static_cast<std::size_t>(i)].Reset();
            }
        });
    }
    int seen = 0;
    for (int i = 0; i < 2000; ++i) {
        const int r = WaitForAny(list, 1ms);
        if (r >= 0) {
            ++seen;
            EXPECT_LT(r, 3);
        }
    }
    events[3].Set();
    EXPECT_EQ(WaitForAny({list[3]}, 0ms), 0);
    stop = true;
    for (auto& t : threads) {
        t.join();
    }
    SUCCEED() << seen << " waits saw an event";
}
