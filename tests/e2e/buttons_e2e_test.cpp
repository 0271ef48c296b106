// The button functions in a whole simulated device: the real daemon, a real
// Redis server, the stand-in programs, and the inputs driven through the
// sandbox's GPIO script.
#include <fcntl.h>
#include <hiredis.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon.h"
#include "fixture.h"

using namespace testsupport;
using Strings = std::vector<std::string>;

namespace {

class ButtonsE2E : public ::testing::Test {
protected:
    void SetUp() override {
        setup_sandbox_root(root.dir());
        daemon = std::make_unique<Daemon>(root.dir());
        // events published before the listener subscribes would be lost
        ASSERT_TRUE(eventually([&] { return subscribers("session-channel") == 1; }, std::chrono::seconds(10)))
            << daemon->output();
        // a level written before the input loop watches the files is never seen
        ASSERT_TRUE(eventually([&] { return daemon->input_watches() == 2; }, std::chrono::seconds(10)));
    }

    long long subscribers(const std::string& channel) {
        redisReply* r = peer.cmd({"PUBSUB", "NUMSUB", channel});
        long long n = -1;
        if (r && r->type == REDIS_REPLY_ARRAY && r->elements == 2) n = r->element[1]->integer;
        if (r) freeReplyObject(r);
        return n;
    }

    // Runs the sandbox's GPIO script on this device ("press", "hold N").
    void gpio(const std::string& args) {
        std::string cmd = "sh '" + source_path("sandbox/gpio.sh") + "' '" + root.dir() + "' " + args;
        ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
    }

    size_t journal_index(const std::string& line) {
        Strings j = journal(root.dir());
        return static_cast<size_t>(std::find(j.begin(), j.end(), line) - j.begin());
    }
    bool journal_has(const std::string& line) { return journal_index(line) < journal(root.dir()).size(); }

    void publish(const std::string& json) { peer.run({"PUBLISH", "session-channel", json}); }

    DeviceRoot root;
    RedisServer redis{root};
    Peer peer{redis.socket()};
    std::unique_ptr<Daemon> daemon;
};

TEST_F(ButtonsE2E, CallButtonAnswersARingingCallOnce) {
    publish("{\"type\":\"REGISTER_OK\",\"class\":\"register\",\"accountaor\":\"sip:201@192.168.1.10\","
            "\"direction\":\"\",\"peeruri\":\"\",\"param\":\"200 OK\",\"event\":true}");
    publish("{\"type\":\"CALL_INCOMING\",\"direction\":\"incoming\",\"peeruri\":\"sip:1002@192.168.1.100\","
            "\"accountaor\":\"sip:201@192.168.1.10\",\"param\":\"\",\"event\":true}");
    ASSERT_TRUE(daemon->wait_output("Baresip Status is: 2")) << daemon->output();

    gpio("press");
    const std::string accept = "{\"cmd\":\"accept\",\"data\":\"\"}";
    auto accepts = [&] {
        Strings c = peer.pushed("control-channel");
        return std::count(c.begin(), c.end(), accept);
    };
    ASSERT_TRUE(eventually([&] { return accepts() >= 1; })) << daemon->output();
    // A short reset press after the release: once the daemon has handled it,
    // it has handled the call button's release too.
    gpio("hold 1");
    ASSERT_TRUE(daemon->wait_output("KEY UP, Time:1")) << daemon->output();
    EXPECT_EQ(accepts(), 1);

    // the key beep played without volume events: a call was ringing
    EXPECT_TRUE(journal_has("mpg123 " + root.dir() + "/home/quillhorn/target/share/sounds/beep.mp3"));
    for (const std::string& l : journal(root.dir())) EXPECT_EQ(l.rfind("redis-cli", 0), std::string::npos) << l;
    EXPECT_TRUE(eventually([&] { return root.read("/userdata/system.csv").find("KEY Answer") != std::string::npos; }))
        << root.read("/userdata/system.csv");
}

// One write of a value file is one edge, even when its notifications
// (modification, then close) reach the daemon apart: each level is written
// in place and the file closed a little later.
TEST_F(ButtonsE2E, OneWriteOfAValueFileIsOneEdge) {
    auto level = [&](const char* gpio, const char* value) {
        int fd = open(root.path(std::string("/sys/class/gpio/") + gpio + "/value").c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, value, 2), 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // shapes the input, waits for nothing
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a level the debounce sees
    };
    level("gpio111", "0\n");
    level("gpio111", "1\n");
    level("gpio73", "0\n");
    level("gpio73", "1\n");
    auto rows = [&](const std::string& row) {
        const std::string log = root.read("/userdata/system.csv");
        size_t n = 0;
        for (size_t at = log.find(row); at != std::string::npos; at = log.find(row, at + 1)) ++n;
        return n;
    };
    // the reset's release comes last: every edge before it has been handled
    ASSERT_TRUE(eventually([&] { return rows(",BUTTON,RESET,Release") >= 1; })) << daemon->output();
    EXPECT_EQ(rows(",BUTTON,KEY,DOWN"), 1u) << root.read("/userdata/system.csv");
    EXPECT_EQ(rows(",BUTTON,RESET,DOWN"), 1u) << root.read("/userdata/system.csv");
    EXPECT_EQ(rows(",BUTTON,RESET,Release"), 1u) << root.read("/userdata/system.csv");
}

TEST_F(ButtonsE2E, FourSecondResetHoldSpeaksTheAddress) {
    root.write("/sandbox/ip", "10.0.0.10\n");
    gpio("hold 4");
    ASSERT_TRUE(daemon->wait_output("KEY UP, Time:4")) << daemon->output();
    ASSERT_TRUE(eventually([&] { return journal_has("set_volume.sh resume"); })) << daemon->output();

    const size_t amixer = journal_index("amixer -q sset Master,0 29");
    const size_t lookup = journal_index("ifconfig eth1");
    const size_t spoken = journal_index(
        "mpg123 -r 48000 digit-1.mp3 digit-0.mp3 dian.mp3 digit-0.mp3 dian.mp3 digit-0.mp3 dian.mp3 "
        "digit-1.mp3 digit-0.mp3");
    const size_t restored = journal_index("set_volume.sh resume");
    const size_t end = journal(root.dir()).size();
    EXPECT_LT(amixer, lookup);
    EXPECT_LT(lookup, spoken);
    EXPECT_LT(spoken, restored);
    EXPECT_LT(restored, end);
    EXPECT_EQ(root.read("/sys/class/gpio/gpio5/value"), "0\n") << "amplifier off again";
    EXPECT_TRUE(eventually([&] {
        return root.read("/userdata/system.csv").find("Play IP Address,10.0.0.10") != std::string::npos;
    })) << root.read("/userdata/system.csv");
}

TEST_F(ButtonsE2E, ElevenSecondResetHoldRebootsAfterTheNotice) {
    root.write("/oem/.userdata", "user data\n");
    gpio("hold 11");
    ASSERT_TRUE(daemon->wait_output("KEY UP, Time:11")) << daemon->output();
    ASSERT_TRUE(eventually([&] { return journal_has("reboot"); })) << daemon->output();
    EXPECT_LT(journal_index("play_rebooting.sh"), journal_index("reboot"));
    EXPECT_FALSE(root.exists("/oem/.userdata"));
    EXPECT_FALSE(journal_has("amixer -q sset Master,0 29")) << "no announcement";
}

}  // namespace
