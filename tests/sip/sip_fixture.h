// A device with a real Redis server, settings written per test, recorded
// shell commands, an injected clock, and a way to hand the dispatcher a
// message as the subscription delivers it.
#pragma once
#include <hiredis.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../outputs/release_gate.h"
#include "call_state.h"
#include "calls.h"
#include "debug.h"
#include "device.h"
#include "fixture.h"
#include "pool.h"
#include "sip.h"

namespace siptest {

inline std::mutex g_shell_m;
inline std::vector<std::string> g_shell;
inline std::atomic<time_t> g_now{1700000000};
// While set, every shell command and clock reading also pushes a marker
// ("mark:shell", "mark:clock") so a test can see them in order with the bus.
inline redisContext* g_marks = nullptr;

inline void mark(const char* what) {
    if (g_marks) freeReplyObject(redisCommand(g_marks, "LPUSH %s x", what));
}
inline int record_shell(const char* cmd) {
    mark("mark:shell");
    std::lock_guard<std::mutex> g(g_shell_m);
    g_shell.push_back(cmd);
    return 0;
}
inline time_t fake_clock() {
    mark("mark:clock");
    return g_now.load();
}
inline time_t local_time(int year, int mon, int day, int h, int m, int s) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = day;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

using Settings = std::map<std::string, std::string>;  // "section:key" -> value

class SipTest : public ::testing::Test {
protected:
    void SetUp() override {
        redisClient = create_redis_pool_client(dev::REDIS_SOCK);
        BARESIP_STATUS = 0;
        CURRENT_CALLS = 0;
        regcount = 0;
        for (auto* r : {&ACCOUNT1_REG, &ACCOUNT2_REG, &ACCOUNT3_REG, &ACCOUNTP2P_REG}) *r = 0;
        memset(DTMF_STRING, 0, sizeof DTMF_STRING);
        reset_callInfo();
        live_calls_end_all();
        g_shell.clear();
        g_now = 1700000000;
        dev::set_shell_runner(&record_shell);
        dev::set_clock(&fake_clock);
        conf({});
    }
    void TearDown() override {
        EXPECT_TRUE(gate.drain());
        if (g_marks) redisFree(g_marks);
        g_marks = nullptr;
        dev::set_shell_runner(nullptr);
        dev::set_clock(nullptr);
        redis_pool_destroy(redisClient);
        redisClient = nullptr;
    }

    // Writes "/etc/speaker.conf": a registered-capable account 1, the relay
    // following incoming calls and released at hang-up, beeps off.
    void conf(const Settings& overrides) {
        Settings s = {{"system:hard_version", "Ver3.2"}, {"ai_settings:enable", "yes"},
                      {"account_info_1:enable", "yes"},  {"account_info_1:username", "201"},
                      {"account_info_1:server", "192.168.1.10"}, {"account_info_2:username", "202"},
                      {"account_info_2:domain", "sip.example.com"}, {"relay_ctrl:type", "On"},
                      {"relay_ctrl:call_state", "yes"},  {"relay_ctrl:state_info", "incoming"},
                      {"relay_ctrl:mode", "hangup"},     {"screen_ctrl:type", "1"}};
        for (auto& kv : overrides) s[kv.first] = kv.second;
        std::map<std::string, std::string> sections;
        for (auto& kv : s) {
            size_t colon = kv.first.find(':');
            sections[kv.first.substr(0, colon)] += kv.first.substr(colon + 1) + " = " + kv.second + "\n";
        }
        std::string text;
        for (auto& sec : sections) text += "[" + sec.first + "]\n" + sec.second;
        root.write("/etc/speaker.conf", text);
    }

    // Hands the dispatcher a message as the subscription delivers it.
    void send(const std::string& json) {
        testsupport::MessageReply msg("session-channel", json);
        ProcessReply(msg.get());
    }
    static std::string ev(const std::string& type, const std::string& dir, const std::string& more = "") {
        return "{\"type\":\"" + type + "\",\"direction\":\"" + dir + "\",\"event\":true" + more + "}";
    }
    void call(const std::string& type, const std::string& dir = "incoming", const std::string& peeruri = "sip:202@192.168.1.20") {
        send(ev(type, dir, ",\"peeruri\":\"" + peeruri + "\",\"accountaor\":\"sip:201@192.168.1.10\",\"param\":\"bye\""));
    }

    std::vector<std::string> pushed(const char* list) { return peer.pushed(list); }
    std::vector<std::string> shell() {
        std::lock_guard<std::mutex> g(g_shell_m);
        return g_shell;
    }
    std::string ai(int on) { return "echo " + std::to_string(on) + " > " + root.path("/sys/class/gpio/gpio143/value"); }

    // Starts following the order of list pushes (markers included), leaving
    // the operation log out.
    std::unique_ptr<testsupport::Subscriber> trace() {
        peer.run({"CONFIG", "SET", "notify-keyspace-events", "El"});
        g_marks = redisConnectUnix(redis.socket().c_str());
        return std::make_unique<testsupport::Subscriber>(redis.socket(), "__keyevent@0__:lpush");
    }
    static std::vector<std::string> order(testsupport::Subscriber& t, size_t n) {
        std::vector<std::string> out;
        testsupport::eventually([&] {
            out.clear();
            for (auto& k : t.messages())
                if (k != "writelog-channel") out.push_back(k);
            return out.size() >= n;
        });
        return out;
    }

    testsupport::DeviceRoot root;
    testsupport::RedisServer redis{root};
    testsupport::Peer peer{redis.socket()};
    ReleaseGate gate{false};
};

}  // namespace siptest
