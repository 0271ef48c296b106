#include <gtest/gtest.h>

#include "sip_fixture.h"

namespace siptest {
namespace {

using Strings = std::vector<std::string>;

class DtmfTest : public SipTest {
protected:
    void SetUp() override {
        SipTest::SetUp();
        conf({{"relay_ctrl:dtmf", "yes"}, {"relay_ctrl:dtmf_code", "123"}, {"screen_ctrl:dtmf", "yes"},
              {"screen_ctrl:dtmf_code", "456"}});
    }
    void keys(const std::string& k) { send(ev("CALL_DTMF_START", "incoming", ",\"param\":\"" + k + "\"")); }
    size_t relay_ons() { return pushed("output-channel").size(); }
};

TEST_F(DtmfTest, SuffixMatchClearsTheKeysAndCloseClearsTheRest) {
    for (const char* k : {"9", "1", "2"}) keys(k);
    EXPECT_EQ(relay_ons(), 0u);
    EXPECT_STREQ(DTMF_STRING, "912");
    keys("3");
    EXPECT_EQ(pushed("output-channel"), Strings{"{\"id\":\"gpio112\",\"type\":\"On\"}"});
    EXPECT_STREQ(DTMF_STRING, "");
    keys("1");
    keys("2");
    call("CALL_CLOSED");
    EXPECT_STREQ(DTMF_STRING, "");
    EXPECT_EQ(pushed("writelog-channel").size(), 7u);  // every key is logged
}

TEST_F(DtmfTest, OneKeyCompletesBothCodesRelayFirst) {
    conf({{"relay_ctrl:dtmf", "yes"}, {"relay_ctrl:dtmf_code", "12"}, {"relay_ctrl:mode", "delay"},
          {"screen_ctrl:dtmf", "yes"}, {"screen_ctrl:dtmf_code", "2"}, {"screen_ctrl:mode", "delay"}});
    testsupport::Subscriber screen(redis.socket(), "screen-channel");
    keys("1");
    DEBUG = 1;
    testsupport::StdoutCapture out;
    keys("2");
    std::string printed = out.take();
    DEBUG = 0;
    EXPECT_LT(printed.find("GPIO_RELAY set on"), printed.find("screen set on"));
    EXPECT_EQ(relay_ons(), 1u);
    EXPECT_EQ(screen.wait_for(1), Strings{"{\"action\": \"on\", \"id\": 1}"});
    EXPECT_EQ(timed_releases_pending(), 2);  // one release per output
    EXPECT_STREQ(DTMF_STRING, "");
}

TEST_F(DtmfTest, ARefusedScreenIdLeavesNoTraceOfAScreenChange) {
    conf({{"screen_ctrl:dtmf", "yes"}, {"screen_ctrl:dtmf_code", "2"}, {"screen_ctrl:mode", "delay"},
          {"screen_ctrl:type", "1}{"}});
    DEBUG = 1;
    testsupport::StdoutCapture out;
    keys("2");
    std::string printed = out.take();
    DEBUG = 0;
    EXPECT_NE(printed.find("screen_ctrl:type is not a number, screen command not sent: 1}{\n"), std::string::npos);
    EXPECT_EQ(printed.find("screen set on"), std::string::npos) << printed;
    EXPECT_EQ(timed_releases_pending(), 0);
}

TEST_F(DtmfTest, SwitchesAndEmptyCode) {
    conf({{"relay_ctrl:dtmf", "no"}, {"screen_ctrl:dtmf", "no"}, {"screen_ctrl:dtmf_code", ""}});
    keys("4");
    EXPECT_STREQ(DTMF_STRING, "");  // not collected
    conf({{"relay_ctrl:dtmf", "yes"}, {"relay_ctrl:dtmf_code", "45"}, {"screen_ctrl:dtmf", "no"},
          {"screen_ctrl:dtmf_code", "4"}});
    keys("4");
    EXPECT_STREQ(DTMF_STRING, "4");  // collected for the relay; the screen code is not looked at
    conf({{"relay_ctrl:dtmf", "yes"}, {"relay_ctrl:dtmf_code", ""}});
    keys("7");
    keys("8");
    EXPECT_EQ(relay_ons(), 2u);  // an empty code matches every key
}

TEST_F(DtmfTest, OverflowDropsTheOldestKeys) {
    for (int i = 0; i < 40; i++) keys("9");
    EXPECT_EQ(std::string(DTMF_STRING), std::string(31, '9'));
    keys("12");
    EXPECT_EQ(std::string(DTMF_STRING), std::string(29, '9') + "12");
    keys("3");
    EXPECT_EQ(relay_ons(), 1u);
    keys(std::string(50, '0') + "123");  // one long param keeps its end
    EXPECT_EQ(relay_ons(), 2u);
}

class CdrTest : public SipTest {
protected:
    std::string cdr() { return root.read("/userdata/cdr.csv"); }
};

TEST_F(CdrTest, ExampleCallLineByteForByte) {
    g_now = local_time(2024, 3, 7, 9, 5, 3);
    call("CALL_INCOMING");
    g_now = local_time(2024, 3, 7, 9, 5, 10);
    call("CALL_ESTABLISHED");
    g_now = local_time(2024, 3, 7, 9, 6, 25);
    send(ev("CALL_CLOSED", "incoming", ",\"param\":\"Connection reset by user\""));
    EXPECT_EQ(cdr(), "2024-03-07,09:05:03,09:06:25,sip:201@192.168.1.10,202,75,in,ANSWERED,Connection reset by user\n");
    EXPECT_EQ(callInfo.answer_time, 0);
    EXPECT_STREQ(callInfo.date, "");
}

TEST_F(CdrTest, UnansweredNoStartAndMidnight) {
    g_now = local_time(2024, 12, 31, 23, 59, 50);
    call("CALL_OUTGOING", "outgoing", "sip:1002@pbx");
    g_now += 30;
    call("CALL_CLOSED", "outgoing", "sip:1002@pbx");
    call("CALL_INCOMING");
    call("CALL_CLOSED");
    call("CALL_CLOSED");
    call("CALL_INCOMING");
    call("CALL_ESTABLISHED");
    g_now += 7;
    call("CALL_CLOSED");
    EXPECT_EQ(testsupport::lines(cdr()),
              (Strings{"2024-12-31,23:59:50,00:00:20,sip:201@192.168.1.10,1002,0,out,NO ANSWER,bye",
                       "2025-01-01,00:00:20,00:00:20,sip:201@192.168.1.10,202,0,in,MISSED CALL,bye",
                       ",,00:00:20,,,0,,,bye",
                       "2025-01-01,00:00:20,00:00:27,sip:201@192.168.1.10,202,7,in,ANSWERED,bye"}));
}

TEST_F(CdrTest, LongFieldsAreCutAndAnUnwritableFileStillEmptiesTheRecord) {
    g_now = local_time(2024, 1, 2, 3, 4, 5);
    setIncomingCallInfo(std::string(40, 'a').c_str(), std::string(40, '7').c_str());
    std::string reason(100, 'r');
    setClosedCallInfo(reason.c_str());
    EXPECT_EQ(cdr(), "2024-01-02,03:04:05,03:04:05," + std::string(31, 'a') + "," + std::string(31, '7') +
                         ",0,in,MISSED CALL," + std::string(67, 'r') + "\n");

    setIncomingCallInfo("sip:201@h", "202");
    ASSERT_EQ(system(("rm -rf '" + root.path("/userdata") + "'").c_str()), 0);
    testsupport::StdoutCapture out;
    setClosedCallInfo("bye");
    EXPECT_EQ(testsupport::lines(out.take()), Strings{"cannot open /userdata/cdr.csv: No such file or directory"});
    EXPECT_STREQ(callInfo.account, "");
    EXPECT_STREQ(callInfo.reason, "");
}

}  // namespace
}  // namespace siptest
