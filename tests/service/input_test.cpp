#include "input.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "debug.h"
#include "device.h"
#include "fixture.h"
#include "pool.h"

using namespace testsupport;

namespace {

// ---- debounce: a value file whose level changes between samples ------------

int g_fd = -1;
int g_samples_taken = 0;
int g_low_samples = 0;  // the first N samples read '0'

void next_sample(unsigned long) {
    ++g_samples_taken;
    const char* v = g_samples_taken < g_low_samples ? "0\n" : "1\n";
    if (pwrite(g_fd, v, 2, 0) != 2) abort();
}

class DebounceTest : public ::testing::TestWithParam<std::pair<int, bool>> {};

TEST_P(DebounceTest, SeventyOfAHundredIsAPress) {
    DeviceRoot root;
    root.write(dev::GPIO_CALL_BUTTON, "0\n");
    g_fd = open(root.path(dev::GPIO_CALL_BUTTON).c_str(), O_RDWR);
    ASSERT_GE(g_fd, 0);
    g_samples_taken = 0;
    g_low_samples = GetParam().first;
    dev::Sleeper old = dev::set_sleeper(next_sample);
    if (g_low_samples == 0 && pwrite(g_fd, "1\n", 2, 0) != 2) FAIL();
    int low = debounce_samples(g_fd);
    dev::set_sleeper(old);
    EXPECT_EQ(low, GetParam().first);
    EXPECT_EQ(g_samples_taken, 100);
    EXPECT_EQ(low >= DEBOUNCE_PRESSED, GetParam().second);
    close(g_fd);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, DebounceTest,
                         ::testing::Values(std::make_pair(69, false), std::make_pair(70, true),
                                           std::make_pair(100, true), std::make_pair(0, false)));

// ---- presses: what the loop does with a debounced edge ----------------------

std::vector<std::string> g_calls;
void rec_key(int k) { g_calls.push_back("keyAction(" + std::to_string(k) + ")"); }
void rec_beep() { g_calls.push_back("playBeep"); }
bool rec_url(const char* u) {
    g_calls.push_back(std::string("action_url(") + u + ")");
    return true;
}
void rec_play(const char* f, int n) {
    g_calls.push_back(std::string("play_audio(") + f + "," + std::to_string(n) + ")");
}

time_t g_now = 1000;
time_t fake_now() { return g_now; }

class PressTest : public ::testing::Test {
protected:
    void SetUp() override {
        redisClient = create_redis_pool_client(dev::REDIS_SOCK);
        old_ = set_input_actions(InputActions{rec_key, rec_beep, rec_url, rec_play});
        old_clock_ = dev::set_clock(fake_now);
        g_calls.clear();
    }
    void TearDown() override {
        set_input_actions(old_);
        dev::set_clock(old_clock_);
        redis_pool_destroy(redisClient);
        redisClient = nullptr;
        DEBUG.store(0);
    }
    void key_action(const std::string& extra) {
        root_.write(dev::SPEAKER_CONF, "[intercom]\n" + extra);
    }
    std::vector<std::string> log_entries() { return peer_.pushed("writelog-channel"); }

    DeviceRoot root_;
    RedisServer redis_{root_};
    Peer peer_{redis_.socket()};
    InputActions old_{};
    dev::Clock old_clock_ = nullptr;
};

TEST_F(PressTest, CallKeyActionBeepsFirstLogsAndCallsKind1) {
    key_action("key_action = call\n");
    on_call_button_press();
    EXPECT_EQ(g_calls, (std::vector<std::string>{"playBeep", "keyAction(1)"}));
    EXPECT_EQ(log_entries(), std::vector<std::string>{"BUTTON,KEY,DOWN"});
}

TEST_F(PressTest, HttpWithEmptyUrlStillFiresAndLogs) {
    key_action("key_action = http\n");
    on_call_button_press();
    EXPECT_EQ(g_calls, (std::vector<std::string>{"playBeep", "action_url()"}));
    EXPECT_EQ(log_entries(), (std::vector<std::string>{"BUTTON,KEY,DOWN", "FUNCTION,KEY HTTP Request,"}));
}

TEST_F(PressTest, HttpLogsTheUrlWithItsCommas) {
    key_action("key_action = http\nhttp_url = http://h/x?a=1,b=2\n");
    on_call_button_press();
    EXPECT_EQ(g_calls[1], "action_url(http://h/x?a=1,b=2)");
    EXPECT_EQ(log_entries()[1], "FUNCTION,KEY HTTP Request,http://h/x?a=1,b=2");
}

TEST_F(PressTest, HttpRefusedUrlLeavesNoRequestRow) {
    key_action("key_action = http\nhttp_url = -K/etc/passwd\n");
    set_input_actions(default_input_actions());
    dev::ShellRunner old = dev::set_shell_runner([](const char* cmd) {
        g_calls.push_back(cmd);
        return 0;
    });
    StdoutCapture cap;
    on_call_button_press();
    dev::set_shell_runner(old);
    EXPECT_NE(cap.take().find("action url begins with '-', request not sent: -K/etc/passwd\n"), std::string::npos);
    for (const std::string& c : g_calls) EXPECT_EQ(c.find("curl"), std::string::npos) << c;
    EXPECT_EQ(log_entries(), std::vector<std::string>{"BUTTON,KEY,DOWN"});
}

TEST_F(PressTest, PlayConvertsTheRepeatCount) {
    key_action("key_action = play\naudio_file = ring.mp3\naudio_repeat = 3\n");
    on_call_button_press();
    EXPECT_EQ(g_calls[1], "play_audio(ring.mp3,3)");
    EXPECT_EQ(log_entries()[1], "FUNCTION,KEY Play Auido,File: ring.mp3; Repeat: 3");

    g_calls.clear();
    key_action("key_action = play\naudio_file = ring.mp3\n");
    on_call_button_press();
    EXPECT_EQ(g_calls[1], "play_audio(ring.mp3,0)");
}

TEST_F(PressTest, OtherOrMissingKeyActionOnlyBeepsAndLogs) {
    for (const char* conf : {"key_action = Call\n", "", "key_action = dial\n"}) {
        g_calls.clear();
        peer_.del("writelog-channel");
        key_action(conf);
        on_call_button_press();
        EXPECT_EQ(g_calls, std::vector<std::string>{"playBeep"}) << conf;
        EXPECT_EQ(log_entries(), std::vector<std::string>{"BUTTON,KEY,DOWN"}) << conf;
    }
    // no settings file at all reads like a missing key
    root_.remove(dev::SPEAKER_CONF);
    g_calls.clear();
    testing::internal::CaptureStderr();
    on_call_button_press();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(g_calls, std::vector<std::string>{"playBeep"});
}

TEST_F(PressTest, KeyDownPrintedOnlyWithDebug) {
    key_action("");
    {
        StdoutCapture cap;
        on_call_button_press();
        EXPECT_EQ(cap.take(), "");
    }
    DEBUG.store(1);
    StdoutCapture cap;
    on_call_button_press();
    EXPECT_NE(cap.take().find("KEY DOWN\n"), std::string::npos);
}

struct Hold {
    int seconds;
    const char* action;
};

TEST_F(PressTest, ResetHoldClassification) {
    const Hold holds[] = {{3, nullptr}, {4, "keyAction(2)"}, {10, "keyAction(2)"}, {11, "keyAction(3)"}, {0, nullptr}};
    for (const Hold& h : holds) {
        g_calls.clear();
        peer_.del("writelog-channel");
        ResetState st;
        StdoutCapture cap;
        g_now = 5000;
        on_reset_press(&st);
        g_now = 5000 + h.seconds;
        on_reset_release(&st);
        std::string out = cap.take();
        EXPECT_EQ(out, "KEY DOWN\nKEY UP, Time:" + std::to_string(h.seconds) + "\n");
        EXPECT_EQ(log_entries(), (std::vector<std::string>{
                                     "BUTTON,RESET,DOWN",
                                     "BUTTON,RESET,Release <Duration " + std::to_string(h.seconds) + "s>"}));
        if (h.action)
            EXPECT_EQ(g_calls, std::vector<std::string>{h.action}) << h.seconds;
        else
            EXPECT_TRUE(g_calls.empty()) << h.seconds;
    }
}

// One hold, one action: a release with no press since the last release (the
// first change after start, or a bounce after a hold) prints, logs and does
// nothing; a second press before the release restarts the hold.
TEST_F(PressTest, OnlyTheFirstReleaseAfterAPressCounts) {
    ResetState st;
    g_now = 1'700'000'000;  // a wall clock far from the zero press time
    StdoutCapture cap;
    on_reset_release(&st);
    g_now = 1'700'000'100;
    on_reset_press(&st);
    g_now += 2;
    on_reset_press(&st);
    g_now += 5;
    on_reset_release(&st);
    g_now += 2;
    on_reset_release(&st);
    EXPECT_EQ(cap.take(), "KEY DOWN\nKEY DOWN\nKEY UP, Time:5\n");
    EXPECT_EQ(g_calls, std::vector<std::string>{"keyAction(2)"});
    EXPECT_EQ(log_entries(), (std::vector<std::string>{"BUTTON,RESET,DOWN", "BUTTON,RESET,DOWN",
                                                       "BUTTON,RESET,Release <Duration 5s>"}));
}

}  // namespace
