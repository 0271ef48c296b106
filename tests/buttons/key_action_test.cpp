// Button actions: each press kind in each call state, the line table, the
// one-key call, the unregistered action request and the watchdog.
#include <gtest/gtest.h>

#include "buttons.h"
#include "buttons_fixture.h"
#include "timers.h"

using namespace buttons_test;

namespace {

const char* const HANGUP = "{\"cmd\":\"hangup\",\"data\":\"\"}";

// ---- every press kind in every call state -----------------------------------

struct Outcome {
    Strings control, oplog, shell;
    int state;
};

class PressMatrix : public ButtonsTest, public ::testing::WithParamInterface<std::tuple<int, int>> {
protected:
    Outcome expected(int kind, int state) {
        if (kind == 2)  // the address spoken, whatever the state
            return {{},
                    {"FUNCTION,Play IP Address,192.168.1.10"},
                    {rooted("/usr/bin/amixer") + " -q sset 'Master',0 29",
                     "echo 1 > " + rooted("/sys/class/gpio/gpio5/value"),
                     "cd " + rooted("/usr/share/sounds/en/") +
                         ";mpg123 -r 48000 digit-1.mp3 digit-9.mp3 digit-2.mp3 dian.mp3 digit-1.mp3 "
                         "digit-6.mp3 digit-8.mp3 dian.mp3 digit-1.mp3 dian.mp3 digit-1.mp3 digit-0.mp3 ",
                     "echo 0 > " + rooted("/sys/class/gpio/gpio5/value"),
                     rooted("/etc/scripts/set_volume.sh") + " resume"},
                    state};
        if (kind == 3)  // reboot notice, then the marker goes and the device reboots
            return {{}, {}, {rooted("/etc/scripts/play_rebooting.sh"),
                             "rm -f " + rooted("/oem/.userdata") + " && " + rooted("/sbin/reboot")}, state};
        if (kind == 1 && state == 0)
            return {{"{\"cmd\":\"dial\",\"data\":\"201 0\"}"}, {"FUNCTION,KEY Call,201 <auto>"}, {}, 6};
        if (kind == 1 && (state == 1 || state == 3)) return {{HANGUP}, {"FUNCTION,KEY Hangup,"}, {}, state};
        if (kind == 1 && state == 2)
            return {{"{\"cmd\":\"accept\",\"data\":\"\"}"}, {"FUNCTION,KEY Answer,"}, {}, 2};
        if (kind == 1 && state == 5)
            return {{}, {"FUNCTION,HTTP Request,http://acs/unreg?n=201"},
                    {"curl -k --connect-timeout 5 'http://acs/unreg?n=201' 2>/dev/null &"}, 5};
        return {{}, {}, {}, state};
    }
};

TEST_P(PressMatrix, ActsOnKindAndState) {
    const int kind = std::get<0>(GetParam());
    const int state = std::get<1>(GetParam());
    speaker("[system]\nlanguage = en\n"
            "[intercom]\nonekey_num = 201\nonekey_line = auto\nrepress_cancel = yes\n"
            "[call_action_url]\nunregistered_enable = yes\nunregistered_url = http://acs/unreg?n=${number}\n"
            "[account_info_1]\nenable = yes\n");
    set_registered(1, 0, 0);
    BARESIP_STATUS.store(state);
    DEBUG.store(1);
    testsupport::StdoutCapture out;
    keyAction(kind);
    EXPECT_EQ(testsupport::lines(out.take()).at(0), "BARESIP_STATUS [" + std::to_string(state) + "]");

    Outcome want = expected(kind, state);
    EXPECT_EQ(control(), want.control);
    EXPECT_EQ(oplog(), want.oplog);
    EXPECT_EQ(rec().shell(), want.shell);
    EXPECT_EQ(BARESIP_STATUS.load(), want.state);
}

INSTANTIATE_TEST_SUITE_P(AllKindsAllStates, PressMatrix,
                         ::testing::Combine(::testing::Values(-1, 0, 1, 2, 3, 4),
                                            ::testing::Values(0, 1, 2, 3, 4, 5, 6)));

TEST_F(ButtonsTest, HangUpOnlyWhenRepressCancelIsExactlyYes) {
    for (const char* conf : {"repress_cancel = Yes\n", "repress_cancel = no\n", ""}) {
        speaker(std::string("[intercom]\n") + conf);
        for (int state : {1, 3}) {
            BARESIP_STATUS.store(state);
            keyAction(1);
            EXPECT_TRUE(control().empty()) << conf;
            EXPECT_EQ(BARESIP_STATUS.load(), state);
        }
    }
}

// ---- line table and one-key call ----------------------------------------------

std::string accounts(const char* line, const char* e1, const char* e2, const char* e3, const char* number = "201") {
    return std::string("[intercom]\nonekey_num = ") + number + "\nonekey_line = " + line +
           "\n[account_info_1]\nenable = " + e1 + "\n[account_info_2]\nenable = " + e2 +
           "\n[account_info_3]\nenable = " + e3 + "\n";
}

TEST_F(ButtonsTest, LineTableCountsTheEnabledAccounts) {
    struct Case {
        const char *e1, *e2, *e3;
        std::vector<int> want;
    } cases[] = {
        {"yes", "no", "yes", {-1, 0, -1, 1}},
        {"yes", "yes", "yes", {-1, 0, 1, 2}},
        {"no", "no", "no", {-1, -1, -1, -1}},
        {"Yes", "yes", "YES", {-1, -1, 0, -1}},  // exactly "yes" only
    };
    for (const Case& c : cases) {
        speaker(accounts("auto", c.e1, c.e2, c.e3));
        int line[4] = {7, 7, 7, 7};
        EXPECT_EQ(get_line(line), 1);
        EXPECT_EQ(std::vector<int>(line, line + 4), c.want) << c.e1 << c.e2 << c.e3;
    }
}

TEST_F(ButtonsTest, DialPicksTheAccountAndItsLineNumber) {
    struct Case {
        const char* line;
        const char *e1, *e2, *e3;
        int r1, r2, r3;
        const char* data;
    } cases[] = {
        {"auto", "yes", "no", "yes", 1, 0, 1, "201 0"},  // accounts 1 and 3 registered
        {"auto", "yes", "no", "yes", 0, 0, 1, "201 1"},  // only account 3 registered
        {"account_info_2", "yes", "yes", "yes", 1, 1, 1, "201 1"},
        {"account_info_3", "no", "yes", "yes", 0, 0, 1, "201 1"},
        {"p2p", "no", "no", "no", 0, 0, 0, "201"},  // the number alone, peer-to-peer flag 0
    };
    for (const Case& c : cases) {
        clear_bus();
        speaker(accounts(c.line, c.e1, c.e2, c.e3));
        set_registered(c.r1, c.r2, c.r3, 0);
        BARESIP_STATUS.store(0);
        keyAction(1);
        const std::string dial = std::string("{\"cmd\":\"dial\",\"data\":\"") + c.data + "\"}";
        EXPECT_EQ(control(), Strings({dial})) << c.line;
        EXPECT_EQ(oplog(), Strings({std::string("FUNCTION,KEY Call,201 <") + c.line + ">"}));
        EXPECT_EQ(BARESIP_STATUS.load(), 6) << "a sent dial stays pending";
    }
}

TEST_F(ButtonsTest, AbandonedDialReturnsToIdleSilently) {
    struct Case {
        const char* why;
        std::string conf;
        int r1, r2, r3;
    } cases[] = {
        {"empty number", accounts("p2p", "yes", "yes", "yes", ""), 1, 1, 1},
        {"auto, nothing registered", accounts("auto", "yes", "yes", "yes"), 0, 0, 0},
        {"auto, first registered not enabled", accounts("auto", "no", "yes", "yes"), 1, 1, 0},
        {"named account not enabled", accounts("account_info_2", "yes", "no", "yes"), 1, 1, 1},
        {"named account not registered", accounts("account_info_2", "yes", "yes", "yes"), 1, 0, 1},
        {"unknown line", accounts("account_info_4", "yes", "yes", "yes"), 1, 1, 1},
        {"line in capitals", accounts("P2P", "yes", "yes", "yes"), 1, 1, 1},
        {"empty line", accounts("", "yes", "yes", "yes"), 1, 1, 1},
    };
    for (const Case& c : cases) {
        speaker(c.conf);
        set_registered(c.r1, c.r2, c.r3, 1);
        BARESIP_STATUS.store(0);
        keyAction(1);
        EXPECT_EQ(BARESIP_STATUS.load(), 0) << c.why;
        EXPECT_TRUE(control().empty()) << c.why;
        EXPECT_TRUE(oplog().empty()) << c.why;
    }
}

TEST_F(ButtonsTest, DialThatNothingAnswersReturnsToTheCallsState) {
    struct Case {
        const char* why;
        bool bus;        // Redis takes the dial
        int moved_to;    // the state an event set meanwhile (6: none)
        int state;       // once the wait is over
        Strings rows;
    } cases[] = {
        {"no event within the wait", true, 6, 0, {"FUNCTION,KEY Call,201 <auto>", "FUNCTION,DIAL NO ANSWER,30s"}},
        {"the outgoing call came", true, 3, 3, {"FUNCTION,KEY Call,201 <auto>"}},
        {"the dial never reached the bus", false, 6, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        clear_bus();
        timer_test::set_mode(timer_test::REAL);
        timer_test::set_mode(timer_test::HELD);
        speaker(accounts("auto", "yes", "no", "no"));
        set_registered(1, 0, 0, 0);
        BARESIP_STATUS.store(0);
        RedisPool* pool = redisClient;
        if (!c.bus) redisClient = nullptr;
        keyAction(1);
        redisClient = pool;
        EXPECT_EQ(BARESIP_STATUS.load(), c.bus ? 6 : 0);
        EXPECT_EQ(timer_test::delays(), c.bus ? std::vector<unsigned long>{30000000UL} : std::vector<unsigned long>{});
        if (c.moved_to != 6) BARESIP_STATUS.store(c.moved_to);
        timer_test::set_mode(timer_test::RUSHED);
        ASSERT_TRUE(testsupport::eventually([] { return timers_pending() == 0; }));
        EXPECT_EQ(BARESIP_STATUS.load(), c.state);
        EXPECT_EQ(oplog(), c.rows);
    }
    timer_test::set_mode(timer_test::REAL);
}

// ---- unregistered action request ----------------------------------------------

TEST_F(ButtonsTest, UnregisteredRequestFillsPlaceholders) {
    struct Case {
        const char* why;
        std::string url;
        std::string user;  // "onekey_line" and a user name key
        bool no_ip;        // the address look-up prints no line
        std::string want;  // the request fired, "" for none
    } cases[] = {
        {"all four, ip twice", "h/${ip}/${ip}?m=${mac}&u=${ua}&n=${number}", "account_info_2\n[account_info_2]\nusername = bob",
         false, "h/10.1.2.30/10.1.2.30?m=0242c0a80132&u=bob&n=201"},
        {"auto has no user name key", "h/u=${ua}&n=${number}", "auto", false, "h/u=&n=201"},
        {"empty user name", "h/${ua}${ua}/", "account_info_1\n[account_info_1]\nusername =", false, "h//"},
        {"address unreadable: placeholder kept", "h/${ip}", "auto", true, "h/${ip}"},
        {"number after ua", "h/${ua}", "account_info_1\n[account_info_1]\nusername = a${number}", false, "h/a201"},
        {"ua after ip", "h/${ua}", "account_info_1\n[account_info_1]\nusername = u${ip}", false, "h/u${ip}"},
        {"value holding its placeholder", "h/${ua}/${ua}", "account_info_1\n[account_info_1]\nusername = x${ua}y", {},
         "h/x${ua}y/x${ua}y"},
        {"255 after filling", "h/" + std::string(233, 'a') + "${ua}", "account_info_1\n[account_info_1]\nusername = 01234567890123456789", {},
         "h/" + std::string(233, 'a') + "01234567890123456789"},
        {"256 after filling", "h/" + std::string(234, 'a') + "${ua}", "account_info_1\n[account_info_1]\nusername = 01234567890123456789", false, ""},
        {"template too long", "h/" + std::string(260, 'b'), "auto", false, ""},
    };
    for (const Case& c : cases) {
        clear_bus();
        speaker("[call_action_url]\nunregistered_enable = yes\nunregistered_url = " + c.url +
                "\n[intercom]\nonekey_num = 201\nonekey_line = " + c.user + "\n");
        rec().ip = c.no_ip ? Lookup{0, ""} : Lookup{1, "10.1.2.30\n"};
        BARESIP_STATUS.store(5);
        testsupport::StdoutCapture out;
        keyAction(1);
        std::string printed = out.take();
        EXPECT_EQ(BARESIP_STATUS.load(), 5);
        if (c.want.empty()) {
            EXPECT_TRUE(rec().shell().empty()) << c.why;
            EXPECT_TRUE(oplog().empty()) << c.why;
            EXPECT_EQ(testsupport::lines(printed).size(), 1u) << c.why << ": one line says why";
            continue;
        }
        EXPECT_EQ(rec().shell(), Strings({"curl -k --connect-timeout 5 '" + c.want + "' 2>/dev/null &"})) << c.why;
        // every log entry is cut at 255 characters
        EXPECT_EQ(oplog(), Strings({("FUNCTION,HTTP Request," + c.want).substr(0, 255)})) << c.why;
        EXPECT_EQ(printed.find("ip wrong\n") != std::string::npos, c.no_ip) << c.why;
    }
}

// ---- play request and watchdog -----------------------------------------------

TEST_F(ButtonsTest, PlayAudioAsksTheUserAgent) {
    play_audio("ring.mp3", 2);
    EXPECT_EQ(control(), Strings({"{\"cmd\":\"play\",\"data\":\"ring.mp3:2\"}"}));
}

TEST_F(ButtonsTest, WatchdogStopsThePhoneServiceAfterAQuietPeriod) {
    // no account enabled: nothing stopped, the count cleared
    speaker(accounts("auto", "no", "Yes", "no"));
    regcount.store(3);
    checkReg(nullptr);
    checkReg(nullptr);
    EXPECT_TRUE(rec().events.empty());
    EXPECT_EQ(regcount.load(), 0);
    // an account enabled: activity counted clears the count; the next check
    // with nothing in between stops the service
    speaker(accounts("auto", "no", "no", "yes"));
    regcount.store(3);
    checkReg(nullptr);
    EXPECT_TRUE(rec().events.empty());
    EXPECT_EQ(regcount.load(), 0);
    checkReg(nullptr);
    EXPECT_EQ(rec().shell(), Strings({rooted("/etc/scrtips/sipphone.sh") + " stop"}));
    // settings that cannot be loaded: nothing runs and the count stays
    root.remove(dev::SPEAKER_CONF);
    regcount.store(4);
    testing::internal::CaptureStderr();
    checkReg(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot parse file: /etc/speaker.conf\n");
    EXPECT_EQ(regcount.load(), 4);
    EXPECT_EQ(rec().shell().size(), 1u);
}

}  // namespace
