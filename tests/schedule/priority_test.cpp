// Priorities between playbacks and the volume service's claim, played out
// with real stand-in players paused and resumed over their control sockets.
// A scenario is a list of steps:
//   sN:P  start a playback in slot N at priority P (waits until it is marked)
//   vX    "audio_volume" X arrives        eN  the player of slot N ends
//   tN    toggle slot N by hand           xN  slot N's control socket vanishes
//   ?S    the states of slots 1.. are the digits of S
#include <gtest/gtest.h>

#include <hiredis.h>

#include <algorithm>
#include <sstream>

#include "schedule_fixture.h"

using namespace schedtest;
using testsupport::eventually;
using Strings = std::vector<std::string>;

namespace {
const std::string on = "{\"name\": \"SCHEDULER-AUDIO\", \"action\": \"on\"}";
const std::string off = "{\"name\": \"SCHEDULER-AUDIO\", \"action\": \"off\"}";

// A subscription message as the volume listener reads it.
void volume_message(const std::string& payload) {
    testsupport::MessageReply msg("volume-value-channel", payload);
    ProcessVolumeReply(msg.get());
}

class Priority : public ScheduleTest {
protected:
    void run(const std::string& steps) {
        std::istringstream in(steps);
        std::string t;
        while (in >> t) {
            int n = atoi(t.c_str() + 1);
            switch (t[0]) {
            case 's': start(n, atoi(t.c_str() + t.find(':') + 1)); break;
            case 'v': volume_message("{\"audio_volume\": " + t.substr(1) + "}"); break;
            case 'e': {
                kill(vlcInfo[n].process_id.load(), SIGKILL);
                // the player thread has run its stop check once it reset the slot
                ASSERT_TRUE(eventually([&] { return vlcInfo[n].process_id.load() == 0; })) << t;
                break;
            }
            case 't':
                ASSERT_EQ(vlc_cmd_action("pause", n), 1);
                SCHEDULE[n].store(3 - SCHEDULE[n].load());
                break;
            case 'x': root.remove("/tmp/vlc_" + std::to_string(n) + ".sock"); break;
            case '?':
                for (size_t s = 1; s < t.size(); s++) EXPECT_EQ(SCHEDULE[s].load(), t[s] - '0') << "slot " << s << " at " << t;
                break;
            }
        }
        // every live player is in the state its entry shows
        for (auto& sp : spawns()) {
            int slot = atoi(sp.argv[5].c_str() + sp.argv[5].rfind('_') + 1);
            if (sp.pid <= 0 || vlcInfo[slot].process_id.load() != sp.pid) continue;
            auto ev = player_events(sp.pid);
            bool playing = (sp.argv[6] == "--no-start-paused") == (std::count(ev.begin(), ev.end(), "pause") ==
                                                                     std::count(ev.begin(), ev.end(), "resume"));
            EXPECT_EQ(playing, SCHEDULE[slot].load() == 1) << "slot " << slot;
        }
    }
};
}  // namespace

TEST_F(Priority, ScenariosPlayOutAsDesigned) {
    struct {
        const char* steps;
        Strings events;
    } cases[] = {
        // a higher newcomer pauses the lower playback, which resumes when it ends
        {"s1:3 s2:5 ?21 e2 ?10", {on, on, on}},
        // a lower newcomer starts paused and resumes when the higher one ends
        {"s1:5 s2:3 ?12 e1 ?01", {on, on}},
        {"s1:3 s2:3 ?11", {on, on}},
        // without the claim an end resumes the highest paused level, also one
        // above its own (a higher playback ending at the same moment may run
        // its check after this one)
        {"s1:4 s2:7 ?21 s3:3 ?212 t2 ?222 e3 ?210", {on, on, on}},
        // the scan pauses lower slots, then stops at a paused higher one
        {"s2:8 s1:3 ?21 v0 ?22 t1 ?12 s3:5 ?222 e3 ?12", {on, on}},
        // the claim pauses what plays below 11
        {"s1:11 s2:2 ?12 t2 ?11 v0 ?12", {on}},
        // the claim's end resumes the highest paused level, all of it
        {"s1:4 s2:4 s3:2 ?112 v0 ?222 v7 ?112", {on, on, on, on}},
        // nothing paused: silence is announced; a claim leaves no trace; a
        // playing slot stops the check
        {"v50 s1:1 ?1 v50 ?1", {off, on}},
        // paused levels above the claim's 11 or below 1 are not resumed
        {"s2:12 s4:0 v0 ?0102 t2 ?0202 v5 ?0202", {on, off}},
        // an end under the claim resumed a level below one the claim paused:
        // the claim's end pauses it again and resumes the higher one, so a
        // newcomer between the two waits behind a sounding playback
        {"s1:1 s2:5 ?21 v0 ?22 s3:3 ?222 e3 ?120 v7 ?210 s3:3 ?212", {on, on, on, on}},
        // a resume that cannot be delivered falls to the next level
        {"s1:6 s2:3 ?12 v0 ?22 x1 v9 ?21", {on, on, on}},
    };
    testsupport::Subscriber events(redis.socket(), "volume-event-channel");
    for (auto& c : cases) {
        SCOPED_TRACE(c.steps);
        settled(events, "volume-event-channel");
        run(c.steps);
        EXPECT_EQ(settled(events, "volume-event-channel"), c.events);
        end_players();
    }
}

TEST_F(Priority, VolumeMessagesWithoutANumberDoNothing) {
    testsupport::Subscriber events(redis.socket(), "volume-event-channel");
    run("s1:5");
    testsupport::StdoutCapture cap;
    volume_message("{\"volume\": 0}");
    volume_message("{\"audio_volume\": \"0\"}");
    volume_message("[0]");
    volume_message("audio_volume=0");
    EXPECT_EQ(cap.take(), "parse failed!\n");
    run("?1");
    EXPECT_EQ(settled(events, "volume-event-channel"), (Strings{on}));
}
