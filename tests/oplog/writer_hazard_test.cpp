// The operation-log writer on a full disk (played by the file-size limit):
// a row the file does not take goes back to the list, in its place, so
// nothing is lost, nothing is half-written, and one line tells of it.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "fixture.h"
#include "log.h"
#include "oplog.h"
#include "pool.h"

using namespace testsupport;

namespace {

using Strings = std::vector<std::string>;

// Sleeps are short; the writer's 3 s retry pause first shows the test what
// the list holds at that moment.
std::mutex g_m;
Strings g_list_in_pause;
std::string g_socket;
std::atomic<int> g_pauses{0};

void fast_sleep(unsigned long us) {
    if (us == 3 * 1000000UL && g_pauses.fetch_add(1) == 0) {
        Peer p(g_socket);
        std::lock_guard<std::mutex> g(g_m);
        g_list_in_pause = p.pushed("writelog-channel");
    }
    usleep(static_cast<useconds_t>(us / 100 + 1));
}

TEST(WriterHazard, FullDiskKeepsEntriesInOrderUntilTheyFit) {
    DeviceRoot root;
    RedisServer redis(root);
    g_socket = redis.socket();
    redisClient = create_redis_pool_client(dev::REDIS_SOCK);
    dev::Sleeper old_sleep = dev::set_sleeper(fast_sleep);
    FILE* console = tmpfile();
    log_set_console(console);
    auto old_xfsz = signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);

    // the limit holds for every file the process writes, the capture of
    // standard output included: the log file starts well above that one
    std::string old_rows;
    while (old_rows.size() < 4000) old_rows += "2024-01-01 00:00:00,BUTTON,KEY,DOWN\n";
    root.write(dev::OPLOG_CSV, old_rows);
    struct rlimit full = saved;
    full.rlim_cur = old_rows.size() + 10;  // the file may grow by 10 bytes: no row fits
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);

    StdoutCapture cap;
    std::atomic<bool> stop{false};
    for (int i = 0; i < 3; i++) writeLog("E", "n", std::to_string(i).c_str());
    std::thread writer([&] { oplog_writer_run(1, &stop); });
    ASSERT_TRUE(eventually([] { return g_pauses.load() > 0; }));
    ASSERT_TRUE(eventually([] { return g_pauses.load() > 3; })) << "the writer keeps trying";
    EXPECT_EQ(root.read(dev::OPLOG_CSV), old_rows) << "no part of a row";
    {
        std::lock_guard<std::mutex> g(g_m);
        EXPECT_EQ(g_list_in_pause, (Strings{"E,n,0", "E,n,1", "E,n,2"}));
    }

    setrlimit(RLIMIT_FSIZE, &saved);  // space again
    const size_t before = lines(old_rows).size();
    ASSERT_TRUE(eventually([&] { return lines(root.read(dev::OPLOG_CSV)).size() == before + 3; }));
    stop.store(true);
    writer.join();
    auto rows = lines(root.read(dev::OPLOG_CSV));
    for (int i = 0; i < 3; i++) EXPECT_EQ(rows[before + static_cast<size_t>(i)].substr(19), ",E,n," + std::to_string(i));
    auto out = lines(cap.take());
    ASSERT_EQ(out.size(), 1u) << "one line per failure episode:\n" << testing::PrintToString(out);
    EXPECT_EQ(out[0], "cannot write /userdata/system.csv: File too large; entries wait in writelog-channel");
    EXPECT_TRUE(Peer(redis.socket()).list("writelog-channel").empty());

    signal(SIGXFSZ, old_xfsz);
    log_set_console(nullptr);
    fclose(console);
    dev::set_sleeper(old_sleep);
    redis_pool_destroy(redisClient);
    redisClient = nullptr;
}

}  // namespace
