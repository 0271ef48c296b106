#include "outputs.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "fixture.h"
#include "pool.h"
#include "device.h"
#include "release_gate.h"

using testsupport::eventually;

namespace {

std::mutex g_shell_m;
std::vector<std::string> g_shell;
int record_shell(const char* cmd) {
    std::lock_guard<std::mutex> g(g_shell_m);
    g_shell.push_back(cmd);
    return 0;
}

class OutputsTest : public ::testing::Test {
protected:
    void SetUp() override {
        redisClient = create_redis_pool_client(dev::REDIS_SOCK);
        g_shell.clear();
        dev::set_shell_runner(&record_shell);
    }
    void TearDown() override {
        EXPECT_TRUE(gate.drain());
        dev::set_shell_runner(nullptr);
        redis_pool_destroy(redisClient);
        redisClient = nullptr;
    }
    void conf(const std::string& relay, const std::string& screen_conf = "type = 1\n",
              const std::string& other = "") {
        root.write("/etc/speaker.conf", "[relay_ctrl]\n" + relay + "[screen_ctrl]\n" + screen_conf + other);
    }
    std::string gpio(const char* n) { return root.path(std::string("/sys/class/gpio/gpio") + n + "/value"); }

    testsupport::DeviceRoot root;
    testsupport::RedisServer redis{root};
    testsupport::Peer peer{redis.socket()};
    testsupport::Subscriber screens{redis.socket(), "screen-channel"};
    ReleaseGate gate{false};
};

TEST_F(OutputsTest, RelayCommandsCarryTheTypeEscapedAndFixedOff) {
    conf("type = On\n");
    relayControl(RELAY_ID, 1);
    relayControl(RELAY_ID, 0);
    conf("type = a\"b\\c\n");  // a quote and a backslash stay inside the value
    relayControl(RELAY_ID, 1);
    conf("");  // no type: empty field
    relayControl(RELAY_ID, 1);
    EXPECT_EQ(peer.pushed("output-channel"),
              (std::vector<std::string>{"{\"id\":\"gpio112\",\"type\":\"On\"}", "{\"id\":\"gpio112\",\"type\":\"Off\"}",
                                        "{\"id\":\"gpio112\",\"type\":\"a\\\"b\\\\c\"}",
                                        "{\"id\":\"gpio112\",\"type\":\"\"}"}));
}

TEST_F(OutputsTest, ScreenCommandsCarryTheIdUnquoted) {
    conf("", "type = 12\n");
    screenControl(1);
    screenControl(0);
    EXPECT_EQ(screens.wait_for(2), (std::vector<std::string>{"{\"action\": \"on\", \"id\": 12}",
                                                            "{\"action\": \"off\", \"id\": 12}"}));
}

TEST_F(OutputsTest, AiLineFollowsHardwareRevisionAndEnable) {
    struct Case {
        const char* version;
        const char* enable;
        int on;
        std::string expected;  // "" when nothing may be written
    } cases[] = {
        {"Ver3.2", "yes", 1, "echo 1 > " + gpio("143")},
        {"Ver3.2", "no", 1, ""},
        {"Ver3.2", "no", 0, "echo 0 > " + gpio("143")},
        {"Ver3.2a", "yes", 1, "echo 1 > " + gpio("134")},
        {"ver3.2", "yes", 0, "echo 0 > " + gpio("134")},
        {"", "", 0, "echo 0 > " + gpio("134")},
    };
    for (const Case& c : cases) {
        conf("", "", std::string("[system]\nhard_version = ") + c.version + "\n[ai_settings]\nenable = " + c.enable + "\n");
        g_shell.clear();
        ai_ctrl(c.on);
        std::vector<std::string> want;
        if (!c.expected.empty()) want.push_back(c.expected);
        EXPECT_EQ(g_shell, want) << c.version << "/" << c.enable << "/" << c.on;
    }
}

TEST_F(OutputsTest, RelayReleaseWaitsTheDurationThenSwitchesOff) {
    gate.drain();  // let every release through at once
    // leading digits only, clamped to 0..4294 s, never wrapped
    const char* durations[] = {"0", "", "5x", "-7", "9999999"};
    for (const char* d : durations) {
        conf(std::string("duration = ") + d + "\n");
        ASSERT_TRUE(start_timed_release(RELAY_RELEASE));
        ASSERT_TRUE(eventually([] { return timed_releases_pending() == 0; }));
    }
    EXPECT_EQ(gate.waits(), (std::vector<unsigned long>{0, 0, 5000000, 0, 4294000000UL}));
    EXPECT_EQ(peer.pushed("output-channel"), std::vector<std::string>(5, "{\"id\":\"gpio112\",\"type\":\"Off\"}"));
}

TEST_F(OutputsTest, OverlappingReleasesEachSendTheirOwnOff) {
    conf("type = On\nduration = 10\n");
    for (int i = 0; i < 2; i++) {
        relayControl(RELAY_ID, 1);
        ASSERT_TRUE(start_timed_release(RELAY_RELEASE));
    }
    ASSERT_TRUE(eventually([&] { return gate.waits().size() == 2; }));
    EXPECT_EQ(timed_releases_pending(), 2);
    gate.release_one();
    ASSERT_TRUE(eventually([&] { return peer.pushed("output-channel").size() == 3; }));
    EXPECT_TRUE(eventually([] { return timed_releases_pending() == 1; }));
    gate.release_one();
    ASSERT_TRUE(eventually([&] { return peer.pushed("output-channel").size() == 4; }));
    EXPECT_EQ(peer.pushed("output-channel")[3], "{\"id\":\"gpio112\",\"type\":\"Off\"}");
}

TEST_F(OutputsTest, AFloodOfScreenReleasesLeavesRoomForTheRelays) {
    // a caller's keys can start a thousand releases within the longest wait
    conf("duration = 600\n", "type = 1\nduration = 600\n");
    for (int i = 0; i < 1000; i++) ASSERT_TRUE(start_timed_release(SCREEN_RELEASE)) << i;
    EXPECT_TRUE(start_timed_release(RELAY_RELEASE));
}

TEST_F(OutputsTest, ScreenReleaseReadsTheIdWhenItFires) {
    conf("", "type = 1\nduration = 10\n");
    screenControl(1);
    ASSERT_TRUE(start_timed_release(SCREEN_RELEASE));
    ASSERT_TRUE(eventually([&] { return gate.waits().size() == 1; }));
    conf("", "type = 2\nduration = 10\n");
    gate.drain();
    EXPECT_EQ(screens.wait_for(2), (std::vector<std::string>{"{\"action\": \"on\", \"id\": 1}",
                                                            "{\"action\": \"off\", \"id\": 2}"}));
    EXPECT_EQ(gate.waits(), std::vector<unsigned long>{10000000});
}

}  // namespace
