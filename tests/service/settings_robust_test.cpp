// Settings files read by iniparser's rules, without its line-length limit,
// and integers read without its crash on entries that have no value.
#include <gtest/gtest.h>

#include <iniparser.h>

#include <map>

#include "fixture.h"
#include "settings.h"

namespace {
using Entries = std::map<std::string, std::string>;

Entries entries(dictionary* d, bool ours) {
    Entries out;
    if (d == nullptr) return {{"<refused>", ""}};
    for (ssize_t i = 0; i < d->size; i++)
        if (d->key[i] != nullptr) out[d->key[i]] = d->val[i] ? d->val[i] : "(no value)";
    ours ? settings_free(d) : iniparser_freedict(d);
    return out;
}
}  // namespace

TEST(SettingsFiles, ReadLikeTheLibraryWithoutItsLineLimit) {
    testsupport::DeviceRoot root;
    const char* files[] = {
        "[System]\nLanguage = EN\n[intercom]\nKEY_action=call\n",  // names in any case, values as written
        "[a]\nq1 = \"  spaced ; not # a comment \" ; comment\nq2 = 'single'\nq3 = \"\"\nq4 = ''\nq5 = \"open\n"
        "q6 = \"\"x\nplain = some value ; comment\nhash = a#b\nempty =\nsemi = ;x\neq = a = b\nsp ace = v\n",
        "# comment\n; comment\n\n   [ Sec B ]   \r\n  key  =  value  \r\n\t\n",
        "[c]\nlong = first \\\n   second\\\nthird\nnext = 1\n",  // continued lines
        "top = 1\n[d]\nk = 1\nk = 2\n[e]\nx = 1\n[d]\ny = 2\n[schedule_1:priority]\n",
        "[f]\n\nk = v\nz",                                      // one-character lines
        "[g]\nk = v\nno equals sign\n", "[g]\n= v\n", "[hello]\n[]\nk = v\n",  // refused, and a quirk
    };
    testing::internal::CaptureStderr();
    for (const char* f : files) {
        root.write("/etc/t.conf", f);
        EXPECT_EQ(entries(settings_load("/etc/t.conf"), true),
                  entries(iniparser_load(root.path("/etc/t.conf").c_str()), false)) << f;
    }
    testing::internal::GetCapturedStderr();

    // a holiday list of 4000 characters, and a long line before other settings
    std::string data = "{\"holidays\": [";
    while (data.size() < 3980) data += "\"2031-1-1:2031-1-2\", ";
    data += "\"2031-6-1:2031-6-2\"]}";
    root.write("/etc/t.conf", "[call_action_url]\nurl = http://h/?" + std::string(1500, 'a') +
                                  "\n[holidays]\ndata = " + data + "\n[intercom]\nkey_action = call\n");
    dictionary* d = settings_load("/etc/t.conf");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(settings_string(d, "holidays:data", ""), data);
    settings_free(d);
    char value[16];
    EXPECT_EQ(GetCmdValue("/etc/t.conf", "intercom:key_action", value), 1);
    EXPECT_STREQ(value, "call");
    char url[256];
    GetCmdValue("/etc/t.conf", "call_action_url:url", url);
    EXPECT_EQ(std::string(url), "http://h/?" + std::string(245, 'a'));  // cut to the buffer
}

TEST(SettingsFiles, IntegersFollowTheLibraryRulesAndNeverCrash) {
    testsupport::DeviceRoot root;
    root.write("/etc/t.conf", "[s]\ndec = 42\noct = 042\nhex = 0x42\nneg = -7\ntext = abc\nlead = 12ab\nnone =\n[s:p]\n");
    dictionary* d = settings_load("/etc/t.conf");
    ASSERT_NE(d, nullptr);
    const std::pair<const char*, int> cases[] = {{"s:dec", 42},  {"s:oct", 34},  {"s:hex", 66}, {"S:NEG", -7},
                                                 {"s:text", 0},  {"s:lead", 12}, {"s:none", 0}, {"s:missing", 9},
                                                 {"s:p", 9}};  // a section written like a key has no value
    for (auto& c : cases) EXPECT_EQ(settings_int(d, c.first, 9), c.second) << c.first;
    settings_free(d);
}

TEST(SettingsFiles, FileThatCannotBeReadIsReported) {
    testsupport::DeviceRoot root;
    root.write("/etc/dir.conf/x", "");  // a directory in the file's place
    root.write("/etc/bad.conf", "[a]\nbroken line\n");
    for (const char* f : {"/etc/absent.conf", "/etc/dir.conf", "/etc/bad.conf"}) {
        char value[8] = "keep";
        testing::internal::CaptureStderr();
        EXPECT_EQ(GetCmdValue(f, "a:b", value, sizeof value), 0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(std::string("cannot parse file: ") + f + "\n"), std::string::npos) << err;
        EXPECT_STREQ(value, "keep");
    }
}
