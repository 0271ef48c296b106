// The schedule's driver, walked second by second through an injected clock:
// each local minute evaluated once, and the rules for clock jumps. Entries
// here have no sound file, so each evaluation that acts shows as its
// "Executed" row; the rows are labelled with the local time of the tick.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "device.h"
#include "schedule_fixture.h"

using namespace schedtest;
using Strings = std::vector<std::string>;

namespace {
std::atomic<time_t> g_now{0};
time_t fake_now() { return g_now.load(); }

// "YYYY-MM-DD HH:MM:SS" read as UTC.
time_t utc(const char* text) {
    struct tm tm{};
    sscanf(text, "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return timegm(&tm);
}

// An entry of every day of 2031 with the window sh:sm-eh:em.
std::string entry(int n, int sh, int sm, int eh, int em, int interval, const char* weeks = "1234567") {
    return section(n, {{"enable", "yes"}, {"weeks", weeks}, {"s_year", "2031"}, {"s_month", "1"}, {"s_day", "1"},
                       {"e_year", "2031"}, {"e_month", "12"}, {"e_day", "31"}, {"s_hour", std::to_string(sh)},
                       {"s_min", std::to_string(sm)}, {"e_hour", std::to_string(eh)}, {"e_min", std::to_string(em)},
                       {"interval", std::to_string(interval)}});
}
const std::string kOn = "[driver]\nenable = yes\n";

// A stretch of time: from `from` (UTC), `seconds` ticks one second apart;
// `conf`, when not empty, is written as the settings before it.
struct Stretch {
    const char* from;
    int seconds;
    std::string conf;
};

class Driver : public ScheduleTest {
protected:
    void SetUp() override {
        ScheduleTest::SetUp();
        const char* tz = getenv("TZ");
        saved_tz_ = tz ? tz : "";
        had_tz_ = tz != nullptr;
        dev::set_clock(fake_now);
    }
    void TearDown() override {
        dev::set_clock(nullptr);
        use_zone(had_tz_ ? saved_tz_.c_str() : nullptr);
        ScheduleTest::TearDown();
    }
    static void use_zone(const char* zone) {
        if (zone)
            setenv("TZ", zone, 1);
        else
            unsetenv("TZ");
        tzset();
    }
    // Runs the stretches through one driver; the new operation-log rows of
    // each minute, as "HH:MM row".
    Strings walk(const char* zone, const std::vector<Stretch>& stretches) {
        use_zone(zone);
        DriverState st;
        Strings rows;
        size_t seen = oplog().size();
        for (const Stretch& s : stretches) {
            if (!s.conf.empty()) write_schedule(s.conf);
            for (int i = 0; i < s.seconds; i++) {
                g_now.store(utc(s.from) + i);
                if (!driver_tick(&st)) continue;
                Strings log = oplog();
                time_t t = g_now.load();
                struct tm tm;
                localtime_r(&t, &tm);
                char hhmm[8];
                strftime(hhmm, sizeof hhmm, "%H:%M", &tm);
                for (; seen < log.size(); seen++) rows.push_back(std::string(hhmm) + " " + log[seen]);
            }
        }
        return rows;
    }

private:
    std::string saved_tz_;
    bool had_tz_ = false;
};
}  // namespace

TEST_F(Driver, EvaluatesEachMinuteOnceAndFollowsTheClockRules) {
    // (a driver's first minute is evaluated only when it starts within two
    // seconds of the minute's second 0: a later start begins with the next)
    const std::string every30 = entry(1, 1, 0, 4, 0, 30);
    const std::string hourly = entry(1, 8, 0, 10, 0, 60);
    const std::string minutely = entry(2, 8, 58, 9, 5, 1);
    struct {
        const char* name;
        const char* zone;
        std::vector<Stretch> stretches;
        Strings rows;
    } cases[] = {
        {"a normal morning: each minute once",
         "UTC",
         {{"2031-06-11 07:59:00", 2 * 3600 + 120, kOn + entry(1, 8, 0, 10, 0, 30) + minutely}},
         {"08:00 SCHEDULE,1,Executed", "08:30 SCHEDULE,1,Executed", "08:58 SCHEDULE,2,Executed",
          "08:59 SCHEDULE,2,Executed", "09:00 SCHEDULE,1,Executed", "09:00 SCHEDULE,2,Executed",
          "09:01 SCHEDULE,2,Executed", "09:02 SCHEDULE,2,Executed", "09:03 SCHEDULE,2,Executed",
          "09:04 SCHEDULE,2,Executed", "09:05 SCHEDULE,2,Executed", "09:30 SCHEDULE,1,Executed",
          "10:00 SCHEDULE,1,Executed"}},
        // 01:59 CET -> 03:00 CEST. Entry 2 triggers at 01:45, 02:30, 03:15:
        // 02:30 was skipped and its window is open, so it starts at 03:00.
        // Entry 1's 02:30 is not caught up: 03:00 is a trigger minute of its own.
        {"daylight saving starts (Europe/Berlin)",
         "Europe/Berlin",
         {{"2031-03-30 00:58:00", 6 * 60, kOn + every30 + entry(2, 1, 0, 4, 0, 45)}},
         {"03:00 SCHEDULE,CLOCK,+61 min", "03:00 SCHEDULE,2,Executed", "03:00 SCHEDULE,1,Executed"}},
        // 02:59 CEST -> 02:00 CET: 02:30 is not evaluated a second time
        {"daylight saving ends (Europe/Berlin)",
         "Europe/Berlin",
         {{"2031-10-26 00:28:00", 94 * 60, kOn + every30}},
         {"02:30 SCHEDULE,1,Executed", "02:00 SCHEDULE,CLOCK,-59 min", "03:00 SCHEDULE,1,Executed"}},
        {"started late in a minute: that minute is not evaluated",
         "UTC",
         {{"2031-06-11 08:59:03", 60, kOn + minutely}},
         {"09:00 SCHEDULE,2,Executed"}},
        {"a network time step forward",
         "UTC",
         {{"2031-06-11 08:58:30", 60, kOn + hourly}, {"2031-06-11 09:04:30", 30, ""}},
         {"09:04 SCHEDULE,CLOCK,+5 min", "09:04 SCHEDULE,1,Executed"}},
        // evaluation resumes at 09:01, the first minute after the last one
        {"a network time step back",
         "UTC",
         {{"2031-06-11 08:59:00", 90, kOn + hourly + minutely}, {"2031-06-11 08:57:30", 280, ""}},
         {"08:59 SCHEDULE,2,Executed", "09:00 SCHEDULE,1,Executed", "09:00 SCHEDULE,2,Executed",
          "08:57 SCHEDULE,CLOCK,-3 min", "09:01 SCHEDULE,2,Executed", "09:02 SCHEDULE,2,Executed"}},
        {"forward past catch_up: the clock was set",
         "UTC",
         {{"2031-06-11 08:58:30", 60, kOn + "catch_up = 30\n" + hourly}, {"2031-06-11 09:44:30", 30, ""}},
         {"09:44 SCHEDULE,CLOCK,+45 min, no catch-up"}},
        {"back past catch_up: the clock was set, minutes run again",
         "UTC",
         {{"2031-06-11 09:00:00", 60, kOn + "catch_up = 30\n" + hourly}, {"2031-06-11 08:00:30", 30, ""}},
         {"09:00 SCHEDULE,1,Executed", "08:00 SCHEDULE,CLOCK,-60 min, no catch-up", "08:00 SCHEDULE,1,Executed"}},
        {"catch_up 0 catches nothing up",
         "UTC",
         {{"2031-06-11 08:58:30", 60, kOn + "catch_up = 0\n" + hourly}, {"2031-06-11 09:01:30", 30, ""}},
         {"09:01 SCHEDULE,CLOCK,+2 min, no catch-up"}},
        {"a board that starts in 1970 waits for the network time",
         "UTC",
         {{"1970-01-01 00:00:00", 180, kOn + hourly}, {"2031-06-11 08:59:30", 60, ""}},
         {"00:00 SCHEDULE,CLOCK,waiting for a valid clock", "09:00 SCHEDULE,1,Executed"}},
        {"switched on at 09:00 and off again at 09:01",
         "UTC",
         {{"2031-06-11 08:58:00", 120, hourly + minutely},
          {"2031-06-11 09:00:00", 60, kOn + hourly + minutely},
          {"2031-06-11 09:01:00", 120, hourly + minutely}},
         {"09:00 SCHEDULE,1,Executed", "09:00 SCHEDULE,2,Executed"}},
        // Sunday 15 June: digit 7, or 0 with "driver:sunday" 0
        {"Sunday is 7",
         "UTC",
         {{"2031-06-15 08:59:30", 60, kOn + entry(1, 9, 0, 10, 0, 60, "7") + entry(2, 9, 0, 10, 0, 60, "0")}},
         {"09:00 SCHEDULE,1,Executed"}},
        {"Sunday is 0",
         "UTC",
         {{"2031-06-15 08:59:30", 60,
           kOn + "sunday = 0\n" + entry(1, 9, 0, 10, 0, 60, "7") + entry(2, 9, 0, 10, 0, 60, "0")}},
         {"09:00 SCHEDULE,2,Executed"}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(walk(c.zone, c.stretches), c.rows);
    }
}

// A playback whose stop minute the clock skipped stops as at its stop minute;
// a paused one lives on, as it would at its stop minute.
TEST_F(Driver, ASkippedStopMinuteStopsOnlyAPlayingEntry) {
    pid_t playing = sleeper(), paused = sleeper();
    SCHEDULE[3].store(1);
    vlcInfo[3].process_id.store(playing);
    SCHEDULE[4].store(2);
    vlcInfo[4].process_id.store(paused);
    Strings rows = walk("Europe/Berlin", {{"2031-03-30 00:58:00", 3 * 60,
                                           kOn + entry(3, 1, 0, 2, 15, 0) + entry(4, 1, 0, 2, 20, 0)}});
    EXPECT_EQ(rows, (Strings{"03:00 SCHEDULE,CLOCK,+61 min", "03:00 SCHEDULE,3,Executed"}));
    EXPECT_EQ(kills(), Strings{"kill -9 " + std::to_string(playing)});
}
