// The schedule's driver, walked second by second through an injected clock:
// each local minute evaluated once, and the rules for clock jumps. Entries
// here have no sound file, so each evaluation that acts shows as its
// "Executed" row; the rows are labelled with the local time of the tick.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

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
const std::string kEmptyFile = "(empty)";

// A stretch of time: from `from` (UTC), `seconds` ticks one second apart;
// `conf`, when not empty, is written as the settings before it (kEmptyFile:
// an empty file); `restart`: a new driver (the daemon restarted) runs it.
struct Stretch {
    const char* from;
    int seconds;
    std::string conf;
    bool restart = false;
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
        root.remove(dev::DRIVER_MINUTE);  // a device that never ran the driver
        DriverState st;
        Strings rows;
        size_t seen = oplog().size();
        for (const Stretch& s : stretches) {
            if (!s.conf.empty()) write_schedule(s.conf == kEmptyFile ? "" : s.conf);
            if (s.restart) st = DriverState();
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
        // 01:00 CET -> 04:40 CEST: entry 1's skipped minutes end at its stop,
        // entry 2's last skipped trigger (04:30) starts it late, once
        {"daylight saving starts inside a catch-up",
         "Europe/Berlin",
         {{"2031-03-29 23:59:00", 61, kOn + "catch_up = 300\n" + every30 + entry(2, 4, 0, 5, 0, 30)},
          {"2031-03-30 02:40:00", 1, ""}},
         {"01:00 SCHEDULE,1,Executed", "04:40 SCHEDULE,CLOCK,+220 min", "04:40 SCHEDULE,2,Executed"}},
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
        {"back past 180 minutes: the clock was set, minutes run again",
         "UTC",
         {{"2031-06-11 12:00:00", 60, kOn + "catch_up = 30\n" + entry(1, 8, 0, 13, 0, 60)},
          {"2031-06-11 08:00:30", 30, ""}},
         {"12:00 SCHEDULE,1,Executed", "08:00 SCHEDULE,CLOCK,-240 min, no catch-up", "08:00 SCHEDULE,1,Executed"}},
        {"catch_up 0: a step back still replays nothing",
         "UTC",
         {{"2031-06-11 08:59:00", 61, kOn + "catch_up = 0\n" + hourly + minutely}, {"2031-06-11 08:59:59", 62, ""}},
         {"08:59 SCHEDULE,2,Executed", "09:00 SCHEDULE,1,Executed", "09:00 SCHEDULE,2,Executed",
          "08:59 SCHEDULE,CLOCK,-1 min", "09:01 SCHEDULE,2,Executed"}},
        {"a restart at second 1 of an evaluated minute",
         "UTC",
         {{"2031-06-11 08:59:59", 2, kOn + hourly}, {"2031-06-11 09:00:01", 60, "", true}},
         {"09:00 SCHEDULE,1,Executed"}},
        // the minute is skipped and caught up by the next good read
        {"an empty file at the minute (an editor rewriting it)",
         "UTC",
         {{"2031-06-11 08:58:59", 2, kOn + hourly}, {"2031-06-11 09:00:00", 1, kEmptyFile},
          {"2031-06-11 09:00:01", 60, kOn + hourly}},
         {"09:00 SCHEDULE,CLOCK,settings unreadable, minute skipped", "09:01 SCHEDULE,CLOCK,+2 min",
          "09:01 SCHEDULE,1,Executed"}},
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

// A playback whose stop minute the clock skipped stops as at its stop minute,
// playing or paused.
TEST_F(Driver, ASkippedStopMinuteStopsARunningEntry) {
    pid_t playing = sleeper(), paused = sleeper();
    SCHEDULE[3].store(1);
    vlcInfo[3].process_id.store(playing);
    SCHEDULE[4].store(2);
    vlcInfo[4].process_id.store(paused);
    Strings rows = walk("Europe/Berlin", {{"2031-03-30 00:58:00", 3 * 60,
                                           kOn + entry(3, 1, 0, 2, 15, 0) + entry(4, 1, 0, 2, 20, 0)}});
    EXPECT_EQ(rows, (Strings{"03:00 SCHEDULE,CLOCK,+61 min", "03:00 SCHEDULE,3,Executed", "03:00 SCHEDULE,4,Executed"}));
    EXPECT_EQ(kills(), (Strings{"kill -9 " + std::to_string(playing), "kill -9 " + std::to_string(paused)}));
}

// Real player stand-ins on the driver: after each stretch the entries' states
// (slots 1.. as digits) settle to what the same starts and stops one second
// apart, or a walk minute by minute, give; every player is in its entry's
// state, and no player thread is starting or ending. Entries loop until
// stopped; a step without states is followed at once by the next.
TEST_F(Driver, PlaybacksEndAsAWalkMinuteByMinuteWould) {
    const auto sound = [](int n, int sh, int sm, int eh, int em, int priority) {
        return entry(n, sh, sm, eh, em, 0) + "audio_file = e" + std::to_string(n) + ".mp3\npriority = " +
               std::to_string(priority) + "\n";
    };
    // entries 1..5 from 09:00, priority 1
    const auto five = [](int eh, int em, int interval) {
        std::string conf;
        for (int n = 1; n <= 5; n++)
            conf += entry(n, 9, 0, eh, em, interval) + "audio_file = e" + std::to_string(n) + ".mp3\n";
        return conf;
    };
    struct Step {
        const char* from;
        int seconds;
        const char* states;
    };
    struct {
        const char* name;
        std::string conf;
        std::vector<Step> steps;
        Strings rows;  // when not empty: the whole operation log at the end
    } cases[] = {
        {"stop and start in one minute, the lower one starts",
         sound(1, 9, 0, 9, 2, 3) + sound(2, 8, 58, 9, 0, 5),
         {{"2031-06-11 08:57:59", 2, "01"}, {"2031-06-11 08:58:01", 120, "10"}, {"2031-06-11 09:00:01", 120, "00"}}, {}},
        {"stop and start in one minute, numbered the other way",
         sound(1, 8, 58, 9, 0, 5) + sound(2, 9, 0, 9, 2, 3),
         {{"2031-06-11 08:57:59", 2, "10"}, {"2031-06-11 08:58:01", 120, "01"}, {"2031-06-11 09:00:01", 120, "00"}}, {}},
        {"two starts in one minute", sound(1, 9, 0, 9, 2, 3) + sound(2, 9, 0, 9, 2, 5),
         {{"2031-06-11 08:59:59", 2, "21"}, {"2031-06-11 09:00:01", 120, "00"}}, {}},
        {"two starts in one minute, numbered the other way", sound(1, 9, 0, 9, 2, 5) + sound(2, 9, 0, 9, 2, 3),
         {{"2031-06-11 08:59:59", 2, "12"}, {"2031-06-11 09:00:01", 120, "00"}}, {}},
        {"three starts in one minute", sound(1, 9, 0, 9, 2, 3) + sound(2, 9, 0, 9, 2, 5) + sound(3, 9, 0, 9, 2, 3),
         {{"2031-06-11 08:59:59", 2, "212"}, {"2031-06-11 09:00:01", 120, "000"}}, {}},
        // the next look comes before the new player is marked
        {"+40 min over its stop while its player starts", sound(1, 9, 0, 9, 30, 1),
         {{"2031-06-11 08:59:59", 2, ""}, {"2031-06-11 09:40:00", 1, "0"}}, {}},
        {"a paused loop ends at its stop minute", sound(1, 12, 0, 12, 2, 1) + sound(2, 12, 1, 12, 3, 9),
         {{"2031-06-11 11:59:59", 2, "10"},
          {"2031-06-11 12:00:01", 60, "21"},
          {"2031-06-11 12:01:01", 60, "01"},
          {"2031-06-11 12:02:01", 60, "00"}}, {}},
        // 23:20 -> 01:10 passes the stop at 23:30 and the start at 01:00
        {"+110 min over a stop and a start", sound(1, 1, 0, 23, 30, 1),
         {{"2031-06-11 00:59:59", 2, "1"}, {"2031-06-11 23:19:59", 2, "1"}, {"2031-06-12 01:10:00", 1, "1"}},
         {"SCHEDULE,1,Executed", "FUNCTION,Audio Control,Play audio: e1.mp3",
          "SCHEDULE,CLOCK,+1339 min, no catch-up", "SCHEDULE,CLOCK,+110 min", "SCHEDULE,1,Executed",
          "FUNCTION,Audio Control,Stop audio: e1.mp3", "SCHEDULE,1,Executed",
          "FUNCTION,Audio Control,Play audio: e1.mp3"}},
        // the stopped players end while the late starts wait: none of them
        // is asked to resume, which would hold the next start back
        {"+110 min over a stop and a start, three priorities",
         sound(1, 1, 0, 23, 30, 9) + sound(2, 1, 0, 23, 30, 5) + sound(3, 1, 0, 23, 30, 1),
         {{"2031-06-11 00:59:59", 2, "122"}, {"2031-06-11 23:19:59", 2, "122"}, {"2031-06-12 01:10:00", 1, "122"}}, {}},
        // 09:00 (skipped) ends the three loops, 10:00 starts them again
        {"+90 min: a skipped trigger stops, the minute's own starts",
         entry(1, 8, 0, 12, 0, 60) + "audio_file = e1.mp3\npriority = 9\n" + entry(2, 8, 0, 12, 0, 60) +
             "audio_file = e2.mp3\npriority = 5\n" + entry(3, 8, 0, 12, 0, 60) + "audio_file = e3.mp3\npriority = 1\n",
         {{"2031-06-11 07:59:59", 2, "122"}, {"2031-06-11 08:29:59", 2, "122"}, {"2031-06-11 10:00:00", 1, "122"}}, {}},
        // five starts take their turns past the first second of the minute
        {"five start, +40 min over their stop", five(9, 30, 0),
         {{"2031-06-11 08:59:59", 2, ""}, {"2031-06-11 09:40:00", 1, "00000"}}, {}},
        {"five start, +60 min to their next trigger", five(12, 0, 60),
         {{"2031-06-11 08:59:59", 2, ""}, {"2031-06-11 10:00:00", 1, "00000"}}, {}},
    };
    use_zone("UTC");
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        root.remove(dev::DRIVER_MINUTE);
        write_schedule(kOn + c.conf);
        const size_t before = oplog().size();
        DriverState st;
        for (const Step& step : c.steps) {
            for (int i = 0; i < step.seconds; i++) {
                g_now.store(utc(step.from) + i);
                driver_tick(&st);
            }
            if (step.states[0] == '\0') continue;  // the next stretch follows at once
            std::string states, players;
            EXPECT_TRUE(testsupport::eventually([&] {
                states = players = "";
                for (size_t n = 1; n <= strlen(step.states); n++) {
                    states += std::to_string(SCHEDULE[n].load());
                    players += player_state(static_cast<int>(n));
                }
                // and no player thread is starting or ending
                for (int n = 1; n <= SCHEDULE_ENTRIES; n++)
                    if (slot_players(n) != 0 && SCHEDULE[n].load() == 0) return false;
                return states == step.states && players == step.states;
            })) << step.from << ": entries " << states << ", players " << players;
        }
        if (!c.rows.empty()) {
            Strings rows;
            testsupport::eventually([&] {
                const Strings log = oplog();
                rows.assign(log.begin() + static_cast<long>(before), log.end());
                return rows == c.rows;
            });
            EXPECT_EQ(rows, c.rows);
        }
        end_players();
    }
}
