#include "pool.h"

#include <hiredis.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bus.h"
#include "debug.h"
#include "device.h"
#include "fixture.h"

using namespace testsupport;

namespace {

class PoolTest : public ::testing::Test {
protected:
    void TearDown() override {
        redis_pool_destroy(redisClient);
        redisClient = nullptr;
        DEBUG.store(0);
    }
    DeviceRoot root_;
};

TEST_F(PoolTest, ServerDownAtStartStillGivesAPoolThatConnectsLater) {
    StdoutCapture cap;
    redisClient = create_redis_pool_client(dev::REDIS_SOCK);
    std::string out = cap.take();
    ASSERT_NE(redisClient, nullptr);
    auto ls = lines(out);
    ASSERT_EQ(ls.size(), 5u) << out;
    for (auto& l : ls) EXPECT_EQ(l.rfind("Connection error: ", 0), 0u) << l;

    // slots are free, the server is not there: the loan lends the failed
    // reconnect, the command on it fails without a word
    {
        StdoutCapture c2;
        int slot = redis_pool_get_context(redisClient);
        ASSERT_EQ(slot, 0);
        EXPECT_NE(redisClient->conn[0]->err, 0);
        EXPECT_EQ(redisCommand(redisClient->conn[0], "PING"), nullptr);
        redis_pool_release_connection(redisClient, slot);
        redis_command_safe("LPUSH control-channel %s", "dropped");
        EXPECT_EQ(c2.take(), "");
    }

    RedisServer redis(root_);
    Peer peer(redis.socket());
    redis_command_safe("LPUSH control-channel %s", "after start");
    EXPECT_EQ(peer.pushed("control-channel"), std::vector<std::string>{"after start"});
}

TEST_F(PoolTest, LowestFreeSlotFirstAndSixthLoanFails) {
    RedisServer redis(root_);
    redisClient = create_redis_pool_client(dev::REDIS_SOCK);
    int slots[5];
    for (int i = 0; i < 5; i++) {
        slots[i] = redis_pool_get_context(redisClient);
        EXPECT_EQ(slots[i], i);
    }
    {
        StdoutCapture cap;
        EXPECT_EQ(redis_pool_get_context(redisClient), -1);
        Peer peer(redis.socket());
        redis_command_safe("LPUSH control-channel %s", "dropped");
        // no loan, no heartbeat (so no watchdog ping), and not a word about it
        EXPECT_FALSE(bus_heartbeat());
        EXPECT_EQ(cap.take(), "No available connections in pool\nNo available connections in pool\n");
        EXPECT_TRUE(peer.pushed("control-channel").empty());
        redisReply* hb = peer.cmd({"EXISTS", HEARTBEAT_KEY});
        ASSERT_NE(hb, nullptr);
        EXPECT_EQ(hb->integer, 0);
        freeReplyObject(hb);
    }
    redis_pool_release_connection(redisClient, 0);
    EXPECT_TRUE(bus_heartbeat());
    redis_pool_release_connection(redisClient, 3);
    EXPECT_EQ(redis_pool_get_context(redisClient), 0);
    EXPECT_EQ(redis_pool_get_context(redisClient), 3);
    for (int i = 0; i < 5; i++) redis_pool_release_connection(redisClient, i);
}

TEST_F(PoolTest, ReconnectsEachSlotAfterServerRestart) {
    RedisServer redis(root_);
    redisClient = create_redis_pool_client(dev::REDIS_SOCK);
    redis.stop();
    redis.start();
    Peer peer(redis.socket());
    DEBUG.store(1);
    StdoutCapture cap;
    // hold all five so each loan touches a different slot
    int held[5];
    for (int i = 0; i < 5; i++) held[i] = redis_pool_get_context(redisClient);
    for (int i = 0; i < 5; i++) {
        ASSERT_EQ(held[i], i);
        auto* r = static_cast<redisReply*>(
            redisCommand(redisClient->conn[i], "LPUSH %s %s", "l", std::to_string(i).c_str()));
        ASSERT_NE(r, nullptr) << "slot " << i;
        freeReplyObject(r);
        redis_pool_release_connection(redisClient, i);
    }
    std::string out = cap.take();
    EXPECT_EQ(lines(out), std::vector<std::string>(5, "redis connect failed, retry!"));
    EXPECT_EQ(peer.pushed("l"), (std::vector<std::string>{"0", "1", "2", "3", "4"}));
}

TEST_F(PoolTest, ConnectionsAreCloseOnExec) {
    RedisServer redis(root_);
    redisClient = create_redis_pool_client(dev::REDIS_SOCK);
    for (auto* c : redisClient->conn) {
        ASSERT_NE(c, nullptr);
        EXPECT_TRUE(fcntl(c->fd, F_GETFD) & FD_CLOEXEC);
    }
}

TEST_F(PoolTest, EnsureConnectedKeepsHealthyAndReplacesBroken) {
    RedisServer redis(root_);
    redisContext* ctx = redis_connect_device(dev::REDIS_SOCK);
    redisContext* before = ctx;
    EXPECT_EQ(ensure_connected(&ctx), 0);
    EXPECT_EQ(ctx, before);

    redis.stop();
    // a read on the dead connection sets its error
    auto* r = static_cast<redisReply*>(redisCommand(ctx, "PING"));
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(ensure_connected(&ctx), -1);
    EXPECT_EQ(ensure_connected(&ctx), -1);
    redis.start();
    EXPECT_EQ(ensure_connected(&ctx), 0);
    r = static_cast<redisReply*>(redisCommand(ctx, "PING"));
    ASSERT_NE(r, nullptr);
    freeReplyObject(r);
    redisFree(ctx);
}

TEST_F(PoolTest, SendersPutOneWholeJsonTextPerEntry) {
    RedisServer redis(root_);
    redisClient = create_redis_pool_client(dev::REDIS_SOCK);
    Peer peer(redis.socket());
    Subscriber screen(redis.socket(), "screen-channel");
    Subscriber volume(redis.socket(), "volume-event-channel");
    const std::string off = R"({"id":"gpio112","type":"Off"})";
    const std::string accept = R"({"cmd":"accept","data":""})";
    DEBUG.store(1);
    StdoutCapture cap;
    control_cmd(1, off.c_str());
    control_cmd(0, accept.c_str());
    control_cmd(2, "nowhere");
    screen_control(R"({"action": "on", "id": 1})");
    state_event(R"({"name": "SIP", "action": "on"})");
    EXPECT_EQ(cap.take(), "output-channel [" + off + "]\ncontrol-channel [" + accept + "]\n");
    EXPECT_EQ(peer.pushed("output-channel"), std::vector<std::string>{off});
    EXPECT_EQ(peer.pushed("control-channel"), std::vector<std::string>{accept});
    EXPECT_EQ(screen.wait_for(1), std::vector<std::string>{R"({"action": "on", "id": 1})"});
    EXPECT_EQ(volume.wait_for(1), std::vector<std::string>{R"({"name": "SIP", "action": "on"})"});
}

}  // namespace
