// The spoken IP address, the address look-ups, the amplifier and the key beep.
#include <gtest/gtest.h>

#include "buttons.h"
#include "buttons_fixture.h"

using namespace buttons_test;

namespace {

TEST_F(ButtonsTest, AnnouncementByLanguageAndAddress) {
    const std::string spoken_10_0_0_10 =
        "digit-1.mp3 digit-0.mp3 dian.mp3 digit-0.mp3 dian.mp3 digit-0.mp3 dian.mp3 digit-1.mp3 digit-0.mp3 ";
    struct Case {
        const char* language;
        Lookup ip;
        std::string player;  // the player command, after the sound folder
        bool ip_wrong;       // "ip wrong" printed
    } cases[] = {
        {"en", {1, "10.0.0.10\n"}, "en/;mpg123 -r 48000 " + spoken_10_0_0_10, false},
        {"EN", {1, "10.0.0.10\n"}, "cn/;mpg123 -r 48000 " + spoken_10_0_0_10, false},
        {"", {1, "10.0.0.10\n"}, "cn/;mpg123 -r 48000 " + spoken_10_0_0_10, false},
        {"english", {1, "10.0.0.10\n"}, "cn/;mpg123 -r 48000 " + spoken_10_0_0_10, false},
        // 8 characters, 9 with the newline: no address
        {"en", {1, "10.0.0.1\n"}, "en/get_ip_failed.mp3", false},
        {"de", {1, "10.0.0.1\n"}, "cn/get_ip_failed.mp3", false},
        {"en", {0, ""}, "en/get_ip_failed.mp3", true},
        {"en", {-1, ""}, "en/get_ip_failed.mp3", false},
        {"en", {1, "fe80::42:c0ff:fea8:132\n"}, "en/get_ip_failed.mp3", false},  // longer than an address
    };
    for (const Case& c : cases) {
        clear_bus();
        speaker(std::string("[system]\nlanguage = ") + c.language + "\n");
        rec().ip = c.ip;
        testsupport::StdoutCapture out;
        EXPECT_EQ(PlayIP(), 0);
        std::string printed = out.take();
        const bool failed = c.player.find("failed") != std::string::npos;
        const std::string player = failed ? "mpg123 -r 48000 " + rooted("/usr/share/sounds/" + c.player)
                                          : "cd " + rooted("/usr/share/sounds/" + c.player);
        EXPECT_EQ(rec().events, Strings({"shell " + rooted("/usr/bin/amixer") + " -q sset 'Master',0 29",
                                         "shell echo 1 > " + rooted("/sys/class/gpio/gpio5/value"),
                                         "pipe " + rooted("/sbin/ifconfig") + " eth1 | grep 'inet ' | awk '{print $2}'",
                                         "shell " + player,
                                         "shell echo 0 > " + rooted("/sys/class/gpio/gpio5/value"),
                                         "shell " + rooted("/etc/scripts/set_volume.sh") + " resume"}))
            << c.language << " " << c.ip.line;
        EXPECT_EQ(printed.find("ip wrong\n") != std::string::npos, c.ip_wrong) << c.ip.line;
        EXPECT_EQ(oplog(), failed ? Strings() : Strings({"FUNCTION,Play IP Address,10.0.0.10"}));
    }
}

TEST_F(ButtonsTest, LookUpsAndAmplifierWithoutARoot) {
    dev::set_root("");  // the device's own command texts
    char ip[16] = "untouched";
    char mac[16] = "untouched";
    rec().ip = {1, "192.168.100.200\nsecond line\n"};
    EXPECT_EQ(get_ip(ip), 1);
    EXPECT_STREQ(ip, "192.168.100.200");
    EXPECT_EQ(get_mac(mac), 1);
    EXPECT_STREQ(mac, "0242c0a80132");
    rec().mac = {1, "0123456789abcdef0123456789abcde"};  // a cut line: no address
    EXPECT_EQ(get_mac(mac), 0);
    EXPECT_STREQ(mac, "0242c0a80132");
    amplifier_switch(7);
    amplifier_switch(0);
    dev::set_root(root.dir().c_str());
    EXPECT_EQ(rec().events, Strings({"pipe /sbin/ifconfig eth1 | grep 'inet ' | awk '{print $2}'",
                                     "pipe ifconfig eth1 | grep ether | tr -d : | awk '{print $2}'",
                                     "pipe ifconfig eth1 | grep ether | tr -d : | awk '{print $2}'",
                                     "shell echo 1 > /sys/class/gpio/gpio5/value",
                                     "shell echo 0 > /sys/class/gpio/gpio5/value"}));
}

TEST_F(ButtonsTest, KeyBeepAndItsVolumeEvents) {
    const std::string beep = "shell mpg123 " + rooted("/home/quillhorn/target/share/sounds/beep.mp3");
    auto event = [&](const char* action) {
        return "shell " + rooted("/usr/sbin/redis-cli") +
               " PUBLISH volume-event-channel '{\"name\": \"SIP\", \"action\": \"" + action + "\"}'";
    };
    root.write(dev::VOLCTRL_CONF, "[volume]\nkey_beep = yes\n");
    for (int state : {0, 1, 2, 3, 5, 6}) {
        BARESIP_STATUS.store(state);
        rec().events.clear();
        playBeep();
        if (state == 0 || state == 5)
            EXPECT_EQ(rec().events, Strings({event("on"), beep, "sleep 400000", event("off")})) << state;
        else
            EXPECT_EQ(rec().events, Strings({beep, "sleep 400000"})) << state;
    }
    // the state is read again after the pause: a call that came in meanwhile
    // leaves "on" without "off"
    BARESIP_STATUS.store(0);
    rec().state_after_sleep = 2;
    rec().events.clear();
    playBeep();
    EXPECT_EQ(rec().events, Strings({event("on"), beep, "sleep 400000"}));
    // switched on only by exactly "yes"
    rec().events.clear();
    root.write(dev::VOLCTRL_CONF, "[volume]\nkey_beep = Yes\n");
    playBeep();
    EXPECT_TRUE(rec().events.empty());
}

}  // namespace
