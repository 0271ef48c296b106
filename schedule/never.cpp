// Why a schedule entry never plays: the entry tests of the evaluation read
// over a period of whole days instead of one minute.
#include <cstdlib>
#include <cstring>

#include "calendar_days.h"
#include "entry.h"
#include "device.h"
#include "schedule.h"
#include "settings.h"
#include "text.h"

namespace {
constexpr int kMaxDays = 3660;  // ten years of days looked at, at most

long long days_of(Date x) { return caldays::from_civil(x.year, x.month, x.day); }

// The entry's window as a reason, or None when a trigger minute lands in it.
NeverReason window_reason(const dictionary* d, int n) {
    const ScheduleEntry e(d, n);
    long long start = e.number("s_hour", 0) * 60LL + e.number("s_min", 0);
    long long end = e.number("e_hour", 0) * 60LL + e.number("e_min", 0);
    long long interval = e.number("interval", 60);
    if (start == end) return NeverReason::WindowEmpty;
    // the minutes of a day that lie in start <= now < end
    long long lo = start > 0 ? start : 0;
    long long hi = end - 1 < 1439 ? end - 1 : 1439;
    if (lo > hi) return NeverReason::WindowImpossible;
    for (long long now = lo; now <= hi; now++)
        if (interval != 0 ? (now - start) % interval == 0 : now == start) return NeverReason::None;
    return NeverReason::IntervalNeverLands;
}

}  // namespace

NeverReason schedule_file_reason(const dictionary* d, int n) {
    const ScheduleEntry e(d, n);
    const char* file = e.value("audio_file", "");
    if (file[0] == '\0') return NeverReason::NoFile;
    char plays[8];
    e.text("play_times", "", plays);
    bool loop = plays[0] == '\0' || strtol(plays, nullptr, 10) == 0;
    // loop mode plays "/usr/share/baresip/<file>" from a 64-byte path; a
    // playlist names the file from the 64-byte request field
    size_t room = loop ? 63 - strlen(dev::BARESIP_SOUNDS) : 63;
    return strlen(file) > room ? NeverReason::FileTooLong : NeverReason::None;
}

const char* never_reason_text(NeverReason r) {
    switch (r) {
        case NeverReason::None: return "";
        case NeverReason::Disabled: return "switched off (enable is not \"yes\")";
        case NeverReason::NoWeekdays: return "no weekday (weeks is empty)";
        case NeverReason::WeekdaysImpossible: return "its weekday digits never occur in the numbering in force";
        case NeverReason::WeekdaysNotInPeriod: return "none of its weekdays falls in the period";
        case NeverReason::DateRangeEmpty: return "its date range ends before it begins";
        case NeverReason::DateRangeOver: return "its date range is over";
        case NeverReason::DateRangeNotBegun: return "its date range has not begun";
        case NeverReason::Holidays: return "every day it would run on is a holiday";
        case NeverReason::WindowEmpty: return "window start equals window end";
        case NeverReason::WindowImpossible: return "its window never falls within a day";
        case NeverReason::IntervalNeverLands: return "its interval never lands before the stop minute";
        case NeverReason::NoFile: return "no sound file (audio_file is empty)";
        case NeverReason::FileTooLong: return "the sound file name is too long to be played";
        case NeverReason::DriverOff: return "the driver is switched off (driver:enable is not \"yes\")";
    }
    return "";
}

NeverReason schedule_never_reason(const dictionary* d, int n, Date first, Date last) {
    const ScheduleEntry e(d, n);
    char flag[8];
    e.text("enable", "no", flag);
    if (!is_yes(flag)) return NeverReason::Disabled;
    const DriverSettings driver = driver_settings(d);

    // the weekday digits of the numbering in force that "weeks" lists
    char weeks[8];
    e.text("weeks", "", weeks);
    if (weeks[0] == '\0') return NeverReason::NoWeekdays;
    bool listed[7] = {};
    bool any = false;
    for (int wday = 0; wday < 7; wday++) {
        char digit = static_cast<char>('0' + driver_weekday(wday, driver.sunday_zero));
        listed[wday] = strchr(weeks, digit) != nullptr;
        any = any || listed[wday];
    }
    if (!any) return NeverReason::WeekdaysImpossible;

    Date from{e.number("s_year", 0), e.number("s_month", 0), e.number("s_day", 0)};
    Date to{e.number("e_year", 0), e.number("e_month", 0), e.number("e_day", 0)};
    if (compareDate(to, from)) return NeverReason::DateRangeEmpty;
    if (compareDate(to, first)) return NeverReason::DateRangeOver;
    if (compareDate(last, from)) return NeverReason::DateRangeNotBegun;

    // the days of the period that the entry's date range and weekdays admit
    char holidays[HOLIDAYS_MAX + 1];
    schedule_holidays(d, holidays);
    std::vector<HolidayRange> ranges;  // parsed once for all the days
    holiday_ranges(holidays, &ranges);
    e.text("enholiday", "no", flag);
    const bool skip_holidays = is_yes(flag);
    long long begin = days_of(first), stop = days_of(last);
    if (stop - begin >= kMaxDays) stop = begin + kMaxDays - 1;
    bool weekday_met = false, day_met = false;
    for (long long day = begin; day <= stop && !day_met; day++) {
        Date date{};
        caldays::to_civil(day, &date.year, &date.month, &date.day);
        if (compareDate(date, from) || compareDate(to, date)) continue;
        if (!listed[caldays::weekday(day)]) continue;
        weekday_met = true;
        day_met = !skip_holidays || !holidays_contain(date, ranges);
    }
    if (!weekday_met) return NeverReason::WeekdaysNotInPeriod;
    if (!day_met) return NeverReason::Holidays;

    NeverReason r = window_reason(d, n);
    if (r == NeverReason::None) r = schedule_file_reason(d, n);
    if (r == NeverReason::None && !driver.enable) r = NeverReason::DriverOff;
    return r;
}
