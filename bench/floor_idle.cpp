// The memory and start-up floor: a bare C++17 program that links the same
// three libraries as the daemon (hiredis, cJSON, iniparser) and keeps four
// idle threads beside its main thread, as the daemon does. One thread
// subscribes to "session-channel" on the device's socket, so its start-up
// time (exec to a subscribed listener) is measured the same way as the
// daemon's; the others block as the daemon's idle threads do.
//
// With "echo", the subscriber listens on "bench-floor-channel" instead and
// answers every message with the work the daemon's design needs for an
// incoming call up to its relay command, and nothing else: PING + LPUSH of a
// log entry (to "bench-floor-log"), three bare iniparser look-ups, PING +
// LPUSH of the relay On (to "bench-floor-output"). Its latency is the floor
// of the event latency, with the same wake-ups and scheduling; the harness
// measures it call by call beside the daemon's, on names of its own so that
// neither sees the other's traffic.
// Usage: bench_floor_idle SOCKET SETTINGS_FILE [echo]
#include <cjson/cJSON.h>
#include <hiredis.h>
#include <iniparser.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

namespace {
std::string g_socket;
std::string g_conf;
bool g_echo = false;

void command(redisContext* c, const char* fmt, const char* arg = nullptr) {
    void* r = arg ? redisCommand(c, fmt, arg) : redisCommand(c, fmt);
    if (r) freeReplyObject(r);
}

void lookup(const char* key) {
    dictionary* d = iniparser_load(g_conf.c_str());
    char value[32];
    snprintf(value, sizeof value, "%s", iniparser_getstring(d, key, ""));
    iniparser_freedict(d);
}

void echo(redisContext* pool) {
    command(pool, "PING");
    command(pool, "LPUSH bench-floor-log %s", "SIP STATE,INCOMING CALL,sip:1002@192.168.1.10");
    lookup("relay_ctrl:call_state");
    lookup("relay_ctrl:state_info");
    lookup("relay_ctrl:type");
    command(pool, "PING");
    command(pool, "LPUSH bench-floor-output %s", "{\"id\":\"gpio112\",\"type\":\"On\"}");
}

void subscriber() {
    redisContext* c = redisConnectUnix(g_socket.c_str());
    if (c == nullptr || c->err) return;
    redisContext* pool = g_echo ? redisConnectUnix(g_socket.c_str()) : nullptr;
    void* r = redisCommand(c, g_echo ? "SUBSCRIBE bench-floor-channel" : "SUBSCRIBE session-channel");
    if (r) freeReplyObject(r);
    for (;;) {
        if (redisGetReply(c, &r) != REDIS_OK) break;
        freeReplyObject(r);
        if (pool) echo(pool);
    }
    if (pool) redisFree(pool);
    redisFree(c);
}

void sleeper() {
    for (;;) pause();
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4 || (argc == 4 && std::string(argv[3]) != "echo")) {
        fprintf(stderr, "usage: bench_floor_idle SOCKET SETTINGS_FILE [echo]\n");
        return 2;
    }
    g_socket = argv[1];
    g_conf = argv[2];
    g_echo = argc == 4;
    // Each library is used once, so that each is loaded and initialised.
    dictionary* d = iniparser_load(argv[2]);
    if (d) iniparser_freedict(d);
    cJSON* j = cJSON_Parse("{\"type\":\"EXIT\"}");
    cJSON_Delete(j);

    // std::thread brings in the C++ runtime, as in any C++17 program.
    void (*entries[4])() = {subscriber, sleeper, sleeper, sleeper};
    for (auto entry : entries) std::thread(entry).detach();
    for (;;) poll(nullptr, 0, 3000);
}
