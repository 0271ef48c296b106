// `callctl schedule` as an operator runs it, on the sandbox speaker's settings.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

#include "daemon.h"
#include "fixture.h"

using namespace testsupport;

namespace {
// Runs callctl with the arguments (shell words); its exit status and output.
int callctl(const std::string& args, std::string* out) { return run_callctl(args + " 2>&1", out); }
}  // namespace

TEST(CallctlSchedule, ListsTheSandboxWeekAndWhyAnEntryIsSilent) {
    DeviceRoot root;
    setup_sandbox_root(root.dir(), true);
    const std::string r = " --root '" + root.dir() + "'";
    std::string out;
    ASSERT_EQ(callctl("schedule --days 7 --from '2031-06-09 00:00'" + r, &out), 0) << out;
    auto l = lines(out);
    // a header, a title, 5 working days of two chimes, 7 days of music on and off, one silent entry
    ASSERT_EQ(l.size(), 2u + 5 * 2 + 7 * 2 + 1) << out;
    EXPECT_EQ(l[2], "2031-06-09  08:00  Mon 1      1  start   chime.mp3                 2 + beeps       3    80  -");
    EXPECT_EQ(l[5], "2031-06-09  13:00  Mon 1      2  stop    music.mp3                 loop            1    35  1");
    EXPECT_EQ(l.back(), "entry 4 (bell.mp3) never plays: its date range has not begun");
    std::string joined;
    ASSERT_EQ(callctl("schedule --root=" + root.dir() + " --from='2031-06-09 00:00' --days=7", &joined), 0);
    EXPECT_EQ(joined, out);

    for (const char* bad : {"schedule --days 0", "schedule --days 3661", "schedule --from '2031-02-30 08:00'",
                            "schedule --later", "schedule --root /nonexistent", "schedule --days"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(callctl(bad, &out), 2) << out;
        EXPECT_NE(out.find("callctl schedule: "), std::string::npos) << out;
    }
}
