// The schedule's driver: a thread that evaluates each local minute once,
// shortly after its second 0, and keeps to its rules when the clock jumps.
// Off unless "driver:enable" is "yes" in the schedule settings.
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

int catch_up_minutes(const char* text) {
    size_t n = strlen(text);
    if (n == 0 || n > 9 || strspn(text, "0123456789") != n) return kDefaultCatchUp;
    int v = atoi(text);
    return v > kMaxCatchUp ? kMaxCatchUp : v;
}

// Rule of skipped minutes: per entry, the last skipped minute at which the
// evaluation would have acted for it. A stop minute is carried out (by the
// caller, when the entry plays); a trigger minute only when the entry's window
// is still open now and this minute does nothing for the entry by itself.
void catch_up(long long last, long long cur, const ScheduleMinute& now, const DriverSettings& s,
              const dictionary* d, const char* holidays, EntryAct* out) {
    EntryAct found[SCHEDULE_ENTRIES + 1] = {};
    int open = SCHEDULE_ENTRIES;
    for (long long m = cur - 1; m > last && open > 0; m--) {
        const ScheduleMinute sm = minute_of(m, s.sunday_zero);
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++) {
            if (found[n] != EntryAct::None) continue;
            EntryAct a = schedule_entry_act(d, n, sm, holidays);
            if (a == EntryAct::Trigger || a == EntryAct::Stop) {
                found[n] = a;
                --open;
            }
        }
    }
    for (int n = 1; n <= SCHEDULE_ENTRIES; n++) {
        if (found[n] == EntryAct::Stop)
            out[n] = EntryAct::Stop;
        else if (found[n] == EntryAct::Trigger && schedule_entry_act(d, n, now, holidays) == EntryAct::Open)
            out[n] = EntryAct::Trigger;
    }
}
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

int driver_build_year() { return atoi(&__DATE__[7]); }  // "Mmm dd yyyy"

void driver_step(DriverState* st, const struct tm& local, const DriverSettings& s, const dictionary* d,
                 const char* holidays, DriverStep* out) {
    out->clock_row[0] = '\0';
    for (auto& a : out->catch_up) a = EntryAct::None;
    out->evaluate = false;
    out->minute = ScheduleMinute{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                 local.tm_min, driver_weekday(local.tm_wday, s.sunday_zero)};
    const long long cur = local_minute(local);
    const bool jumped = !st->have_seen || cur != st->seen + 1;  // against the previous look
    st->have_seen = true;
    st->seen = cur;

    if (!s.enable) {
        // switching off stops nothing; switching on starts with its minute
        st->have_last = false;
        st->behind = false;
        st->waiting_clock = false;
        return;
    }
    if (local.tm_year + 1900 < driver_build_year()) {
        if (!st->waiting_clock) str_copy(out->clock_row, "waiting for a valid clock");
        st->waiting_clock = true;
        st->have_last = false;
        st->behind = false;
        return;
    }
    st->waiting_clock = false;

    const long long step = cur - st->last;
    if (st->have_last && step <= 0 && -step <= s.catch_up) {
        // back within catch_up: no minute twice; go on after the last one
        if (step < 0 && (!st->behind || jumped)) str_format(out->clock_row, sizeof out->clock_row, "%lld min", step);
        st->behind = true;
        return;
    }
    if (st->have_last && step != 1) {
        const bool caught = step > 0 && step <= s.catch_up;
        str_format(out->clock_row, sizeof out->clock_row, "%+lld min%s", step, caught ? "" : ", no catch-up");
        if (caught) catch_up(st->last, cur, out->minute, s, d, holidays, out->catch_up);
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
    if (st->have_seen && local_minute(local) == st->seen) return false;
    // A minute is evaluated within two seconds after its second 0: a start
    // later in a minute (a restart may follow a run that evaluated it
    // already) begins with the next one.
    if (!st->have_seen && local.tm_sec > kLateSeconds) {
        st->have_seen = true;
        st->seen = local_minute(local);
        return false;
    }

    // read every minute, quietly: nothing is printed while the driver is off
    dictionary* d = settings_load_quiet(dev::SCHEDULE_CONF);
    const DriverSettings s = driver_settings(d);
    static thread_local char holidays[HOLIDAYS_MAX + 1];
    if (d != nullptr)
        schedule_holidays(d, holidays);
    else
        holidays[0] = '\0';
    DriverStep step;
    driver_step(st, local, s, d, holidays, &step);
    if (step.clock_row[0] != '\0') writeLog("SCHEDULE", "CLOCK", step.clock_row);
    for (int n = 1; n <= SCHEDULE_ENTRIES; n++) {
        const EntryAct a = step.catch_up[n];
        // a skipped stop minute stops only a playing entry
        if (a == EntryAct::Stop && SCHEDULE[n].load(std::memory_order_relaxed) != 1) continue;
        schedule_entry_apply(d, n, a);
    }
    settings_free(d);
    const ScheduleMinute& m = step.minute;
    if (step.evaluate) schedule(m.year, m.month, m.day, m.hour, m.minute, m.weekday);
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
