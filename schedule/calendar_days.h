// Day counts of the proleptic Gregorian calendar, for walking local minutes
// and days without going through the time-zone rules.
#pragma once

namespace caldays {

// Days from 1970-01-01 to year-month-day (month 1..12).
inline long long from_civil(long long y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The calendar day of a day count.
inline void to_civil(long long z, int* y, int* m, int* d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = static_cast<int>(yoe + era * 400 + (*m <= 2 ? 1 : 0));
}

// 0 Sunday .. 6 Saturday (1970-01-01 was a Thursday).
inline int weekday(long long days) {
    long long w = (days + 4) % 7;
    return static_cast<int>(w < 0 ? w + 7 : w);
}

}  // namespace caldays
