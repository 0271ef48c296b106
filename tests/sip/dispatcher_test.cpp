#include <gtest/gtest.h>

#include "sip_fixture.h"

namespace siptest {
namespace {

using Strings = std::vector<std::string>;

class DispatcherTest : public SipTest {
protected:
    // Relay entries as "on"/"off", joined by blanks.
    std::string relay() {
        std::string out;
        for (auto& e : pushed("output-channel"))
            out += std::string(out.empty() ? "" : " ") + (e.find("\"Off\"") != std::string::npos ? "off" : "on");
        return out;
    }
};

TEST_F(DispatcherTest, CallEventsMoveTheStateAsTabled) {
    struct Row {
        int from, calls;
        const char *type, *dir;
        int to, calls_after;
        const char* relay;  // the trigger's relay entries (state_info "both")
    } rows[] = {
        {0, 0, "CALL_INCOMING", "incoming", 2, 1, "on"},  {1, 1, "CALL_INCOMING", "incoming", 1, 2, ""},
        {2, 1, "CALL_INCOMING", "incoming", 2, 2, ""},    {3, 1, "CALL_INCOMING", "incoming", 3, 2, ""},
        {5, 0, "CALL_INCOMING", "incoming", 5, 1, ""},    {6, 0, "CALL_INCOMING", "incoming", 6, 1, ""},
        {0, 0, "CALL_OUTGOING", "outgoing", 3, 1, "on"},  {6, 0, "CALL_OUTGOING", "outgoing", 3, 1, "on"},
        {1, 1, "CALL_OUTGOING", "outgoing", 1, 2, ""},    {2, 1, "CALL_OUTGOING", "outgoing", 2, 2, ""},
        {5, 0, "CALL_OUTGOING", "outgoing", 5, 1, ""},    {0, 0, "CALL_OUTGOING", "incoming", 0, 0, ""},
        {5, 1, "CALL_ESTABLISHED", "outgoing", 1, 1, ""}, {6, 1, "CALL_ESTABLISHED", "incoming", 1, 1, ""},
        {2, 1, "CALL_ESTABLISHED", "sideways", 2, 1, ""}, {2, 1, "CALL_CLOSED", "incoming", 0, 0, "off"},
        {5, 1, "CALL_CLOSED", "outgoing", 5, 0, "off"},   {6, 0, "CALL_CLOSED", "outgoing", 0, 0, "off"},
        {1, 1, "CALL_RINGING", "incoming", 1, 1, ""},
    };
    conf({{"relay_ctrl:state_info", "both"}, {"relay_ctrl:mode", ""}});
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.type) + " " + r.dir + " from " + std::to_string(r.from));
        peer.del("output-channel");
        BARESIP_STATUS = r.from;
        CURRENT_CALLS = r.calls;
        call(r.type, r.dir);
        EXPECT_EQ(BARESIP_STATUS, r.to);
        EXPECT_EQ(CURRENT_CALLS, r.calls_after);
        EXPECT_EQ(relay(), r.relay);
    }
}

TEST_F(DispatcherTest, CallLogEntriesAndCloseWithoutACountedCall) {
    call("CALL_INCOMING");
    call("CALL_ESTABLISHED");
    send(ev("CALL_DTMF_START", "incoming", ",\"param\":\"5\""));
    call("CALL_CLOSED");
    call("CALL_CLOSED");  // nothing counted any more: stays 0, AI on, a record line all the same
    EXPECT_EQ(CURRENT_CALLS, 0);
    EXPECT_EQ(shell(), (Strings{ai(0), ai(1), ai(1)}));
    EXPECT_EQ(pushed("writelog-channel"),
              (Strings{"SIP STATE,INCOMING CALL,sip:202@192.168.1.20", "SIP STATE,CALL ESTABLISHED,incoming",
                       "FUNCTION,RECEIVE DTMF,5", "SIP STATE,CALL CLOSED,bye", "SIP STATE,CALL CLOSED,bye"}));
    EXPECT_EQ(testsupport::lines(root.read("/userdata/cdr.csv")).size(), 2u);
}

TEST_F(DispatcherTest, TwoOverlappingCallsEachKeepTheirOwnRecordAndResume) {
    call("CALL_INCOMING");
    call("CALL_ESTABLISHED");
    g_now += 10;
    call("CALL_INCOMING", "incoming", "sip:303@192.168.1.30");  // second call: counted, no trigger
    EXPECT_EQ(BARESIP_STATUS, 1);
    EXPECT_EQ(CURRENT_CALLS, 2);
    EXPECT_EQ(relay(), "on");

    g_now += 5;
    call("CALL_CLOSED");
    EXPECT_EQ(BARESIP_STATUS, 2);  // the other call still rings
    EXPECT_EQ(CURRENT_CALLS, 1);
    EXPECT_EQ(pushed("control-channel"), Strings{"{\"cmd\":\"resume\",\"data\":\"\"}"});
    EXPECT_EQ(shell(), Strings{ai(0)});  // the AI line stays off while a call remains

    call("CALL_CLOSED", "incoming", "sip:303@192.168.1.30");
    EXPECT_EQ(BARESIP_STATUS, 0);
    EXPECT_EQ(CURRENT_CALLS, 0);
    EXPECT_EQ(shell(), (Strings{ai(0), ai(1)}));
    auto rows = testsupport::lines(root.read("/userdata/cdr.csv"));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_NE(rows[0].find(",sip:201@192.168.1.10,202,15,in,ANSWERED,bye"), std::string::npos) << rows[0];
    EXPECT_NE(rows[1].find(",sip:201@192.168.1.10,303,0,in,MISSED CALL,bye"), std::string::npos) << rows[1];
}

TEST_F(DispatcherTest, PeerNumbers) {
    struct {
        const char *dir, *uri, *number;
    } cases[] = {
        {"incoming", "sip:201@10.0.0.5", "201"},  {"outgoing", "sip:201@10.0.0.5", "201"},
        {"outgoing", "sip:201;transport=udp", "201"}, {"incoming", "sip:201", "201"},
        {"incoming", "201", ""},                   {"outgoing", "sip:1002", "1002"},
        {"incoming", "sip:12345678901234567890123456789012345@h", "1234567890123456789012345678901"},
    };
    for (auto& c : cases) {
        bool in = c.dir == std::string("incoming");
        call(in ? "CALL_INCOMING" : "CALL_OUTGOING", c.dir, c.uri);
        call("CALL_CLOSED", c.dir, c.uri);
        EXPECT_STREQ(lastClosedCall.number, c.number) << c.uri;
    }
}

TEST_F(DispatcherTest, RegistrationEvents) {
    conf({{"account_info_2:enable", "yes"}});
    const std::string ok1 = ",\"accountaor\":\"sip:201@192.168.1.10\"";
    BARESIP_STATUS = 5;
    send(ev("REGISTER_OK", "", ok1));
    EXPECT_EQ(BARESIP_STATUS, 0);
    EXPECT_EQ(ACCOUNT1_REG, 1);
    EXPECT_EQ(regcount, 0);
    send(ev("REGISTER_OK", "", ok1));  // a refresh: counted, nothing logged
    send(ev("REGISTER_OK", ""));       // no address of record: counted
    EXPECT_EQ(regcount, 2);

    BARESIP_STATUS = 2;
    CURRENT_CALLS = 1;
    send(ev("REGISTER_OK", "", ok1));
    EXPECT_EQ(BARESIP_STATUS, 2);
    send(ev("REGISTER_OK", "", ok1 + ",\"class\":\"init register\""));
    EXPECT_EQ(BARESIP_STATUS, 0);
    EXPECT_EQ(CURRENT_CALLS, 0);

    BARESIP_STATUS = 5;  // no enabled account matches, still idle
    send(ev("REGISTER_OK", "", ",\"accountaor\":\"sip:999@nowhere\""));
    EXPECT_EQ(BARESIP_STATUS, 0);
    EXPECT_EQ(regcount, 5);

    send(ev("REGISTER_OK", "", ",\"accountaor\":\"sip:202@sip.example.com\""));
    EXPECT_EQ(ACCOUNT2_REG, 1);
    BARESIP_STATUS = 1;
    send(ev("REGISTER_FAIL", "", ok1 + ",\"param\":\"403 Forbidden\""));
    EXPECT_EQ(ACCOUNT1_REG, 0);
    EXPECT_EQ(BARESIP_STATUS, 1);  // account 2 is still there
    send(ev("REGISTER_FAIL", "", ok1));  // not registered any more: counted
    EXPECT_EQ(regcount, 6);
    send(ev("REGISTER_FAIL", "", ",\"accountaor\":\"sip:202@sip.example.com\""));
    EXPECT_EQ(BARESIP_STATUS, 5);  // the last one went

    EXPECT_EQ(pushed("writelog-channel"),
              (Strings{"SIP STATE,SIP REGISTERED,Primary SIP Account <sip:201@192.168.1.10>",
                       "SIP STATE,SIP REGISTERED,Secondary SIP Account-1 <sip:202@sip.example.com>",
                       "SIP STATE,Primary Account REGISTER FAILED <sip:201@192.168.1.10>,403 Forbidden",
                       "SIP STATE,Secondary Account-1 REGISTER FAILED <sip:202@sip.example.com>,"}));
}

TEST_F(DispatcherTest, ExitAndPeerToPeerListing) {
    const std::string listing = "{\"event\":false,\"data\":\"\\n--- User Agents (1) ---\\nsip:x\"}";
    ACCOUNT1_REG = 1;
    ACCOUNTP2P_REG = 1;
    CURRENT_CALLS = 2;
    send(ev("EXIT", ""));
    EXPECT_EQ(BARESIP_STATUS, 5);
    EXPECT_EQ(ACCOUNT1_REG, 0);
    EXPECT_EQ(ACCOUNTP2P_REG, 1);
    EXPECT_EQ(CURRENT_CALLS, 0);

    send(listing);  // switch off in the settings: cleared, state kept
    EXPECT_EQ(ACCOUNTP2P_REG, 0);
    EXPECT_EQ(BARESIP_STATUS, 5);
    conf({{"account_info_p2p:enable", "yes"}});
    send(listing);
    BARESIP_STATUS = 1;
    send(listing);
    EXPECT_EQ(BARESIP_STATUS, 0);  // also during a call
    EXPECT_EQ(ACCOUNTP2P_REG, 1);
    BARESIP_STATUS = 1;
    send("{\"event\":true,\"data\":\"\\n--- User Agents\"}");  // an event, not a listing
    EXPECT_EQ(BARESIP_STATUS, 1);
    EXPECT_EQ(pushed("writelog-channel"),
              (Strings{"SIP STATE,APP EXIT,", "SIP STATE,P2P ACCOUNT,Disabled", "SIP STATE,P2P ACCOUNT,Enabled"}));
}

TEST_F(DispatcherTest, DiagnosticLinesOnlyWithDebug) {
    testsupport::StdoutCapture quiet;
    call("CALL_INCOMING");
    call("CALL_CLOSED");
    EXPECT_EQ(quiet.take(), "");

    DEBUG = 1;
    testsupport::StdoutCapture out;
    send(ev("REGISTER_OK", "", ",\"accountaor\":\"sip:201@192.168.1.10\""));  // changes an entry: no status line
    send("{\"type\":\"CALL_INCOMING\",\"direction\":\"incoming\"}");
    Strings printed = testsupport::lines(out.take());
    DEBUG = 0;
    Strings status;
    std::copy_if(printed.begin(), printed.end(), std::back_inserter(status),
                 [](const std::string& l) { return l.rfind("Msg [", 0) == 0 || l.rfind("Baresip Status", 0) == 0; });
    EXPECT_EQ(status, (Strings{"Msg [" + ev("REGISTER_OK", "", ",\"accountaor\":\"sip:201@192.168.1.10\"") + "]",
                               "Msg [{\"type\":\"CALL_INCOMING\",\"direction\":\"incoming\"}]", "Baresip Status is: 2"}));
}

TEST_F(DispatcherTest, MalformedMessagesNeverStopTheDispatcher) {
    testsupport::StdoutCapture out;
    ProcessReply(nullptr);
    redisReply num{};
    num.type = REDIS_REPLY_INTEGER;
    redisReply* two[2] = {&num, &num};
    redisReply arr{};
    arr.type = REDIS_REPLY_ARRAY;
    arr.elements = 2;
    arr.element = two;
    ProcessReply(&arr);  // ignored silently
    redisReply* three[3] = {&num, &num, &num};
    arr.elements = 3;
    arr.element = three;
    ProcessReply(&arr);  // no text: like invalid JSON
    send("{not json");
    send("[1,2]");
    send("{\"Type\":\"exit\"}");  // values are exact
    send("{\"type\":5,\"direction\":null}");
    send("{\"type\":\"CALL_INCOMING\",\"direction\":\"incoming\",\"peeruri\":[1]}");
    send("{\"type\":\"CALL_CLOSED\",\"direction\":\"incoming\",\"param\":{\"x\":1}}");
    send("{\"type\":\"REGISTER_FAIL\",\"accountaor\":7}");
    send("{\"event\":false,\"data\":3}");
    EXPECT_EQ(out.take(), "parse failed!\nparse failed!\n");
    EXPECT_EQ(BARESIP_STATUS, 0);
    EXPECT_EQ(regcount, 1);
    EXPECT_EQ(CURRENT_CALLS, 0);
    // the call without texts still leaves its line, with empty fields
    auto rows = testsupport::lines(root.read("/userdata/cdr.csv"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].substr(rows[0].size() - 20), ",,,0,in,MISSED CALL,");
}

}  // namespace
}  // namespace siptest
