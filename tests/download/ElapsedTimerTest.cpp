#include <gtest/gtest.h>

#include "download/ElapsedTimer.h"

TEST(ElapsedTimerTest, FormatsWholeSeconds) {
    const struct {
        int64_t seconds;
        const char* text;
    } cases[] = {
        {0, "00:00:00"},       {59, "00:00:59"},    {60, "00:01:00"},    {3599, "00:59:59"},
        {3600, "01:00:00"},    {86399, "23:59:59"}, {86400, "24:00:00"}, // hours are not wrapped
        {360000, "100:00:00"}, {-5, "00:00:00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CElapsedTimer::Format(c.seconds), c.text) << c.seconds;
    }
}

TEST(ElapsedTimerTest, RunsFromStartAndFreezesAtStop) {
    int64_t now = 1000;
    CElapsedTimer timer([&] { return now; });
    EXPECT_EQ(timer.Text(), "00:00:00");
    timer.Start();
    now += 3725;
    int h = 0, m = 0, s = 0;
    timer.Elapsed(h, m, s);
    EXPECT_EQ(h, 1);
    EXPECT_EQ(m, 2);
    EXPECT_EQ(s, 5);
    EXPECT_EQ(timer.Text(), "01:02:05");
    timer.Stop();
    now += 100;
    EXPECT_EQ(timer.Text(), "01:02:05");
    timer.Start();
    EXPECT_EQ(timer.Text(), "00:00:00");
    now -= 10; // a clock that went back shows zero
    EXPECT_EQ(timer.Text(), "00:00:00");
}
