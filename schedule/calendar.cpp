// Calendar days and the holiday list.
#include <cjson/cJSON.h>

#include <cstdio>

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

int isHoliday(Date day, const char* holidays) {
    if (holidays == nullptr) return 0;
    cJSON* root = cJSON_Parse(holidays);
    if (root == nullptr) return 0;
    int found = 0;
    // member name matched ignoring case, as for every bus message
    const cJSON* list = cJSON_IsObject(root) ? cJSON_GetObjectItem(root, "holidays") : nullptr;
    if (cJSON_IsArray(list)) {
        int n = cJSON_GetArraySize(list);
        for (int i = 0; i < n && !found; i++) {
            const cJSON* item = cJSON_GetArrayItem(list, i);
            // an item that is not a text of six numbers names no range
            if (!cJSON_IsString(item) || item->valuestring == nullptr) continue;
            Date start{0, 0, 0};
            Date end{0, 0, 0};
            if (scan_range(item->valuestring, &start, &end) != 6) continue;
            if (debug_on()) {
                printf("current date: %d-%d-%d\n", day.year, day.month, day.day);
                printf("holiday start: %d-%d-%d\n", start.year, start.month, start.day);
                printf("holiday end: %d-%d-%d\n", end.year, end.month, end.day);
            }
            if (equalDate(start, day) || (compareDate(start, day) && compareDate(day, end))) found = 1;
        }
    }
    cJSON_Delete(root);
    return found;
}
