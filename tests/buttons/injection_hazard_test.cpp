// Setting values that reach the user agent's JSON commands: the dial number
// and the play file go in as JSON string content, so a quote or a backslash in
// them cannot change the command; a play file that would not fit whole is
// refused with one line. The address look-up's output reaching a shell.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <string>

#include "buttons.h"
#include "buttons_fixture.h"

using namespace buttons_test;

namespace {

// The "data" text of a command, or "<not JSON>" when the command does not
// parse as an object of exactly "cmd" and "data".
std::string data_of(const std::string& cmd) {
    cJSON* j = cJSON_Parse(cmd.c_str());
    std::string out = "<not JSON: " + cmd + ">";
    const cJSON* data = cJSON_GetObjectItemCaseSensitive(j, "data");
    if (j != nullptr && cJSON_GetArraySize(j) == 2 && cJSON_IsString(data)) out = data->valuestring;
    cJSON_Delete(j);
    return out;
}

TEST_F(ButtonsTest, DialNumberCannotBreakTheCommand) {
    const std::string number = "1\",\"cmd\":\"hangup\\";  // a quote, a member, a backslash
    // single quotes in the file: the value holds double quotes
    speaker("[intercom]\nonekey_num = '" + number + "'\nonekey_line = p2p\n");
    BARESIP_STATUS.store(0);
    keyAction(1);
    speaker("[intercom]\nonekey_num = '" + number + "'\nonekey_line = account_info_1\n"
            "[account_info_1]\nenable = yes\n");
    set_registered(1, 0, 0);
    BARESIP_STATUS.store(0);
    keyAction(1);
    Strings sent = control();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(data_of(sent[0]), number);
    EXPECT_EQ(data_of(sent[1]), number + " 0");
}

TEST_F(ButtonsTest, PlayFileIsEscapedOrRefusedWhole) {
    play_audio("a\"b\\c.mp3", 3);
    const std::string longest(159, '"');  // 318 characters escaped: fits
    testsupport::StdoutCapture out;
    play_audio((longest + "\"").c_str(), 1);  // 320 escaped: does not
    play_audio(longest.c_str(), 1);
    EXPECT_EQ(out.take(), "play file name too long, play command not sent\n");
    Strings sent = control();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(data_of(sent[0]), "a\"b\\c.mp3:3");
    EXPECT_EQ(data_of(sent[1]), longest + ":1");
}

// The address look-up's output reaches the player's shell command only as
// the prompt names of its digits and dots; anything else in it is not spoken
// and never part of the command.
TEST_F(ButtonsTest, LookedUpAddressReachesTheShellOnlyAsPrompts) {
    speaker("[system]\nlanguage = en\n");
    rec().ip = {1, "1.2;reboot &\n"};
    testsupport::StdoutCapture out;
    PlayIP();
    out.take();
    const Strings& ev = rec().events;
    ASSERT_EQ(ev.size(), 6u);
    EXPECT_EQ(ev[3], "shell cd " + rooted("/usr/share/sounds/en/") + ";mpg123 -r 48000 digit-1.mp3 dian.mp3 digit-2.mp3 ");
    for (const std::string& e : ev) EXPECT_EQ(e.find("reboot"), std::string::npos) << e;
}

}  // namespace
