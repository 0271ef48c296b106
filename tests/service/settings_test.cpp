#include "settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "debug.h"
#include "device.h"
#include "fixture.h"
#include "text.h"

using testsupport::DeviceRoot;
using testsupport::StdoutCapture;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_.write("/etc/speaker.conf",
                    "[system]\nlanguage = en\n\n[intercom]\nkey_action = call\nflag_case = Yes\n"
                    "flag_one = 1\nflag_yes = yes\nempty =\nlong = 0123456789abcdef\n");
    }
    void TearDown() override { DEBUG.store(0); }
    DeviceRoot root_;
};

TEST_F(SettingsTest, PresentMissingKeyAndMissingSection) {
    char buf[32] = "junk";
    EXPECT_EQ(GetCmdValue(dev::SPEAKER_CONF, "system:language", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "en");
    EXPECT_EQ(GetCmdValue(dev::SPEAKER_CONF, "system:nothere", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "");
    strcpy(buf, "junk");
    EXPECT_EQ(GetCmdValue(dev::SPEAKER_CONF, "nosection:key", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "");
    strcpy(buf, "junk");
    EXPECT_EQ(GetCmdValue(dev::SPEAKER_CONF, "intercom:empty", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "");
}

TEST_F(SettingsTest, MissingFileReportsAndLeavesRawBufferButArrayFormStartsEmpty) {
    testing::internal::CaptureStderr();
    char buf[16] = "untouched";
    EXPECT_EQ(GetCmdValue("/oem/etc/nothere.conf", "a:b", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "untouched");
    char arr[8] = "junk";
    EXPECT_EQ(GetCmdValue("/oem/etc/nothere.conf", "a:b", arr), 0);
    EXPECT_STREQ(arr, "");
    std::string err = testing::internal::GetCapturedStderr();
    // the library may add a line of its own; ours names the device path
    size_t first = err.find("cannot parse file: /oem/etc/nothere.conf\n");
    ASSERT_NE(first, std::string::npos) << err;
    EXPECT_NE(err.find("cannot parse file: /oem/etc/nothere.conf\n", first + 1), std::string::npos) << err;
}

TEST_F(SettingsTest, OnlyExactYesIsOn) {
    char buf[8];
    GetCmdValue(dev::SPEAKER_CONF, "intercom:flag_case", buf);
    EXPECT_FALSE(is_yes(buf));
    GetCmdValue(dev::SPEAKER_CONF, "intercom:flag_one", buf);
    EXPECT_FALSE(is_yes(buf));
    GetCmdValue(dev::SPEAKER_CONF, "intercom:flag_yes", buf);
    EXPECT_TRUE(is_yes(buf));
    EXPECT_FALSE(is_yes(nullptr));
}

TEST_F(SettingsTest, LongValueIsCutToTheBuffer) {
    char buf[8];
    memset(buf, 'X', sizeof buf);
    GetCmdValue(dev::SPEAKER_CONF, "intercom:long", buf);
    EXPECT_STREQ(buf, "0123456");
}

TEST_F(SettingsTest, DebugLineOnlyWithDebugAndOnlyOnSuccess) {
    char buf[16];
    {
        StdoutCapture cap;
        GetCmdValue(dev::SPEAKER_CONF, "system:language", buf);
        EXPECT_EQ(cap.take(), "");
    }
    DEBUG.store(1);
    StdoutCapture cap;
    GetCmdValue(dev::SPEAKER_CONF, "system:language", buf);
    GetCmdValue(dev::SPEAKER_CONF, "system:none", buf);
    testing::internal::CaptureStderr();
    GetCmdValue("/etc/absent.conf", "a:b", buf);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(cap.take(), "keystr: \"system:language\" ; value: en.\nkeystr: \"system:none\" ; value: .\n");
}

TEST_F(SettingsTest, SectionNameUsedAsKeyReadsAsMissing) {
    // a section header written with a colon gives an entry without a value
    root_.write("/etc/speaker.conf", "[system:language]\n[system]\nname = x\n");
    char buf[16] = "junk";
    EXPECT_EQ(GetCmdValue(dev::SPEAKER_CONF, "system:language", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "");
}

TEST_F(SettingsTest, ConcurrentLookupsEachGetTheirValue) {
    root_.write("/oem/etc/volctrl.conf", "[volume]\nkey_beep = yes\n");
    std::atomic<int> bad{0};
    auto worker = [&](const char* file, const char* key, const char* want) {
        for (int i = 0; i < 200; i++) {
            char b[16];
            GetCmdValue(file, key, b);
            if (strcmp(b, want) != 0) bad++;
        }
    };
    std::thread a(worker, dev::SPEAKER_CONF, "system:language", "en");
    std::thread b(worker, dev::VOLCTRL_CONF, "volume:key_beep", "yes");
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
}

// A file caught while it is rewritten in place reads empty or cut inside a
// line; the reader waits for the whole file (each pause is a swapped sleep,
// whose Nth call writes the file), and takes what it finds after 20 pauses.
const DeviceRoot* g_rewrite_root = nullptr;
int g_pauses = 0;
int g_whole_at = 0;
void rewrite_sleep(unsigned long) {
    if (++g_pauses == g_whole_at) g_rewrite_root->write("/etc/speaker.conf", "[system]\nlanguage = en\n");
}

TEST_F(SettingsTest, FileCaughtMidRewriteIsReadAgainForAWhile) {
    struct Row {
        const char* caught;
        int whole_at;  // the pause after which the file is whole (0: never)
        const char* single;
        const char* loaded;
        int pauses;
    } rows[] = {
        {"", 3, "en", "en", 3},
        {"[system]\nlangu", 1, "en", "en", 1},
        {"", 0, "", "", 20},
        {"[system]\nlangu", 0, "", nullptr, 20},
    };
    g_rewrite_root = &root_;
    dev::Sleeper old = dev::set_sleeper(rewrite_sleep);
    testing::internal::CaptureStderr();
    for (const Row& r : rows) {
        for (bool single : {true, false}) {
            root_.write("/etc/speaker.conf", r.caught);
            g_pauses = 0;
            g_whole_at = r.whole_at;
            char buf[16] = "";
            const char* got = buf;
            if (single) {
                GetCmdValue(dev::SPEAKER_CONF, "system:language", buf);
            } else {
                dictionary* d = settings_load(dev::SPEAKER_CONF);
                got = d ? settings_string(d, "system:language", "") : nullptr;
                if (got) str_copy(buf, sizeof buf, got), got = buf;
                settings_free(d);
            }
            const char* want = single ? r.single : r.loaded;
            EXPECT_EQ(got ? std::string(got) : "(no file)", want ? std::string(want) : "(no file)")
                << "caught " << r.caught << (single ? ", single key" : ", whole file");
            EXPECT_EQ(g_pauses, r.pauses) << r.caught;
        }
    }
    testing::internal::GetCapturedStderr();
    dev::set_sleeper(old);
}

}  // namespace
