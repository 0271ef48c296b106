// The evaluation of one minute. Entries here have no audio file: a start
// shows as its "Executed" row and screen-on message, and a running playback
// is stood in for by a sleeping process whose pid the entry's slot holds.
#include <gtest/gtest.h>

#include "schedule_fixture.h"

using namespace schedtest;
using Keys = std::vector<std::pair<std::string, std::string>>;
using Strings = std::vector<std::string>;

namespace {
const std::string kOn = "{\"action\": \"on\", \"id\": 4}";
const std::string kOff = "{\"action\": \"off\", \"id\": 4}";

// June 2031, on weekdays 1, 3 and 5, screen 4, with the given window.
Keys entry(const std::string& sh, const std::string& eh, Keys extra = {}) {
    Keys k = {{"enable", "yes"},    {"weeks", "135"},     {"s_year", "2031"}, {"s_month", "6"},
              {"s_day", "1"},       {"e_year", "2031"},   {"e_month", "6"},   {"e_day", "30"},
              {"s_hour", sh},       {"s_min", "0"},       {"e_hour", eh},     {"e_min", "0"},
              {"trigger_screen", "4"}};
    k.insert(k.end(), extra.begin(), extra.end());  // a later key overrides
    return k;
}

class Evaluation : public ScheduleTest {
protected:
    // The entries that logged "Executed" when evaluating one minute.
    std::string executed(int month, int day, int hour, int minute, int weekday) {
        size_t before = oplog().size();
        schedule(2031, month, day, hour, minute, weekday);
        std::string out;
        auto log = oplog();
        for (size_t i = before; i < log.size(); i++)
            out += (out.empty() ? "" : " ") + log[i].substr(9, log[i].find(",Executed") - 9);
        return out;
    }
};
}  // namespace

TEST_F(Evaluation, WindowsTriggerAtTheirStartAndEachIntervalAndStopAtTheirEnd) {
    struct {
        Keys keys;
        int from, to;  // minutes of the day evaluated
        std::vector<int> executed;
        size_t starts;
    } cases[] = {
        {entry("8", "10"), 7 * 60 + 58, 10 * 60 + 2, {480, 540, 600}, 2},  // interval 60 by default
        {entry("8", "10", {{"interval", "30"}}), 479, 601, {480, 510, 540, 570, 600}, 4},
        {entry("8", "10", {{"interval", "0x3c"}}), 479, 601, {480, 540, 600}, 2},  // integers as C reads them
        {entry("8", "10", {{"interval", "0"}}), 479, 601, {480, 600}, 1},
        {entry("8", "8"), 479, 481, {480}, 0},  // start = end: only the stop rule
        {entry("22", "2", {{"interval", "1"}}), 0, 24 * 60 - 1, {}, 0},  // across midnight: never
    };
    testsupport::Subscriber screen(redis.socket(), "screen-channel");
    for (auto& c : cases) {
        SCOPED_TRACE(section(1, c.keys));
        write_schedule(section(1, c.keys));
        std::vector<int> seen;
        for (int m = c.from; m <= c.to; m++)
            if (executed(6, 11, m / 60, m % 60, 3) == "1") seen.push_back(m);
        EXPECT_EQ(seen, c.executed);
        EXPECT_EQ(settled(screen, "screen-channel"), Strings(c.starts, kOn));
    }
    EXPECT_TRUE(kills().empty());
}

TEST_F(Evaluation, DaysWeekdaysAndHolidaysDecideWhichEntriesRun) {
    // a holiday list of about 4000 characters; the range that matters is last
    std::string ranges;
    while (ranges.size() < 3900) ranges += "\"2020-1-1:2020-1-2\", ";
    write_schedule("[holidays]\ndata = {\"holidays\": [" + ranges + "\"2031-6-10:2031-6-12\"]}\n" +
                   section(1, entry("8", "10", {{"enholiday", "yes"}})) +
                   section(2, entry("8", "10", {{"weeks", ""}})) + section(3, entry("8", "10")) +
                   section(4, entry("8", "10", {{"enable", "Yes"}})) + "[schedule_4:priority]\n" +
                   "[schedule_5]\nenable = yes\nweeks = 135\ns_hour = 8\ne_hour = 10\n");
    EXPECT_EQ(executed(6, 1, 8, 0, 3), "1 3");  // both ends of the date range count
    EXPECT_EQ(executed(6, 30, 8, 0, 3), "1 3");
    EXPECT_EQ(executed(5, 31, 8, 0, 3), "");
    EXPECT_EQ(executed(7, 1, 8, 0, 3), "");
    EXPECT_EQ(executed(6, 15, 8, 0, 2), "");
    EXPECT_EQ(executed(6, 15, 8, 0, 13), "1 3");  // the weekday's first digit
    EXPECT_EQ(executed(6, 11, 8, 0, 3), "3");     // a holiday, for entries that ask
    EXPECT_EQ(executed(6, 11, 10, 0, 3), "3");    // also at the stop minute
    EXPECT_EQ(executed(6, 12, 8, 0, 3), "1 3");   // a holiday range's end is a working day
}

TEST_F(Evaluation, RunningEntriesAreStoppedAtTriggersAndAtTheEnd) {
    write_schedule(section(1, entry("8", "10")));
    testsupport::Subscriber screen(redis.socket(), "screen-channel");
    struct {
        int state;
        int pid;  // 1: a live process
        int hour;
        bool killed;
        Strings messages;
    } cases[] = {
        {1, 1, 10, true, {kOff}}, {2, 1, 10, true, {kOff}},  // the stop minute ends a paused playback too
        {1, 1, 9, true, {kOff}},  {2, 1, 9, true, {kOff}},  // busy at a trigger: stopped, nothing starts
        {1, 0, 10, false, {kOff}}, {1, -1, 9, false, {kOff}},  // no live player pid: nothing is killed
    };
    for (auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.state) + " " + std::to_string(c.pid) + " " + std::to_string(c.hour));
        pid_t pid = c.pid == 1 ? sleeper() : c.pid;
        vlcInfo[1].process_id.store(pid);
        SCHEDULE[1].store(c.state);
        size_t before = kills().size();
        EXPECT_EQ(executed(6, 11, c.hour, 0, 3), "1");
        EXPECT_EQ(kills().size(), before + (c.killed ? 1 : 0));
        if (c.killed) {
            EXPECT_EQ(kills().back(), "kill -9 " + std::to_string(pid));
            EXPECT_EQ(waitpid(pid, nullptr, 0), pid);
        }
        EXPECT_EQ(settled(screen, "screen-channel"), c.messages);
    }
    EXPECT_TRUE(spawns().empty());
}

TEST_F(Evaluation, AScreenIdThatIsNotANumberIsRefusedWithOneLineEachTime) {
    write_schedule(section(1, entry("8", "10", {{"trigger_screen", "4,\"id\":5"}})));
    testsupport::Subscriber screen(redis.socket(), "screen-channel");
    testsupport::StdoutCapture out;
    EXPECT_EQ(executed(6, 11, 8, 0, 3), "1");  // the entry still starts
    SCHEDULE[1].store(1);
    vlcInfo[1].process_id.store(0);
    executed(6, 11, 10, 0, 3);  // its stop minute
    const std::string refused = "schedule_1:trigger_screen is not a number, screen command not sent: 4,\"id\":5";
    EXPECT_EQ(testsupport::lines(out.take()), (Strings{refused, refused}));
    EXPECT_EQ(settled(screen, "screen-channel"), Strings{});
}

TEST_F(Evaluation, UnreadableSettingsEvaluateNothing) {
    testing::internal::CaptureStderr();
    schedule(2031, 6, 11, 8, 0, 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot parse file: /oem/etc/schedule.conf\n");
    EXPECT_TRUE(oplog().empty());
}
