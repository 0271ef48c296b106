// Calendar days and the holiday list.
#include <cjson/cJSON.h>

#include <cstdio>
#include <vector>

#include "debug.h"
#include "schedule.h"

namespace {
// Scans "Y-M-D:Y-M-D"; returns how many of the six numbers were read.
int scan_range(const char* text, Date* start, Date* end) {
    return sscanf(text, "%d-%d-%d:%d-%d-%d", &start->year, &start->month, &start->day, &end->year,
                  &end->month, &end->day);
}
}  // namespace

int equalDate(Date a, Date b) { return a.year == b.year && a.month == b.month && a.day == b.day ? 1 : 0; }

int compareDate(Date a, Date b) {
    if (a.year != b.year) return a.year < b.year ? 1 : 0;
    if (a.month != b.month) return a.month < b.month ? 1 : 0;
    return a.day < b.day ? 1 : 0;
}

void date_format(const char* text, Date* start, Date* end) { (void)scan_range(text, start, end); }

bool holiday_ranges(const char* holidays, std::vector<HolidayRange>* out) {
    if (holidays == nullptr) return false;
    cJSON* root = cJSON_Parse(holidays);
    if (root == nullptr) return false;
    // member name matched ignoring case, as for every bus message
    const cJSON* list = cJSON_IsObject(root) ? cJSON_GetObjectItem(root, "holidays") : nullptr;
    bool is_list = cJSON_IsArray(list);
    if (is_list) {
        int n = cJSON_GetArraySize(list);
        for (int i = 0; i < n; i++) {
            const cJSON* item = cJSON_GetArrayItem(list, i);
            HolidayRange r{false, {0, 0, 0}, {0, 0, 0}};
            // an item that is not a text of six numbers names no range
            r.valid = cJSON_IsString(item) && item->valuestring != nullptr &&
                      scan_range(item->valuestring, &r.start, &r.end) == 6;
            out->push_back(r);
        }
    }
    cJSON_Delete(root);
    return is_list;
}

int holidays_contain(Date day, const std::vector<HolidayRange>& ranges) {
    for (const HolidayRange& r : ranges) {
        if (!r.valid) continue;
        if (debug_on()) {
            printf("current date: %d-%d-%d\n", day.year, day.month, day.day);
            printf("holiday start: %d-%d-%d\n", r.start.year, r.start.month, r.start.day);
            printf("holiday end: %d-%d-%d\n", r.end.year, r.end.month, r.end.day);
        }
        if (equalDate(r.start, day) || (compareDate(r.start, day) && compareDate(day, r.end))) return 1;
    }
    return 0;
}

int isHoliday(Date day, const char* holidays) {
    std::vector<HolidayRange> ranges;
    if (!holiday_ranges(holidays, &ranges)) return 0;
    return holidays_contain(day, ranges);
}
