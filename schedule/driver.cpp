// The schedule's driver: a thread that evaluates each local minute once,
// shortly after its second 0, and keeps to its rules when the clock jumps.
// Off unless "driver:enable" is "yes" in the schedule settings.
#include <iniparser.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "calendar_days.h"
#include "device.h"
#include "oplog.h"
#include "schedule.h"
#include "settings.h"
#include "text.h"

namespace {
constexpr int kDefaultCatchUp = 180;
// A catch-up walks the skipped minutes: a week of them at most.
constexpr int kMaxCatchUp = 7 * 24 * 60;
// Wake this long after each second boundary, so that the coarse clock that
// time() reads has turned over.
constexpr long kWakeAfterUs = 10000;
// How late in a minute its evaluation may still come.
constexpr int kLateSeconds = 2;
// A settings file that cannot be read at a minute (an editor rewriting it) is
// read again this many times, this far apart, while the minute is young.
constexpr int kRereads = 3;
constexpr unsigned long kRereadPauseUs = 300000;
constexpr auto kRereadBudget = std::chrono::milliseconds(1200);
// How long the acts of a minute wait for players to be marked or gone.
constexpr auto kStoppedWait = std::chrono::milliseconds(1000);
constexpr unsigned long kStoppedPollUs = 5000;

int catch_up_minutes(const char* text) {
    size_t n = strlen(text);
    if (n == 0 || n > 9 || strspn(text, "0123456789") != n) return kDefaultCatchUp;
    int v = atoi(text);
    return v > kMaxCatchUp ? kMaxCatchUp : v;
}

// The catch-up: the skipped minutes last+1 .. cur-1 walked one by one for
// every entry, from whether it has a player now, as the evaluation would have
// walked them. Only the net result is carried out: the running playback ends
// (`stop`) when a skipped minute ended it; the last start of the walk is made
// late (`start`) when nothing skipped ended it and the entry's window is open
// now. A playback without a play count runs until a minute ends it; a counted
// one is taken to have played out by the entry's next minute. out->now holds
// the current minute's acts and is adjusted: a trigger minute that would end
// a late loop the walk started ends nothing real, so it is "Executed" only.
void catch_up(long long last, long long cur, bool sunday_zero, const ScheduleRules& rules,
              const bool running_now[SCHEDULE_ENTRIES + 1], DriverStep* out) {
    bool running[SCHEDULE_ENTRIES + 1];  // a player runs in the walk
    bool late[SCHEDULE_ENTRIES + 1];     // the walk's last start is not carried out
    for (int n = 0; n <= SCHEDULE_ENTRIES; n++) {
        running[n] = running_now[n];
        late[n] = false;
    }
    for (long long m = last + 1; m < cur; m++) {
        const ScheduleMinute sm = minute_of(m, sunday_zero);
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++) {
            const EntryAct a = rules.act(n, sm);
            if (a != EntryAct::Trigger && a != EntryAct::Stop) continue;
            if (running[n] || a == EntryAct::Stop) {
                // the real playback ends here unless the walk started it
                if (running[n] && !late[n]) out->stop[n] = true;
                running[n] = false;
                late[n] = false;
            } else {
                running[n] = rules.loops(n);
                late[n] = true;
            }
        }
    }
    for (int n = 1; n <= SCHEDULE_ENTRIES; n++) {
        if (!late[n]) continue;
        if (out->now[n] == EntryAct::Open)
            out->start[n] = true;
        else if (out->now[n] == EntryAct::Trigger && running[n])
            out->now[n] = EntryAct::Executed;
    }
}

// The settings file as read at a minute: NULL, or a file without a single
// section (empty, or cut before its first), cannot be what the operator meant.
bool unreadable(const dictionary* d) { return d == nullptr || iniparser_getnsec(d) <= 0; }

// The last evaluated minute kept for a restart of the daemon.
bool stored_minute(long long* out) {
    FILE* f = dev::fopen_cloexec(dev::Path(dev::DRIVER_MINUTE), "r");
    if (f == nullptr) return false;
    char line[32] = "";
    bool ok = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    char* end = nullptr;
    long long v = ok ? strtoll(line, &end, 10) : 0;
    ok = ok && end != line && (*end == '\n' || *end == '\0');
    if (ok) *out = v;
    return ok;
}

void store_minute(long long minute) {
    FILE* f = dev::fopen_cloexec(dev::Path(dev::DRIVER_MINUTE), "w");
    if (f == nullptr) return;
    fprintf(f, "%lld\n", minute);
    fclose(f);
}

// Waits, until deadline, while done(n) is false.
template <typename Done>
bool wait_slot(int n, std::chrono::steady_clock::time_point deadline, Done done) {
    while (!done(n)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        dev::sleep_us(kStoppedPollUs);
    }
    return true;
}
// Slot n holds no player that was started and not yet marked (its state
// still reads idle for some 300 ms, longer while other starts take their turn).
bool slot_marked(int n) { return SCHEDULE[n].load(std::memory_order_relaxed) != 0 || slot_players(n) == 0; }
// Waits until the acting slots hold no player that is not yet marked. Starts
// take their turn, some 300 ms each (many in one minute take seconds), so the
// wait goes on while players get marked; a second without one ends it.
void wait_marked(const bool acting[SCHEDULE_ENTRIES + 1]) {
    const auto unmarked = [] {
        int u = 0;
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++) u += slot_marked(n) ? 0 : 1;
        return u;
    };
    auto deadline = std::chrono::steady_clock::now() + kStoppedWait;
    int left = unmarked();
    for (;;) {
        bool done = true;
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++) done = done && (!acting[n] || slot_marked(n));
        if (done) return;
        const auto now = std::chrono::steady_clock::now();
        const int u = unmarked();
        if (u < left) deadline = now + kStoppedWait;
        left = u;
        if (now >= deadline) return;
        dev::sleep_us(kStoppedPollUs);
    }
}
// No player thread of slot n is left.
bool slot_idle(int n) { return slot_players(n) == 0 && SCHEDULE[n].load(std::memory_order_relaxed) == 0; }
}  // namespace

DriverSettings driver_settings(const dictionary* d) {
    DriverSettings s{false, false, kDefaultCatchUp};
    if (d == nullptr) return s;
    s.enable = is_yes(settings_string(d, "driver:enable", ""));
    s.sunday_zero = strcmp(settings_string(d, "driver:sunday", ""), "0") == 0;
    s.catch_up = catch_up_minutes(settings_string(d, "driver:catch_up", ""));
    return s;
}

int driver_weekday(int tm_wday, bool sunday_zero) { return sunday_zero || tm_wday != 0 ? tm_wday : 7; }

long long local_minute(const struct tm& local) {
    return caldays::from_civil(local.tm_year + 1900LL, local.tm_mon + 1, local.tm_mday) * 1440 +
           local.tm_hour * 60 + local.tm_min;
}

ScheduleMinute minute_of(long long count, bool sunday_zero) {
    long long days = count >= 0 ? count / 1440 : -((-count + 1439) / 1440);
    int of_day = static_cast<int>(count - days * 1440);
    ScheduleMinute m{};
    caldays::to_civil(days, &m.year, &m.month, &m.day);
    m.hour = of_day / 60;
    m.minute = of_day % 60;
    m.weekday = driver_weekday(caldays::weekday(days), sunday_zero);
    return m;
}

int driver_valid_year() { return CALLCTLD_VALID_CLOCK_YEAR; }

void driver_step(DriverState* st, const struct tm& local, const DriverSettings& s, const ScheduleRules* rules,
                 const bool running[SCHEDULE_ENTRIES + 1], DriverStep* out) {
    out->clock_row[0] = '\0';
    for (int n = 0; n <= SCHEDULE_ENTRIES; n++) {
        out->stop[n] = false;
        out->start[n] = false;
        out->now[n] = EntryAct::None;
    }
    out->evaluate = false;
    out->minute = ScheduleMinute{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                 local.tm_min, driver_weekday(local.tm_wday, s.sunday_zero)};
    const long long cur = local_minute(local);
    const bool jumped = !st->have_seen || cur != st->seen + 1;  // against the previous look
    st->have_seen = true;
    st->seen = cur;

    if (!s.enable || rules == nullptr) {
        // switching off stops nothing; switching on starts with its minute
        st->have_last = false;
        st->behind = false;
        st->waiting_clock = false;
        return;
    }
    if (local.tm_year + 1900 < driver_valid_year()) {
        if (!st->waiting_clock) str_copy(out->clock_row, "waiting for a valid clock");
        st->waiting_clock = true;
        st->have_last = false;
        st->behind = false;
        return;
    }
    st->waiting_clock = false;

    const long long step = cur - st->last;
    // A step back evaluates no minute twice whatever catch_up is (which
    // bounds only what is caught up): up to 180 minutes, or catch_up when
    // larger; further back is the clock being set.
    const long long back = s.catch_up > kDefaultCatchUp ? s.catch_up : kDefaultCatchUp;
    if (st->have_last && step <= 0 && -step <= back) {
        // no minute twice: go on after the last one
        if (step < 0 && (!st->behind || jumped)) str_format(out->clock_row, sizeof out->clock_row, "%lld min", step);
        st->behind = true;
        return;
    }
    for (int n = 1; n <= SCHEDULE_ENTRIES; n++) out->now[n] = rules->act(n, out->minute);
    if (st->have_last && step != 1) {
        const bool caught = step > 0 && step <= s.catch_up;
        str_format(out->clock_row, sizeof out->clock_row, "%+lld min%s", step, caught ? "" : ", no catch-up");
        if (caught) catch_up(st->last, cur, s.sunday_zero, *rules, running, out);
    }
    out->evaluate = true;
    st->have_last = true;
    st->last = cur;
    st->behind = false;
}

bool driver_tick(DriverState* st) {
    const time_t t = dev::now();
    struct tm local;
    if (localtime_r(&t, &local) == nullptr) return false;
    const long long cur = local_minute(local);
    if (st->have_seen && cur == st->seen) return false;
    if (!st->have_seen) {
        // A minute is evaluated within two seconds after its second 0: a
        // start later in a minute begins with the next one. A restart (the
        // daemon's or the driver's) goes on after the minute evaluated last,
        // so that it never evaluates a minute twice.
        long long stored = 0;
        if (stored_minute(&stored) && stored >= cur) {
            st->have_last = true;
            st->last = stored;
        }
        if (local.tm_sec > kLateSeconds) {
            st->have_seen = true;
            st->seen = cur;
            return false;
        }
    }

    // read every minute, quietly: nothing is printed while the driver is off
    const auto began = std::chrono::steady_clock::now();
    dictionary* d = settings_load_quiet(dev::SCHEDULE_CONF);
    if (unreadable(d) && st->have_last) {
        // The driver runs and the file cannot be what it holds: it may be
        // in the middle of a rewrite. Read it again while the minute is young;
        // if it still fails, skip the minute and keep the driver's state: the
        // next good read catches the minute up.
        for (int i = 0; i < kRereads && unreadable(d) && std::chrono::steady_clock::now() - began < kRereadBudget;
             i++) {
            settings_free(d);
            dev::sleep_us(kRereadPauseUs);
            d = settings_load_quiet(dev::SCHEDULE_CONF);
        }
        if (unreadable(d)) {
            settings_free(d);
            writeLog("SCHEDULE", "CLOCK", "settings unreadable, minute skipped");
            st->have_seen = true;
            st->seen = cur;
            return true;
        }
    }
    const DriverSettings s = driver_settings(unreadable(d) ? nullptr : d);
    bool running[SCHEDULE_ENTRIES + 1];
    for (int n = 0; n <= SCHEDULE_ENTRIES; n++) running[n] = !slot_idle(n);
    DriverStep step;
    if (s.enable) {
        const ScheduleRules rules(d);
        driver_step(st, local, s, &rules, running, &step);
    } else {
        driver_step(st, local, s, nullptr, running, &step);
    }
    if (step.clock_row[0] != '\0') writeLog("SCHEDULE", "CLOCK", step.clock_row);
    if (step.evaluate) {
        // kept before any act: a restart while the acts wait for players
        // does not carry out the minute a second time
        store_minute(st->last);
        // The catch-up's stops, then its late starts, then the minute itself.
        // An entry that acts finds its player marked (one started a moment
        // ago, before a jump of the clock, is not taken for idle), and one
        // that acts again after its stop waits until that player is gone.
        bool acting[SCHEDULE_ENTRIES + 1] = {};
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++)
            acting[n] = step.stop[n] || step.start[n] || step.now[n] == EntryAct::Trigger || step.now[n] == EntryAct::Stop;
        wait_marked(acting);
        const auto deadline = std::chrono::steady_clock::now() + kStoppedWait;
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++)
            if (step.stop[n]) schedule_entry_apply(d, n, EntryAct::Stop);
        bool ready[SCHEDULE_ENTRIES + 1];
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++) {
            const bool again = step.start[n] || step.now[n] == EntryAct::Trigger || step.now[n] == EntryAct::Stop;
            ready[n] = !step.stop[n] || !again || wait_slot(n, deadline, slot_idle);
        }
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++)
            if (step.start[n] && ready[n]) schedule_entry_apply(d, n, EntryAct::Trigger);
        // a slot whose stopped player is still ending takes no new one: its
        // thread would clear the new player's pid and priority
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++)
            schedule_entry_apply(d, n, ready[n] || step.now[n] != EntryAct::Trigger ? step.now[n] : EntryAct::Executed);
    }
    settings_free(d);
    return true;
}
void* schedule_driver(void*) {
    DriverState st;
    for (;;) {
        driver_tick(&st);
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        dev::sleep_us(static_cast<unsigned long>(1000000L - ts.tv_nsec / 1000 + kWakeAfterUs));
    }
    return nullptr;
}
