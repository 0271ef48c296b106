// The live call table and what hangs on each call: its call-time limit, and
// the wait for a requested dial. The table is written by the SIP listener
// only; the timer thread reads it under g_m when a limit or a dial wait ends.
#include "calls.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "bus.h"
#include "device.h"
#include "oplog.h"
#include "settings.h"
#include "text.h"
#include "timers.h"

namespace {

constexpr const char* HANGUP_CMD = "{\"cmd\":\"hangup\",\"data\":\"\"}";
// The warning comes this many seconds before the limit; a limit of at most
// this many seconds has no warning.
constexpr unsigned long kWarningLeadSeconds = 10;
constexpr unsigned long kDialWaitSeconds = 30;

// g_m guards the slots' serials and codes (the listener writes them under
// it and reads them without), and the limit state.
std::mutex g_m;
LiveCall g_calls[LIVE_CALLS_MAX];
unsigned g_next_serial = 1;

struct Limit {
    unsigned long timer;  // the warning's or the cut's timer, 0: none
    unsigned long seconds;
    bool due;             // reached while another call was present
};
Limit g_limit[LIVE_CALLS_MAX];

uint64_t fnv1a(const char* text) {
    uint64_t h = 14695981039346656037ULL;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) h = (h ^ *p) * 1099511628211ULL;
    return h;
}

size_t slot_of(const LiveCall* call) { return static_cast<size_t>(call - g_calls); }

// Under g_m.
int count_locked() {
    int n = 0;
    for (const LiveCall& c : g_calls)
        if (c.serial != 0) n++;
    return n;
}
LiveCall* by_serial_locked(unsigned long serial) {
    for (LiveCall& c : g_calls)
        if (serial != 0 && c.serial == serial) return &c;
    return nullptr;
}
// The call is the only one: no other live call, and the count agrees.
bool alone_locked() { return count_locked() == 1 && CURRENT_CALLS.load(std::memory_order_relaxed) <= 1; }

void end_limit_locked(size_t slot) {
    timer_cancel(g_limit[slot].timer);
    g_limit[slot] = Limit{};
}

void cut(unsigned long seconds) {
    control_cmd(0, HANGUP_CMD);
    char detail[32];
    str_format(detail, sizeof detail, "%lus", seconds);
    writeLog("FUNCTION", "CALL TIME LIMIT", detail);
}

// Timer action: b is the limit's seconds times 2, plus 1 for the warning.
void limit_timer(unsigned long serial, unsigned long b) {
    unsigned long seconds = b / 2;
    bool warning = b % 2 == 1;
    bool act = false;
    {
        std::lock_guard<std::mutex> g(g_m);
        LiveCall* call = by_serial_locked(serial);
        if (call == nullptr) return;
        size_t slot = slot_of(call);
        act = alone_locked();
        if (warning) {
            g_limit[slot].timer = timer_start(kWarningLeadSeconds * 1000000UL, limit_timer, serial, seconds * 2);
            if (g_limit[slot].timer == 0) puts("create thread call time limit failed");
        } else {
            g_limit[slot].timer = 0;
            g_limit[slot].due = !act;
        }
    }
    if (!act) return;
    if (!warning) {
        cut(seconds);
        return;
    }
    char file[320];
    GetCmdValue(dev::SPEAKER_CONF, "intercom:max_call_warning", file);
    if (file[0] != '\0') play_audio(file, 1);
}

// ---- the dial wait -------------------------------------------------------------

std::atomic<unsigned long> g_dial_timer{0};
std::atomic<unsigned long> g_dial_generation{0};

void dial_timer(unsigned long generation, unsigned long) {
    if (g_dial_generation.load() != generation || BARESIP_STATUS.load(std::memory_order_relaxed) != 6) return;
    int code = live_calls_code();
    int expected = 6;
    if (!BARESIP_STATUS.compare_exchange_strong(expected, code < 0 ? 0 : code)) return;
    char detail[16];
    str_format(detail, sizeof detail, "%lus", kDialWaitSeconds);
    writeLog("FUNCTION", "DIAL NO ANSWER", detail);
}

}  // namespace

const char* call_key(const char* id, const char* peeruri) {
    return id != nullptr && id[0] != '\0' ? id : peeruri != nullptr ? peeruri : "";
}

LiveCall* live_call_find(const char* key) {
    if (key == nullptr || key[0] == '\0') return nullptr;
    size_t len = strlen(key);
    uint64_t hash = fnv1a(key);
    for (LiveCall& c : g_calls)
        if (c.serial != 0 && c.key_len == len && c.key_hash == hash && strncmp(c.key, key, sizeof c.key - 1) == 0)
            return &c;
    return nullptr;
}

LiveCall* live_call_add(const char* key, int code, bool start_seen) {
    std::lock_guard<std::mutex> g(g_m);
    for (LiveCall& c : g_calls) {
        if (c.serial != 0) continue;
        memset(&c, 0, sizeof c);
        str_copy(c.key, key);
        c.key_len = strlen(key);
        c.key_hash = fnv1a(key);
        c.code = code;
        c.start_seen = start_seen;
        g_limit[slot_of(&c)] = Limit{};
        c.serial = g_next_serial++;
        return &c;
    }
    return nullptr;
}

LiveCall* live_call_adopt() { return live_call_add("", 1, false); }

LiveCall* live_call_adopted() {
    for (LiveCall& c : g_calls)
        if (c.serial != 0 && c.key_len == 0) return &c;
    return nullptr;
}

void live_call_set_code(LiveCall* call, int code) {
    std::lock_guard<std::mutex> g(g_m);
    call->code = code;
}

void live_call_end(LiveCall* call) {
    std::lock_guard<std::mutex> g(g_m);
    end_limit_locked(slot_of(call));
    call->serial = 0;
}

void live_calls_end_all() {
    std::lock_guard<std::mutex> g(g_m);
    for (LiveCall& c : g_calls) {
        end_limit_locked(slot_of(&c));
        c.serial = 0;
    }
}

int live_calls() {
    std::lock_guard<std::mutex> g(g_m);
    return count_locked();
}

LiveCall* live_call_next(size_t* at) {
    // in order of arrival: the live call with the least serial above the last
    unsigned after = *at;
    LiveCall* next = nullptr;
    for (LiveCall& c : g_calls)
        if (c.serial > after && (next == nullptr || c.serial < next->serial)) next = &c;
    if (next != nullptr) *at = next->serial;
    return next;
}

int live_calls_code() {
    std::lock_guard<std::mutex> g(g_m);
    int best = -1;
    // established first, then ringing, then outgoing
    static const int kOrder[] = {1, 2, 3};
    for (int code : kOrder)
        for (const LiveCall& c : g_calls)
            if (best < 0 && c.serial != 0 && c.code == code) best = code;
    return best;
}

bool live_call_keeps_relay(const LiveCall* call) {
    for (const LiveCall& c : g_calls)
        if (c.serial != 0 && &c != call && c.relay_on) return true;
    return false;
}

void call_limit_start(LiveCall* call) {
    if (call == nullptr || call->limited) return;
    char value[16];
    GetCmdValue(dev::SPEAKER_CONF, "intercom:max_call_time", value);
    unsigned long seconds = settings_seconds(value);
    if (seconds == 0) return;
    call->limited = true;
    bool warning = seconds > kWarningLeadSeconds;
    unsigned long first = warning ? seconds - kWarningLeadSeconds : seconds;
    std::lock_guard<std::mutex> g(g_m);
    Limit& l = g_limit[slot_of(call)];
    l.seconds = seconds;
    l.timer = timer_start(first * 1000000UL, limit_timer, call->serial, seconds * 2 + (warning ? 1 : 0));
    if (l.timer == 0) puts("create thread call time limit failed");
}

void call_limit_cut_waiting() {
    unsigned long seconds = 0;
    {
        std::lock_guard<std::mutex> g(g_m);
        if (!alone_locked()) return;
        for (LiveCall& c : g_calls) {
            Limit& l = g_limit[slot_of(&c)];
            if (c.serial != 0 && l.due) {
                l.due = false;
                seconds = l.seconds;
            }
        }
    }
    if (seconds != 0) cut(seconds);
}

int call_limit_timers_pending() {
    std::lock_guard<std::mutex> g(g_m);
    int n = 0;
    for (const Limit& l : g_limit)
        if (l.timer != 0) n++;
    return n;
}

void dial_wait_start() {
    unsigned long generation = g_dial_generation.fetch_add(1) + 1;
    timer_cancel(g_dial_timer.exchange(0));
    unsigned long id = timer_start(kDialWaitSeconds * 1000000UL, dial_timer, generation, 0);
    if (id == 0) puts("create thread dial wait failed");
    g_dial_timer.store(id);
}

void dial_wait_end() {
    if (g_dial_timer.load() == 0) return;
    g_dial_generation.fetch_add(1);
    timer_cancel(g_dial_timer.exchange(0));
}
