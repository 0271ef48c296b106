// The schedule's driver in the real daemon on the sandbox speaker, whose clock
// the device root moves: the morning chime starts at its minute with no
// harness involved, and a forward jump of the clock catches up the next one.
#include <gtest/gtest.h>

#include <ctime>

#include "daemon.h"
#include "fixture.h"

using namespace testsupport;

namespace {
size_t count_of(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}
}  // namespace

TEST(DriverE2E, PlaysTheChimeAtItsMinuteAndCatchesUpAForwardJump) {
    DeviceRoot root;
    setup_sandbox_root(root.dir(), true);
    RedisServer redis{root};
    root.write("/vlc_item_ms", "100");
    // Wednesday 11 June 2031, 07:59:57 on the daemon's clock
    struct tm start{};
    start.tm_year = 131;
    start.tm_mon = 5;
    start.tm_mday = 11;
    start.tm_hour = 7;
    start.tm_min = 59;
    start.tm_sec = 57;
    start.tm_isdst = -1;
    const long long offset = static_cast<long long>(mktime(&start) - time(nullptr));
    root.write("/clock_offset", std::to_string(offset));
    Daemon daemon(root.dir());
    const auto rows = [&] { return root.read("/userdata/system.csv"); };
    const std::chrono::seconds wait(15);

    ASSERT_TRUE(eventually([&] { return count_of(rows(), ",FUNCTION,Audio Control,Stop audio: chime.mp3") == 1; },
                           wait))
        << rows() << daemon.output();
    // evaluated within two seconds after the daemon's 08:00:00 (the rows carry
    // the host's time, the daemon's clock runs `offset` seconds ahead)
    const std::string all = rows();
    const size_t at = all.find(",SCHEDULE,1,Executed");
    ASSERT_NE(at, std::string::npos);
    const int host_second = atoi(all.c_str() + at - 2);
    EXPECT_LE(((host_second + offset) % 60 + 60) % 60, 2) << all;
    EXPECT_EQ(count_of(all, "Play audio: chime.mp3"), 1u) << all;

    // 90 minutes on: 09:00 was skipped inside the chime's window 08:00-10:00
    root.write("/clock_offset", std::to_string(offset + 90 * 60));
    ASSERT_TRUE(eventually([&] { return count_of(rows(), "Stop audio: chime.mp3") == 2; }, wait))
        << rows() << daemon.output();
    const std::string after = rows().substr(at);
    EXPECT_EQ(count_of(after, ",SCHEDULE,CLOCK,+90 min\n"), 1u) << after;
    EXPECT_EQ(count_of(after, ",SCHEDULE,1,Executed"), 2u) << after;
    EXPECT_LT(after.find("CLOCK,+90 min"), after.rfind("SCHEDULE,1,Executed")) << after;
    size_t players = 0;
    for (const std::string& line : journal(root.dir()))
        players += line.rfind("vlc --play-and-exit", 0) == 0 && line.find("--gain=0.80") != std::string::npos;
    EXPECT_EQ(players, 2u);
}
