// The longest-URL measure that callctl check reports against agrees with the
// request the button actually refuses: with every placeholder at its longest
// value, a template that measures 255 is fired and one that measures 256 is
// not.
#include "buttons.h"
#include "buttons_fixture.h"

namespace buttons_test {
namespace {

TEST_F(ButtonsTest, LongestUnregisteredUrlIsTheOneRefused) {
    const std::string user(USERNAME_MAX, 'u');
    const std::string number(ONEKEY_NUM_MAX, '9');
    rec().ip = Lookup{1, "255.255.255.255\n"};
    rec().mac = Lookup{1, "0242c0a80132\n"};
    const std::string placeholders = "/${ip}/${mac}/${ua}/${number}";
    for (size_t want : {size_t{255}, size_t{256}}) {
        // the placeholders fill to 15 + 12 + 31 + 31 characters
        std::string tmpl = "h" + std::string(want - 1 - 4 - 89, 'a') + placeholders;
        ASSERT_EQ(unregistered_url_longest(tmpl.c_str()), want);
        clear_bus();
        speaker("[call_action_url]\nunregistered_enable = yes\nunregistered_url = " + tmpl +
                "\n[intercom]\nonekey_num = " + number + "\nonekey_line = account_info_1\n[account_info_1]\nusername = " +
                user + "\n");
        BARESIP_STATUS.store(5);
        testsupport::StdoutCapture out;
        keyAction(1);
        out.take();
        EXPECT_EQ(rec().shell().size(), want <= ACTION_URL_MAX ? 1u : 0u) << want;
    }
}

}  // namespace
}  // namespace buttons_test
