// Who plays: playbacks of higher priority pause lower ones, and the volume
// service's "audio_volume" claims the speaker at priority 11.
#include <cjson/cJSON.h>
#include <hiredis.h>
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "bus.h"
#include "debug.h"
#include "device.h"
#include "pool.h"
#include "schedule.h"

namespace {
constexpr const char* kAudioOn = "{\"name\": \"SCHEDULER-AUDIO\", \"action\": \"on\"}";
constexpr const char* kAudioOff = "{\"name\": \"SCHEDULER-AUDIO\", \"action\": \"off\"}";
constexpr int kOutsidePriority = 11;
constexpr unsigned long kFirstPauseUs = 100000;
constexpr unsigned long kLongestPauseUs = 5000000;

int state(int s) { return SCHEDULE[s].load(std::memory_order_relaxed); }
int slot_priority(int s) { return vlcInfo[s].priority.load(std::memory_order_relaxed); }
// The slot's player; 0 once it is being stopped (its thread has yet to see it).
int player(int s) { return vlcInfo[s].process_id.load(std::memory_order_relaxed); }

// A delivered command changes the slot's state only while its player still
// runs: a player that ended meanwhile has set 0, which stays.
void mark(int s, int from, int to) { SCHEDULE[s].compare_exchange_strong(from, to, std::memory_order_relaxed); }

// The highest priority among the playing slots (0: none), and among the
// paused ones with a player at levels 1..top (0: none).
int playing_level() {
    int level = 0;
    for (int s = 1; s <= SCHEDULE_ENTRIES; s++)
        if (state(s) == 1) level = std::max(level, slot_priority(s));
    return level;
}
int paused_level(int top) {
    int level = 0;
    for (int s = 1; s <= SCHEDULE_ENTRIES; s++) {
        int p = slot_priority(s);
        if (state(s) == 2 && player(s) > 0 && p >= 1 && p <= top) level = std::max(level, p);
    }
    return level;
}

// locked through the native handle: no exception can come out of a lock
std::recursive_mutex g_decisions;
// The volume service's claim holds the speaker ("audio_volume" 0 until
// another value); changed and read under g_decisions.
bool g_claimed = false;
}  // namespace

PriorityHold::PriorityHold() : held_(pthread_mutex_lock(g_decisions.native_handle()) == 0) {}

void PriorityHold::release() {
    if (held_) pthread_mutex_unlock(g_decisions.native_handle());
    held_ = false;
}

int schedule_start_check_prio(int priority) {
    PriorityHold hold;
    for (int s = 1; s <= SCHEDULE_ENTRIES; s++) {
        if (debug_on()) {
            char name[96];
            vlc_slot_name(s, name, sizeof name);
            printf("==============%d,%d,%d,%s=============\n", s, state(s), slot_priority(s), name);
        }
        int st = state(s);
        if (st == 0) continue;
        int p = slot_priority(s);
        if (priority < p) return 0;
        if (st == 1 && priority > p && vlc_cmd_player("pause", s, player(s))) mark(s, 1, 2);
    }
    return 1;
}

void schedule_stop_check_prio(int priority) {
    PriorityHold hold;
    int paused[SCHEDULE_ENTRIES];
    int npaused = 0;
    for (int s = 1; s <= SCHEDULE_ENTRIES; s++) {
        int st = state(s);
        if (st == 1) return;
        // a paused slot without a player is one being stopped
        if (st == 2 && player(s) > 0) paused[npaused++] = s;
    }
    // Levels from priority down to 1, visiting only the levels that paused
    // slots hold (a priority may be any integer). Without the claim, nothing
    // above 11 holds a paused slot once nothing plays: the end looks from 11,
    // as the claim's end does. Two playbacks ending at once may run their
    // checks in either order, and the lower one's must not resume its own
    // level while a higher one waits paused for a check that then finds it
    // playing.
    int level = g_claimed ? priority : std::max(priority, kOutsidePriority);
    for (;;) {
        int next = 0;  // the highest paused level at or below level, 0 for none
        for (int i = 0; i < npaused; i++) {
            int p = slot_priority(paused[i]);
            if (p <= level && p >= 1) next = std::max(next, p);
        }
        if (next == 0) break;
        bool resumed = false;
        for (int i = 0; i < npaused; i++) {
            int s = paused[i];
            if (slot_priority(s) != next) continue;
            state_event(kAudioOn);
            if (vlc_cmd_player("pause", s, player(s))) {
                mark(s, 2, 1);
                resumed = true;
            }
        }
        if (resumed) return;
        level = next - 1;
    }
    state_event(kAudioOff);
}

void ProcessVolumeReply(redisReply* reply) {
    if (reply == nullptr || reply->type != REDIS_REPLY_ARRAY || reply->elements != 3) return;
    const redisReply* payload = reply->element[2];
    // a message without text parses as nothing, like any text that is not JSON
    cJSON* root = payload != nullptr && payload->str != nullptr ? cJSON_Parse(payload->str) : nullptr;
    if (root == nullptr) {
        puts("parse failed!");
        return;
    }
    // member name matched ignoring case, the first match deciding, as for
    // every bus message
    const cJSON* volume = cJSON_IsObject(root) ? cJSON_GetObjectItem(root, "audio_volume") : nullptr;
    if (cJSON_IsNumber(volume)) {
        PriorityHold hold;
        const bool ended = g_claimed && volume->valueint != 0;
        g_claimed = volume->valueint == 0;
        if (volume->valueint != 0) {
            // The claim's end gives the speaker to the highest paused level.
            // A playback's end under the claim resumes from its own level
            // down, and may have resumed a level below one the claim paused:
            // that playback is paused again first, or a newcomer between the
            // two would wait behind the paused higher level, and nothing
            // would sound until some playback ends.
            if (ended) {
                const int playing = playing_level();
                const int paused = paused_level(kOutsidePriority);
                if (playing > 0 && paused > playing) schedule_start_check_prio(paused);
            }
            schedule_stop_check_prio(kOutsidePriority);
        } else {
            schedule_start_check_prio(kOutsidePriority);
        }
    }
    cJSON_Delete(root);
}

namespace {
bool stopping(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(); }

void subscribe(redisContext* c) {
    bus_name_connection(c, VOLUME_ROLE);
    redisReply* r = static_cast<redisReply*>(redisCommand(c, "SUBSCRIBE %s", VOLUME_VALUE_CHANNEL));
    if (r) freeReplyObject(r);
}
}  // namespace

void volume_listener_run(const std::atomic<bool>* stop) {
    redisContext* c = redis_connect_device(dev::REDIS_SOCK);
    if (c == nullptr) exit(-1);
    if (c->err == REDIS_ERR_IO) {
        printf("%s\n", c->errstr);
        exit(-1);
    }
    unsigned long pause_us = kFirstPauseUs;
    for (;;) {
        subscribe(c);
        void* r = nullptr;
        while (redisGetReply(c, &r) == REDIS_OK && r != nullptr) {
            pause_us = kFirstPauseUs;
            ProcessVolumeReply(static_cast<redisReply*>(r));
            freeReplyObject(r);
            r = nullptr;
        }
        redisFree(c);
        c = nullptr;
        // The subscription is lost: a new connection subscribes again, after
        // a pause that grows while the server stays away.
        if (stopping(stop)) return;
        puts("volume-value-channel read failed, subscribing again");
        while (c == nullptr) {
            dev::sleep_us(pause_us);
            pause_us = std::min(pause_us * 2, kLongestPauseUs);
            if (stopping(stop)) return;
            c = redis_connect_device(dev::REDIS_SOCK);
            if (c != nullptr && c->err != 0) {
                redisFree(c);
                c = nullptr;
            }
        }
    }
}

void* get_volume_info(void*) {
    volume_listener_run(nullptr);
    return nullptr;
}
