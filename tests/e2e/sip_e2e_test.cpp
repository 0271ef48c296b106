// The road of one incoming call through the real daemon: the user agent's
// events go in on "session-channel"; relay, screen, beeps, the AI line, the
// operation log and the call-detail line come out. Then overlapping calls,
// case by case, through one daemon.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <thread>
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

// One case of overlapping calls: settings added to the sandbox's, then steps
// (each a line): "in ID NUMBER", "out ID NUMBER", "est ID", "close ID
// [REASON]", "dtmf ID KEYS" (events naming their call by id and peer uri),
// "unseen ID NUMBER" (a call whose start the daemon never sees), "exit",
// "regfail", "regok", "set SECTION KEY VALUE" (read from the next event on), "pause
// MS" (lets a timer pass that nothing shows), "state N" (every event before
// is handled and the call state is N). Then what came out: the relay, the
// commands to the user agent, the FUNCTION rows and the call-detail lines
// (account, number, direction, result, reason).
struct OverlapCase {
    const char* name;
    const char* settings;
    const char* steps;
    const char* relay;
    const char* control;
    Strings rows;
    Strings cdr;
};

class Overlap {
public:
    Overlap() {
        setup_sandbox_root(root.dir());
        base_ = root.read("/etc/speaker.conf") +
                "[sip_function]\nanswer_local_beep = no\nanswer_remote_beep = no\nhangup_beep = no\n"
                "[screen_ctrl]\ndtmf = no\n";
        root.write("/etc/speaker.conf", base_);
    }
    void publish(const std::string& msg) { peer.run({"PUBLISH", "session-channel", msg}); }
    std::string call_event(const std::string& type, const std::string& id, const std::string& more = "") {
        const auto& c = calls_[id];
        return "{\"type\":\"" + type + "\",\"class\":\"call\",\"direction\":\"" + c.first +
               "\",\"event\":true,\"accountaor\":\"sip:201@192.168.1.10\",\"id\":\"" + id +
               "\",\"peeruri\":\"sip:" + c.second + "@192.168.1.20\"" + more + "}";
    }
    // Every event published so far is handled; the state it left.
    int sync() {
        std::string mark = "{\"type\":\"MARK\",\"seq\":" + std::to_string(++marks_) + "}";
        publish(mark);
        int state = -1;
        EXPECT_TRUE(eventually([&] {
            std::string out = daemon->output();
            size_t at = out.find("Msg [" + mark + "]");
            const std::string status = "Baresip Status is: ";
            at = at == std::string::npos ? at : out.find(status, at);
            if (at == std::string::npos) return false;
            state = atoi(out.c_str() + at + status.size());
            return true;
        })) << mark;
        return state;
    }
    void step(const std::string& line) {
        std::istringstream in(line);
        std::string op, a, b;
        in >> op >> a;
        std::getline(in >> std::ws, b);
        if (op == "in" || op == "out") {
            calls_[a] = {op == "in" ? "incoming" : "outgoing", b};
            publish(call_event(op == "in" ? "CALL_INCOMING" : "CALL_OUTGOING", a));
        } else if (op == "est") {
            publish(call_event("CALL_ESTABLISHED", a));
        } else if (op == "close") {
            publish(call_event("CALL_CLOSED", a, ",\"param\":\"" + b + "\""));
        } else if (op == "dtmf") {
            for (char k : b) publish(call_event("CALL_DTMF_START", a, std::string(",\"param\":\"") + k + "\""));
        } else if (op == "exit") {
            publish("{\"type\":\"EXIT\",\"class\":\"sys\",\"event\":true}");
        } else if (op == "unseen") {
            calls_[a] = {"incoming", b};
        } else if (op == "regok") {
            publish("{\"type\":\"REGISTER_OK\",\"class\":\"register\",\"event\":true,\"accountaor\":\"sip:201@192.168.1.10\"}");
        } else if (op == "regfail") {
            publish("{\"type\":\"REGISTER_FAIL\",\"event\":true,\"accountaor\":\"sip:201@192.168.1.10\",\"param\":\"408\"}");
        } else if (op == "set") {
            sync();  // the events before it read the settings before it
            std::istringstream kv(b);
            std::string key, value;
            kv >> key >> value;
            settings_ += "[" + a + "]\n" + key + " = " + value + "\n";
            root.write("/etc/speaker.conf", base_ + settings_);
        } else if (op == "pause") {
            std::this_thread::sleep_for(std::chrono::milliseconds(atoi(a.c_str())));
        } else if (op == "state") {
            EXPECT_EQ(sync(), atoi(a.c_str())) << line;
        }
    }
    void run(const OverlapCase& c) {
        SCOPED_TRACE(c.name);
        settings_ = c.settings;
        root.write("/etc/speaker.conf", base_ + settings_);
        // a fresh start of the user agent: no call, account 1 registered
        publish("{\"type\":\"REGISTER_OK\",\"class\":\"init register\",\"event\":true,"
                "\"accountaor\":\"sip:201@192.168.1.10\"}");
        sync();
        for (const char* l : {"output-channel", "control-channel"}) peer.del(l);
        size_t rows0 = lines(root.read("/userdata/system.csv")).size();
        size_t cdr0 = lines(root.read("/userdata/cdr.csv")).size();
        std::istringstream steps(c.steps);
        for (std::string line; std::getline(steps, line);) step(line);
        sync();
        std::string relay, control;
        Strings rows, cdr;
        auto collect = [&] {
            relay.clear();
            for (auto& e : peer.pushed("output-channel"))
                relay += (relay.empty() ? "" : " ") + std::string(e.find("\"Off\"") != std::string::npos ? "off" : "on");
            control.clear();
            for (auto& e : peer.pushed("control-channel"))
                control += (control.empty() ? "" : " ") + e.substr(8, e.find('"', 8) - 8);
            rows.clear();
            auto all = lines(root.read("/userdata/system.csv"));
            for (size_t i = rows0; i < all.size(); i++)
                if (all[i].find(",FUNCTION,") == 19 && all[i].find("RECEIVE DTMF") == std::string::npos)
                    rows.push_back(all[i].substr(29));
            cdr.clear();
            auto calls = lines(root.read("/userdata/cdr.csv"));
            for (size_t i = cdr0; i < calls.size(); i++) {
                std::vector<std::string> f(1);
                for (char ch : calls[i]) {
                    if (ch == ',') f.emplace_back();
                    else f.back() += ch;
                }
                std::string kept;
                for (size_t n = 3; n < f.size(); n++)
                    if (n != 5) kept += (kept.empty() ? "" : ",") + f[n];
                cdr.push_back(kept);
            }
            return relay == c.relay && control == c.control && rows == c.rows && cdr == c.cdr;
        };
        eventually(collect, std::chrono::seconds(8));
        EXPECT_EQ(relay, c.relay);
        EXPECT_EQ(control, c.control);
        EXPECT_EQ(rows, c.rows);
        EXPECT_EQ(cdr, c.cdr);
    }

    DeviceRoot root;
    RedisServer redis{root};
    Peer peer{redis.socket()};
    std::unique_ptr<Daemon> daemon;

private:
    std::string base_, settings_;
    int marks_ = 0;
    std::map<std::string, std::pair<std::string, std::string>> calls_;  // id: direction, number
};

TEST(SipE2E, OverlappingCallsEachKeepTheirOwn) {
    const std::string acc = "sip:201@192.168.1.10,";
    const OverlapCase cases[] = {
        // first: no record left by another case reaches the unseen call's line
        {"a close of a call never seen leaves the known call ringing", "",
         "in A 1002\nunseen G 1009\nest G\nclose G\nstate 2\nclose A\nstate 0", "on off", "resume", {},
         {"ANSWERED,", acc + "1002,in,MISSED CALL,"}},
        {"a registration back mid-call leaves the call its own line", "",
         "regfail\nstate 5\nin A 1002\nregok\nstate 0\nclose A", "off", "", {}, {acc + "1002,in,MISSED CALL,"}},
        {"a refused caller stays refused while a listed caller rings", "[relay_ctrl]\ndtmf_allow = 1001\n",
         "in A 1002\nest A\ndtmf A 123\nin B 1001\ndtmf A 123\nclose A\nclose B", "on off off", "resume",
         {"DTMF REFUSED,1002", "DTMF REFUSED,1002"},
         {acc + "1002,in,ANSWERED,", acc + "1001,in,MISSED CALL,"}},
        {"a listed caller opens after another call rang and was cancelled", "[relay_ctrl]\ndtmf_allow = 1001\n",
         "in A 1001\nest A\nin B 1002\nclose B\ndtmf A 123\nclose A", "on on off", "resume", {},
         {acc + "1002,in,MISSED CALL,", acc + "1001,in,ANSWERED,"}},
        {"the limit never cuts a ringing call", "[intercom]\nmax_call_time = 1\n",
         "in A 1002\nest A\nin B 1003\nclose A\nset intercom max_call_time 3\nest B", "on off", "resume hangup",
         {"CALL TIME LIMIT,3s"}, {acc + "1002,in,ANSWERED,"}},
        {"a second established call neither prolongs nor is cut with the first", "[intercom]\nmax_call_time = 1\n",
         "in A 1002\nest A\nin B 1003\nset intercom max_call_time 30\nest B\npause 1500\nclose B reason", "on",
         "resume hangup", {"CALL TIME LIMIT,1s"}, {acc + "1003,in,ANSWERED,reason"}},
        {"the user agent's exit mid-call closes the call", "[intercom]\nmax_call_time = 1\n",
         "in A 1002\nest A\nexit\nstate 5\npause 1500", "on off", "", {},
         {acc + "1002,in,ANSWERED,user agent exited"}},
        {"a close while another call rings leaves it ringing", "",
         "in A 1002\nin B 1003\nclose B\nstate 2\nclose A\nstate 0", "on off", "resume", {},
         {acc + "1003,in,MISSED CALL,", acc + "1002,in,MISSED CALL,"}},
        {"two calls, two lines", "",
         "in A 1002\nest A\nin B 1003\nest B\nclose A first call ended\nstate 1\nclose B second call ended", "on off off",
         "resume", {}, {acc + "1002,in,ANSWERED,first call ended", acc + "1003,in,ANSWERED,second call ended"}},
        {"a registration failure waits for the last call", "",
         "in A 1002\nregfail\nstate 2\nclose A\nstate 5", "on off", "", {}, {acc + "1002,in,MISSED CALL,"}},
        {"an earlier call's release never cuts a newer call", "[relay_ctrl]\nstate_info = both\nmode = delay\nduration = 1\n",
         "in A 1002\nclose A\nset relay_ctrl duration 60\nin B 1003\npause 1500\nclose B", "on off on off", "", {},
         {acc + "1002,in,MISSED CALL,", acc + "1003,in,MISSED CALL,"}},
    };
    Overlap o;
    o.daemon = std::make_unique<Daemon>(o.root.dir());
    ASSERT_TRUE(eventually([&] { return subscribed(o.peer); }, std::chrono::seconds(10))) << o.daemon->output();
    for (const OverlapCase& c : cases) o.run(c);
    EXPECT_TRUE(o.daemon->alive());
}

}  // namespace
