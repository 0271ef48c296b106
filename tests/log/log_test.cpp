#include "log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

namespace {

// Reads back whatever was written to a temporary stream.
std::string drain(FILE* f) {
    fflush(f);
    rewind(f);
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    return out;
}

struct Recorded {
    std::vector<std::string> msgs;
};

void record_sink(log_Event* ev) {
    char buf[256];
    vsnprintf(buf, sizeof buf, ev->fmt, ev->ap);
    static_cast<Recorded*>(ev->udata)->msgs.push_back(buf);
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        console_ = tmpfile();
        log_set_console(console_);
        log_init_callback();
        log_set_quiet(false);
        log_set_level(LOG_TRACE);
    }
    void TearDown() override {
        log_init_callback();
        log_set_console(nullptr);
        fclose(console_);
    }
    FILE* console_ = nullptr;
};

TEST_F(LogTest, ConsoleLineAndFileLineFormats) {
    FILE* file = tmpfile();
    ASSERT_EQ(log_add_fp(file, LOG_INFO), 0);
    log_log(LOG_INFO, "main", 274, "%s", "BUTTON,KEY,DOWN");

    std::string con = drain(console_);
    EXPECT_TRUE(std::regex_match(con, std::regex(R"(\d\d:\d\d:\d\d INFO  main:274: BUTTON,KEY,DOWN\n)")))
        << con;
    std::string row = drain(file);
    EXPECT_TRUE(std::regex_match(row, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,BUTTON,KEY,DOWN\n)")))
        << row;
    fclose(file);
}

TEST_F(LogTest, NoSinksWritesOnlyConsoleAndQuietSilencesOnlyConsole) {
    log_log(LOG_INFO, "main", 1, "%s", "alone");
    EXPECT_NE(drain(console_).find("alone"), std::string::npos);

    Recorded rec;
    log_add_callback(record_sink, &rec, LOG_TRACE);
    log_set_quiet(true);
    FILE* fresh = tmpfile();
    log_set_console(fresh);
    log_log(LOG_INFO, "main", 1, "%s", "hushed");
    EXPECT_EQ(drain(fresh), "");
    ASSERT_EQ(rec.msgs.size(), 1u);
    EXPECT_EQ(rec.msgs[0], "hushed");
    log_set_console(console_);
    fclose(fresh);
}

TEST_F(LogTest, ThirtyThirdRegistrationFailsAndFirst32StillWork) {
    Recorded rec[33];
    for (int i = 0; i < 32; i++) ASSERT_EQ(log_add_callback(record_sink, &rec[i], LOG_TRACE), 0);
    EXPECT_EQ(log_add_callback(record_sink, &rec[32], LOG_TRACE), -1);
    log_log(LOG_WARN, "x", 1, "n=%d", 7);
    for (int i = 0; i < 32; i++) EXPECT_EQ(rec[i].msgs, std::vector<std::string>{"n=7"});
    EXPECT_TRUE(rec[32].msgs.empty());
}

TEST_F(LogTest, SlotLevelSkipsButScanContinues) {
    Recorded high, low;
    log_add_callback(record_sink, &high, LOG_WARN);
    log_add_callback(record_sink, &low, LOG_TRACE);
    log_log(LOG_INFO, "x", 1, "%s", "info");
    EXPECT_TRUE(high.msgs.empty());
    EXPECT_EQ(low.msgs, std::vector<std::string>{"info"});
    log_set_level(LOG_ERROR);
    log_log(LOG_INFO, "x", 1, "%s", "below console");
    EXPECT_EQ(drain(console_).find("below console"), std::string::npos);
}

TEST_F(LogTest, InitCallbackEmptiesTableAndNextSinkLandsInSlotZero) {
    Recorded a, b;
    log_add_callback(record_sink, &a, LOG_TRACE);
    log_init_callback();
    log_log(LOG_INFO, "x", 1, "%s", "gone");
    EXPECT_TRUE(a.msgs.empty());
    log_add_callback(record_sink, &b, LOG_TRACE);
    EXPECT_EQ(L.callbacks[0].udata, &b);
    log_log(LOG_INFO, "x", 1, "%s", "back");
    EXPECT_EQ(b.msgs, std::vector<std::string>{"back"});
}

TEST_F(LogTest, LevelNamesAndLockCalls) {
    EXPECT_STREQ(log_level_string(0), "TRACE");
    EXPECT_STREQ(log_level_string(5), "FATAL");
    static int locks, unlocks;
    locks = unlocks = 0;
    log_set_lock([](bool l, void*) { (l ? locks : unlocks)++; }, nullptr);
    log_log(LOG_INFO, "x", 1, "%s", "locked");
    log_set_lock(nullptr, nullptr);
    EXPECT_EQ(locks, 1);
    EXPECT_EQ(unlocks, 1);
}

}  // namespace
