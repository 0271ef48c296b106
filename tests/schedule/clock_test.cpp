// The clock thread's tick starts the registration watchdog at every 121st
// minute boundary; driven here by an injected clock.
#include <gtest/gtest.h>

#include <atomic>

#include "device.h"
#include "fixture.h"
#include "schedule.h"

namespace {
std::atomic<time_t> g_now{0};
time_t fake_now() { return g_now.load(); }
std::atomic<int> g_watchdogs{0};
void* fake_watchdog(void*) {
    g_watchdogs.fetch_add(1);
    return nullptr;
}
}  // namespace

TEST(Clock, WatchdogStartsAtEvery121stMinuteBoundary) {
    struct tm start {};
    start.tm_year = 131;
    start.tm_mday = 11;
    start.tm_hour = 8;
    start.tm_sec = 30;
    start.tm_isdst = -1;
    g_now.store(mktime(&start));
    dev::set_clock(fake_now);
    int counter = 0, boundaries = 0;
    std::vector<int> started_at;  // the boundaries at which the watchdog started
    for (int second = 0; second < 250 * 60; second++, g_now.store(g_now.load() + 1)) {
        struct tm tm;
        time_t t = g_now.load();
        localtime_r(&t, &tm);
        if (tm.tm_sec == 0) ++boundaries;
        if (clock_tick(&counter, fake_watchdog) == 1) started_at.push_back(boundaries);
    }
    dev::set_clock(nullptr);
    EXPECT_EQ(started_at, (std::vector<int>{121, 242}));
    EXPECT_TRUE(testsupport::eventually([] { return g_watchdogs.load() == 2; }));
}
