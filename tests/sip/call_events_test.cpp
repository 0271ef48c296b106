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

TEST_F(CallEventsTest, LimitRestartsWithEachEstablishedCallAndEndsWithTheLast) {
    struct Case {
        const char* name;
        std::vector<std::string> events;
        size_t hangups;
    } cases[] = {
        {"one call", {"CALL_INCOMING", "CALL_ESTABLISHED"}, 1},
        {"restarted", {"CALL_INCOMING", "CALL_ESTABLISHED", "CALL_ESTABLISHED"}, 1},
        {"closed", {"CALL_INCOMING", "CALL_ESTABLISHED", "CALL_CLOSED"}, 0},
        {"one call left", {"CALL_INCOMING", "CALL_INCOMING", "CALL_ESTABLISHED", "CALL_CLOSED"}, 1},
    };
    conf({{"intercom:max_call_time", "5"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CURRENT_CALLS = 0;
        peer.del("control-channel");
        gate.close();
        for (const auto& e : c.events) call(e);
        call("CALL_INCOMING");  // keeps a call counted; no limit starts
        ASSERT_TRUE(gate.drain());
        ASSERT_TRUE(testsupport::eventually([] { return call_limit_timers_pending() == 0; }));
        auto control = pushed("control-channel");
        EXPECT_EQ(static_cast<size_t>(std::count(control.begin(), control.end(), kHangup)), c.hangups);
        call("CALL_CLOSED");
        call("CALL_CLOSED");
    }
}

TEST_F(CallEventsTest, AllowListDecidesWhoOpensTheDoor) {
    struct Case {
        const char* allow;
        bool opens;
    } cases[] = {
        {"", true},
        {" 201 ,  202\t, 203", true},  // listed with blanks
        {"201,2020,20", false},
        {" , ", true},  // no number listed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.allow);
        conf({{"relay_ctrl:call_state", "no"}, {"relay_ctrl:mode", ""}, {"relay_ctrl:dtmf", "yes"}, {"relay_ctrl:dtmf_code", "12"},
              {"relay_ctrl:dtmf_allow", c.allow}});
        peer.del("output-channel");
        rows();
        call("CALL_INCOMING");
        for (const char* k : {"1", "2", "1", "2"})
            send(ev("CALL_DTMF_START", "incoming", std::string(",\"param\":\"") + k + "\""));
        call("CALL_CLOSED");
        EXPECT_EQ(pushed("output-channel").size(), c.opens ? 2u : 0u);
        EXPECT_EQ(rows(), c.opens ? Strings{} : Strings(2, "FUNCTION,DTMF REFUSED,202"));
    }
}

}  // namespace
}  // namespace siptest
