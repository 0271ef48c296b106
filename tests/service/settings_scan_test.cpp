// Line rules of the single-key look-up that random files seldom reach: a
// line continued at the end of the file, a key set again in a later section
// of the same name or by a section named like it, a key whose file turns out
// broken after it, and lines
// around the library's line size and around the look-up's own read buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture.h"
#include "settings.h"

namespace {

struct Case {
    const char* what;
    std::string file;
    const char* key;
    std::string want;  // "<refused>": result 0, buffer untouched
};

// "[s]" and a line "v = ..." of exactly n characters, then one more key.
std::string line_of(size_t n) { return "[s]\nv = " + std::string(n - 4, 'a') + "\nafter = 1\n"; }

TEST(SettingsScan, RulesAtTheEdges) {
    testsupport::DeviceRoot root;
    const std::string big(20000, 'b');
    const Case cases[] = {
        {"continued last line is dropped", "[a]\nk = v\nlast = x \\", "a:last", ""},
        {"continued last line is dropped", "[a]\nk = v\nlast = x \\", "a:k", "v"},
        {"broken line continued at the end is no error", "[a]\nk = v\nno equals \\\n", "a:k", "v"},
        {"same section twice: the later value", "[d]\nk = 1\n[e]\nk = 3\n[D]\nK = 2\n", "d:k", "2"},
        {"same section twice: the other section", "[d]\nk = 1\n[e]\nk = 3\n[D]\nK = 2\n", "e:k", "3"},
        {"a section named like a key takes its value", "[a]\nb = 1\n[A:B]\n", "a:b", ""},
        {"a key named like a section gives it one", "[a:b]\n[a]\nb = 1\n", "a:b", "1"},
        {"a syntax error after the key", "[a]\nb = 1\nbroken\n", "a:b", "<refused>"},
        {"1022 characters", line_of(1022), "s:v", std::string(1018, 'a')},
        {"1023 characters", line_of(1023), "s:v", std::string(1019, 'a')},
        {"1024 characters", line_of(1024), "s:v", std::string(1020, 'a')},
        {"after 1024 characters", line_of(1024), "s:after", "1"},
        {"a line of 1200 in two parts", "[s]\nv = " + std::string(600, 'a') + "\\\n" + std::string(600, 'c') + "\n",
         "s:v", std::string(600, 'a') + std::string(600, 'c')},
        {"8191 characters", line_of(8191), "s:v", std::string(8187, 'a')},
        {"8192 characters", line_of(8192), "s:v", std::string(8188, 'a')},
        {"after 8192 characters", line_of(8192), "s:after", "1"},
        {"20000 characters", "[s]\nv = " + big + "\n[t]\nw = 2\n", "s:v", big},
        {"after 20000 characters", "[s]\nv = " + big + "\n[t]\nw = 2\n", "t:w", "2"},
    };
    for (const Case& c : cases) {
        root.write("/etc/t.conf", c.file);
        std::vector<char> value(32768, '\0');
        value[0] = '#';
        testing::internal::CaptureStderr();
        int r = GetCmdValue("/etc/t.conf", c.key, value.data(), static_cast<int>(value.size()));
        std::string err = testing::internal::GetCapturedStderr();
        if (c.want == "<refused>") {
            EXPECT_EQ(r, 0) << c.what;
            EXPECT_STREQ(value.data(), "#") << c.what;
            EXPECT_NE(err.find("cannot parse file: /etc/t.conf\n"), std::string::npos) << c.what;
        } else {
            EXPECT_EQ(r, 1) << c.what;
            EXPECT_EQ(std::string(value.data()), c.want) << c.what;
            EXPECT_EQ(err, "") << c.what;
        }
    }
}

}  // namespace
