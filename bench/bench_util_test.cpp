// The measuring helpers read /proc and build bus replies; a wrong field or a
// wrong rank would print plausible but false figures, so they are checked
// here against what the kernel and the process itself report.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/times.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "bench_util.h"

namespace {

TEST(Quantile, NearestRank) {
    std::vector<double> v;
    for (int i = 100; i >= 1; i--) v.push_back(i);  // unsorted on purpose
    EXPECT_EQ(bench::median(v), 50);
    EXPECT_EQ(bench::quantile(v, 0.99), 99);
    EXPECT_EQ(bench::quantile(v, 1.0), 100);
    EXPECT_EQ(bench::quantile(v, 0.0), 1);
    EXPECT_EQ(bench::median({5, 1, 3}), 3);
    EXPECT_EQ(bench::quantile({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0.99), 10);
    EXPECT_EQ(bench::median({7}), 7);
    EXPECT_EQ(bench::median({3, 1}), 1);
    EXPECT_EQ(bench::median({}), 0);
}

double process_cpu_s() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Spends about `seconds` of CPU time in this process.
void burn(double seconds) {
    double end = process_cpu_s() + seconds;
    volatile unsigned long x = 0;
    while (process_cpu_s() < end)
        for (int i = 0; i < 100000; i++) x = x + static_cast<unsigned long>(i);
}

TEST(ProcessFigures, CpuTicksAreTheProcessOwnUserAndSystemTime) {
    burn(0.05);
    tms t;
    times(&t);
    long ours = bench::cpu_ticks_of(getpid());
    long kernel = static_cast<long>(t.tms_utime + t.tms_stime);
    EXPECT_GE(ours, 1);
    EXPECT_NEAR(ours, kernel, 2);
}

TEST(ProcessFigures, ThreadRunTimeFollowsTheCpuSpent) {
    long long before = bench::cpu_ns_of(getpid());
    double cpu_before = process_cpu_s();
    burn(0.2);
    long long spent_ns = bench::cpu_ns_of(getpid()) - before;
    double spent_s = process_cpu_s() - cpu_before;
    ASSERT_GT(before, 0);
    EXPECT_NEAR(static_cast<double>(spent_ns) / 1e9, spent_s, 0.05);
    EXPECT_EQ(bench::cpu_ns_of(-1), -1);
}

TEST(ProcessFigures, MemoryCountsPagesWrittenByTheProcess) {
    bench::Memory before = bench::memory_of(getpid());
    ASSERT_GT(before.rss_kb, 0);
    ASSERT_GE(before.private_dirty_kb, 0);
    const size_t size = 8 << 20;
    std::vector<char> block(size);
    memset(block.data(), 1, size);
    bench::Memory after = bench::memory_of(getpid());
    EXPECT_GE(after.private_dirty_kb - before.private_dirty_kb, 7 * 1024);
    EXPECT_GE(after.rss_kb - before.rss_kb, 7 * 1024);
    EXPECT_EQ(bench::memory_of(-1).rss_kb, -1);
}

TEST(Replies, SubscriptionMessageCarriesTheWholePayload) {
    std::string payload = bench::incoming_call();
    redisReply* r = bench::message_reply(payload);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->type, REDIS_REPLY_ARRAY);
    ASSERT_EQ(r->elements, 3u);
    EXPECT_STREQ(r->element[0]->str, "message");
    EXPECT_STREQ(r->element[1]->str, "session-channel");
    EXPECT_EQ(std::string(r->element[2]->str, r->element[2]->len), payload);
    freeReplyObject(r);
}

}  // namespace
