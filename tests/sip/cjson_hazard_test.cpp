// What Debian 12's cJSON does with unusual session events, and that the
// dispatcher reads each member typed: member names are matched in any case
// (the first match deciding), a number has no
// valuestring, valueint saturates, and nesting past 1000 does not parse. Line
// breaks inside event texts never make extra rows in the CSV files.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <climits>
#include <string>

#include "sip_fixture.h"

namespace siptest {
namespace {

using Strings = std::vector<std::string>;

std::string nested(int depth) { return std::string(static_cast<size_t>(depth), '[') + std::string(static_cast<size_t>(depth), ']'); }

TEST(CjsonLibrary, QuirksTheDispatcherMustNotInherit) {
    cJSON* j = cJSON_Parse("{\"TYPE\":\"EXIT\",\"param\":1e300,\"low\":-1e300}");
    ASSERT_NE(j, nullptr);
    EXPECT_NE(cJSON_GetObjectItem(j, "type"), nullptr) << "cJSON_GetObjectItem ignores case";
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(j, "type"), nullptr);
    const cJSON* param = cJSON_GetObjectItemCaseSensitive(j, "param");
    EXPECT_EQ(param->valuestring, nullptr) << "a number has no text";
    EXPECT_EQ(param->valueint, INT_MAX) << "valueint saturates";
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(j, "low")->valueint, INT_MIN);
    cJSON_Delete(j);
    cJSON* ok = cJSON_Parse(nested(1000).c_str());
    EXPECT_NE(ok, nullptr);
    cJSON_Delete(ok);
    EXPECT_EQ(cJSON_Parse(nested(1001).c_str()), nullptr) << "nesting past 1000 fails to parse";
}

class CjsonHazard : public SipTest {};

// Member names match in any case, the first match in the text deciding; the
// values stay exact.
TEST_F(CjsonHazard, MemberNamesMatchInAnyCase) {
    send("{\"Type\":\"CALL_INCOMING\",\"Direction\":\"incoming\",\"PeerUri\":\"sip:7@h\"}");
    EXPECT_EQ(CURRENT_CALLS, 1);
    EXPECT_EQ(BARESIP_STATUS, 2);
    send("{\"type\":\"exit\"}");
    EXPECT_EQ(BARESIP_STATUS, 2) << "values are compared exactly";
    send("{\"TYPE\":\"EXIT\",\"type\":\"CALL_CLOSED\"}");
    EXPECT_EQ(BARESIP_STATUS, 5) << "the first of the two type members decides";
    EXPECT_EQ(CURRENT_CALLS, 0);
    EXPECT_EQ(pushed("writelog-channel"), (Strings{"SIP STATE,INCOMING CALL,sip:7@h", "SIP STATE,APP EXIT,"}));
}

TEST_F(CjsonHazard, NumbersAndDeepNestingAreReadSafely) {
    testsupport::StdoutCapture out;
    BARESIP_STATUS = 1;
    send(nested(1001));
    send("{\"type\":\"CALL_DTMF_START\",\"direction\":\"incoming\",\"param\":1e300}");
    CURRENT_CALLS = 1;
    send("{\"type\":\"CALL_CLOSED\",\"direction\":\"incoming\",\"param\":-1e300,\"peeruri\":5}");
    EXPECT_EQ(out.take(), "parse failed!\n");
    EXPECT_EQ(pushed("writelog-channel"), (Strings{"FUNCTION,RECEIVE DTMF,", "SIP STATE,CALL CLOSED,"}));
    EXPECT_EQ(BARESIP_STATUS, 0);
    EXPECT_EQ(CURRENT_CALLS, 0);
    auto rows = testsupport::lines(root.read("/userdata/cdr.csv"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].substr(10), ",,,0,,,") << rows[0];  // after ",,HH:MM:SS": no start, empty reason
}

TEST_F(CjsonHazard, LineBreaksInEventTextsNeverMakeRowsOfTheirOwn) {
    const std::string forged = "\\n2024-01-01 00:00:00,SIP STATE,FORGED,row\\r\\n";
    send(ev("CALL_INCOMING", "incoming",
            ",\"peeruri\":\"sip:202@h" + forged + "\",\"accountaor\":\"sip:201@h" + forged + "\""));
    send(ev("CALL_DTMF_START", "incoming", ",\"param\":\"1" + forged + "\""));
    send(ev("CALL_CLOSED", "incoming", ",\"param\":\"bye" + forged + "\""));
    const std::string flat = "?2024-01-01 00:00:00,SIP STATE,FORGED,row??";
    EXPECT_EQ(pushed("writelog-channel"),
              (Strings{"SIP STATE,INCOMING CALL,sip:202@h" + flat, "FUNCTION,RECEIVE DTMF,1" + flat,
                       "SIP STATE,CALL CLOSED,bye" + flat}));
    auto rows = testsupport::lines(root.read("/userdata/cdr.csv"));
    ASSERT_EQ(rows.size(), 1u) << root.read("/userdata/cdr.csv");
    // the account is cut to 31 characters, the reason fits its 67
    const std::string account = ("sip:201@h" + flat).substr(0, 31);
    EXPECT_NE(rows[0].find("," + account + ",202,0,in,MISSED CALL,bye" + flat), std::string::npos) << rows[0];
}

}  // namespace
}  // namespace siptest
