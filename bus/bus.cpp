#include "bus.h"

#include <hiredis.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

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

void bus_connection_name(char* buf, size_t size, long pid, const char* role) {
    str_format(buf, size, "callctld-%ld-%s", pid, role);
}

void bus_name_connection(redisContext* c, const char* role) {
    if (c == nullptr || c->err != 0) return;
    char name[64];
    bus_connection_name(name, sizeof name, static_cast<long>(getpid()), role);
    void* r = redisCommand(c, "CLIENT SETNAME %s", name);
    if (r) freeReplyObject(r);
}

bool bus_heartbeat() {
    const int slot = redis_pool_lend_quietly(redisClient);
    if (slot < 0) return false;
    char pid[24];
    str_format(pid, sizeof pid, "%ld", static_cast<long>(getpid()));
    char ttl[16];
    str_format(ttl, sizeof ttl, "%d", static_cast<int>(HEARTBEAT_TTL_MS));
    auto* r = static_cast<redisReply*>(redisCommand(redisClient->conn[slot], "SET %s %s PX %s", HEARTBEAT_KEY, pid, ttl));
    const bool stored = r != nullptr && r->type == REDIS_REPLY_STATUS && strcmp(r->str, "OK") == 0;
    if (r) freeReplyObject(r);
    redis_pool_release_connection(redisClient, slot);
    return stored;
}
