// The volume listener's subscription: it follows the channel across a Redis
// server restart, and a server absent at its first connect ends the process.
#include <gtest/gtest.h>

#include <thread>

#include "device.h"
#include "schedule_fixture.h"

using namespace schedtest;
using testsupport::eventually;

class VolumeListener : public ScheduleTest {
protected:
    // Publishes a claim's end until the listener answers with silence.
    bool answered() {
        testsupport::Subscriber events(redis.socket(), "volume-event-channel");
        testsupport::Peer p(redis.socket());
        return eventually(
            [&] {
                p.run({"PUBLISH", "volume-value-channel", "{\"audio_volume\": 3}"});
                return !events.messages().empty() &&
                       events.messages()[0] == "{\"name\": \"SCHEDULER-AUDIO\", \"action\": \"off\"}";
            },
            std::chrono::seconds(15));
    }
};

TEST_F(VolumeListener, FollowsTheChannelAcrossAServerRestart) {
    std::atomic<bool> stop{false};
    std::thread listener([&] { volume_listener_run(&stop); });
    EXPECT_TRUE(answered());
    redis.stop();
    redis.start();  // the listener and the pool connect again on their own
    EXPECT_TRUE(answered());
    stop.store(true);
    redis.stop();  // the read fails, and the loop sees the stop
    listener.join();
    redis.start();
}

TEST(VolumeListenerStart, ServerAbsentAtTheFirstConnectEndsTheProcess) {
    dev::set_root("/nonexistent/callctld-root");
    EXPECT_EXIT(get_volume_info(nullptr), testing::ExitedWithCode(255), "");
    dev::set_root("");
}
