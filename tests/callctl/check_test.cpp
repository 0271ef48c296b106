// callctl check on the sandbox's settings: clean as shipped, and each kind of
// planted fault named at its file, line and key, with the exit statuses.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli.h"
#include "daemon.h"
#include "device.h"
#include "fixture.h"

namespace {

struct Found {
    std::string file;
    int line;
    std::string key;
    std::string fix;
};

struct Result {
    int status;
    std::vector<Found> findings;
};

class CheckTest : public ::testing::Test {
protected:
    // the sandbox as shipped: the driver on
    void SetUp() override { testsupport::setup_sandbox_root(root.dir(), true); }

    Result check() {
        std::vector<std::string> args = {"check", "--root", root.dir(), "--json"};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        testsupport::StdoutCapture out;
        Result r;
        r.status = callctl::cmd_check(static_cast<int>(argv.size()), argv.data());
        cJSON* doc = cJSON_Parse(out.take().c_str());
        EXPECT_NE(doc, nullptr);
        const cJSON* item = nullptr;
        cJSON_ArrayForEach(item, cJSON_GetObjectItemCaseSensitive(doc, "findings")) {
            r.findings.push_back({cJSON_GetObjectItemCaseSensitive(item, "file")->valuestring,
                                  cJSON_GetObjectItemCaseSensitive(item, "line")->valueint,
                                  cJSON_GetObjectItemCaseSensitive(item, "key")->valuestring,
                                  cJSON_GetObjectItemCaseSensitive(item, "fix")->valuestring});
        }
        cJSON_Delete(doc);
        return r;
    }

    // Replaces the first occurrence of from in a settings file.
    void plant(const char* file, const std::string& from, const std::string& to) {
        std::string text = root.read(file);
        size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        root.write(file, text.replace(at, from.size(), to));
    }

    // The line number of the first line holding text.
    int line_of(const char* file, const std::string& text) {
        std::string all = root.read(file);
        size_t at = all.find(text);
        return at == std::string::npos ? 0 : 1 + static_cast<int>(std::count(all.begin(), all.begin() + static_cast<long>(at), '\n'));
    }

    testsupport::DeviceRoot root;
};

TEST_F(CheckTest, SandboxSettingsAndFeatureKeysAreClean) {
    Result r = check();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.findings.empty()) << r.findings.at(0).file << ":" << r.findings.at(0).line << " " << r.findings.at(0).key;
    // keys that the optional features read are real ones
    root.write(dev::SCHEDULE_CONF, root.read(dev::SCHEDULE_CONF) + "[driver]\nenable = yes\nsunday = 7\ncatch_up = no\n");
    plant(dev::SPEAKER_CONF, "[intercom]\n", "[intercom]\nmax_call_time = 60\nmax_call_warning = 10\n");
    plant(dev::SPEAKER_CONF, "[call_action_url]\n", "[call_action_url]\ndoor_enable = yes\nclosed_url = http://x/\n");
    EXPECT_EQ(check().status, 0);
}

TEST_F(CheckTest, EachPlantedFaultIsNamedWhereItStands) {
    struct Case {
        const char* file;
        std::string from, to;
        std::string key;      // the finding's key
        std::string fix_has;  // a word of the fix
        std::string at = "";  // text of the finding's line, when not the planted one
    } cases[] = {
        {dev::SPEAKER_CONF, "duration = 5\n", "duration = 9000\n", "relay_ctrl:duration", "4294"},
        {dev::SPEAKER_CONF, "duration = 10\n", "duration = -3\n", "screen_ctrl:duration", "4294"},
        {dev::SPEAKER_CONF, "type = 1\n", "type = one\n", "screen_ctrl:type", "number"},
        {dev::SPEAKER_CONF, "http_url = http", "http_url = -http", "intercom:http_url", "http://"},
        {dev::SPEAKER_CONF, "http_url = http", "http_url = http" + std::string(250, 'h'), "intercom:http_url", "255"},
        {dev::SPEAKER_CONF, "audio_file = ring", "audio_file = " + std::string(30, 'r') + "ring", "intercom:audio_file",
         "31"},
        {dev::SPEAKER_CONF, "unreg?", "unreg" + std::string(180, 'x') + "?", "call_action_url:unregistered_url", "255"},
        {dev::SPEAKER_CONF, "[call_action_url]\n", "[call_action_url]\nclosed_url = -http://h/?n=${number}\n",
         "call_action_url:closed_url", "http://", "closed_url = -http"},
        {dev::SPEAKER_CONF, "local_beep_file = answer.wav", "local_beep_file = ../answer.wav",
         "sip_function:answer_local_beep_file", ".."},
        {dev::SPEAKER_CONF, "remote_beep_volume = 60", "remote_beep_volume = 6 0",
         "sip_function:answer_remote_beep_volume", "number"},
        {dev::SPEAKER_CONF, "onekey_line = auto", "onekey_line = account_info_9", "intercom:onekey_line", "auto"},
        {dev::SPEAKER_CONF, "onekey_line = auto", "onekey_line = account_info_2", "intercom:onekey_line", "enable"},
        {dev::SPEAKER_CONF, "username = 201", "username =", "account_info_1:username", "user name"},
        {dev::SPEAKER_CONF, "server = 192.168.1.10", "server =", "account_info_1:domain", "server", "domain ="},
        {dev::SPEAKER_CONF, "repress_cancel", "repress_cancle", "intercom:repress_cancle", "intercom:repress_cancel"},
        {dev::SPEAKER_CONF, "[system]", "[sytem]", "sytem", "[system]"},
        {dev::SPEAKER_CONF, "[relay_ctrl]", "[relay_ctrl]\nthis is no setting", "", "section", "this is no setting"},
        {dev::VOLCTRL_CONF, "key_beep", "key_beep = yes ;" + std::string(1100, 'c') + "\nkey_beep", "volume:key_beep",
         "shorten"},
        {dev::SCHEDULE_CONF, "\"2031-1-1:2031-1-2\"", "\"2031-1-1\"", "holidays:data", "year-month-day"},
        {dev::SCHEDULE_CONF, "data = {", "data = [", "holidays:data", "{\"holidays\""},
        {dev::SCHEDULE_CONF, "trigger_screen = 1", "trigger_screen = x1", "schedule_2:trigger_screen", "Disabled"},
        {dev::SCHEDULE_CONF, "audio_file = music.mp3", "audio_file = " + std::string(41, 'm') + ".mp3",
         "schedule_2:audio_file", "44"},
        {dev::SCHEDULE_CONF, "enBeep = yes", "enBep = yes", "schedule_1:enbep", "schedule_1:enBeep"},
        // entries that will never play, with the preview's reasons
        {dev::SCHEDULE_CONF, "s_year = 2035\ns_month = 1\ns_day = 1\ne_year = 2035",
         "s_year = 2025\ns_month = 1\ns_day = 1\ne_year = 2025", "schedule_4:e_year", "future", "e_year = 2025"},
        {dev::SCHEDULE_CONF, "weeks = 12345", "weeks = 89", "schedule_1:weeks", "digits"},
        {dev::SCHEDULE_CONF, "enable = yes\nsunday", "enable = no\nsunday", "driver:enable", "driver:enable = yes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to.substr(0, 60));
        testsupport::setup_sandbox_root(root.dir(), true);
        plant(c.file, c.from, c.to);
        Result r = check();
        EXPECT_EQ(r.status, 1);
        ASSERT_EQ(r.findings.size(), 1u) << r.findings.at(0).key << " / " << r.findings.at(1).key;
        const Found& f = r.findings[0];
        EXPECT_EQ(f.file, c.file);
        EXPECT_EQ(f.key, c.key);
        std::string at = c.at.empty() ? c.to.substr(0, c.to.find('\n')) : c.at;
        EXPECT_EQ(f.line, line_of(c.file, at)) << at;
        EXPECT_NE(f.fix.find(c.fix_has), std::string::npos) << f.fix;
    }
}

TEST_F(CheckTest, UnreadableFileGivesStatusTwo) {
    root.remove(dev::VOLCTRL_CONF);
    testing::internal::CaptureStderr();
    EXPECT_EQ(check().status, 2);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot read"), std::string::npos);
}

}  // namespace
