// `callctl schedule`: what the schedule's driver will do, minute by minute,
// over the next days, and why an enabled entry never plays.
#pragma once
#include <ctime>
#include <vector>

#include "schedule.h"

namespace callctl {

// One line of the preview.
struct PlanRow {
    enum Kind { Start, Stop, Clock } kind;
    ScheduleMinute when;  // the local minute (weekday in the numbering in force)
    int entry;            // 1..30; 0 for a clock row
    char clock[48];       // a clock row's detail ("+61 min", ...)
};

struct NeverRow {
    int entry;
    NeverReason reason;  // None: no trigger minute falls in the period's minutes
};

// Walks the local minutes from `from` (cut to its minute) for `days` days
// through the driver's step and the evaluation's plan, by the settings in d.
// A playback in a loop runs until stopped; a counted one is taken to have
// played out before its entry's next minute (its length is not known here).
std::vector<PlanRow> plan_schedule(const dictionary* d, time_t from, int days, std::vector<NeverRow>* never);

}  // namespace callctl
