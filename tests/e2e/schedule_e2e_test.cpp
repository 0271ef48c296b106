// Scheduled audio in a whole simulated device: the daemon's volume listener,
// and the sandbox's schedule harness playing the shipped schedule with the
// player stand-in.
#include <hiredis.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "daemon.h"
#include "fixture.h"

using namespace testsupport;
using Strings = std::vector<std::string>;

namespace {
const std::string kOn = "{\"name\": \"SCHEDULER-AUDIO\", \"action\": \"on\"}";
const std::string kOff = "{\"name\": \"SCHEDULER-AUDIO\", \"action\": \"off\"}";

class ScheduleE2E : public ::testing::Test {
protected:
    void SetUp() override { setup_sandbox_root(root.dir()); }
    DeviceRoot root;
    RedisServer redis{root};
    Peer peer{redis.socket()};
};
}  // namespace

TEST_F(ScheduleE2E, DaemonFollowsTheVolumeServiceChannel) {
    Daemon daemon(root.dir());
    Subscriber events(redis.socket(), "volume-event-channel");
    // a claim that ends with nothing paused: scheduled audio is silent
    ASSERT_TRUE(eventually([&] {
        peer.run({"PUBLISH", "volume-value-channel", "{\"audio_volume\": 30}"});
        return !events.messages().empty();
    })) << daemon.output();
    EXPECT_EQ(events.messages()[0], kOff);
    peer.run({"PUBLISH", "volume-value-channel", "volume 30"});
    EXPECT_TRUE(daemon.wait_output("parse failed!\n")) << daemon.output();
    EXPECT_TRUE(daemon.alive());
}

TEST_F(ScheduleE2E, HarnessPlaysTheShippedSchedule) {
    root.write("/vlc_item_ms", "150");
    Subscriber screen(redis.socket(), "screen-channel");
    Subscriber events(redis.socket(), "volume-event-channel");
    // Wednesday 11 June 2031: the chime plays out at 08:00; the lunch music
    // loops from 12:00 with its screen on until 13:00; Christmas is a holiday
    root.write("/harness.in",
               "minute 2031 6 11 8 0 3\nwait 10\nminute 2031 6 11 12 0 3\nmarked 2 10\n"
               "minute 2031 6 11 13 0 3\nwait 10\nminute 2031 12 25 9 0 4\n");
    const std::string r = root.dir();
    // a cross-built harness runs under the same emulator as the daemon
    const char* emu = getenv("CALLCTLD_EMULATOR");
    const std::string harness = (emu ? std::string(emu) + " '" : "'") +
                                build_path("sandbox/harness/schedule-harness") + "'";
    std::string cmd = "CALLCTLD_ROOT='" + r + "' PATH='" + r + "/standin-bin':\"$PATH\" " + harness + " < '" + r +
                      "/harness.in' > '" + r + "/harness.out' 2>&1";
    ASSERT_EQ(system(cmd.c_str()), 0) << root.read("/harness.out");
    EXPECT_EQ(lines(root.read("/harness.out")),
              (Strings{"device root: " + r, "schedule 2031-06-11 08:00 weekday 3", "idle",
                       "schedule 2031-06-11 12:00 weekday 3", "entry 2 playing", "schedule 2031-06-11 13:00 weekday 3",
                       "idle", "schedule 2031-12-25 09:00 weekday 4", "bye"}));
    Strings starts;
    for (auto& l : journal(r))
        if (l.rfind("vlc --", 0) == 0) starts.push_back(l);
    EXPECT_EQ(starts, (Strings{"vlc --play-and-exit --control rc --rc-fake-tty --rc-unix=" + r +
                                   "/tmp/vlc_1.sock --no-start-paused --no-loop --gain=0.80 " + r + "/tmp/playlist_1.m3u",
                               "vlc --play-and-exit --control rc --rc-fake-tty --rc-unix=" + r +
                                   "/tmp/vlc_2.sock --no-start-paused --loop --gain=0.35 " + r +
                                   "/usr/share/baresip/music.mp3"}));
    EXPECT_EQ(peer.pushed("writelog-channel"),
              (Strings{"SCHEDULE,1,Executed", "FUNCTION,Audio Control,Play audio: chime.mp3",
                       "FUNCTION,Audio Control,Stop audio: chime.mp3", "SCHEDULE,2,Executed",
                       "FUNCTION,Audio Control,Play audio: music.mp3", "SCHEDULE,2,Executed",
                       "FUNCTION,Audio Control,Stop audio: music.mp3"}));
    EXPECT_EQ(screen.wait_for(3), (Strings{"{\"action\": \"on\", \"id\": 1}", "{\"action\": \"off\", \"id\": 1}",
                                           "{\"action\": \"off\", \"id\": 1}"}));
    EXPECT_EQ(events.wait_for(4), (Strings{kOn, kOff, kOn, kOff}));
}
