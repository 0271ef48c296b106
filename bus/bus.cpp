#include "bus.h"

#include <cstdio>

#include "debug.h"
#include "pool.h"
#include "text.h"

bool control_cmd(int target, const char* msg) {
    if (target == 0) {
        if (debug_on()) printf("control-channel [%s]\n", msg);
        return redis_command_safe("LPUSH control-channel %s", msg);
    } else if (target == 1) {
        if (debug_on()) printf("output-channel [%s]\n", msg);
        return redis_command_safe("LPUSH output-channel %s", msg);
    }
    return false;
}

void screen_control(const char* msg) { redis_command_safe("PUBLISH screen-channel %s", msg); }

void state_event(const char* msg) { redis_command_safe("PUBLISH volume-event-channel %s", msg); }

void play_audio(const char* file, int count) {
    // The file name goes in as JSON string content; a name that would not
    // fit the command whole is refused rather than cut into another name.
    char file_json[320];
    if (json_escape(file_json, sizeof file_json, file) >= sizeof file_json) {
        printf("play file name too long, play command not sent\n");
        return;
    }
    char cmd[sizeof file_json + 48];
    str_format(cmd, sizeof cmd, "{\"cmd\":\"play\",\"data\":\"%s:%d\"}", file_json, count);
    control_cmd(0, cmd);
}
