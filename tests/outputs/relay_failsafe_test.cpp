// The cap on every relay On period.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fixture.h"
#include "outputs.h"
#include "pool.h"
#include "device.h"
#include "release_gate.h"

namespace {

const std::string kOff = "{\"id\":\"gpio112\",\"type\":\"Off\"}";

class RelayFailsafeTest : public ::testing::Test {
protected:
    void SetUp() override {
        redisClient = create_redis_pool_client(dev::REDIS_SOCK);
        relayControl(RELAY_ID, 0);  // no period left open by an earlier test
        peer.del("output-channel");
    }
    void TearDown() override {
        EXPECT_TRUE(gate.drain());
        redis_pool_destroy(redisClient);
        redisClient = nullptr;
    }
    void conf(const std::string& relay) { root.write("/etc/speaker.conf", "[relay_ctrl]\ntype = On\n" + relay); }
    long offs() {
        auto all = peer.pushed("output-channel");
        return std::count(all.begin(), all.end(), kOff);
    }
    std::vector<std::string> rows() { return peer.pushed("writelog-channel"); }

    testsupport::DeviceRoot root;
    testsupport::RedisServer redis{root};
    testsupport::Peer peer{redis.socket()};
    ReleaseGate gate{false};
};

TEST_F(RelayFailsafeTest, CapEndsThePeriodUnlessAnOffCameFirst) {
    struct Case {
        const char* max_on;
        bool off_first;
        long offs;
        std::vector<std::string> rows;
    } cases[] = {
        {"5", false, 1, {"FUNCTION,RELAY MAX ON,5s"}},
        {"5", true, 1, {}},     // the release ended the period: no second Off
        {"0", false, 0, {}},    // no cap
        {"5s", false, 0, {}},   // not a number: no cap
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.max_on) + (c.off_first ? " off first" : ""));
        peer.del("output-channel");
        peer.del("writelog-channel");
        gate.close();
        conf(std::string("max_on = ") + c.max_on + "\n");
        relayControl(RELAY_ID, 1);
        relayControl(RELAY_ID, 1);  // an On while on keeps the period and its one cap
        if (c.off_first) relayControl(RELAY_ID, 0);
        ASSERT_TRUE(gate.drain());
        EXPECT_EQ(offs(), c.offs);
        EXPECT_EQ(rows(), c.rows);
        relayControl(RELAY_ID, 0);
    }
}

TEST_F(RelayFailsafeTest, CapRacingATimedReleaseNeverSendsASecondOff) {
    // Both wait 1 s and run at once: whichever ends the period first, the cap
    // adds its Off (and its row) only when it was first.
    conf("max_on = 1\nduration = 1\n");
    gate.drain();
    for (int i = 0; i < 50; i++) {
        peer.del("output-channel");
        peer.del("writelog-channel");
        relayControl(RELAY_ID, 1);
        ASSERT_TRUE(start_timed_release(RELAY_RELEASE));
        ASSERT_TRUE(gate.drain());
        ASSERT_EQ(offs(), 1 + static_cast<long>(rows().size())) << i;
    }
}

}  // namespace
