// What the daemon does around a call beyond its triggers, each switched on by
// its own setting: the call-event requests to the building's automation and
// the call-time limit.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "action_url.h"
#include "bus.h"
#include "device.h"
#include "oplog.h"
#include "settings.h"
#include "sip.h"
#include "text.h"
#include "threads.h"

namespace {

constexpr const char* HANGUP_CMD = "{\"cmd\":\"hangup\",\"data\":\"\"}";
// The warning comes this many seconds before the limit; a limit of at most
// this many seconds has no warning.
constexpr unsigned long kWarningLeadSeconds = 10;
// Whole-transfer limit of a call-event request, in seconds.
constexpr int kRequestMaxTime = 10;

// Fills a placeholder with a value from the call, percent-encoded.
bool fill_call_value(char* url, const char* placeholder, const char* value) {
    if (strstr(url, placeholder) == nullptr) return true;
    char encoded[ACTION_URL_MAX + 1];
    // a value longer than a URL may hold cannot fit in any case
    if (percent_encode(encoded, sizeof encoded, value) >= sizeof encoded) {
        printf("action url longer than %d characters after filling in %s, request not sent\n", ACTION_URL_MAX,
               placeholder);
        return false;
    }
    return url_fill(url, placeholder, encoded);
}

// ---- the call-time limit ------------------------------------------------------

// Each established call starts a new generation; a timer acts only while
// its generation is still the current one, so a restarted or ended limit
// leaves the older timer with nothing to do.
std::atomic<unsigned> g_limit_generation{0};
std::atomic<int> g_limit_timers{0};

struct LimitTimer {
    unsigned generation;
    unsigned long seconds;
};

bool current(unsigned generation) { return g_limit_generation.load() == generation; }

void* call_limit_timer(void* arg) {
    LimitTimer t = *static_cast<LimitTimer*>(arg);
    delete static_cast<LimitTimer*>(arg);
    unsigned long wait = t.seconds;
    if (t.seconds > kWarningLeadSeconds) {
        dev::sleep_us((t.seconds - kWarningLeadSeconds) * 1000000UL);
        wait = kWarningLeadSeconds;
        if (current(t.generation)) {
            char file[320];
            GetCmdValue(dev::SPEAKER_CONF, "intercom:max_call_warning", file);
            if (file[0] != '\0') play_audio(file, 1);
        }
    }
    dev::sleep_us(wait * 1000000UL);
    if (current(t.generation)) {
        control_cmd(0, HANGUP_CMD);
        char detail[32];
        str_format(detail, sizeof detail, "%lus", t.seconds);
        writeLog("FUNCTION", "CALL TIME LIMIT", detail);
    }
    g_limit_timers.fetch_sub(1);
    return nullptr;
}

}  // namespace

void call_action_request(const char* event, const CallInfo& call) {
    char key[64];
    char enable[8];
    str_format(key, sizeof key, "call_action_url:%s_enable", event);
    GetCmdValue(dev::SPEAKER_CONF, key, enable);
    if (!is_yes(enable)) return;
    str_format(key, sizeof key, "call_action_url:%s_url", event);
    char url[ACTION_URL_TEMPLATE_CAP];
    if (!url_template(key, url) || !url_fill_device(url)) return;

    // the reason and the duration belong to a closed call; other events
    // leave them empty
    bool closed = strcmp(event, "closed") == 0;
    char duration[16];
    str_format(duration, sizeof duration, "%d", static_cast<int>(call.duration));
    if (!fill_call_value(url, "${number}", call.number) || !fill_call_value(url, "${account}", call.account) ||
        !fill_call_value(url, "${direction}", call.direction) ||
        !fill_call_value(url, "${reason}", closed ? call.reason : "") ||
        !fill_call_value(url, "${duration}", closed ? duration : ""))
        return;
    if (!action_url_fired(url, kRequestMaxTime)) return;
    writeLog("FUNCTION", "CALL ACTION URL", event);
}

void call_limit_start() {
    unsigned generation = g_limit_generation.fetch_add(1) + 1;
    char value[16];
    GetCmdValue(dev::SPEAKER_CONF, "intercom:max_call_time", value);
    unsigned long seconds = settings_seconds(value);
    if (seconds == 0) return;
    LimitTimer* t = new (std::nothrow) LimitTimer{generation, seconds};
    g_limit_timers.fetch_add(1);
    if (t == nullptr || !start_detached(call_limit_timer, t)) {
        g_limit_timers.fetch_sub(1);
        delete t;
        puts("create thread call time limit failed");
    }
}

void call_limit_end() { g_limit_generation.fetch_add(1); }

int call_limit_timers_pending() { return g_limit_timers.load(); }
