// The evaluation of the audio schedule for one minute, and the clock thread.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "bus.h"
#include "buttons.h"
#include "debug.h"
#include "device.h"
#include "oplog.h"
#include "outputs.h"
#include "schedule.h"
#include "settings.h"
#include "entry.h"
#include "text.h"
#include "threads.h"

std::atomic<int> SCHEDULE[SCHEDULE_ENTRIES + 1];

void schedule_clear() {
    for (auto& s : SCHEDULE) s.store(0, std::memory_order_relaxed);
}

namespace {
constexpr const char* kNoScreen = "Disabled";
constexpr const char* kNoHolidays = "{\"holidays\": []}";

using Entry = ScheduleEntry;

bool screen_enabled(const char* screen) { return strcmp(screen, kNoScreen) != 0; }

void screen_switch(const char* action, int n, const char* screen) {
    char setting[40];
    str_format(setting, sizeof setting, "schedule_%d:trigger_screen", n);
    screen_send(action, screen, setting);
}

void log_executed(int n) {
    char num[16];
    str_format(num, sizeof num, "%d", n);
    writeLog("SCHEDULE", num, "Executed");
}

// Stops entry n: screen off, and the player process killed. Without a live
// player pid nothing is killed ("kill -9 0" would hit the daemon's own group).
// The pid is taken from the slot: a killed player is not asked to resume
// while its thread has yet to see it gone.
void stop_entry(int n, const char* screen) {
    if (screen_enabled(screen)) screen_switch("off", n, screen);
    int pid = vlcInfo[n].process_id.exchange(0, std::memory_order_relaxed);
    if (pid <= 0) return;
    char cmd[32];
    str_format(cmd, sizeof cmd, "kill -9 %d", pid);
    dev::run_shell(cmd);
}

void start_entry(const Entry& e, int n, const char* screen) {
    PlayRequest* req = new (std::nothrow) PlayRequest();
    if (req == nullptr) return;
    req->slot = n;
    // a file name cut to its field would name another file: such a name is
    // refused, and the player then plays nothing
    const char* file = e.value("audio_file", "");
    e.text("play_times", "", req->play_times);
    if (strlen(file) < sizeof req->audio_file) str_copy(req->audio_file, file);
    e.text("enBeep", "no", req->enBeep);
    str_copy(req->trigger_screen, screen);
    req->priority = e.number("priority", 1);
    req->volume = e.number("volume", 100);
    if (screen_enabled(screen)) screen_switch("on", n, screen);
    start_player(req);
}

}  // namespace

void schedule_holidays(const dictionary* d, char (&out)[HOLIDAYS_MAX + 1]) {
    str_copy(out, settings_string(d, "holidays:data", kNoHolidays));
}

ScheduleRules::ScheduleRules(const dictionary* d) {
    char holidays[HOLIDAYS_MAX + 1];
    schedule_holidays(d, holidays);
    holiday_ranges(holidays, &holidays_);
    rule_[0] = EntryRule{};
    for (int n = 1; n <= SCHEDULE_ENTRIES; n++) {
        const Entry e(d, n);
        EntryRule& r = rule_[n];
        char flag[8];
        e.text("enable", "no", flag);
        r.enabled = is_yes(flag);
        e.text("enholiday", "no", flag);
        r.enholiday = is_yes(flag);
        e.text("weeks", "", r.weeks);
        r.first = Date{e.number("s_year", 0), e.number("s_month", 0), e.number("s_day", 0)};
        r.last = Date{e.number("e_year", 0), e.number("e_month", 0), e.number("e_day", 0)};
        // minutes of the day; the settings may hold any integer, so no int overflow
        r.start = e.number("s_hour", 0) * 60LL + e.number("s_min", 0);
        r.end = e.number("e_hour", 0) * 60LL + e.number("e_min", 0);
        r.interval = e.number("interval", 60);
        char plays[8];
        e.text("play_times", "", plays);
        r.loops = schedule_file_reason(d, n) == NeverReason::None && strtol(plays, nullptr, 10) == 0;
    }
}

bool ScheduleRules::holiday(Date day) const {
    // the list's debug lines are printed at every look-up, as isHoliday does
    if (debug_on()) return holidays_contain(day, holidays_) != 0;
    if (!have_day_ || !equalDate(day, day_)) {
        day_holiday_ = holidays_contain(day, holidays_) != 0;
        day_ = day;
        have_day_ = true;
    }
    return day_holiday_;
}

EntryAct ScheduleRules::act(int n, const ScheduleMinute& m) const {
    if (n < 1 || n > SCHEDULE_ENTRIES) return EntryAct::None;
    const EntryRule& r = rule_[n];
    Date today{m.year, m.month, m.day};
    if (!r.enabled) return EntryAct::None;
    if (r.enholiday && holiday(today)) return EntryAct::None;

    char wd[16];
    str_format(wd, sizeof wd, "%d", m.weekday);
    if (strchr(r.weeks, wd[0]) == nullptr) return EntryAct::None;
    if (compareDate(today, r.first) || compareDate(r.last, today)) return EntryAct::None;

    long long now = m.hour * 60LL + m.minute;
    if (now < r.start || now > r.end) return EntryAct::None;
    if (now == r.end) return EntryAct::Stop;
    bool trigger = r.interval != 0 ? (now - r.start) % r.interval == 0 : now == r.start;
    return trigger ? EntryAct::Trigger : EntryAct::Open;
}

void schedule_entry_apply(const dictionary* d, int n, EntryAct act) {
    if (act != EntryAct::Stop && act != EntryAct::Trigger && act != EntryAct::Executed) return;
    Entry e(d, n);
    char screen[9];
    e.text("trigger_screen", kNoScreen, screen);
    log_executed(n);
    int state = SCHEDULE[n].load(std::memory_order_relaxed);
    if (act == EntryAct::Executed) return;
    if (act == EntryAct::Stop) {
        // the stop minute ends a paused playback too: left alone, a paused
        // loop would resume when the one above it ends and play on for a day
        if (state != 0) stop_entry(n, screen);
    } else if (state != 0) {
        // the previous playback still runs: it ends here, and nothing starts
        stop_entry(n, screen);
    } else {
        start_entry(e, n, screen);
    }
}

void schedule(int year, int month, int day, int hour, int minute, int weekday) {
    dictionary* d = settings_load(dev::SCHEDULE_CONF);
    if (d == nullptr) return;
    const ScheduleRules rules(d);
    const ScheduleMinute m{year, month, day, hour, minute, weekday};
    for (int n = 1; n <= SCHEDULE_ENTRIES; n++) schedule_entry_apply(d, n, rules.act(n, m));
    settings_free(d);
}

int clock_tick(int* counter, void* (*watchdog)(void*)) {
    time_t t = dev::now();
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr || tm.tm_sec != 0) return 0;
    *counter += 1;
    if (*counter <= 120) return 0;
    start_detached(watchdog, nullptr);
    *counter = 0;
    return 1;
}

void* handleDateTime(void*) {
    int counter = 0;
    for (;;) {
        clock_tick(&counter, checkReg);
        dev::sleep_us(1000000UL);
    }
    return nullptr;
}
