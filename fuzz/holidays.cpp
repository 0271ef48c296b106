// The holiday list and the range scanning. Input: bytes 0-11 are the tested
// day (year, month, day as 32-bit integers), byte 12 switches debug output,
// the rest is the list text. The same rest is also scanned as one range, and,
// when it is a plain text, wrapped into a one-range list and compared with
// the range rule (start counts, end does not).
#include <cstdio>
#include <cstring>

#include "debug.h"
#include "schedule.h"
#include "support.h"

using namespace fuzzsupport;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 13) return 0;
    Date day{};
    memcpy(&day.year, data, 4);
    memcpy(&day.month, data + 4, 4);
    memcpy(&day.day, data + 8, 4);
    DEBUG.store(data[12] & 1);
    std::string text(reinterpret_cast<const char*>(data) + 13, size - 13);

    int r = isHoliday(day, text.c_str());
    check(r == 0 || r == 1, "isHoliday answers 0 or 1");

    Date start{0, 0, 0};
    Date end{0, 0, 0};
    date_format(text.c_str(), &start, &end);
    check(equalDate(start, start) == 1 && compareDate(start, start) == 0, "a day equals itself, not before itself");
    check(!(compareDate(start, end) && compareDate(end, start)), "the order is antisymmetric");

    bool plain = !text.empty();
    for (unsigned char c : text)
        if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80) plain = false;
    if (plain) {
        Date s{0, 0, 0};
        Date e{0, 0, 0};
        int n = sscanf(text.c_str(), "%d-%d-%d:%d-%d-%d", &s.year, &s.month, &s.day, &e.year, &e.month, &e.day);
        std::string list = "{\"holidays\": [\"" + text + "\"]}";
        int got = isHoliday(day, list.c_str());
        int want = n == 6 && (equalDate(s, day) || (compareDate(s, day) && compareDate(day, e))) ? 1 : 0;
        check(got == want, "a one-range list follows the range rule");
        std::string mixed = "{\"HoliDays\": [\"" + text + "\"]}";
        check(isHoliday(day, mixed.c_str()) == got, "the list's member name matches in any case");
        if (n == 6) check(isHoliday(s, list.c_str()) == 1, "a range's start day is a holiday");
    }
    DEBUG.store(0);
    return 0;
}
