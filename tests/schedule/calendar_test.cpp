// Calendar days and holiday ranges.
#include <gtest/gtest.h>

#include "debug.h"
#include "fixture.h"
#include "schedule.h"

TEST(Calendar, DateOrderIsPlainYearMonthDay) {
    EXPECT_EQ(equalDate({2031, 5, 5}, {2031, 5, 5}), 1);
    EXPECT_EQ(equalDate({2031, 5, 5}, {2031, 5, 6}), 0);
    EXPECT_EQ(compareDate({2031, 5, 5}, {2031, 5, 5}), 0);
    EXPECT_EQ(compareDate({2031, 12, 31}, {2032, 1, 1}), 1);
    EXPECT_EQ(compareDate({2032, 1, 1}, {2031, 12, 31}), 0);
    EXPECT_EQ(compareDate({2031, 13, 1}, {2032, 1, 1}), 1);  // no validation
    EXPECT_EQ(compareDate({2031, 13, 1}, {2031, 12, 31}), 0);
    EXPECT_EQ(compareDate({2031, 2, 1}, {2031, 1, 31}), 0);
}

TEST(Calendar, RangesCountTheirStartDayAndNotTheirEndDay) {
    struct {
        const char* ranges;
        Date day;
        int holiday;
    } cases[] = {
        {"\"2031-1-1:2031-1-1\"", {2031, 1, 1}, 1},       {"\"2031-1-1:2031-1-1\"", {2031, 1, 2}, 0},
        {"\"2031-12-24:2031-12-26\"", {2031, 12, 23}, 0}, {"\"2031-12-24:2031-12-26\"", {2031, 12, 24}, 1},
        {"\"2031-12-24:2031-12-26\"", {2031, 12, 25}, 1}, {"\"2031-12-24:2031-12-26\"", {2031, 12, 26}, 0},
        {"\"2031-12-24:2031-12-25\"", {2031, 12, 25}, 0}, {"\"2031-12-30:2032-1-2\"", {2032, 1, 1}, 1},
        {"\"2031-3-10:2031-3-5\"", {2031, 3, 10}, 1},     {"\"2031-3-10:2031-3-5\"", {2031, 3, 7}, 0},
        {"\"2031-05-01:2031-05-03\"", {2031, 5, 2}, 1},   {"\"2031-5-1:2031-5-3\"", {2031, 5, 2}, 1},
        {"\"2031-05-01:2031-05-03\"", {2031, 5, 3}, 0},   {"\"2031-8-1:2031-8-10\", \"2031-8-5:2031-8-20\"", {2031, 8, 15}, 1},
        // items that are not a text of six numbers name no range; later ones still count
        {"1, null, {}, [], \"\", \"2031-1-1\", \"2031-1-1:\", \"x-1-1:2031-1-2\"", {2031, 1, 1}, 0},
        {"1, \"2031-1-1:x\", \"2031-6-1:2031-6-3\"", {2031, 6, 2}, 1},
    };
    for (auto& c : cases) {
        std::string list = std::string("{\"holidays\": [") + c.ranges + "]}";
        EXPECT_EQ(isHoliday(c.day, list.c_str()), c.holiday) << c.ranges << " " << c.day.month << "/" << c.day.day;
    }
    for (const char* bad : {"", "not json", "{\"holidays\": ", "[]", "{\"other\": []}", "{\"holidays\": null}",
                            "{\"holidays\": {\"a\": \"2031-1-1:2031-1-2\"}}"})
        EXPECT_EQ(isHoliday({2031, 1, 1}, bad), 0) << bad;
    Date s{0, 0, 0}, e{0, 0, 0};
    date_format("2031-05-01:2032-5-3", &s, &e);
    EXPECT_TRUE(equalDate(s, {2031, 5, 1}) && equalDate(e, {2032, 5, 3}));
}

TEST(Calendar, DebugPrintsEachRangeExamined) {
    DEBUG.store(1);
    testsupport::StdoutCapture cap;
    isHoliday({2031, 3, 4}, "{\"holidays\": [\"2031-1-1:2031-1-2\", \"2031-3-4:2031-3-5\", \"2031-9-9:2031-9-10\"]}");
    std::string out = cap.take();
    DEBUG.store(0);
    EXPECT_EQ(out,
              "current date: 2031-3-4\nholiday start: 2031-1-1\nholiday end: 2031-1-2\n"
              "current date: 2031-3-4\nholiday start: 2031-3-4\nholiday end: 2031-3-5\n");
}
