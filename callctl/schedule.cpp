// `callctl schedule [--days N] [--from "YYYY-MM-DD HH:MM"] [--root DIR]`.
// The plan comes from the driver's step and the evaluation's entry tests in
// schedule/, so the preview and the daemon cannot disagree on a rule.
#include "plan.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"
#include "device.h"
#include "entry.h"
#include "settings.h"
#include "text.h"

namespace callctl {
namespace {
constexpr int kMaxDays = 3660;

struct EntryInfo {
    char file[64];
    char plays[8];
    char beep[8];
    char screen[9];
    int priority;
    int volume;
    bool loops;  // no play count: plays until stopped
};

EntryInfo entry_info(const dictionary* d, int n) {
    EntryInfo e{};
    const ScheduleEntry entry(d, n);
    entry.text("audio_file", "", e.file);
    entry.text("play_times", "", e.plays);
    entry.text("enBeep", "no", e.beep);
    entry.text("trigger_screen", "Disabled", e.screen);
    e.priority = entry.number("priority", 1);
    e.volume = entry.number("volume", 100);
    e.loops = e.plays[0] == '\0' || strtol(e.plays, nullptr, 10) == 0;
    return e;
}

Date date_of(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    return Date{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}
}  // namespace

std::vector<PlanRow> plan_schedule(const dictionary* d, time_t from, int days, std::vector<NeverRow>* never) {
    std::vector<PlanRow> rows;
    const DriverSettings s = driver_settings(d);
    const ScheduleRules rules(d);

    bool looping[SCHEDULE_ENTRIES + 1] = {};  // a player runs until stopped
    bool started[SCHEDULE_ENTRIES + 1] = {};
    auto start = [&](int n, const ScheduleMinute& when) {
        rows.push_back(PlanRow{PlanRow::Start, when, n, ""});
        looping[n] = rules.loops(n);
        started[n] = true;
    };
    auto stop = [&](int n, const ScheduleMinute& when) {
        if (!looping[n]) return;
        rows.push_back(PlanRow{PlanRow::Stop, when, n, ""});
        looping[n] = false;
    };

    // the local minutes from `from` until the same local time `days` days on
    // (a day with a DST change has 23 or 25 hours of real time)
    struct tm tm;
    localtime_r(&from, &tm);
    from -= tm.tm_sec;
    const long long end = local_minute(tm) + static_cast<long long>(days) * 1440;
    DriverState st;
    for (time_t t = from;; t += 60) {
        localtime_r(&t, &tm);
        if (local_minute(tm) >= end) break;
        DriverStep step;
        driver_step(&st, tm, s, &rules, looping, &step);
        if (step.clock_row[0] != '\0') {
            PlanRow r{PlanRow::Clock, step.minute, 0, ""};
            str_copy(r.clock, step.clock_row);
            rows.push_back(r);
        }
        if (!step.evaluate) continue;
        // as the driver carries them out: the catch-up's stops, its late
        // starts, then the minute
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++)
            if (step.stop[n]) stop(n, step.minute);
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++)
            if (step.start[n]) start(n, step.minute);
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++) {
            const EntryAct a = step.now[n];
            if (a == EntryAct::Trigger && !looping[n])
                start(n, step.minute);
            else if (a == EntryAct::Trigger || a == EntryAct::Stop)
                stop(n, step.minute);
        }
    }

    if (never != nullptr) {
        const ScheduleMinute l = minute_of(end - 1, s.sunday_zero);
        const Date first = date_of(from), last{l.year, l.month, l.day};
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++) {
            NeverReason r = schedule_never_reason(d, n, first, last);
            if (r == NeverReason::Disabled) continue;
            // an entry that starts is listed only when its starts play nothing
            if (started[n] && r != NeverReason::NoFile && r != NeverReason::FileTooLong) continue;
            never->push_back(NeverRow{n, r});
        }
    }
    return rows;
}

namespace {
const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

const char* const kHelp =
    "usage: callctl schedule [--root DIR] [--days N] [--from \"YYYY-MM-DD HH:MM\"] [-q]\n"
    "\n"
    "Lists, minute by minute, every start and stop that the schedule's driver\n"
    "would make over the next N days (default 7) from now or from the given\n"
    "local time, by the settings in /oem/etc/schedule.conf, then one line for\n"
    "every enabled entry that plays nothing in that period, saying why.\n"
    "A playback without a play count loops until stopped (a trigger minute\n"
    "while it loops is a stop); a counted one is taken to have played out\n"
    "before its entry's next minute. Clock rows show the minutes a change of\n"
    "local time (daylight saving) skips or repeats. -q: print nothing, only\n"
    "the exit status.\n"
    "Exit status: 0 listed, 2 bad arguments or unreadable settings,\n"
    "3 the output cannot be written.";

// "YYYY-MM-DD HH:MM" as a local time; false when it is no such time.
bool parse_from(const char* text, time_t* out) {
    int y, mo, d, h, mi;
    char extra;
    if (sscanf(text, "%4d-%2d-%2d %2d:%2d%c", &y, &mo, &d, &h, &mi, &extra) != 5) return false;
    struct tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    // mktime normalises 2031-02-30 into March: such a date is refused
    if (t == static_cast<time_t>(-1) || tm.tm_year != y - 1900 || tm.tm_mon != mo - 1 || tm.tm_mday != d)
        return false;
    *out = t;
    return true;
}

// The time zone the times are in: TZ, else the zone /etc/localtime links
// to; empty with *unknown set when TZ names a zone this system does not have
// (the C library then counts in UTC without a word).
std::string zone_name(bool* unknown) {
    *unknown = false;
    if (const char* tz = getenv("TZ")) {
        const std::string name = tz[0] == ':' ? tz + 1 : tz;
        const char* dir = getenv("TZDIR") ? getenv("TZDIR") : "/usr/share/zoneinfo";
        // a rule written out ("CET-1CEST") holds a digit; a name is a file
        const bool rule = name.find_first_of("0123456789") != std::string::npos && name.find('/') == std::string::npos;
        *unknown = !rule && !name.empty() && name[0] != '/' && access((std::string(dir) + "/" + name).c_str(), R_OK) != 0;
        return name.empty() ? "UTC" : name;
    }
    char link[256];
    ssize_t n = readlink("/etc/localtime", link, sizeof link - 1);
    if (n <= 0) return "local";
    link[n] = '\0';
    const char* at = strstr(link, "zoneinfo/");
    return at ? at + 9 : link;
}

void print_plan(const dictionary* d, const std::vector<PlanRow>& rows, const std::vector<NeverRow>& never,
                time_t from, int days) {
    const bool tty = isatty(STDOUT_FILENO) && getenv("NO_COLOR") == nullptr;
    const char* bold = tty ? "\033[1m" : "";
    const char* dim = tty ? "\033[2m" : "";
    const char* plain = tty ? "\033[0m" : "";
    const DriverSettings s = driver_settings(d);
    struct tm tm;
    localtime_r(&from, &tm);
    bool unknown_zone = false;
    const std::string zone = zone_name(&unknown_zone);
    printf("Schedule from %04d-%02d-%02d %02d:%02d %s (%s) for %d day%s; driver %s, weekdays %s, catch-up %d min\n",
           tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, zone.c_str(),
           unknown_zone ? "unknown, counted as UTC" : tm.tm_zone, days, days == 1 ? "" : "s",
           s.enable ? "on" : "off", s.sunday_zero ? "0 Sunday..6 Saturday" : "1 Monday..7 Sunday", s.catch_up);
    printf("%s%-10s  %-5s  %-5s  %5s  %-6s  %-24s  %-11s  %4s  %4s  %s%s\n", bold, "DATE", "TIME", "DAY", "ENTRY",
           "ACTION", "FILE", "PLAYS", "PRIO", "VOL", "SCREEN", plain);
    for (const PlanRow& r : rows) {
        const ScheduleMinute& w = r.when;
        // the weekday name of the number in force (0 and 7 are both Sunday)
        const char* day = w.weekday >= 0 && w.weekday <= 7 ? kDays[w.weekday] : "?";
        printf("%04d-%02d-%02d  %02d:%02d  %s %d  ", w.year, w.month, w.day, w.hour, w.minute, day, w.weekday);
        if (r.kind == PlanRow::Clock) {
            printf("%s%5s  %-6s  %s%s\n", dim, "-", "clock", r.clock, plain);
            continue;
        }
        const EntryInfo e = entry_info(d, r.entry);
        char plays[32];
        if (e.loops)
            str_copy(plays, "loop");
        else
            str_format(plays, sizeof plays, "%ld%s", strtol(e.plays, nullptr, 10), is_yes(e.beep) ? " + beeps" : "");
        printf("%5d  %-6s  %-24s  %-11s  %4d  %4d  %s\n", r.entry, r.kind == PlanRow::Start ? "start" : "stop",
               e.file[0] ? e.file : "-", plays, e.priority, e.volume,
               strcmp(e.screen, "Disabled") == 0 ? "-" : e.screen);
    }
    if (rows.empty()) printf("%s(nothing starts or stops)%s\n", dim, plain);
    for (const NeverRow& n : never) {
        const EntryInfo e = entry_info(d, n.entry);
        printf("entry %d (%s) never plays: %s\n", n.entry, e.file[0] ? e.file : "no file",
               n.reason == NeverReason::None ? "no trigger minute falls in the period" : never_reason_text(n.reason));
    }
}
}  // namespace

int cmd_schedule(int argc, char** argv) {
    int days = 7;
    time_t from = dev::now();
    Options opt;
    const char* days_text = nullptr;
    const char* from_text = nullptr;
    const ValueOption values[] = {{"--days", &days_text}, {"--from", &from_text}, {nullptr, nullptr}};
    const int done = read_options("schedule", argc, argv, kHelp, kOptQuiet, &opt, values);
    if (done >= 0) return done;
    if (days_text != nullptr) {
        char* end = nullptr;
        long v = strtol(days_text, &end, 10);
        if (*days_text == '\0' || *end != '\0' || v < 1 || v > kMaxDays)
            return usage_error("schedule", "--days needs a whole number from 1 to %d, not '%s'", kMaxDays, days_text);
        days = static_cast<int>(v);
    }
    if (from_text != nullptr && !parse_from(from_text, &from))
        return usage_error("schedule", "--from needs a local time \"YYYY-MM-DD HH:MM\", not '%s'", from_text);
    bool unknown_zone = false;
    const std::string zone = zone_name(&unknown_zone);
    if (unknown_zone && !opt.quiet)
        fprintf(stderr, "callctl schedule: unknown time zone '%s' (TZ): the times are UTC\n", zone.c_str());
    std::string why;
    if (!readable_file(dev::SCHEDULE_CONF, &why))
        return opt.quiet ? 2 : usage_error("schedule", "cannot read %s: %s", dev::Path(dev::SCHEDULE_CONF).c_str(), why.c_str());
    // the reader's own messages would echo the refused lines raw: one line instead
    dictionary* d = settings_load_quiet(dev::SCHEDULE_CONF);
    if (d == nullptr)
        return opt.quiet ? 2
                         : usage_error("schedule", "cannot load %s: the daemon refuses a line of it (callctl check names it)",
                                       dev::Path(dev::SCHEDULE_CONF).c_str());
    if (opt.quiet) {
        settings_free(d);
        return 0;
    }
    std::vector<NeverRow> never;
    std::vector<PlanRow> rows = plan_schedule(d, from, days, &never);
    print_plan(d, rows, never, from, days);
    settings_free(d);
    return finish("schedule", 0);
}

}  // namespace callctl
