// The schedule run minute by minute against a settings file, stand-in player
// processes and a Redis server, observed as the device's peers see it.
#include <gtest/gtest.h>

#include <algorithm>

#include "schedule_fixture.h"

using namespace schedtest;
using testsupport::eventually;
using Strings = std::vector<std::string>;
using Keys = std::vector<std::pair<std::string, std::string>>;

namespace {
Keys entry(int sh, int sm, int eh, int em, Keys extra) {
    Keys k = {{"enable", "yes"}, {"weeks", "12345"},  {"s_year", "2031"}, {"s_month", "6"}, {"s_day", "1"},
              {"e_year", "2031"}, {"e_month", "6"},   {"e_day", "30"},    {"interval", "0"},
              {"s_hour", std::to_string(sh)}, {"s_min", std::to_string(sm)},
              {"e_hour", std::to_string(eh)}, {"e_min", std::to_string(em)}};
    k.insert(k.end(), extra.begin(), extra.end());
    return k;
}

class Flow : public ScheduleTest {
protected:
    void minute(int h, int m) { schedule(2031, 6, 11, h, m, 3); }
};
}  // namespace

TEST_F(Flow, AnnouncementInterruptsTheMorningLoopUntilItsStopMinute) {
    item_ms(250);
    write_schedule(section(1, entry(8, 0, 8, 5, {{"audio_file", "morning.mp3"}, {"priority", "3"},
                                                 {"volume", "80"}, {"trigger_screen", "2"}})) +
                   section(2, entry(8, 1, 8, 10, {{"audio_file", "notice.mp3"}, {"play_times", "2"},
                                                  {"enBeep", "yes"}, {"priority", "5"}})));
    testsupport::Subscriber screen(redis.socket(), "screen-channel");
    testsupport::Subscriber events(redis.socket(), "volume-event-channel");
    minute(8, 0);
    ASSERT_TRUE(logged("FUNCTION,Audio Control,Play audio: morning.mp3"));
    minute(8, 1);  // entry 2 pauses entry 1, plays out, and entry 1 resumes
    ASSERT_TRUE(wait_state(1, 2));
    ASSERT_TRUE(logged("FUNCTION,Audio Control,Stop audio: notice.mp3"));
    ASSERT_TRUE(wait_state(1, 1));
    for (int m = 2; m <= 5; m++) minute(8, m);  // 08:05 is entry 1's stop minute
    ASSERT_TRUE(eventually([] { return players_active() == 0; }));

    EXPECT_EQ(oplog(), (Strings{"SCHEDULE,1,Executed", "FUNCTION,Audio Control,Play audio: morning.mp3",
                                "SCHEDULE,2,Executed", "FUNCTION,Audio Control,Play audio: notice.mp3",
                                "FUNCTION,Audio Control,Stop audio: notice.mp3", "SCHEDULE,1,Executed",
                                "FUNCTION,Audio Control,Stop audio: morning.mp3"}));
    EXPECT_EQ(settled(screen, "screen-channel"),
              (Strings{"{\"action\": \"on\", \"id\": 2}", "{\"action\": \"off\", \"id\": 2}", "{\"action\": \"off\", \"id\": 2}"}));
    const std::string on = "{\"name\": \"SCHEDULER-AUDIO\", \"action\": \"on\"}";
    EXPECT_EQ(settled(events, "volume-event-channel"),
              (Strings{on, on, on, "{\"name\": \"SCHEDULER-AUDIO\", \"action\": \"off\"}"}));
    auto s = spawns();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(kills(), (Strings{"kill -9 " + std::to_string(s[0].pid)}));
    const std::string dir = root.dir() + "/usr/share/baresip/";
    auto morning = player_events(s[0].pid);
    EXPECT_EQ(morning.front(), "play " + dir + "morning.mp3");
    EXPECT_EQ(std::count(morning.begin(), morning.end(), "pause"), 1);
    EXPECT_EQ(std::count(morning.begin(), morning.end(), "resume"), 1);
    EXPECT_NE(morning.back(), "end");  // killed, not played out
    EXPECT_EQ(player_events(s[1].pid), (Strings{"play " + dir + "s_beep.mp3", "play " + dir + "notice.mp3",
                                                "play " + dir + "notice.mp3", "play " + dir + "e_beep.mp3", "end"}));
    EXPECT_FALSE(root.exists("/tmp/playlist_2.m3u"));
}

TEST_F(Flow, EvaluatingAMinuteTwiceStopsWhatItStarted) {
    write_schedule(section(1, entry(8, 0, 9, 0, {{"audio_file", "a.mp3"}})));
    minute(8, 0);
    ASSERT_TRUE(logged("FUNCTION,Audio Control,Play audio: a.mp3"));
    pid_t pid = vlcInfo[1].process_id.load();
    minute(8, 0);
    ASSERT_TRUE(eventually([] { return players_active() == 0; }));
    EXPECT_EQ(kills(), (Strings{"kill -9 " + std::to_string(pid)}));
    EXPECT_EQ(oplog(), (Strings{"SCHEDULE,1,Executed", "FUNCTION,Audio Control,Play audio: a.mp3",
                                "SCHEDULE,1,Executed", "FUNCTION,Audio Control,Stop audio: a.mp3"}));
}
