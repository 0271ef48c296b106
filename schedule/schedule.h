// Scheduled audio: calendar and holiday matching, the evaluation of the
// schedule for one minute, the clock thread, the player of one scheduled
// playback, the priorities between playbacks and the volume listener.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <ctime>
#include <vector>

#include "settings.h"

struct redisReply;

enum { SCHEDULE_ENTRIES = 30, VLC_SLOTS = 64 };

// ---- calendar --------------------------------------------------------------
// A calendar day as written in the settings: full year, month 1..12, day.
// Nothing is validated; the order is plain (year, month, day).
struct Date {
    int year;
    int month;
    int day;
};

// 1 when a and b are the same day, else 0.
int equalDate(Date a, Date b);
// 1 when a lies strictly before b, else 0.
int compareDate(Date a, Date b);
// Scans one holiday range "Y-M-D:Y-M-D" into start and end.
void date_format(const char* text, Date* start, Date* end);
// 1 when day falls in a range of the holiday list (JSON: {"holidays": [...]}).
// Ranges count their start day and not their end day. An item that is not a
// text of six numbers matches nothing.
int isHoliday(Date day, const char* holidays);
// One item of a holiday list: valid when it is a text that scans as six
// numbers (otherwise it matches no day).
struct HolidayRange {
    bool valid;
    Date start;
    Date end;
};
// The items of a holiday list in their order. False when the text is not a
// JSON object with a "holidays" array: then no day is a holiday.
bool holiday_ranges(const char* holidays, std::vector<HolidayRange>* out);
// 1 when day falls in one of the ranges (as isHoliday, on a list parsed once).
int holidays_contain(Date day, const std::vector<HolidayRange>& ranges);
// The longest holiday list the evaluation reads; a longer one is cut.
enum { HOLIDAYS_MAX = 4095 };

// ---- schedule evaluation ---------------------------------------------------
// Playback state per schedule entry 1..30 (index 0 unused):
// 0 idle, 1 playing, 2 paused.
extern std::atomic<int> SCHEDULE[SCHEDULE_ENTRIES + 1];

void schedule_clear();

// One start of a schedule entry, handed to its player thread, which owns it.
struct PlayRequest {
    int slot;
    int priority;
    int volume;
    char audio_file[64];
    char play_times[8];
    char enBeep[8];
    // a screen id, or "Disabled" (which needs all nine bytes)
    char trigger_screen[9];
};

// Whether a scheduled sound file name is played: it fits the 64-byte field of
// the play request and, when played in a loop (play_times empty or 0), the
// 64-byte path under "/usr/share/baresip/". A longer name plays nothing.
bool schedule_file_fits(const char* file, const char* play_times);

// Evaluates the schedule settings for one local minute: starts, stops or
// leaves each of the 30 entries. weekday is compared by its first digit with
// the entries' "weeks" digits. Each minute must be evaluated once.
void schedule(int year, int month, int day, int hour, int minute, int weekday);

// ---- the plan of one minute -------------------------------------------------
// A local minute as the evaluation takes it: full year, month 1..12, day,
// hour, minute, and the weekday number whose first digit "weeks" lists.
struct ScheduleMinute {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int weekday;
};

// What the evaluation of one minute does for one entry by its settings alone;
// the entry's playback state then decides between a start and a stop.
enum class EntryAct {
    None,      // an entry test fails, or the minute lies outside the window
    Open,      // inside the window (start <= now < end), not a trigger minute
    Trigger,   // "Executed"; then a start when idle, a stop when still running
    Stop,      // the stop minute: "Executed"; a running entry (playing or paused) is stopped
    Executed,  // "Executed" only: a trigger minute that ends a playback the
               // driver's catch-up never started (see driver_step)
};

// The settings of one schedule entry that decide its minutes.
struct EntryRule {
    bool enabled;    // "enable" is "yes"
    bool enholiday;  // "enholiday" is "yes"
    char weeks[8];
    Date first;
    Date last;
    long long start;     // window, minutes of the day
    long long end;
    long long interval;
    bool loops;  // a start leaves a player that loops until it is stopped
};

// The entry tests of a schedule file, read from it once: the holiday list is
// parsed once and every entry's keys looked up once, so that many minutes
// (a catch-up, a preview of months) cost no more reads. Not shared between
// threads (it remembers the last day it looked up).
class ScheduleRules {
public:
    explicit ScheduleRules(const dictionary* d);
    // The act of entry n (1..30) at minute m. The evaluation of a minute, the
    // driver's catch-up and the preview of callctl all decide through it.
    EntryAct act(int n, const ScheduleMinute& m) const;
    bool loops(int n) const { return rule_[n].loops; }
    // Whether day is in the holiday list.
    bool holiday(Date day) const;

private:
    EntryRule rule_[SCHEDULE_ENTRIES + 1];
    std::vector<HolidayRange> holidays_;
    mutable bool have_day_ = false;
    mutable Date day_{0, 0, 0};
    mutable bool day_holiday_ = false;
};

// The holiday list of the schedule settings (the empty list when missing).
void schedule_holidays(const dictionary* d, char (&out)[HOLIDAYS_MAX + 1]);
// Carries out act for entry n as the evaluation of a minute does: the
// "Executed" row, then the start or the stop by the entry's state.
void schedule_entry_apply(const dictionary* d, int n, EntryAct act);

// Why an entry never plays. Entry-specific reasons come first, in the order
// of the entry tests; DriverOff only when nothing else keeps the entry silent.
enum class NeverReason {
    None,                 // the entry plays in the period (as far as its settings tell)
    Disabled,             // "enable" is not "yes"
    NoWeekdays,           // "weeks" is empty
    WeekdaysImpossible,   // "weeks" holds no digit of the weekday numbering in force
    WeekdaysNotInPeriod,  // none of its weekdays falls in the period
    DateRangeEmpty,       // the last day lies before the first
    DateRangeOver,        // the last day lies before the period
    DateRangeNotBegun,    // the first day lies after the period
    Holidays,             // every day it would run on is a holiday
    WindowEmpty,          // window start equals window end
    WindowImpossible,     // the window never falls within a day (e.g. end before start)
    IntervalNeverLands,   // no trigger minute lands before the stop minute
    NoFile,               // "audio_file" is empty: a start plays nothing
    FileTooLong,          // "audio_file" does not fit the player's fields
    DriverOff,            // "driver:enable" is not "yes": nothing drives the schedule
};
// One line of text for a reason ("" for None).
const char* never_reason_text(NeverReason r);
// Why entry n plays nothing on the days first..last (both included, whole
// days, at most ten years looked at), or None.
NeverReason schedule_never_reason(const dictionary* d, int n, Date first, Date last);
// NoFile or FileTooLong when a start of entry n plays nothing, else None.
NeverReason schedule_file_reason(const dictionary* d, int n);

// ---- the schedule's driver ----------------------------------------------------
// Its settings, section "driver" of the schedule settings, read every minute.
struct DriverSettings {
    bool enable;       // "driver:enable" exactly "yes"
    bool sunday_zero;  // "driver:sunday" "0": weekdays 0 (Sunday)..6; else 1 (Monday)..7
    int catch_up;      // "driver:catch_up" minutes, 180 when missing or not a whole number >= 0
};
// d may be NULL (no readable settings): the driver is off.
DriverSettings driver_settings(const dictionary* d);
// The weekday number of the numbering in force for tm_wday (0 Sunday..6).
int driver_weekday(int tm_wday, bool sunday_zero);
// A local minute as a count of minutes from 1970-01-01 00:00 local time, so
// that any change of local time (a DST change included) is a step of it.
long long local_minute(const struct tm& local);
// The calendar minute of a count, with its weekday number.
ScheduleMinute minute_of(long long count, bool sunday_zero);
// The first local year of a valid clock, fixed in the build (the CMake cache
// value CALLCTLD_VALID_CLOCK_YEAR): an earlier year is a clock not yet set.
int driver_valid_year();

// The driver's memory between minutes.
struct DriverState {
    bool have_last = false;      // a minute was evaluated and is remembered
    long long last = 0;          // the last evaluated local minute
    bool behind = false;         // the clock went back: waiting for last + 1
    bool waiting_clock = false;  // "waiting for a valid clock" logged
    bool have_seen = false;      // the settings were read for minute `seen`
    long long seen = 0;
};
// What the driver does at one new local minute.
struct DriverStep {
    char clock_row[48];  // "SCHEDULE","CLOCK" detail; "" for none
    // The catch-up of skipped minutes, per entry, in this order: `stop` ends
    // the running playback (a skipped stop or trigger minute ended it), then
    // `start` starts the entry late (a skipped trigger minute started it and
    // nothing skipped ended it, and its window is open now).
    bool stop[SCHEDULE_ENTRIES + 1];
    bool start[SCHEDULE_ENTRIES + 1];
    bool evaluate;                          // evaluate the current minute
    EntryAct now[SCHEDULE_ENTRIES + 1];     // its act per entry (when evaluate)
    ScheduleMinute minute;                  // the current minute
};
// Decides what the driver does at local time `local` (a minute not decided
// before) and updates st. Pure: rules are the schedule settings (NULL when
// the driver is off); running[n] tells whether entry n has a player now (the
// catch-up walks the skipped minutes from there). The daemon's driver and
// callctl's preview both walk time through this function.
void driver_step(DriverState* st, const struct tm& local, const DriverSettings& s, const ScheduleRules* rules,
                 const bool running[SCHEDULE_ENTRIES + 1], DriverStep* out);
// One look at the clock (dev::now): at a new local minute, reads the settings
// once and carries out driver_step with that one copy (row, catch-up, the
// minute's evaluation). Returns true when it looked at a new minute.
bool driver_tick(DriverState* st);
// The driver thread (thread entry): driver_tick after every second boundary.
void* schedule_driver(void* arg);

// The clock thread (thread entry): starts the registration watchdog at every
// 121st minute boundary. Never returns.
void* handleDateTime(void* arg);
// One second of the clock thread: reads dev::now(); at a minute boundary counts
// it in *counter and, past 120, starts watchdog on a detached thread and resets
// the counter. Returns 1 when it started the watchdog.
int clock_tick(int* counter, void* (*watchdog)(void*));

// ---- scheduled player ------------------------------------------------------
struct VlcSlot {
    std::atomic<int> process_id;  // the slot's player process, 0 when idle
    std::atomic<int> priority;    // the playback's priority, 0 when idle
    // the latest playback's file name; kept when the slot is reset. Written by
    // the slot's player thread, read by others: one character at a time.
    std::atomic<char> audio_name[96];
};
extern VlcSlot vlcInfo[VLC_SLOTS];

// Reads a slot's file name into out (cut to cap).
void vlc_slot_name(int slot, char* out, size_t cap);

// Player thread entry: plays one request and frees it.
void* handle_playAudio(void* arg);
// Starts a player thread for req (owned). Returns false, having freed req and
// printed "create thread1 handle_playAudio failed", when it cannot.
bool start_player(PlayRequest* req);
// Player threads started and not finished yet, in all and of one slot.
int players_active();
int slot_players(int slot);

// One playback from the priority check to the end of its player process.
void playAudio(int slot, int count, int beep, const char* screen, const char* file, int priority,
               int volume);
void reset_vlcInfo(int slot);
// 1 when path exists, else 0.
int file_exists(const char* path);
// Sends one command line to the slot's player over its control socket.
// 1 when delivered, 0 when the socket did not appear in 3 tries.
int vlc_cmd_action(const char* cmd, int slot);
// The same for the player pid: 0 at once when the slot no longer holds that
// player (it is being stopped, or has ended).
int vlc_cmd_player(const char* cmd, int slot, int pid);

// ---- priorities and the volume listener ------------------------------------
// Holds the priority decisions while it lives. Every start and stop check
// takes it, and a playback holds it from its start check until its slot is
// marked, so that no check sees a playback half started: two entries that
// start in one minute, or one that starts as another is stopped, end as they
// would one second apart. Recursive within a thread.
class PriorityHold {
public:
    PriorityHold();
    ~PriorityHold() { release(); }
    // Lets go before the end of the scope (once).
    void release();
    PriorityHold(const PriorityHold&) = delete;
    PriorityHold& operator=(const PriorityHold&) = delete;

private:
    bool held_;
};
// 1 when a playback of this priority may sound now (playing ones of lower
// priority are paused on the way), 0 when it has to start paused.
int schedule_start_check_prio(int priority);
// Resumes the highest level of paused playbacks at or below priority, or
// announces that scheduled audio is silent.
void schedule_stop_check_prio(int priority);
// One reply read from the "volume-value-channel" subscription.
void ProcessVolumeReply(redisReply* reply);
// The volume listener (thread entry).
void* get_volume_info(void* arg);
// The listener's loop. At the first connect an I/O error ends the process
// (status -1); later read failures lead to a new connection and a new
// subscription. The loop ends only when stop is given and set.
void volume_listener_run(const std::atomic<bool>* stop);
