// Answer beep settings in the user agent's "aufile" mix commands: the data is
// blank-separated (path, 10, volume) under /usr/share/baresip/, so a file or
// volume with a blank or a control character, or a file with a ".." part, is
// refused with one line instead of shifting the arguments or leaving the
// folder. Ordinary values go out unchanged.
#include <gtest/gtest.h>

#include "sip_fixture.h"

namespace siptest {
namespace {

using Strings = std::vector<std::string>;

class InjectionHazard : public SipTest {
protected:
    // The commands and lines an answered call gives with these beep settings.
    std::pair<Strings, Strings> answer(const std::string& file, const std::string& volume) {
        conf({{"sip_function:answer_local_beep", "yes"}, {"sip_function:answer_local_beep_file", "\"" + file + "\""},
              {"sip_function:answer_local_beep_volume", "\"" + volume + "\""}});
        peer.del("control-channel");
        testsupport::StdoutCapture out;
        call("CALL_ESTABLISHED");
        return {pushed("control-channel"), testsupport::lines(out.take())};
    }
};

TEST_F(InjectionHazard, AufileArgumentsAreRefusedWhenTheyWouldShiftOrLeaveTheFolder) {
    auto ok = answer("beeps/answer.wav", "80");
    EXPECT_EQ(ok.first, Strings{"{\"cmd\":\"mixausrc_dec_start\",\"data\":\"aufile /usr/share/baresip/beeps/answer.wav 10 80\"}"});
    EXPECT_TRUE(ok.second.empty());
    const std::string refused_file =
        "sip_function:answer_local_beep_file holds a blank, a control character or a \"..\" part: mixausrc_dec_start not sent";
    const std::string refused_volume =
        "sip_function:answer_local_beep_volume holds a blank, a control character or a \"..\" part: mixausrc_dec_start not sent";
    struct Case {
        const char* file;
        const char* volume;
        const std::string& line;
    } cases[] = {
        {"a.wav 10 100", "80", refused_file},  // would add arguments
        {"../../etc/shadow", "80", refused_file},
        {"x/../../y.wav", "80", refused_file},
        {"tab\there.wav", "80", refused_file},
        {"a.wav", "8 0", refused_volume},
    };
    for (const Case& c : cases) {
        auto r = answer(c.file, c.volume);
        EXPECT_TRUE(r.first.empty()) << c.file;
        EXPECT_EQ(r.second, Strings{c.line}) << c.file;
    }
    // dots that are not a ".." part are file names like any other
    auto dots = answer("..wav", "80");
    EXPECT_EQ(dots.first.size(), 1u);
}

}  // namespace
}  // namespace siptest
