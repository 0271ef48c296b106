// callctl check on the sandbox's settings: clean as shipped, and each kind of
// planted fault named at its file, line and key, with its code, severity and
// the exit status.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
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
    std::string code;
    std::string severity;
    std::string runtime;
};

struct Result {
    int status;
    std::vector<Found> findings;
};

class CheckTest : public ::testing::Test {
protected:
    // the sandbox as shipped: the driver on
    void SetUp() override { testsupport::setup_sandbox_root(root.dir(), true); }

    Result check(const char* extra = nullptr) {
        std::vector<std::string> args = {"check", "--root=" + root.dir(), "--json"};
        if (extra) args.push_back(extra);
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
                                  cJSON_GetObjectItemCaseSensitive(item, "fix")->valuestring,
                                  cJSON_GetObjectItemCaseSensitive(item, "code")->valuestring,
                                  cJSON_GetObjectItemCaseSensitive(item, "severity")->valuestring,
                                  cJSON_GetObjectItemCaseSensitive(item, "runtime")->valuestring});
        }
        EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(doc, "version")->valueint, 1);
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
    plant(dev::SCHEDULE_CONF, "sunday = 1\ncatch_up = 180", "sunday = 7\ncatch_up = 30");
    plant(dev::SPEAKER_CONF, "[intercom]\n", "[intercom]\nmax_call_time = 60\nmax_call_warning = 10\n");
    plant(dev::SPEAKER_CONF, "[call_action_url]\n", "[call_action_url]\ndoor_enable = yes\nclosed_url = http://x/\n");
    EXPECT_EQ(check().status, 0);
}

TEST_F(CheckTest, EachPlantedFaultIsNamedWhereItStands) {
    const std::string E = "error", W = "warning";
    struct Case {
        const char* file;
        std::string from, to;
        std::string code, severity;
        std::string key;      // the finding's key
        std::string fix_has;  // a word of the fix
        std::string at = "";  // text of the finding's line, when not the planted one
    } cases[] = {
        {dev::SPEAKER_CONF, "duration = 5\n", "duration = 9000\n", "out-of-range", E, "relay_ctrl:duration", "4294"},
        {dev::SPEAKER_CONF, "duration = 5\n", "duration = five\n", "not-a-number", E, "relay_ctrl:duration", "4294"},
        {dev::SPEAKER_CONF, "duration = 10\n", "duration = -3\n", "out-of-range", E, "screen_ctrl:duration", "4294"},
        {dev::SPEAKER_CONF, "audio_repeat = 2", "audio_repeat = two", "not-a-number", E, "intercom:audio_repeat", "whole"},
        {dev::SPEAKER_CONF, "repress_cancel = yes", "repress_cancel = true", "not-yes", E, "intercom:repress_cancel", "yes"},
        {dev::SPEAKER_CONF, "call_state = yes", "call_state = 1", "not-yes", E, "relay_ctrl:call_state", "yes"},
        {dev::SPEAKER_CONF, "[ai_settings]\nenable = yes", "[ai_settings]\nenable = Yes", "not-yes", E,
         "ai_settings:enable", "lower case", "enable = Yes"},
        {dev::SPEAKER_CONF, "key_action = call", "key_action = Call", "not-a-choice", E, "intercom:key_action",
         "call|http|play"},
        {dev::SPEAKER_CONF, "type = 1\n", "type = one\n", "screen-id", E, "screen_ctrl:type", "number"},
        {dev::SPEAKER_CONF, "http_url = http", "http_url = -http", "url-dash", E, "intercom:http_url", "http://"},
        {dev::SPEAKER_CONF, "http_url = http", "http_url = http" + std::string(250, 'h'), "url-too-long", E,
         "intercom:http_url", "255"},
        {dev::SPEAKER_CONF, "audio_file = ring", "audio_file = " + std::string(30, 'r') + "ring", "file-name-too-long",
         E, "intercom:audio_file", "31"},
        {dev::SPEAKER_CONF, "unreg?", "unreg" + std::string(180, 'x') + "?", "url-too-long", E,
         "call_action_url:unregistered_url", "255"},
        {dev::SPEAKER_CONF, "[call_action_url]\n", "[call_action_url]\nclosed_url = -http://h/?n=${number}\n", "url-dash",
         E, "call_action_url:closed_url", "http://", "closed_url = -http"},
        {dev::SPEAKER_CONF, "local_beep_file = answer.wav", "local_beep_file = ../answer.wav", "beep-setting", E,
         "sip_function:answer_local_beep_file", ".."},
        {dev::SPEAKER_CONF, "remote_beep_volume = 60", "remote_beep_volume = 6 0", "beep-setting", E,
         "sip_function:answer_remote_beep_volume", "number"},
        {dev::SPEAKER_CONF, "onekey_line = auto", "onekey_line = account_info_9", "onekey-line", E,
         "intercom:onekey_line", "auto"},
        {dev::SPEAKER_CONF, "onekey_line = auto", "onekey_line = account_info_2", "onekey-line-off", E,
         "intercom:onekey_line", "enable"},
        {dev::SPEAKER_CONF, "username = 201", "username =", "account-incomplete", E, "account_info_1:username",
         "user name"},
        {dev::SPEAKER_CONF, "server = 192.168.1.10", "server =", "account-incomplete", E, "account_info_1:domain",
         "server", "domain ="},
        // a key and a section given twice: the later one is taken
        {dev::SPEAKER_CONF, "key_action = call\n", "key_action = call\nkey_action = http\n", "duplicate-key", E,
         "intercom:key_action", "one line", "key_action = http"},
        {dev::SPEAKER_CONF, "[ai_settings]", "[system]\nsyslog = no\n[ai_settings]", "duplicate-section", E, "system",
         "[system]", "[system]\nsyslog"},
        // lines that stop the file from loading: one finding, no cascade
        {dev::SPEAKER_CONF, "[intercom]", "[intercom", "unclosed-section", E, "", "']'"},
        {dev::SPEAKER_CONF, "; Settings", "\xEF\xBB\xBF; Settings", "bom", E, "", "BOM"},
        {dev::SPEAKER_CONF, "[relay_ctrl]", "[relay_ctrl]\nthis is no setting", "syntax-error", E, "", "section",
         "this is no setting"},
        {dev::SPEAKER_CONF, "[relay_ctrl]", "[relay_ctrl]\n" + std::string(1 << 20, 'x') + "\x1b[2J", "syntax-error", E,
         "", "section", "xxxx"},
        {dev::SPEAKER_CONF, "[relay_ctrl]", "[relay_ctrl]\n\xff\xfe\x01 binary", "syntax-error", E, "", "section",
         "\xff\xfe"},
        {dev::SPEAKER_CONF, "; Settings", "language = en\n; Settings", "key-outside-section", E, "language", "below",
         "language = en\n; Settings"},
        // names no code of callctld reads: maybe another service's
        {dev::SPEAKER_CONF, "repress_cancel", "repress_cancle", "unknown-key", W, "intercom:repress_cancle",
         "intercom:repress_cancel"},
        {dev::SPEAKER_CONF, "[system]", "[sytem]", "unknown-section", W, "sytem", "[system]"},
        {dev::SPEAKER_CONF, "username = 201", "username = 201\npassword = secret", "unknown-key", W,
         "account_info_1:password", "other service", "password ="},
        {dev::SPEAKER_CONF, "[system]", "[network]\nip = 10.0.0.2\n[system]", "unknown-section", W, "network",
         "other service", "[network]"},
        {dev::VOLCTRL_CONF, "key_beep = yes", "key_beep = yes ;" + std::string(1100, 'c'), "long-line", E,
         "volume:key_beep", "shorten"},
        {dev::SCHEDULE_CONF, "\"2031-1-1:2031-1-2\"", "\"2031-1-1\"", "holidays", E, "holidays:data", "year-month-day"},
        {dev::SCHEDULE_CONF, "data = {", "data = [", "holidays", E, "holidays:data", "{\"holidays\""},
        {dev::SCHEDULE_CONF, "trigger_screen = 1", "trigger_screen = x1", "screen-id", E, "schedule_2:trigger_screen",
         "Disabled"},
        {dev::SCHEDULE_CONF, "audio_file = music.mp3", "audio_file = " + std::string(41, 'm') + ".mp3",
         "file-name-too-long", E, "schedule_2:audio_file", "44"},
        {dev::SCHEDULE_CONF, "enBeep = yes", "enBep = yes", "unknown-key", W, "schedule_1:enbep", "schedule_1:enBeep"},
        {dev::SCHEDULE_CONF, "enBeep = yes", "enBeep = on", "not-yes", E, "schedule_1:enbeep", "yes"},
        {dev::SCHEDULE_CONF, "play_times = 2", "play_times = two", "not-a-number", E, "schedule_1:play_times", "whole"},
        {dev::SCHEDULE_CONF, "volume = 80", "volume = loud", "not-a-number", E, "schedule_1:volume", "0 to 100"},
        {dev::SCHEDULE_CONF, "priority = 3", "priority = high", "not-a-number", E, "schedule_1:priority", "whole"},
        // empty: read as 0, not as the default (100) a missing key gets
        {dev::SCHEDULE_CONF, "volume = 80", "volume =", "not-a-number", E, "schedule_1:volume", "0 to 100"},
        {dev::SCHEDULE_CONF, "s_hour = 8", "s_hour = 25", "out-of-range", E, "schedule_1:s_hour", "0 to 23"},
        {dev::SCHEDULE_CONF, "s_hour = 8", "s_hour = 08", "misread-number", E, "schedule_1:s_hour", "leading zeros"},
        {dev::SCHEDULE_CONF, "sunday = 1", "sunday = 00", "misread-number", E, "driver:sunday", "leading zeros"},
        // entries that will never play, with the preview's reasons
        {dev::SCHEDULE_CONF, "s_year = 2035\ns_month = 1\ns_day = 1\ne_year = 2035",
         "s_year = 2025\ns_month = 1\ns_day = 1\ne_year = 2025", "never-plays", W, "schedule_4:e_year", "future",
         "e_year = 2025"},
        {dev::SCHEDULE_CONF, "weeks = 12345", "weeks = 89", "never-plays", W, "schedule_1:weeks", "digits"},
        {dev::SCHEDULE_CONF, "enable = yes\nsunday", "enable = no\nsunday", "driver-off", W, "driver:enable",
         "driver:enable = yes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to.substr(0, 60));
        testsupport::setup_sandbox_root(root.dir(), true);
        plant(c.file, c.from, c.to);
        Result r = check();
        EXPECT_EQ(r.status, c.severity == E ? 1 : 0);
        ASSERT_EQ(r.findings.size(), 1u) << r.findings.at(0).key << " / " << r.findings.at(1).key;
        const Found& f = r.findings[0];
        EXPECT_EQ(f.file, root.path(c.file));
        EXPECT_EQ(f.code, c.code);
        EXPECT_EQ(f.severity, c.severity);
        EXPECT_EQ(f.key, c.key);
        std::string at = c.at.empty() ? c.to.substr(0, c.to.find('\n')) : c.at;
        EXPECT_EQ(f.line, line_of(c.file, at)) << at;
        EXPECT_NE(f.fix.find(c.fix_has), std::string::npos) << f.fix;
        // what the file holds is echoed short, without raw control or non-UTF-8 bytes
        EXPECT_LT(f.runtime.size(), 400u);
        EXPECT_EQ(std::count_if(f.runtime.begin(), f.runtime.end(), [](char ch) { return ch < ' ' || ch == '\xff'; }),
                  0)
            << f.runtime;
    }
    // --strict counts warnings
    plant(dev::SPEAKER_CONF, "[system]", "[sytem]");
    EXPECT_EQ(check().status, 0);
    EXPECT_EQ(check("--strict").status, 1);
}

TEST_F(CheckTest, UnreadableFilesAreRefusedAtOnceWithTheSystemsReason) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;  // turns the file at the path into what is named
        std::string reason;
    } cases[] = {
        {"missing", [](const std::string& p) { unlink(p.c_str()); }, "No such file or directory"},
        {"directory", [](const std::string& p) { unlink(p.c_str()); mkdir(p.c_str(), 0755); }, "Is a directory"},
        {"fifo", [](const std::string& p) { unlink(p.c_str()); mkfifo(p.c_str(), 0644); }, "not a regular file (a FIFO)"},
        {"symlink loop", [](const std::string& p) { unlink(p.c_str()); symlink(p.c_str(), p.c_str()); },
         "Too many levels of symbolic links"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::setup_sandbox_root(root.dir(), true);
        const std::string path = root.path(dev::SCHEDULE_CONF);
        c.make(path);
        testing::internal::CaptureStderr();
        alarm(30);  // a check that blocks on the FIFO ends the test binary here
        std::vector<std::string> args = {"check", "--root", root.dir()};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        testsupport::StdoutCapture out;
        EXPECT_EQ(callctl::cmd_check(static_cast<int>(argv.size()), argv.data()), 2);
        alarm(0);
        const std::string text = out.take();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "callctl check: cannot read " + path + ": " + c.reason + "\n");
        EXPECT_EQ(text.find("no findings"), std::string::npos) << text;
        unlink(path.c_str());
        rmdir(path.c_str());
    }
}

}  // namespace
