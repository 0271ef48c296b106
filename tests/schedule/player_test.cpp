// One scheduled playback: the player's command line and playlist, the
// control command, and the clean-up when the player process ends.
#include <gtest/gtest.h>

#include "device.h"
#include "pool.h"
#include "schedule_fixture.h"

using namespace schedtest;
using testsupport::eventually;
using Strings = std::vector<std::string>;

namespace {
const std::string kAudioOn = "{\"name\": \"SCHEDULER-AUDIO\", \"action\": \"on\"}";
const std::string kAudioOff = "{\"name\": \"SCHEDULER-AUDIO\", \"action\": \"off\"}";

class Player : public ScheduleTest {
protected:
    // The start that one request makes, with the start failing.
    Spawned start_of(PlayRequest* req) {
        fail_spawns(true);
        size_t before = spawns().size();
        handle_playAudio(req);
        auto s = spawns();
        return s.size() == before + 1 ? s.back() : Spawned();
    }
};

std::vector<unsigned long> g_sleeps;
void record_sleep(unsigned long us) { g_sleeps.push_back(us); }
int g_runs = 0;
int failing_shell(const char*) { return ++g_runs, 256; }
}  // namespace

TEST_F(Player, CommandLineIsTheDevicesOwnWithoutARoot) {
    RedisPool* pool = redisClient;
    redisClient = nullptr;  // nothing goes to the bus
    dev::set_root("");
    Spawned s = start_of(request(7, 1, "chime.mp3", "0", "Disabled", "yes", 80));
    dev::set_root(root.dir().c_str());
    redisClient = pool;
    EXPECT_EQ(s.path, "/usr/sbin/vlc");
    EXPECT_EQ(s.argv, (Strings{"vlc", "--play-and-exit", "--control", "rc", "--rc-fake-tty", "--rc-unix=/tmp/vlc_7.sock",
                               "--no-start-paused", "--loop", "--gain=0.80", "/usr/share/baresip/chime.mp3"}));
}

TEST_F(Player, PlayCountBeepsAndVolumeShapeTheStart) {
    const std::string r = root.dir(), dir = r + "/usr/share/baresip/";
    struct {
        const char *play_times, *enBeep;
        int volume;
        Strings tail;  // arguments 7 to 9
        std::string playlist;
    } cases[] = {
        {"", "yes", 100, {"--loop", "--gain=1.00", dir + "b.mp3"}, ""},  // no beeps in loop mode
        {"abc", "no", 35, {"--loop", "--gain=0.35", dir + "b.mp3"}, ""},
        {"2", "yes", 0, {"--no-loop", "--gain=0.00", r + "/tmp/playlist_3.m3u"},
         dir + "s_beep.mp3\n" + dir + "b.mp3\n" + dir + "b.mp3\n" + dir + "e_beep.mp3\n"},
        {"3", "YES", 250, {"--no-loop", "--gain=2.50", r + "/tmp/playlist_3.m3u"},
         dir + "b.mp3\n" + dir + "b.mp3\n" + dir + "b.mp3\n"},
        {"-1", "yes", 1, {"--no-loop", "--gain=0.01", r + "/tmp/playlist_3.m3u"}, dir + "s_beep.mp3\n" + dir + "e_beep.mp3\n"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.play_times);
        Spawned s = start_of(request(3, 1, "b.mp3", c.play_times, "Disabled", c.enBeep, c.volume));
        ASSERT_EQ(s.argv.size(), 10u);
        EXPECT_EQ(s.path, r + "/usr/sbin/vlc");
        EXPECT_EQ(s.argv[5], "--rc-unix=" + r + "/tmp/vlc_3.sock");
        EXPECT_EQ(Strings(s.argv.begin() + 7, s.argv.end()), c.tail);
        EXPECT_EQ(s.item, c.playlist);
        EXPECT_FALSE(root.exists("/tmp/playlist_3.m3u"));  // removed after the failed start
    }
    // no file, or one whose path would not fit its 64 bytes: nothing starts
    size_t n = spawns().size();
    handle_playAudio(request(3, 1, ""));
    handle_playAudio(request(3, 1, std::string(45, 'a').c_str()));
    EXPECT_EQ(spawns().size(), n);
    EXPECT_EQ(start_of(request(3, 1, std::string(44, 'a').c_str())).argv.at(9), dir + std::string(44, 'a'));
    EXPECT_EQ(SCHEDULE[3].load(), 0);
    EXPECT_TRUE(oplog().empty());
}

TEST_F(Player, KilledPlayerIsCleanedUpAsANaturalEnd) {
    testsupport::Subscriber screen(redis.socket(), "screen-channel");
    testsupport::Subscriber events(redis.socket(), "volume-event-channel");
    ASSERT_TRUE(start_player(request(8, 2, "loop.mp3", "3", "2")));
    ASSERT_TRUE(wait_state(8, 1));
    EXPECT_EQ(vlcInfo[8].priority.load(), 2);
    EXPECT_TRUE(root.exists("/tmp/playlist_8.m3u"));
    ASSERT_EQ(kill(vlcInfo[8].process_id.load(), SIGKILL), 0);
    ASSERT_TRUE(eventually([] { return players_active() == 0; }));
    EXPECT_EQ(SCHEDULE[8].load(), 0);
    EXPECT_EQ(vlcInfo[8].process_id.load() + vlcInfo[8].priority.load(), 0);
    char name[96];
    vlc_slot_name(8, name, sizeof name);
    EXPECT_STREQ(name, "loop.mp3");  // kept after the reset
    EXPECT_FALSE(root.exists("/tmp/playlist_8.m3u"));
    EXPECT_EQ(oplog(), (Strings{"FUNCTION,Audio Control,Play audio: loop.mp3", "FUNCTION,Audio Control,Stop audio: loop.mp3"}));
    EXPECT_EQ(settled(screen, "screen-channel"), (Strings{"{\"action\": \"off\", \"id\": 2}"}));
    EXPECT_EQ(settled(events, "volume-event-channel"), (Strings{kAudioOn, kAudioOff}));
}

TEST_F(Player, ControlCommandsGiveUpOnAMissingOrDeadSocket) {
    dev::set_sleeper(record_sleep);
    EXPECT_EQ(vlc_cmd_action("pause", 12), 0);  // never created
    EXPECT_EQ(g_sleeps, (std::vector<unsigned long>{200000, 200000, 200000}));
    EXPECT_TRUE(shell_commands().empty());

    root.write("/tmp/vlc_12.sock", "");  // there, but nobody listens
    dev::set_shell_runner(failing_shell);
    EXPECT_EQ(vlc_cmd_action("pause", 12), 0);
    dev::set_sleeper(nullptr);
    EXPECT_GT(g_runs, 3);   // failing commands are retried at once...
    EXPECT_LE(g_runs, 12);  // ...but not for ever
    EXPECT_EQ(g_sleeps.size(), 6u);
}
