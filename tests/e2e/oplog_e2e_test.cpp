// The real daemon in a simulated device: the operation log end to end.
#include <gtest/gtest.h>

#include <string>

#include "daemon.h"
#include "fixture.h"

using namespace testsupport;

namespace {

// Both listeners hold their subscriptions: start-up is over, and a server
// restart from here on is one the daemon must ride out (a server missing at
// a listener's first connect ends the daemon by design).
bool subscribed(Peer& peer) {
    for (const char* ch : {"session-channel", "volume-value-channel"}) {
        redisReply* r = peer.cmd({"PUBSUB", "NUMSUB", ch});
        bool ok = r && r->type == REDIS_REPLY_ARRAY && r->elements == 2 && r->element[1]->integer > 0;
        if (r) freeReplyObject(r);
        if (!ok) return false;
    }
    return true;
}

size_t count_rows(const DeviceRoot& root) { return lines(root.read("/userdata/system.csv")).size(); }

TEST(OplogE2E, PushedEntriesBecomeRowsAlsoAfterARedisRestart) {
    DeviceRoot root;
    setup_sandbox_root(root.dir());
    RedisServer redis(root);
    Daemon daemon(root.dir());
    Peer peer(redis.socket());

    ASSERT_TRUE(eventually([&] { return subscribed(peer); }, std::chrono::seconds(20))) << daemon.output();
    peer.run({"LPUSH", "writelog-channel", "TEST,first,1"});
    ASSERT_TRUE(eventually([&] { return count_rows(root) >= 1; }, std::chrono::seconds(10)))
        << daemon.output();

    redis.stop();
    redis.start();
    Peer again(redis.socket());
    for (int i = 0; i < 5; i++) again.run({"LPUSH", "writelog-channel", "TEST,after," + std::to_string(i)});
    ASSERT_TRUE(eventually([&] { return count_rows(root) >= 6; }, std::chrono::seconds(20)))
        << root.read("/userdata/system.csv") << "still listed: " << again.list("writelog-channel").size() << "\n"
        << daemon.output();

    auto rows = lines(root.read("/userdata/system.csv"));
    for (int i = 0; i < 5; i++) {
        const std::string& r = rows[static_cast<size_t>(i) + 1];
        EXPECT_EQ(r.substr(r.find(',') + 1), "TEST,after," + std::to_string(i));
    }
    EXPECT_TRUE(daemon.alive()) << daemon.output();
    EXPECT_NE(daemon.output().find("opnLog [TEST,first,1]"), std::string::npos);
}

}  // namespace
