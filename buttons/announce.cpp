// The device's own audible feedback: the spoken IP address and the key beep,
// with the amplifier switch and the address look-ups on eth1 they need.
#include <cstdio>
#include <cstring>

#include "buttons.h"
#include "call_state.h"
#include "device.h"
#include "oplog.h"
#include "settings.h"
#include "text.h"

namespace {
// Commands name device paths; with a device root set the root goes in front,
// so every command buffer has room for it on top of the device's own text.
constexpr size_t ROOT_ROOM = 256;
// The announcement: prefix and one prompt per character of a 15-character
// address fit in 239 characters.
constexpr size_t ANNOUNCE_CAP = 240 + ROOT_ROOM;
constexpr size_t SHELL_CAP = 128 + ROOT_ROOM;
// Addresses are held in 16 characters (15 and the terminator).
constexpr size_t ADDRESS_CAP = 16;

const char* const BEEP_EVENT_FMT = "%s PUBLISH volume-event-channel '{\"name\": \"SIP\", \"action\": \"%s\"}'";

void run_rooted(const char* fmt, const char* device_path) {
    char cmd[SHELL_CAP];
    str_format(cmd, sizeof cmd, fmt, dev::Path(device_path).c_str());
    dev::run_shell(cmd);
}

void restore_volume() { run_rooted("%s resume", dev::SET_VOLUME_SH); }

bool beep_events_heard() {
    int s = BARESIP_STATUS.load(std::memory_order_relaxed);
    return s == 0 || s == 5;
}

void beep_event(const char* action) {
    char cmd[SHELL_CAP];
    str_format(cmd, sizeof cmd, BEEP_EVENT_FMT, dev::Path(dev::REDIS_CLI).c_str(), action);
    dev::run_shell(cmd);
}
}  // namespace

void amplifier_switch(int on) { run_rooted(on ? "echo 1 > %s" : "echo 0 > %s", dev::GPIO_AMPLIFIER); }

int PlayIP() {
    char language[32];
    GetCmdValue(dev::SPEAKER_CONF, "system:language", language);
    dev::Path sounds(strcmp(language, "en") == 0 ? dev::SOUNDS_EN : dev::SOUNDS_CN);

    run_rooted("%s -q sset 'Master',0 29", dev::AMIXER);
    amplifier_switch(1);

    char ip[ADDRESS_CAP];
    char cmd[ANNOUNCE_CAP];
    if (!get_ip(ip)) {
        str_format(cmd, sizeof cmd, "mpg123 -r 48000 %sget_ip_failed.mp3", sounds.c_str());
        dev::run_shell(cmd);
        amplifier_switch(0);
        restore_volume();
        return 0;
    }

    // One player for the whole address: a prompt per digit and per dot.
    str_format(cmd, sizeof cmd, "cd %s;mpg123 -r 48000 ", sounds.c_str());
    for (const char* p = ip; *p; ++p) {
        char prompt[16];
        if (*p >= '0' && *p <= '9') {
            str_format(prompt, sizeof prompt, "digit-%c.mp3 ", *p);
            str_append(cmd, prompt);
        } else if (*p == '.') {
            str_append(cmd, "dian.mp3 ");
        }
    }
    dev::run_shell(cmd);
    amplifier_switch(0);
    restore_volume();
    writeLog("FUNCTION", "Play IP Address", ip);
    return 0;
}

void playBeep() {
    char key_beep[8];
    GetCmdValue(dev::VOLCTRL_CONF, "volume:key_beep", key_beep);
    if (!is_yes(key_beep)) return;
    // The volume service hears of the beep only while no call is under way.
    if (beep_events_heard()) beep_event("on");
    run_rooted("mpg123 %s", dev::KEY_BEEP_MP3);
    dev::sleep_us(400000);
    if (beep_events_heard()) beep_event("off");
}
