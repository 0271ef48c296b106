// The call-time limit and the door code's allow-list.
#include <gtest/gtest.h>

#include "sip_fixture.h"

namespace siptest {
namespace {

using Strings = std::vector<std::string>;
const std::string kHangup = "{\"cmd\":\"hangup\",\"data\":\"\"}";

class CallEventsTest : public SipTest {
protected:
    void TearDown() override {
        EXPECT_TRUE(gate.drain());
        EXPECT_TRUE(testsupport::eventually([] { return call_limit_timers_pending() == 0; }));
        SipTest::TearDown();
    }
    // The rows pushed since the last call of rows(), without the call's own.
    Strings rows() {
        Strings out;
        auto all = pushed("writelog-channel");
        for (size_t i = seen_; i < all.size(); i++)
            if (all[i].rfind("SIP STATE,", 0) != 0 && all[i].rfind("FUNCTION,RECEIVE DTMF", 0) != 0)
                out.push_back(all[i]);
        seen_ = all.size();
        return out;
    }
    size_t seen_ = 0;
};

TEST_F(CallEventsTest, LimitWarnsTenSecondsBeforeOnlyAboveTenSeconds) {
    struct Case {
        const char* limit;
        std::vector<unsigned long> waits;  // seconds
        Strings control;
    } cases[] = {
        {"30", {20, 10}, {"{\"cmd\":\"play\",\"data\":\"warn \\\"1\\\".wav:1\"}", kHangup}},
        {"11", {1, 10}, {"{\"cmd\":\"play\",\"data\":\"warn \\\"1\\\".wav:1\"}", kHangup}},
        {"10", {10}, {kHangup}},
        {"0", {}, {}},
        {"2x", {}, {}},
        {"", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        peer.del("control-channel");
        rows();
        gate.close();
        size_t waited = gate.waits().size();
        conf({{"intercom:max_call_time", c.limit}, {"intercom:max_call_warning", "warn \"1\".wav"}});
        call("CALL_INCOMING");
        call("CALL_ESTABLISHED");
        ASSERT_TRUE(gate.drain());
        ASSERT_TRUE(testsupport::eventually([] { return call_limit_timers_pending() == 0; }));
        std::vector<unsigned long> waits;
        for (size_t i = waited; i < gate.waits().size(); i++) waits.push_back(gate.waits()[i] / 1000000UL);
        EXPECT_EQ(waits, c.waits);
        EXPECT_EQ(pushed("control-channel"), c.control);
        EXPECT_EQ(rows(), c.control.empty() ? Strings{} : Strings{std::string("FUNCTION,CALL TIME LIMIT,") + c.limit + "s"});
        call("CALL_CLOSED");
    }
}

TEST_F(CallEventsTest, LimitIsEachCallsOwnAndCutsOnlyTheOnlyCall) {
    // events as "type id" (in, est, close for calls A, B and "-"; exit; init)
    struct Case {
        const char* name;
        std::vector<std::string> events;  // while every timer is held
        size_t timers;                    // limits started
        size_t hangups;                   // once every timer has fired
        std::vector<std::string> then;    // afterwards
        size_t hangups_then;
    } cases[] = {
        {"one call", {"in A", "est A"}, 1, 1, {}, 1},
        {"established twice", {"in A", "est A", "est A"}, 1, 1, {}, 1},
        {"closed", {"in A", "est A", "close A"}, 1, 0, {}, 0},
        {"a ringing call is never cut", {"in A", "est A", "in B", "close A"}, 1, 0, {}, 0},
        {"cut waits for the other call", {"in A", "est A", "in B"}, 1, 0, {"close B"}, 1},
        {"two limits, one cut", {"in A", "est A", "in B", "est B"}, 2, 0, {"close B"}, 1},
        {"exit", {"in A", "est A", "exit"}, 1, 0, {}, 0},
        {"count reset", {"in A", "est A", "init"}, 1, 0, {}, 0},
        {"events that name no call", {"in -", "est -"}, 1, 1, {"close -"}, 1},
    };
    conf({{"intercom:max_call_time", "5"}});
    auto play = [&](const std::string& e) {
        std::string type = e.substr(0, e.find(' '));
        std::string id = e.substr(e.find(' ') + 1);  // "-": the event names no call
        std::string more = id == "-" ? "" : ",\"id\":\"" + id + "\",\"peeruri\":\"sip:202@h\"";
        if (type == "in") send(ev("CALL_INCOMING", "incoming", more));
        if (type == "est") send(ev("CALL_ESTABLISHED", "incoming", more));
        if (type == "close") send(ev("CALL_CLOSED", "incoming", more));
        if (type == "exit") send(ev("EXIT", ""));
        if (type == "init") send(ev("REGISTER_OK", "", ",\"class\":\"init register\""));
    };
    auto hangups = [&] {
        auto control = pushed("control-channel");
        return static_cast<size_t>(std::count(control.begin(), control.end(), kHangup));
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        live_calls_end_all();
        CURRENT_CALLS = 0;
        BARESIP_STATUS = 0;
        peer.del("control-channel");
        gate.close();
        size_t waited = gate.waits().size();
        for (const auto& e : c.events) play(e);
        EXPECT_EQ(gate.waits().size() - waited, c.timers);
        ASSERT_TRUE(gate.drain());
        EXPECT_EQ(hangups(), c.hangups);
        for (const auto& e : c.then) play(e);
        EXPECT_EQ(hangups(), c.hangups_then);
        EXPECT_EQ(rows(), Strings(c.hangups_then, "FUNCTION,CALL TIME LIMIT,5s"));
    }
}

TEST_F(CallEventsTest, AllowListDecidesWhoOpensTheDoor) {
    const std::string long_number(32, '7');
    struct Case {
        const char* allow;
        std::string peeruri;  // of the DTMF events; empty: they name no call
        bool opens;
        const char* refused;  // the number in the rows
    } cases[] = {
        {"", "sip:202@192.168.1.20", true, ""},
        {" 201 ,  202\t, 203", "sip:202@192.168.1.20", true, ""},  // listed with blanks
        {"201,2020,20", "sip:202@192.168.1.20", false, "202"},
        {" , ", "sip:202@192.168.1.20", true, ""},  // no number listed
        {"202", "", false, ""},                      // no call named: refused
        {"", "", true, ""},                          // no list: the designed door
        {"7777777777777777777777777777777", "sip:" + long_number + "@h", false, "7777777777777777777777777777777"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.allow) + " " + c.peeruri);
        conf({{"relay_ctrl:call_state", "no"}, {"relay_ctrl:mode", ""}, {"relay_ctrl:dtmf", "yes"}, {"relay_ctrl:dtmf_code", "12"},
              {"relay_ctrl:dtmf_allow", c.allow}});
        peer.del("output-channel");
        rows();
        std::string uri = c.peeruri.empty() ? "sip:202@192.168.1.20" : c.peeruri;
        call("CALL_INCOMING", "incoming", uri);
        std::string named = c.peeruri.empty() ? "" : ",\"peeruri\":\"" + c.peeruri + "\"";
        for (const char* k : {"1", "2", "1", "2"})
            send(ev("CALL_DTMF_START", "incoming", named + ",\"param\":\"" + k + "\""));
        call("CALL_CLOSED", "incoming", uri);
        EXPECT_EQ(pushed("output-channel").size(), c.opens ? 2u : 0u);
        EXPECT_EQ(rows(), c.opens ? Strings{} : Strings(2, std::string("FUNCTION,DTMF REFUSED,") + c.refused));
    }
}

}  // namespace
}  // namespace siptest
