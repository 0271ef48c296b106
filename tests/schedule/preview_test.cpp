// `callctl schedule` against the daemon: a week of minutes (with the start of
// daylight saving in Europe/Berlin) walked once through the preview and once
// through the driver with the evaluation, real player threads and the player
// stand-in; both list the same starts, stops and clock steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "device.h"
#include "plan.h"
#include "schedule_fixture.h"

using namespace schedtest;
using Strings = std::vector<std::string>;

namespace {
std::atomic<time_t> g_now{0};
time_t fake_now() { return g_now.load(); }
void no_sleep(unsigned long) {}

std::string label(const ScheduleMinute& m) {
    char out[32];
    snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d", m.year, m.month, m.day, m.hour, m.minute);
    return out;
}
std::string label(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    char out[32];
    strftime(out, sizeof out, "%Y-%m-%d %H:%M", &tm);
    return out;
}

// Counted entries 1 and 4 play out between their minutes; 2, 3 and 5 loop.
const char* kWeek =
    "[driver]\nenable = yes\n"
    "[schedule_1]\nenable = yes\nweeks = 12345\ns_year = 2031\ns_month = 1\ns_day = 1\ne_year = 2031\n"
    "e_month = 12\ne_day = 31\ns_hour = 8\ne_hour = 9\naudio_file = chime.mp3\nplay_times = 1\n"
    "[schedule_2]\nenable = yes\nweeks = 1234567\ns_year = 2031\ns_month = 1\ns_day = 1\ne_year = 2031\n"
    "e_month = 12\ne_day = 31\ns_hour = 12\ne_hour = 13\ninterval = 0\naudio_file = music.mp3\n"
    // its stop minute falls in the hour that daylight saving skips
    "[schedule_3]\nenable = yes\nweeks = 1234567\ns_year = 2031\ns_month = 1\ns_day = 1\ne_year = 2031\n"
    "e_month = 12\ne_day = 31\ns_hour = 1\ns_min = 30\ne_hour = 2\ne_min = 15\ninterval = 0\n"
    "audio_file = night.mp3\n"
    // its trigger minute too
    "[schedule_4]\nenable = yes\nweeks = 1234567\ns_year = 2031\ns_month = 1\ns_day = 1\ne_year = 2031\n"
    "e_month = 12\ne_day = 31\ns_hour = 2\ns_min = 30\ne_hour = 4\ninterval = 0\naudio_file = bell.mp3\n"
    "play_times = 1\n"
    // a trigger minute while the loop plays stops it
    "[schedule_5]\nenable = yes\nweeks = 1234567\ns_year = 2031\ns_month = 1\ns_day = 1\ne_year = 2031\n"
    "e_month = 12\ne_day = 31\ns_hour = 18\ne_hour = 19\ninterval = 30\naudio_file = loop.mp3\n"
    // a shared minute: 6 starts at 16:00 as 7, above it, stops
    "[schedule_6]\nenable = yes\nweeks = 1234567\ns_year = 2031\ns_month = 1\ns_day = 1\ne_year = 2031\n"
    "e_month = 12\ne_day = 31\ns_hour = 16\ne_hour = 17\ninterval = 0\naudio_file = low.mp3\npriority = 3\n"
    "[schedule_7]\nenable = yes\nweeks = 1234567\ns_year = 2031\ns_month = 1\ns_day = 1\ne_year = 2031\n"
    "e_month = 12\ne_day = 31\ns_hour = 15\ne_hour = 16\ninterval = 0\naudio_file = high.mp3\npriority = 5\n"
    // 8 is paused by 9 from 20:30 over its own stop minute 21:00
    "[schedule_8]\nenable = yes\nweeks = 1234567\ns_year = 2031\ns_month = 1\ns_day = 1\ne_year = 2031\n"
    "e_month = 12\ne_day = 31\ns_hour = 20\ne_hour = 21\ninterval = 0\naudio_file = under.mp3\npriority = 1\n"
    "[schedule_9]\nenable = yes\nweeks = 1234567\ns_year = 2031\ns_month = 1\ns_day = 1\ne_year = 2031\n"
    "e_month = 12\ne_day = 31\ns_hour = 20\ns_min = 30\ne_hour = 21\ne_min = 30\ninterval = 0\n"
    "audio_file = over.mp3\npriority = 9\n";

int slot_of(const Spawned& s) {
    for (const std::string& a : s.argv) {
        size_t at = a.rfind("/vlc_");
        if (a.rfind("--rc-unix=", 0) == 0 && at != std::string::npos) return atoi(a.c_str() + at + 5);
    }
    return 0;
}
}  // namespace

TEST_F(ScheduleTest, PreviewListsWhatTheDriverDoesOverAWeek) {
    const char* tz = getenv("TZ");
    const std::string saved = tz ? tz : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    write_schedule(kWeek);
    item_ms(10);
    struct tm monday{};
    monday.tm_year = 131;
    monday.tm_mon = 2;
    monday.tm_mday = 24;
    monday.tm_isdst = -1;
    const time_t from = mktime(&monday);

    dictionary* d = settings_load("/oem/etc/schedule.conf");
    ASSERT_NE(d, nullptr);
    Strings preview;
    for (const callctl::PlanRow& r : callctl::plan_schedule(d, from, 7, nullptr)) {
        if (r.kind == callctl::PlanRow::Clock)
            preview.push_back(label(r.when) + " clock " + r.clock);
        else
            preview.push_back(label(r.when) + " " + std::to_string(r.entry) +
                              (r.kind == callctl::PlanRow::Start ? " start" : " stop"));
    }
    settings_free(d);

    dev::set_clock(fake_now);
    dev::set_sleeper(no_sleep);  // players mark their slot at once
    Strings driven;
    DriverState st;
    size_t rows = 0, started = 0, killed = 0;
    for (time_t t = from; t < from + 7 * 86400 - 3600; t += 60) {
        g_now.store(t);
        driver_tick(&st);
        // the slots whose player this minute killed: nothing starts them again
        // in the same minute, so they must be idle before the next one
        std::vector<int> stopped;
        {
            auto sp = spawns();
            auto k = kills();
            for (size_t i = killed; i < k.size(); i++)
                for (auto& s : sp)
                    if (s.pid == atoi(k[i].c_str() + 8)) stopped.push_back(slot_of(s));
        }
        // wait until every started player has marked its slot, counted ones
        // have played out, and killed ones are gone
        ASSERT_TRUE(testsupport::eventually([&] {
            int marked = 0;
            for (int n = 1; n <= SCHEDULE_ENTRIES; n++) marked += SCHEDULE[n].load() != 0;
            for (int n : stopped)
                if (SCHEDULE[n].load() != 0) return false;
            // a running player takes commands (a later start may pause it)
            for (int n = 1; n <= SCHEDULE_ENTRIES; n++)
                if (SCHEDULE[n].load() != 0 && !root.exists("/tmp/vlc_" + std::to_string(n) + ".sock")) return false;
            return players_active() == marked && SCHEDULE[1].load() == 0 && SCHEDULE[4].load() == 0;
        })) << label(t);
        Strings log = oplog();
        for (; rows < log.size(); rows++)
            if (log[rows].rfind("SCHEDULE,CLOCK,", 0) == 0) driven.push_back(label(t) + " clock " + log[rows].substr(15));
        auto sp = spawns();
        for (; started < sp.size(); started++) driven.push_back(label(t) + " " + std::to_string(slot_of(sp[started])) + " start");
        auto k = kills();
        for (; killed < k.size(); killed++) {
            int pid = atoi(k[killed].c_str() + 8);
            for (auto& s : sp)
                if (s.pid == pid) driven.push_back(label(t) + " " + std::to_string(slot_of(s)) + " stop");
        }
    }
    dev::set_clock(nullptr);
    dev::set_sleeper(nullptr);
    if (tz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    std::sort(preview.begin(), preview.end());
    std::sort(driven.begin(), driven.end());
    EXPECT_EQ(preview, driven);
    // the week holds what it was built for
    EXPECT_EQ(preview.size(), 5u + 7 * 2 + 7 * 2 + 7 + 7 * 2 + 1 + 7 * 4 + 7 * 4);
    EXPECT_NE(std::find(preview.begin(), preview.end(), "2031-03-24 21:00 8 stop"), preview.end());
    EXPECT_NE(std::find(preview.begin(), preview.end(), "2031-03-30 03:00 3 stop"), preview.end());
    EXPECT_NE(std::find(preview.begin(), preview.end(), "2031-03-30 03:00 4 start"), preview.end());
}

// Why an entry never plays, for the week of Monday 2031-06-09, one entry per
// reason; the first reason in the order of the entry tests is named.
TEST_F(ScheduleTest, NeverReasonsNameWhatKeepsAnEntrySilent) {
    using Keys = std::vector<std::pair<std::string, std::string>>;
    const Keys base = {{"enable", "yes"}, {"weeks", "1234567"}, {"s_year", "2031"}, {"s_month", "1"},
                       {"s_day", "1"},    {"e_year", "2031"},    {"e_month", "12"},  {"e_day", "31"},
                       {"s_hour", "8"},   {"e_hour", "9"},       {"audio_file", "a.mp3"}};
    struct {
        Keys keys;  // override base
        NeverReason reason;
    } cases[] = {
        {{}, NeverReason::None},
        {{{"enable", "no"}}, NeverReason::Disabled},
        {{{"weeks", ""}}, NeverReason::NoWeekdays},
        {{{"weeks", "089"}}, NeverReason::WeekdaysImpossible},  // 0 is Sunday only with driver:sunday 0
        {{{"s_year", "2032"}, {"e_year", "2031"}}, NeverReason::DateRangeEmpty},
        {{{"s_year", "2030"}, {"e_year", "2030"}}, NeverReason::DateRangeOver},
        {{{"s_year", "2032"}, {"e_year", "2032"}}, NeverReason::DateRangeNotBegun},
        {{{"s_month", "6"}, {"s_day", "14"}, {"e_month", "6"}, {"e_day", "14"}, {"weeks", "1"}},
         NeverReason::WeekdaysNotInPeriod},  // the 14th is a Saturday
        {{{"enholiday", "yes"}}, NeverReason::Holidays},
        {{{"e_hour", "8"}}, NeverReason::WindowEmpty},
        {{{"s_hour", "22"}, {"e_hour", "2"}}, NeverReason::WindowImpossible},
        {{{"s_hour", "-1"}, {"e_hour", "0"}, {"e_min", "30"}, {"interval", "0"}}, NeverReason::IntervalNeverLands},
        {{{"audio_file", ""}}, NeverReason::NoFile},
        {{{"audio_file", std::string(45, 'x')}}, NeverReason::FileTooLong},  // loop mode: 44 at most
        {{{"audio_file", std::string(45, 'x')}, {"play_times", "1"}}, NeverReason::None},
    };
    std::string conf = "[holidays]\ndata = {\"holidays\": [\"2031-6-9:2031-6-16\"]}\n";
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        Keys k = base;
        k.insert(k.end(), cases[i].keys.begin(), cases[i].keys.end());
        conf += section(static_cast<int>(i) + 1, k);
    }
    for (const char* driver : {"[driver]\nenable = yes\n", ""}) {
        write_schedule(conf + driver);
        dictionary* d = settings_load("/oem/etc/schedule.conf");
        ASSERT_NE(d, nullptr);
        for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
            SCOPED_TRACE(section(static_cast<int>(i) + 1, cases[i].keys) + driver);
            NeverReason want = cases[i].reason;
            // with the driver off, an entry with nothing else against it is silent for that
            if (driver[0] == '\0' && want == NeverReason::None) want = NeverReason::DriverOff;
            EXPECT_EQ(schedule_never_reason(d, static_cast<int>(i) + 1, Date{2031, 6, 9}, Date{2031, 6, 15}), want);
        }
        settings_free(d);
    }
}
