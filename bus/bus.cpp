#include "bus.h"

#include <cstdio>

#include "debug.h"
#include "pool.h"

void control_cmd(int target, const char* msg) {
    if (target == 0) {
        if (debug_on()) printf("control-channel [%s]\n", msg);
        redis_command_safe("LPUSH control-channel %s", msg);
    } else if (target == 1) {
        if (debug_on()) printf("output-channel [%s]\n", msg);
        redis_command_safe("LPUSH output-channel %s", msg);
    }
}

void screen_control(const char* msg) { redis_command_safe("PUBLISH screen-channel %s", msg); }

void state_event(const char* msg) { redis_command_safe("PUBLISH volume-event-channel %s", msg); }
