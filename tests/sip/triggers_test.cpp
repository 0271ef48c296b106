#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include "sip_fixture.h"

namespace siptest {
namespace {

using Strings = std::vector<std::string>;

class TriggersTest : public SipTest {
protected:
    // The relay commands sent since the last call, as "on"/"off", and "+R" for
    // each timed release started meanwhile.
    std::string phase() {
        auto all = pushed("output-channel");
        std::string out;
        for (size_t i = seen_; i < all.size(); i++)
            out += std::string(out.empty() ? "" : " ") + (all[i].find("\"Off\"") != std::string::npos ? "off" : "on");
        seen_ = all.size();
        for (int r = releases_; r < timed_releases_pending(); r++) out += "+R";
        releases_ = timed_releases_pending();
        return out;
    }
    size_t seen_ = 0;
    int releases_ = 0;
};

TEST_F(TriggersTest, RelayTableCellByCell) {
    struct Cell {
        const char *call_state, *dir, *state_info, *mode, *ring, *answer, *close;
    } cells[] = {
        {"yes", "incoming", "incoming", "delay", "on+R", "", "off"},
        {"yes", "incoming", "incoming", "answered", "on", "off", "off"},
        {"yes", "incoming", "incoming", "hangup", "on", "", "off"},
        {"yes", "incoming", "incoming", "", "on", "", "off"},
        {"yes", "incoming", "outgoing", "delay", "", "", "off"},
        {"yes", "incoming", "outgoing", "answered", "", "off", "off"},
        {"yes", "incoming", "outgoing", "hangup", "", "", "off"},
        {"yes", "incoming", "outgoing", "", "", "", "off"},
        {"yes", "incoming", "both", "delay", "on+R", "", "off"},
        {"yes", "incoming", "both", "answered", "on", "off", "off"},
        {"yes", "incoming", "both", "hangup", "on", "", "off"},
        {"yes", "incoming", "both", "", "on", "", "off"},
        {"yes", "incoming", "answered", "delay", "", "on+R", "off"},
        {"yes", "incoming", "answered", "answered", "", "off", "off"},
        {"yes", "incoming", "answered", "hangup", "", "on", "off"},
        {"yes", "incoming", "answered", "", "", "on", "off"},
        {"yes", "incoming", "hangup", "delay", "", "", "on+R"},
        {"yes", "incoming", "hangup", "answered", "", "off", "on+R"},
        {"yes", "incoming", "hangup", "hangup", "", "", "off"},
        {"yes", "incoming", "hangup", "", "", "", "on+R"},
        {"yes", "incoming", "never", "delay", "", "", "off"},
        {"yes", "incoming", "never", "answered", "", "off", "off"},
        {"yes", "incoming", "never", "hangup", "", "", "off"},
        {"yes", "incoming", "never", "", "", "", "off"},
        {"yes", "outgoing", "outgoing", "delay", "on+R", "", "off"},
        {"yes", "outgoing", "both", "answered", "on", "off", "off"},
        {"yes", "outgoing", "incoming", "hangup", "", "", "off"},
        {"no", "incoming", "incoming", "answered", "", "off", ""},
        {"no", "incoming", "incoming", "hangup", "", "", "off"},
        {"no", "incoming", "hangup", "delay", "", "", ""},
        {"no", "outgoing", "answered", "delay", "", "", ""},
    };
    for (const Cell& c : cells) {
        SCOPED_TRACE(std::string(c.call_state) + " " + c.dir + " " + c.state_info + " " + c.mode);
        conf({{"relay_ctrl:call_state", c.call_state}, {"relay_ctrl:state_info", c.state_info},
              {"relay_ctrl:mode", c.mode}});
        BARESIP_STATUS = 0;
        std::string start = c.dir == std::string("incoming") ? "CALL_INCOMING" : "CALL_OUTGOING";
        call(start, c.dir);
        EXPECT_EQ(phase(), c.ring);
        call("CALL_ESTABLISHED", c.dir);
        EXPECT_EQ(phase(), c.answer);
        call("CALL_CLOSED", c.dir);
        EXPECT_EQ(phase(), c.close);
        int started = releases_;
        ASSERT_TRUE(gate.drain());  // each release then sends its own off
        ASSERT_TRUE(testsupport::eventually([&] { return pushed("output-channel").size() == seen_ + started; }));
        EXPECT_EQ(phase(), started ? "off" : "");
        gate.close();
        releases_ = 0;
    }
}

TEST_F(TriggersTest, AnswerBeepsComeAfterRelayAndAiLocalFirst) {
    conf({{"relay_ctrl:mode", "answered"}, {"sip_function:answer_local_beep", "yes"},
          {"sip_function:answer_local_beep_file", "answer.wav"}, {"sip_function:answer_local_beep_volume", "80"},
          {"sip_function:answer_remote_beep", "yes"}, {"sip_function:answer_remote_beep_file", "far.wav"},
          {"sip_function:answer_remote_beep_volume", "60"}});
    call("CALL_INCOMING");
    auto t = trace();
    call("CALL_ESTABLISHED");
    EXPECT_EQ(order(*t, 5), (Strings{"mark:clock", "mark:shell", "output-channel", "control-channel", "control-channel"}));
    EXPECT_EQ(pushed("control-channel"),
              (Strings{"{\"cmd\":\"mixausrc_dec_start\",\"data\":\"aufile /usr/share/baresip/answer.wav 10 80\"}",
                       "{\"cmd\":\"mixausrc_enc_start\",\"data\":\"aufile /usr/share/baresip/far.wav 10 60\"}"}));
}

TEST_F(TriggersTest, HangupBeepVolumeThenPlayThenRecord) {
    conf({{"sip_function:hangup_beep", "yes"}, {"sip_function:hangup_beep_file", "hangup.wav"},
          {"sip_function:hangup_beep_volume", "70"}});
    call("CALL_INCOMING");
    auto t = trace();
    call("CALL_CLOSED");
    EXPECT_EQ(order(*t, 5), (Strings{"control-channel", "control-channel", "mark:clock", "output-channel", "mark:shell"}));
    EXPECT_EQ(pushed("control-channel"), (Strings{"{\"cmd\":\"setaudiotempvol\",\"data\":\"70\"}",
                                                  "{\"cmd\":\"play\",\"data\":\"hangup.wav:0\"}"}));
}

TEST_F(TriggersTest, BeepValuesAreEscapedIntoValidCommands) {
    conf({{"sip_function:hangup_beep", "yes"}, {"sip_function:hangup_beep_file", "a\"b\\c.wav"},
          {"sip_function:hangup_beep_volume", "7\""}, {"sip_function:answer_local_beep", "yes"},
          {"sip_function:answer_local_beep_file", "x\",\"cmd\":\"hangup"}});
    call("CALL_ESTABLISHED");
    call("CALL_CLOSED");
    Strings sent = pushed("control-channel");
    ASSERT_EQ(sent.size(), 3u);
    const char* data[] = {"aufile /usr/share/baresip/x\",\"cmd\":\"hangup 10 ", "7\"", "a\"b\\c.wav:0"};
    for (size_t i = 0; i < 3; i++) {
        cJSON* j = cJSON_Parse(sent[i].c_str());
        ASSERT_TRUE(j != nullptr) << sent[i];
        EXPECT_EQ(cJSON_GetArraySize(j), 2) << sent[i];
        EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(j, "data")->valuestring, data[i]);
        cJSON_Delete(j);
    }
}

}  // namespace
}  // namespace siptest
