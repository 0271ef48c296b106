// The road of one incoming call through the real daemon: the user agent's
// events go in on "session-channel"; relay, screen, beeps, the AI line, the
// operation log and the call-detail line come out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "daemon.h"
#include "fixture.h"

namespace {

using namespace testsupport;
using Strings = std::vector<std::string>;

std::string event(const std::string& type, const std::string& more = "") {
    return "{\"type\":\"" + type + "\",\"direction\":\"incoming\",\"event\":true" +
           ",\"accountaor\":\"sip:201@192.168.1.10\",\"peeruri\":\"sip:202@192.168.1.20\"" + more + "}";
}

bool subscribed(Peer& peer) {
    redisReply* r = peer.cmd({"PUBSUB", "NUMSUB", "session-channel"});
    bool one = r && r->elements == 2 && r->element[1]->integer == 1;
    if (r) freeReplyObject(r);
    return one;
}

// The text with every digit replaced by '9': time stamps compared by shape.
std::string shape(std::string text) {
    for (char& c : text)
        if (isdigit(static_cast<unsigned char>(c))) c = '9';
    return text;
}

std::string replace(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(SipE2E, OneIncomingCall) {
    DeviceRoot root;
    setup_sandbox_root(root.dir());
    // the screen code "3" ends with the relay code "123": the last key
    // switches both, and the screen comes back off after one second
    std::string conf = root.read("/etc/speaker.conf");
    conf = replace(conf, "dtmf_code = 456", "dtmf_code = 3");
    conf = replace(conf, "duration = 10", "duration = 1");
    root.write("/etc/speaker.conf", conf);
    root.write("/sys/class/gpio/gpio143/value", "1\n");  // the AI line is on while idle
    RedisServer redis(root);
    Peer peer(redis.socket());
    Subscriber screen(redis.socket(), "screen-channel");
    Daemon daemon(root.dir());
    ASSERT_TRUE(eventually([&] { return subscribed(peer); }, std::chrono::seconds(10))) << daemon.output();
    auto publish = [&](const std::string& msg) { peer.run({"PUBLISH", "session-channel", msg}); };
    const std::string on = "{\"id\":\"gpio112\",\"type\":\"On\"}";

    publish("{\"type\":\"REGISTER_OK\",\"class\":\"register\",\"event\":true,\"accountaor\":\"sip:201@192.168.1.10\"}");
    publish(event("CALL_INCOMING"));
    EXPECT_TRUE(eventually([&] { return peer.pushed("output-channel") == Strings{on}; }));

    publish(event("CALL_ESTABLISHED"));
    EXPECT_TRUE(eventually([&] { return peer.pushed("control-channel").size() == 2; }));
    EXPECT_TRUE(eventually([&] { return root.read("/sys/class/gpio/gpio143/value") == "0\n"; }));

    for (const char* key : {"1", "2", "3"}) publish(event("CALL_DTMF_START", std::string(",\"param\":\"") + key + "\""));
    EXPECT_TRUE(eventually([&] { return peer.pushed("output-channel") == Strings{on, on}; }));
    EXPECT_EQ(screen.wait_for(1), Strings{"{\"action\": \"on\", \"id\": 1}"});

    publish(event("CALL_CLOSED", ",\"param\":\"Connection reset by user\""));
    EXPECT_TRUE(eventually([&] { return peer.pushed("output-channel").size() == 3; }));
    EXPECT_EQ(peer.pushed("output-channel"), (Strings{on, on, "{\"id\":\"gpio112\",\"type\":\"Off\"}"}));
    EXPECT_EQ(peer.pushed("control-channel"),
              (Strings{"{\"cmd\":\"mixausrc_dec_start\",\"data\":\"aufile /usr/share/baresip/answer.wav 10 80\"}",
                       "{\"cmd\":\"mixausrc_enc_start\",\"data\":\"aufile /usr/share/baresip/answer.wav 10 60\"}",
                       "{\"cmd\":\"setaudiotempvol\",\"data\":\"70\"}", "{\"cmd\":\"play\",\"data\":\"hangup.wav:0\"}"}));
    EXPECT_TRUE(eventually([&] { return root.read("/sys/class/gpio/gpio143/value") == "1\n"; }));
    // date, times and the (one-digit) duration by shape, the rest byte for byte
    const std::string cdr = root.read("/userdata/cdr.csv");
    const std::string tail = ",in,ANSWERED,Connection reset by user\n";
    ASSERT_GT(cdr.size(), 30 + tail.size()) << cdr;
    EXPECT_EQ(shape(cdr.substr(0, 29)), "9999-99-99,99:99:99,99:99:99,");
    EXPECT_EQ(cdr.substr(29, cdr.size() - 30 - tail.size()), "sip:201@192.168.1.10,202,");
    EXPECT_EQ(shape(cdr.substr(cdr.size() - 1 - tail.size())), "9" + tail);
    EXPECT_EQ(screen.wait_for(2, std::chrono::seconds(10)),
              (Strings{"{\"action\": \"on\", \"id\": 1}", "{\"action\": \"off\", \"id\": 1}"}));

    const Strings rows = {"SIP STATE,SIP REGISTERED,Primary SIP Account <sip:201@192.168.1.10>",
                          "SIP STATE,INCOMING CALL,sip:202@192.168.1.20",
                          "SIP STATE,CALL ESTABLISHED,incoming",
                          "FUNCTION,RECEIVE DTMF,1",
                          "FUNCTION,RECEIVE DTMF,2",
                          "FUNCTION,RECEIVE DTMF,3",
                          "SIP STATE,CALL CLOSED,Connection reset by user"};
    Strings logged;
    eventually([&] {
        logged = lines(root.read("/userdata/system.csv"));
        return logged.size() >= rows.size();
    }, std::chrono::seconds(20));
    ASSERT_EQ(logged.size(), rows.size());
    for (size_t i = 0; i < rows.size(); i++) {
        EXPECT_EQ(shape(logged[i].substr(0, 20)), "9999-99-99 99:99:99,");
        EXPECT_EQ(logged[i].substr(20), rows[i]);
    }
    EXPECT_TRUE(daemon.alive());
}

}  // namespace
