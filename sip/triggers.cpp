// What the device does when a call changes state: the call-state relay, the
// AI module line, the answer and hang-up beeps, and the call-detail stamps.
#include <cstdio>
#include <cstring>

#include "bus.h"
#include "debug.h"
#include "device.h"
#include "outputs.h"
#include "settings.h"
#include "calls.h"
#include "sip.h"
#include "text.h"

namespace {

bool is(const char* value, const char* expected) { return strcmp(value, expected) == 0; }

template <size_t N>
void setting(const char* key, char (&value)[N]) {
    GetCmdValue(dev::SPEAKER_CONF, key, value);
}

void relay_switch(int on) {
    relayControl(RELAY_ID, on);
    if (debug_on()) puts(on ? "GPIO_RELAY set on" : "GPIO_RELAY set off");
}

unsigned serial_of(const LiveCall* call) { return call != nullptr ? call->serial : 0; }

// The relay On for a call: a release still waiting for an earlier call has
// nothing left to release.
void relay_on_for(const LiveCall* call) {
    relay_switch(1);
    cancel_relay_releases_before(serial_of(call));
}

// Starts the relay's timed release for the call; false (with its message)
// when it could not be started.
bool start_relay_release(const LiveCall* call) {
    if (start_timed_release(RELAY_RELEASE, serial_of(call))) return true;
    puts("create thread_delay relayDelayControl failed");
    return false;
}

// Relay on at the start of a call when the relay follows call states and its
// state_info names this direction (or "both").
void call_start_relay(const char* direction, LiveCall* call) {
    char call_state[8];
    char state_info[16];
    setting("relay_ctrl:call_state", call_state);
    setting("relay_ctrl:state_info", state_info);
    if (!is_yes(call_state) || !(is(state_info, direction) || is(state_info, "both"))) return;
    relay_on_for(call);
    if (call != nullptr) call->relay_on = true;
    char mode[16];
    setting("relay_ctrl:mode", mode);
    if (is(mode, "delay")) start_relay_release(call);
}

// The call-state relay's Off at a close, unless another live call keeps it On.
void close_relay_off(const LiveCall* call) {
    if (!live_call_keeps_relay(call)) relay_switch(0);
}

// Setting values go into the commands escaped as JSON string content, so a
// quote or a backslash cannot break the command; ordinary values are unchanged.
template <size_t N>
void setting_json(const char* key, char (&out)[N * 6]) {
    char value[N];
    GetCmdValue(dev::SPEAKER_CONF, key, value);
    json_escape(out, sizeof out, value);
}

// Mixes a beep file into the call: "mixausrc_dec_start" is heard locally,
// "mixausrc_enc_start" is sent to the far end.
void send_answer_beep(const char* cmd_name, const char* file_key, const char* volume_key) {
    char raw_file[ANSWER_BEEP_FILE_SIZE];
    char raw_volume[ANSWER_BEEP_VOLUME_SIZE];
    if (const char* bad = answer_beep_settings(file_key, volume_key, raw_file, raw_volume)) {
        printf("%s holds a blank, a control character or a \"..\" part: %s not sent\n", bad, cmd_name);
        return;
    }
    char file[64 * 6];
    char volume[4 * 6];
    json_escape(file, sizeof file, raw_file);
    json_escape(volume, sizeof volume, raw_volume);
    char cmd[512];
    str_format(cmd, sizeof cmd, "{\"cmd\":\"%s\",\"data\":\"aufile /usr/share/baresip/%s 10 %s\"}",
               cmd_name, file, volume);
    control_cmd(0, cmd);
}

// The hang-up beep: its temporary volume first, then the play command.
void send_hangup_beep() {
    char file[64 * 6];
    char volume[4 * 6];
    setting_json<64>("sip_function:hangup_beep_file", file);
    setting_json<4>("sip_function:hangup_beep_volume", volume);
    char cmd[512];
    str_format(cmd, sizeof cmd, "{\"cmd\":\"setaudiotempvol\",\"data\":\"%s\"}", volume);
    control_cmd(0, cmd);
    str_format(cmd, sizeof cmd, "{\"cmd\":\"play\",\"data\":\"%s:0\"}", file);
    control_cmd(0, cmd);
}

}  // namespace

// The "aufile" data of a mix command is blank-separated (path, 10, volume)
// and names a file under /usr/share/baresip/: a value with a blank or a
// control character would shift the arguments, and a ".." part would leave
// the folder.
bool aufile_part_ok(const char* value) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p; ++p)
        if (*p <= ' ' || *p == 0x7f) return false;
    for (const char* part = value; *part != '\0';) {
        size_t n = strcspn(part, "/");
        if (n == 2 && part[0] == '.' && part[1] == '.') return false;
        part += n;
        if (*part == '/') ++part;
    }
    return true;
}

const char* answer_beep_settings(const char* file_key, const char* volume_key, char (&file)[ANSWER_BEEP_FILE_SIZE],
                                 char (&volume)[ANSWER_BEEP_VOLUME_SIZE]) {
    GetCmdValue(dev::SPEAKER_CONF, file_key, file);
    GetCmdValue(dev::SPEAKER_CONF, volume_key, volume);
    return !aufile_part_ok(file) ? file_key : !aufile_part_ok(volume) ? volume_key : nullptr;
}

void incomingTrigger(LiveCall* call) { call_start_relay("incoming", call); }

void outgoingTrigger(LiveCall* call) { call_start_relay("outgoing", call); }

void answeredTrigger(LiveCall* call) {
    setAnswerCallInfo();
    ai_ctrl(0);
    char mode[16];
    setting("relay_ctrl:mode", mode);
    if (is(mode, "answered")) {
        relay_switch(0);
    } else {
        char call_state[8];
        char state_info[16];
        setting("relay_ctrl:call_state", call_state);
        setting("relay_ctrl:state_info", state_info);
        if (is_yes(call_state) && is(state_info, "answered")) {
            relay_on_for(call);
            if (call != nullptr) call->relay_on = true;
            // without its release the relay stays on; the beeps are skipped too
            if (is(mode, "delay") && !start_relay_release(call)) return;
        }
    }
    char on[4];
    setting("sip_function:answer_local_beep", on);
    if (is_yes(on))
        send_answer_beep("mixausrc_dec_start", "sip_function:answer_local_beep_file",
                         "sip_function:answer_local_beep_volume");
    setting("sip_function:answer_remote_beep", on);
    if (is_yes(on))
        send_answer_beep("mixausrc_enc_start", "sip_function:answer_remote_beep_file",
                         "sip_function:answer_remote_beep_volume");
}

void hangupTrigger(const char* reason, const LiveCall* call) {
    char on[4];
    setting("sip_function:hangup_beep", on);
    if (is_yes(on)) send_hangup_beep();
    setClosedCallInfo(reason);

    char mode[16];
    setting("relay_ctrl:mode", mode);
    if (is(mode, "hangup")) {
        close_relay_off(call);
        return;
    }
    char call_state[8];
    char state_info[16];
    setting("relay_ctrl:call_state", call_state);
    setting("relay_ctrl:state_info", state_info);
    if (!is_yes(call_state)) return;
    if (is(state_info, "hangup")) {
        relay_on_for(call);
        start_relay_release(call);
    } else {
        close_relay_off(call);
    }
}

void exitRelay(const LiveCall* call) {
    char mode[16];
    char call_state[8];
    char state_info[16];
    setting("relay_ctrl:mode", mode);
    setting("relay_ctrl:call_state", call_state);
    setting("relay_ctrl:state_info", state_info);
    if (is(mode, "hangup") || (is_yes(call_state) && !is(state_info, "hangup"))) close_relay_off(call);
}
