// What Debian 12's iniparser does with two kinds of settings file, and that
// the daemon's look-ups do neither: the library refuses a whole file for one
// line of 1023 characters or more, and its numeric getters crash on an entry
// without value (a section written like a key, "[sip:port]").
#include <gtest/gtest.h>

#include <iniparser.h>

#include <string>

#include "fixture.h"
#include "settings.h"

namespace {

int quiet(const char*, ...) { return 0; }

class SettingsHazard : public ::testing::Test {
protected:
    void SetUp() override { iniparser_set_error_callback(quiet); }
    void TearDown() override { iniparser_set_error_callback(nullptr); }
    std::string host(const char* device_path) { return root.path(device_path); }
    testsupport::DeviceRoot root;
};

TEST_F(SettingsHazard, OneLongLineDoesNotCostTheWholeFile) {
    // "language = " and the value make a line of exactly n characters
    auto file = [](size_t n) {
        return "[system]\nlanguage = " + std::string(n - 11, 'e') + "\n[relay_ctrl]\ntype = On\n";
    };
    root.write("/etc/ok.conf", file(1022));
    root.write("/etc/long.conf", file(1023));
    dictionary* lib = iniparser_load(host("/etc/ok.conf").c_str());
    ASSERT_NE(lib, nullptr) << "1022 characters are within the library's limit";
    iniparser_freedict(lib);
    ASSERT_EQ(iniparser_load(host("/etc/long.conf").c_str()), nullptr)
        << "the library no longer refuses a 1023-character line: measure the hazard again";

    // the daemon reads the same file whole: the other keys, and the long
    // value cut to the caller's buffer
    char type[32];
    EXPECT_EQ(GetCmdValue("/etc/long.conf", "relay_ctrl:type", type), 1);
    EXPECT_STREQ(type, "On");
    char language[32];
    GetCmdValue("/etc/long.conf", "system:language", language);
    EXPECT_EQ(std::string(language), std::string(31, 'e'));
    // a holiday list fills up to 4095 characters and is read whole
    std::string list = "{\"holidays\": [" + std::string(4070, ' ') + "]}";
    root.write("/oem/etc/schedule.conf", "[holidays]\ndata = " + list + "\n");
    dictionary* d = settings_load("/oem/etc/schedule.conf");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(settings_string(d, "holidays:data", ""), list);
    settings_free(d);
}

TEST_F(SettingsHazard, EntryWithoutValueReadsAsMissingInsteadOfCrashing) {
    GTEST_FLAG_SET(death_test_style, testsupport::death_test_style());
    root.write("/etc/speaker.conf", "[sip:port]\nx = 1\n[schedule_1:s_year]\n[relay_ctrl:type]\n");
    dictionary* lib = iniparser_load(host("/etc/speaker.conf").c_str());
    ASSERT_NE(lib, nullptr);
    EXPECT_EQ(iniparser_getstring(lib, "sip:port", "default"), nullptr) << "the library gives NULL, not the default";
    EXPECT_DEATH(iniparser_getint(lib, "schedule_1:s_year", 0), "") << "the numeric getter reads through NULL";
    iniparser_freedict(lib);

    dictionary* d = settings_load("/etc/speaker.conf");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(settings_int(d, "schedule_1:s_year", 2031), 2031);
    EXPECT_STREQ(settings_string(d, "sip:port", "default"), "default");
    EXPECT_EQ(settings_int(d, "sip:port:x", 0), 1);
    settings_free(d);
    char type[32] = "unset";
    EXPECT_EQ(GetCmdValue("/etc/speaker.conf", "relay_ctrl:type", type, sizeof type), 1);
    EXPECT_STREQ(type, "");
}

}  // namespace
