// The screen id goes into the screen messages without quotes, so only a JSON
// number may: anything else would change the message itself and is refused
// with one line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device.h"
#include "fixture.h"
#include "outputs.h"
#include "pool.h"

namespace {

using Strings = std::vector<std::string>;

TEST(ScreenIdHazard, OnlyNumbersReachTheScreenMessages) {
    testsupport::DeviceRoot root;
    testsupport::RedisServer redis(root);
    testsupport::Subscriber screens(redis.socket(), "screen-channel");
    redisClient = create_redis_pool_client(dev::REDIS_SOCK);

    Strings sent_ids, refused_ids;
    for (const char* id : {"1", "12", "0", "-3", "2.5", "1e3", "-0.5E-2"}) {
        root.write("/etc/speaker.conf", std::string("[screen_ctrl]\ntype = \"") + id + "\"\n");
        screenControl(1);
        sent_ids.push_back(std::string("{\"action\": \"on\", \"id\": ") + id + "}");
    }
    testsupport::StdoutCapture out;
    for (const char* id : {"1,\"x\":\"y\"", "0}{\"id\":1", "", "abc", "01", "1.", ".5", "1e", "- 1", "0x10", "1 "}) {
        root.write("/etc/speaker.conf", std::string("[screen_ctrl]\ntype = '") + id + "'\n");
        screenControl(0);
        refused_ids.push_back(std::string("screen_ctrl:type is not a number, screen command not sent: ") + id);
    }
    EXPECT_EQ(testsupport::lines(out.take()), refused_ids);
    EXPECT_EQ(screens.wait_for(sent_ids.size()), sent_ids);
    redis_pool_destroy(redisClient);
    redisClient = nullptr;
}

}  // namespace
