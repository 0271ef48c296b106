// Button actions: the one-key call, answer and hang-up steered by the call
// state, the unregistered action request, the reset holds, and the
// registration watchdog.
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bus.h"
#include "buttons.h"
#include "call_state.h"
#include "calls.h"
#include "debug.h"
#include "device.h"
#include "oplog.h"
#include "settings.h"
#include "text.h"

namespace {
constexpr const char* DIAL_LINE_FMT = "{\"cmd\":\"dial\",\"data\":\"%s %d\"}";
constexpr const char* DIAL_FMT = "{\"cmd\":\"dial\",\"data\":\"%s\"}";
constexpr const char* HANGUP_CMD = "{\"cmd\":\"hangup\",\"data\":\"\"}";
constexpr const char* ACCEPT_CMD = "{\"cmd\":\"accept\",\"data\":\"\"}";

// Room for a device root in front of the paths of a shell command.
constexpr size_t ROOT_ROOM = 256;

int call_state() { return BARESIP_STATUS.load(std::memory_order_relaxed); }
void set_call_state(int s) { BARESIP_STATUS.store(s, std::memory_order_relaxed); }

int account_registered(int n) {
    switch (n) {
    case 1: return ACCOUNT1_REG.load(std::memory_order_relaxed);
    case 2: return ACCOUNT2_REG.load(std::memory_order_relaxed);
    case 3: return ACCOUNT3_REG.load(std::memory_order_relaxed);
    default: return 0;
    }
}

// The dial of code 0. The state is 6 while the dial is pending and goes back
// to 0 when no dial command can be made.
void one_key_call() {
    set_call_state(6);
    char number[ONEKEY_NUM_MAX + 1];
    char line_setting[24];
    GetCmdValue(dev::SPEAKER_CONF, "intercom:onekey_num", number);
    GetCmdValue(dev::SPEAKER_CONF, "intercom:onekey_line", line_setting);
    if (number[0] == '\0') {
        set_call_state(0);
        return;
    }
    int line[4];
    get_line(line);

    // the number goes into the command as JSON string content
    char number_json[sizeof number * 6];
    json_escape(number_json, sizeof number_json, number);
    char cmd[sizeof number_json + 64];
    if (strcmp(line_setting, "p2p") == 0) {
        str_format(cmd, sizeof cmd, DIAL_FMT, number_json);
    } else {
        int account = 0;
        if (strcmp(line_setting, "auto") == 0) {
            if (debug_on())
                printf("ACCOUNT1 is %d, ACCOUNT2 is %d, ACCOUNT3 is %d\n", account_registered(1),
                       account_registered(2), account_registered(3));
            // the first registered account; when it is not enabled the dial
            // is abandoned, the next one is not tried
            for (int n = 1; n <= 3 && account == 0; n++)
                if (account_registered(n) == 1) account = n;
            if (account == 0 || line[account] == -1) {
                set_call_state(0);
                return;
            }
        } else {
            // a named account must be enabled and registered; a line setting
            // that names no account has no dial command at all
            account = numbered_account(line_setting);
            if (account == 0 || line[account] == -1 || account_registered(account) != 1) {
                set_call_state(0);
                return;
            }
        }
        str_format(cmd, sizeof cmd, DIAL_LINE_FMT, number_json, line[account]);
    }

    if (debug_on()) printf("dial [%s]\n", cmd);
    if (!control_cmd(0, cmd)) {
        // the dial never reached the user agent: nothing will answer it
        puts("dial not sent: the bus cannot be reached");
        set_call_state(0);
        return;
    }
    dial_wait_start();
    char detail[64];
    str_format(detail, sizeof detail, "%s <%s>", number, line_setting);
    writeLog("FUNCTION", "KEY Call", detail);
}

void hang_up_if_configured() {
    char repress_cancel[8];
    GetCmdValue(dev::SPEAKER_CONF, "intercom:repress_cancel", repress_cancel);
    if (!is_yes(repress_cancel)) return;
    if (debug_on()) puts("hangup call");
    control_cmd(0, HANGUP_CMD);
    writeLog("FUNCTION", "KEY Hangup", "");
}

void answer() {
    if (debug_on()) puts("answer call");
    control_cmd(0, ACCEPT_CMD);
    writeLog("FUNCTION", "KEY Answer", "");
}

// The action request of a device without a registered account: the template
// with its placeholders filled in the order ip, mac, ua, number.
void unregistered_request() {
    char enable[8];
    GetCmdValue(dev::SPEAKER_CONF, "call_action_url:unregistered_enable", enable);
    if (!is_yes(enable)) return;

    char url[ACTION_URL_TEMPLATE_CAP];
    if (!url_template("call_action_url:unregistered_url", url) || !url_fill_device(url)) return;
    if (strstr(url, "${number}") != nullptr) {
        char number[ONEKEY_NUM_MAX + 1];
        GetCmdValue(dev::SPEAKER_CONF, "intercom:onekey_num", number);
        if (!url_fill(url, "${number}", number)) return;
    }
    if (!action_url_fired(url)) return;
    writeLog("FUNCTION", "HTTP Request", url);
}

// Reboot notice first, then the user data marker goes and the device reboots.
void reboot_device() {
    dev::run_shell(dev::Path(dev::PLAY_REBOOTING_SH));
    char cmd[64 + 2 * ROOT_ROOM];
    str_format(cmd, sizeof cmd, "rm -f %s && %s", dev::Path(dev::OEM_USERDATA).c_str(),
               dev::Path(dev::REBOOT).c_str());
    dev::run_shell(cmd);
}
}  // namespace

int numbered_account(const char* line_setting) {
    static const char* const names[] = {"account_info_1", "account_info_2", "account_info_3"};
    for (int n = 1; n <= 3; n++)
        if (strcmp(line_setting, names[n - 1]) == 0) return n;
    return 0;
}

bool onekey_line_known(const char* line_setting) {
    return strcmp(line_setting, "auto") == 0 || strcmp(line_setting, "p2p") == 0 ||
           numbered_account(line_setting) != 0;
}

size_t unregistered_url_longest(const char* tmpl) {
    // the placeholders in the order they are filled, each with the length of
    // the longest value it can receive (an address that cannot be read
    // leaves its placeholder, which is shorter)
    static const struct {
        const char* name;
        size_t longest;
    } kFill[] = {{"${ip}", IP_TEXT_MAX}, {"${mac}", MAC_TEXT_MAX}, {"${ua}", USERNAME_MAX}, {"${number}", ONEKEY_NUM_MAX}};
    // no value is more than 7 times as long as its placeholder
    std::vector<char> url(strlen(tmpl) * 7 + 1);
    memcpy(url.data(), tmpl, strlen(tmpl) + 1);
    size_t most = strlen(tmpl);
    for (const auto& f : kFill) {
        strrpl(url.data(), f.name, std::string(f.longest, '0').c_str());
        most = std::max(most, strlen(url.data()));
    }
    return most;
}

int get_line(int line[4]) {
    for (int n = 0; n < 4; n++) line[n] = -1;
    int next = 0;
    for (int n = 1; n <= 3; n++) {
        char key[32];
        char enable[8];
        str_format(key, sizeof key, "account_info_%d:enable", n);
        GetCmdValue(dev::SPEAKER_CONF, key, enable);
        if (is_yes(enable)) line[n] = next++;
    }
    return 1;
}

void keyAction(int kind) {
    if (debug_on()) printf("BARESIP_STATUS [%d]\n", call_state());
    if (kind == 3) {
        reboot_device();
    } else if (kind == 2) {
        PlayIP();
    } else if (kind == 1) {
        switch (call_state()) {
        case 0: one_key_call(); break;
        case 1:
        case 3: hang_up_if_configured(); break;
        case 2: answer(); break;
        case 5: unregistered_request(); break;
        default: break;  // 6: a dial is pending
        }
    }
}

void* checkReg(void*) {
    dictionary* d = settings_load(dev::SPEAKER_CONF);
    if (d == nullptr) return nullptr;
    bool enabled = false;
    static const char* const keys[] = {"account_info_1:enable", "account_info_2:enable", "account_info_3:enable"};
    for (const char* key : keys) {
        if (is_yes(settings_string(d, key, "no"))) {
            enabled = true;
            break;
        }
    }
    if (enabled && regcount.load(std::memory_order_relaxed) == 0) {
        char cmd[64 + ROOT_ROOM];
        str_format(cmd, sizeof cmd, "%s stop", dev::Path(dev::SIPPHONE_SH).c_str());
        dev::run_shell(cmd);
    }
    regcount.store(0, std::memory_order_relaxed);
    settings_free(d);
    return nullptr;
}
