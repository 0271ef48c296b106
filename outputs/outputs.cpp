#include "outputs.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bus.h"
#include "debug.h"
#include "device.h"
#include "oplog.h"
#include "settings.h"
#include "text.h"
#include "timers.h"

namespace {
std::atomic<int> g_pending{0};

// The relay's periods as this daemon switches them: even while off, odd
// while on. Each On that finds the relay off opens a period (the counter's
// new odd value), each Off closes it; a cap acts only on the period it was
// started for, and only by being the one that closes it.
std::atomic<unsigned> g_relay_period{0};

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
// The cap of the open period: its timer, cancelled when an Off ends the
// period first.
std::atomic<unsigned long> g_cap_timer{0};

void send_relay_off(const char* relay) {
    char cmd[256];
    str_format(cmd, sizeof cmd, "{\"id\":\"%s\",\"type\":\"Off\"}", relay);
    control_cmd(1, cmd);
}

// Ends the On period it was started for after its seconds, unless an Off
// (a release, a hang-up) has ended it already.
void relay_cap(unsigned long period, unsigned long seconds) {
    unsigned expected = static_cast<unsigned>(period);
    if (g_relay_period.compare_exchange_strong(expected, expected + 1)) {
        send_relay_off(RELAY_ID);
        if (debug_on()) puts("GPIO_RELAY set off");
        char detail[32];
        str_format(detail, sizeof detail, "%lus", seconds);
        writeLog("FUNCTION", "RELAY MAX ON", detail);
    }
    g_pending.fetch_sub(1);
}

// An On: opens a period when the relay was off, and caps it when
// "relay_ctrl:max_on" is set. An On while on keeps the period (and its cap).
void relay_period_on() {
    unsigned period = g_relay_period.load();
    do {
        if (period % 2 == 1) return;
    } while (!g_relay_period.compare_exchange_weak(period, period + 1));
    char value[16];
    GetCmdValue(dev::SPEAKER_CONF, "relay_ctrl:max_on", value);
    unsigned long seconds = settings_seconds(value);
    if (seconds == 0) return;
    g_pending.fetch_add(1);
    unsigned long id = timer_start(seconds * 1000000UL, relay_cap, period + 1, seconds);
    if (id == 0) {
        g_pending.fetch_sub(1);
        puts("create thread relay max_on failed");
        return;
    }
    g_cap_timer.store(id);
}

void relay_period_off() {
    unsigned period = g_relay_period.load();
    do {
        if (period % 2 == 0) return;
    } while (!g_relay_period.compare_exchange_weak(period, period + 1));
    // the period is over: its cap has nothing left to do
    if (timer_cancel(g_cap_timer.exchange(0))) g_pending.fetch_sub(1);
}

void relay_release(unsigned long, unsigned long) {
    relayDelayControl();
    g_pending.fetch_sub(1);
}

void screen_release(unsigned long, unsigned long) {
    screenDelayControl();
    g_pending.fetch_sub(1);
}
}  // namespace

void relayControl(const char* relay, int on) {
    if (relay == nullptr) relay = "";
    if (on) {
        char cmd[256];
        char type[32];
        GetCmdValue(dev::SPEAKER_CONF, "relay_ctrl:type", type);
        char type_json[escaped_cap(sizeof type)];
        json_escape(type_json, sizeof type_json, type);
        str_format(cmd, sizeof cmd, "{\"id\":\"%s\",\"type\":\"%s\"}", relay, type_json);
        control_cmd(1, cmd);
        // the period opens after the On is sent: an Off racing it may leave
        // a cap with an Off too many, never an On without its cap
        relay_period_on();
    } else {
        relay_period_off();
        send_relay_off(relay);
    }
}

void relay_off_at_start() {
    // a cap on the On period promises an Off that a restart would lose: the
    // relay may have been left On, so it goes Off as with off_at_start
    char value[8];
    char max_on[16];
    GetCmdValue(dev::SPEAKER_CONF, "relay_ctrl:off_at_start", value);
    GetCmdValue(dev::SPEAKER_CONF, "relay_ctrl:max_on", max_on);
    if (!is_yes(value) && settings_seconds(max_on) == 0) return;
    relayControl(RELAY_ID, 0);
    writeLog("FUNCTION", "RELAY OFF AT START", "");
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

void relayDelayControl() {
    relayControl(RELAY_ID, 0);
    if (debug_on()) puts("GPIO_RELAY set off");
}

void screenDelayControl() {
    if (screenControl(0) && debug_on()) puts("screen set off");
}

bool start_timed_release(TimedRelease which, unsigned call) {
    const char* key = which == RELAY_RELEASE ? "relay_ctrl:duration" : "screen_ctrl:duration";
    g_pending.fetch_add(1);
    if (timer_start(release_wait_us(key), which == RELAY_RELEASE ? relay_release : screen_release, call, 0) != 0)
        return true;
    g_pending.fetch_sub(1);
    return false;
}

void cancel_relay_releases_before(unsigned call) {
    g_pending.fetch_sub(timer_cancel_below(relay_release, call));
}

int timed_releases_pending() { return g_pending.load(); }
