#include "oplog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "debug.h"
#include "device.h"
#include "fixture.h"
#include "log.h"
#include "pool.h"

using namespace testsupport;

namespace {

// The writer's pauses are real waits on the device; here they shrink, and the
// 5 s "log_clean" window runs a hook instead, so a test acts inside it.
std::function<void()> g_clean_window_hook;
std::atomic<int> g_clean_windows{0};

void fast_sleep(unsigned long us) {
    if (us == 5 * 1000000UL) {
        g_clean_windows++;
        if (g_clean_window_hook) g_clean_window_hook();
        return;
    }
    usleep(static_cast<useconds_t>(us / 50 + 1));
}

std::vector<std::string> rows_of(const std::string& text) { return lines(text); }

// The entry part of a row: everything after the time stamp and its comma.
std::string entry_of(const std::string& row) {
    static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,)");
    std::smatch m;
    if (!std::regex_search(row, m, stamp)) return "<no time stamp: " + row + ">";
    return row.substr(m.length());
}

class OplogTest : public ::testing::Test {
protected:
    void SetUp() override {
        old_sleep_ = dev::set_sleeper(fast_sleep);
        console_ = tmpfile();
        log_set_console(console_);
        redisClient = create_redis_pool_client(dev::REDIS_SOCK);
        g_clean_windows = 0;
        g_clean_window_hook = nullptr;
    }
    void TearDown() override {
        stop_writer();
        redis_pool_destroy(redisClient);
        redisClient = nullptr;
        dev::set_sleeper(old_sleep_);
        log_set_console(nullptr);
        fclose(console_);
        DEBUG.store(0);
        g_clean_window_hook = nullptr;
    }
    void start_writer() {
        stop_ = false;
        writer_ = std::thread([this] { oplog_writer_run(1, &stop_); });
    }
    void stop_writer() {
        stop_ = true;
        if (writer_.joinable()) writer_.join();
    }
    std::vector<std::string> entries(const std::string& device_path = dev::OPLOG_CSV) {
        std::vector<std::string> out;
        for (auto& r : rows_of(root_.read(device_path))) out.push_back(entry_of(r));
        return out;
    }
    bool wait_rows(size_t n, const std::string& device_path = dev::OPLOG_CSV) {
        return eventually([&] { return rows_of(root_.read(device_path)).size() >= n; });
    }
    std::string console() {
        fflush(console_);
        rewind(console_);
        std::string s;
        char buf[512];
        size_t k;
        while ((k = fread(buf, 1, sizeof buf, console_)) > 0) s.append(buf, k);
        return s;
    }

    DeviceRoot root_;
    RedisServer redis_{root_};
    Peer peer_{redis_.socket()};
    std::thread writer_;
    std::atomic<bool> stop_{false};
    dev::Sleeper old_sleep_ = nullptr;
    FILE* console_ = nullptr;
};

TEST_F(OplogTest, RowsKeepTheEntryUnchangedAndEchoOnTheConsole) {
    start_writer();
    writeLog("BUTTON", "KEY", "DOWN");
    writeLog("FUNCTION", "KEY Hangup", "");
    writeLog("FUNCTION", "HTTP Request", "http://h/?a=1,b=2");
    ASSERT_TRUE(wait_rows(3));
    std::string file = root_.read(dev::OPLOG_CSV);
    EXPECT_TRUE(std::regex_match(rows_of(file)[0], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,BUTTON,KEY,DOWN)")))
        << file;
    EXPECT_EQ(entries(), (std::vector<std::string>{"BUTTON,KEY,DOWN", "FUNCTION,KEY Hangup,",
                                                   "FUNCTION,HTTP Request,http://h/?a=1,b=2"}));
    EXPECT_EQ(file.back(), '\n');
    EXPECT_TRUE(std::regex_search(console(), std::regex(R"(\d\d:\d\d:\d\d INFO  main:274: BUTTON,KEY,DOWN\n)")));
}

TEST_F(OplogTest, LongEntryIsCutTo255Characters) {
    std::string detail(400, 'd');
    writeLog("FUNCTION", "HTTP Request", detail.c_str());
    auto pushed = peer_.pushed("writelog-channel");
    ASSERT_EQ(pushed.size(), 1u);
    EXPECT_EQ(pushed[0].size(), 255u);
    EXPECT_EQ(pushed[0], ("FUNCTION,HTTP Request," + detail).substr(0, 255));
}

TEST_F(OplogTest, LogCleanReleasesTheFileAndWindowEntriesGoToTheNewOne) {
    start_writer();
    writeLog("BUTTON", "KEY", "DOWN");
    ASSERT_TRUE(wait_rows(1));
    // inside the window: the owner moves the file away, and producers go on
    g_clean_window_hook = [this] {
        rename(root_.path(dev::OPLOG_CSV).c_str(), root_.path("/userdata/system.csv.1").c_str());
        Peer p(redis_.socket());
        p.run({"LPUSH", "writelog-channel", "A,during,1"});
        p.run({"LPUSH", "writelog-channel", "A,during,2"});
    };
    peer_.run({"LPUSH", "writelog-channel", "log_clean"});
    ASSERT_TRUE(wait_rows(2));
    EXPECT_EQ(entries(), (std::vector<std::string>{"A,during,1", "A,during,2"}));
    EXPECT_EQ(entries("/userdata/system.csv.1"), std::vector<std::string>{"BUTTON,KEY,DOWN"});
    EXPECT_EQ(g_clean_windows.load(), 1);
}

TEST_F(OplogTest, LogCleanTwiceEndsWithExactlyOneRegisteredFile) {
    DEBUG.store(1);
    StdoutCapture cap;
    start_writer();
    peer_.run({"LPUSH", "writelog-channel", "log_clean"});
    peer_.run({"LPUSH", "writelog-channel", "log_clean"});
    peer_.run({"LPUSH", "writelog-channel", "X,after,clean"});
    ASSERT_TRUE(wait_rows(1));
    stop_writer();
    std::string out = cap.take();
    EXPECT_EQ(g_clean_windows.load(), 2);
    EXPECT_EQ(entries(), std::vector<std::string>{"X,after,clean"});
    EXPECT_EQ(out, "opnLog [log_clean]\nopnLog [log_clean]\nopnLog [X,after,clean]\n");
}

TEST_F(OplogTest, UnwritableFolderKeepsEntriesInTheListUntilItIsBack) {
    ASSERT_EQ(rmdir(root_.path("/userdata").c_str()), 0);
    StdoutCapture cap;
    start_writer();
    for (int i = 0; i < 5; i++) writeLog("E", "n", std::to_string(i).c_str());
    // several retries pass; nothing is popped meanwhile
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(peer_.pushed("writelog-channel").size(), 5u);
    ASSERT_EQ(mkdir(root_.path("/userdata").c_str(), 0755), 0);
    ASSERT_TRUE(wait_rows(5));
    stop_writer();
    EXPECT_EQ(entries(), (std::vector<std::string>{"E,n,0", "E,n,1", "E,n,2", "E,n,3", "E,n,4"}));
    auto out = lines(cap.take());
    ASSERT_EQ(out.size(), 1u) << "one line per failure episode";
    EXPECT_EQ(out[0].rfind("cannot open /userdata/system.csv", 0), 0u) << out[0];
}

TEST_F(OplogTest, WriterReconnectsAfterServerRestartAndLosesNothingPushedAfter) {
    start_writer();
    writeLog("A", "before", "");
    ASSERT_TRUE(wait_rows(1));
    redis_.stop();
    redis_.start();
    Peer p(redis_.socket());
    for (int i = 0; i < 10; i++) writeLog("B", "after", std::to_string(i).c_str());
    ASSERT_TRUE(wait_rows(11));
    auto e = entries();
    ASSERT_EQ(e.size(), 11u);
    for (int i = 0; i < 10; i++) EXPECT_EQ(e[static_cast<size_t>(i) + 1], "B,after," + std::to_string(i));
}

}  // namespace
