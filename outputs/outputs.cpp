#include "outputs.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bus.h"
#include "debug.h"
#include "device.h"
#include "settings.h"
#include "text.h"
#include "threads.h"

namespace {
std::atomic<int> g_pending{0};

// Passed to the release entries by start_timed_release, so that only the
// releases it counted are counted down.
int g_counted_token;

// A JSON string value may grow to six times its length when escaped.
constexpr size_t escaped_cap(size_t cap) { return cap * 6; }

unsigned long release_wait_us(const char* key) {
    return static_cast<unsigned long>(release_setting(key, nullptr)) * 1000000UL;
}

bool digits(const char*& p) {
    const char* start = p;
    while (*p >= '0' && *p <= '9') ++p;
    return p != start;
}
}  // namespace

unsigned release_seconds(const char* value, bool* clamped) {
    // atoi semantics (blanks, sign, leading digits) without its overflow
    long s = strtol(value ? value : "", nullptr, 10);
    const long most = RELEASE_MAX_SECONDS;
    long kept = s < 0 ? 0 : s > most ? most : s;
    if (clamped) *clamped = kept != s;
    return static_cast<unsigned>(kept);
}

unsigned release_setting(const char* key, bool* clamped) {
    char value[8];
    GetCmdValue(dev::SPEAKER_CONF, key, value);
    return release_seconds(value, clamped);
}

void screen_setting(char (&id)[SCREEN_ID_SIZE]) { GetCmdValue(dev::SPEAKER_CONF, "screen_ctrl:type", id); }

bool screen_id_ok(const char* id) { return id != nullptr && strlen(id) < SCREEN_ID_SIZE && is_json_number(id); }

bool is_json_number(const char* text) {
    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    const char* p = text;
    if (*p == '-') ++p;
    if (*p == '0') {
        ++p;
    } else if (*p < '1' || *p > '9' || !digits(p)) {
        return false;
    }
    if (*p == '.' && !digits(++p)) return false;
    if (*p == 'e' || *p == 'E') {
        ++p;
        if (*p == '+' || *p == '-') ++p;
        if (!digits(p)) return false;
    }
    return *p == '\0';
}

namespace {
void release_done(void* arg) {
    if (arg == &g_counted_token) g_pending.fetch_sub(1);
}
}  // namespace

void relayControl(const char* relay, int on) {
    if (relay == nullptr) relay = "";
    char cmd[256];
    if (on) {
        char type[32];
        GetCmdValue(dev::SPEAKER_CONF, "relay_ctrl:type", type);
        char type_json[escaped_cap(sizeof type)];
        json_escape(type_json, sizeof type_json, type);
        str_format(cmd, sizeof cmd, "{\"id\":\"%s\",\"type\":\"%s\"}", relay, type_json);
    } else {
        str_format(cmd, sizeof cmd, "{\"id\":\"%s\",\"type\":\"Off\"}", relay);
    }
    control_cmd(1, cmd);
}

bool screen_send(const char* action, const char* id, const char* setting) {
    // The screen id is a JSON number and goes in without quotes; at most 15
    // characters, so the command always fits. Anything else would change the
    // message itself, so it is refused.
    if (id == nullptr) id = "";
    if (!screen_id_ok(id)) {
        printf("%s is not a number, screen command not sent: %s\n", setting, id);
        return false;
    }
    char cmd[64];
    str_format(cmd, sizeof cmd, "{\"action\": \"%s\", \"id\": %s}", action, id);
    screen_control(cmd);
    return true;
}

bool screenControl(int on) {
    char id[SCREEN_ID_SIZE];
    screen_setting(id);
    return screen_send(on ? "on" : "off", id, "screen_ctrl:type");
}

void ai_ctrl(int on) {
    char version[16];
    GetCmdValue(dev::SPEAKER_CONF, "system:hard_version", version);
    dev::Path line(strcmp(version, "Ver3.2") == 0 ? dev::GPIO_AI_V32 : dev::GPIO_AI);
    if (on) {
        char enable[8];
        GetCmdValue(dev::SPEAKER_CONF, "ai_settings:enable", enable);
        if (!is_yes(enable)) return;
    }
    char cmd[600];
    str_format(cmd, sizeof cmd, "echo %d > %s", on ? 1 : 0, line.c_str());
    dev::run_shell(cmd);
}

void* relayDelayControl(void* arg) {
    dev::sleep_us(release_wait_us("relay_ctrl:duration"));
    relayControl(RELAY_ID, 0);
    if (debug_on()) puts("GPIO_RELAY set off");
    release_done(arg);
    return nullptr;
}

void* screenDelayControl(void* arg) {
    dev::sleep_us(release_wait_us("screen_ctrl:duration"));
    if (screenControl(0) && debug_on()) puts("screen set off");
    release_done(arg);
    return nullptr;
}

bool start_timed_release(void* (*entry)(void*)) {
    g_pending.fetch_add(1);
    if (start_detached(entry, &g_counted_token)) return true;
    g_pending.fetch_sub(1);
    return false;
}

int timed_releases_pending() { return g_pending.load(); }
