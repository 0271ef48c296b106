// Placeholder replacement and the HTTP action request command.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "buttons.h"
#include "buttons_fixture.h"

using namespace buttons_test;

namespace {

TEST(Strrpl, ReplacesEveryOccurrenceOnce) {
    struct Case {
        const char *text, *pattern, *repl, *want;
    } cases[] = {
        {"a=${ip}&b=${ip}.", "${ip}", "10.1.2.3", "a=10.1.2.3&b=10.1.2.3."},
        {"u=${ua}&n=${ua}", "${ua}", "", "u=&n="},  // shorter: the rest moves left
        {"plain", "${ip}", "x", "plain"},
        {"a${ua}b", "${ua}", "<${ua}>", "a<${ua}>b"},  // a value holding the pattern stays
        {"${ua}", "${ua}", "${ua}${ua}", "${ua}${ua}"},
        {"${${ip}ip}", "${ip}", "", "${ip}"},  // the search goes on after the replacement
    };
    for (const Case& c : cases) {
        char buf[64];
        snprintf(buf, sizeof buf, "%s", c.text);
        size_t predicted = strrpl_length(buf, c.pattern, c.repl);
        EXPECT_EQ(strrpl(buf, c.pattern, c.repl), buf);
        EXPECT_STREQ(buf, c.want) << c.text;
        EXPECT_EQ(strlen(buf), predicted) << c.text;
    }
}

class ActionUrlTest : public ButtonsTest {
protected:
    void SetUp() override {
        ButtonsTest::SetUp();
        dev::set_root("");  // the device's own command texts
    }
    void TearDown() override {
        dev::set_root(root.dir().c_str());
        ButtonsTest::TearDown();
    }
};

TEST_F(ActionUrlTest, CommandTextsAndRefusals) {
    const std::string max(ACTION_URL_MAX, 'u');
    DEBUG.store(1);
    testsupport::StdoutCapture out;
    action_url("http://h/b?ip=10.1.2.3&x=1");
    action_url("");
    action_url(max.c_str());
    action_url("http://h/it's");
    action_url("-o/tmp/x");                     // refused: curl would take it as an option
    action_url((max + "u").c_str());           // refused: longer than a URL may be
    Strings printed = testsupport::lines(out.take());
    DEBUG.store(0);
    const Strings want = {"curl -k --connect-timeout 5 'http://h/b?ip=10.1.2.3&x=1' 2>/dev/null &",
                          "curl -k --connect-timeout 5 '' 2>/dev/null &",
                          "curl -k --connect-timeout 5 '" + max + "' 2>/dev/null &",
                          "curl -k --connect-timeout 5 'http://h/it'\\''s' 2>/dev/null &"};
    EXPECT_EQ(rec().shell(), want);
    ASSERT_EQ(printed.size(), 6u);
    for (size_t i = 0; i < want.size(); i++) EXPECT_EQ(printed[i], "Command: " + want[i]);
    EXPECT_TRUE(action_url_fired(" -x"));  // a dash after a blank is no option
}

// The real shell hands curl the URL intact, quotes and all: a stand-in curl
// on the search path writes the URL it got into a file.
TEST_F(ActionUrlTest, RealShellDeliversTheUrlIntact) {
    remove_recorders();
    const std::string bin = root.dir() + "/bin";
    const std::string got = root.dir() + "/got";
    mkdir(bin.c_str(), 0755);
    std::ofstream(bin + "/curl") << "#!/bin/sh\nprintf '%s' \"$4\" > '" << got << ".tmp' && mv '" << got << ".tmp' '"
                                 << got << "'\n";
    chmod((bin + "/curl").c_str(), 0755);
    const std::string saved = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (bin + ":" + saved).c_str(), 1);

    const std::string url = "http://h/a'b?c='d'&e=\"f\" $(touch " + root.dir() + "/ran)`x`\\";
    action_url(url.c_str());
    bool arrived = testsupport::eventually([&] { return access(got.c_str(), F_OK) == 0; });
    setenv("PATH", saved.c_str(), 1);
    ASSERT_TRUE(arrived);
    std::stringstream ss;
    ss << std::ifstream(got).rdbuf();
    EXPECT_EQ(ss.str(), url);
    EXPECT_NE(access((root.dir() + "/ran").c_str(), F_OK), 0) << "nothing in the URL was run";
}

}  // namespace
