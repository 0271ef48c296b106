// The volume reply handler and the holiday list on the inputs where Debian
// 12's cJSON surprises: a saturating valueint, a number written as text,
// nesting past 1000, and member names in another case, which are matched as
// cJSON_GetObjectItem matches them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device.h"
#include "fixture.h"
#include "pool.h"
#include "schedule.h"

namespace {

using Strings = std::vector<std::string>;
const std::string kOff = "{\"name\": \"SCHEDULER-AUDIO\", \"action\": \"off\"}";

class VolumeHazard : public ::testing::Test {
protected:
    void SetUp() override {
        redisClient = create_redis_pool_client(dev::REDIS_SOCK);
        schedule_clear();
    }
    void TearDown() override {
        redis_pool_destroy(redisClient);
        redisClient = nullptr;
    }
    // Hands the handler a message as the subscription delivers it.
    void send(const std::string& json) {
        testsupport::MessageReply msg("volume-value-channel", json);
        ProcessVolumeReply(msg.get());
    }
    // What the handler published, settled by a marker published after it.
    Strings published() {
        testsupport::Peer p(redis.socket());
        p.run({"PUBLISH", "volume-event-channel", "marker"});
        Strings all;
        testsupport::eventually([&] {
            all = events.messages();
            return all.size() > seen_ && all.back() == "marker";
        });
        Strings out(all.begin() + static_cast<long>(seen_), all.end() - 1);
        seen_ = all.size();
        return out;
    }
    testsupport::DeviceRoot root;
    testsupport::RedisServer redis{root};
    testsupport::Subscriber events{redis.socket(), "volume-event-channel"};
    size_t seen_ = 0;
};

// With no playback at all, a non-zero value answers "off" and a zero value
// pauses nothing and publishes nothing.
TEST_F(VolumeHazard, NumbersAreReadAsIntegersAndOtherShapesAreIgnored) {
    testsupport::StdoutCapture out;
    send("{\"audio_volume\": 1e300}");   // saturates to a non-zero integer
    send("{\"audio_volume\": -1e300}");
    EXPECT_EQ(published(), (Strings{kOff, kOff}));
    send("{\"audio_volume\": 0.4}");     // its integer value is 0
    send("{\"audio_volume\": \"3\"}");   // a text, not a number
    send("{\"audio_volume\": null}");
    send("[{\"audio_volume\": 3}]");     // not an object
    EXPECT_EQ(published(), Strings{});
    send(std::string(1001, '[') + std::string(1001, ']'));
    testsupport::MessageReply no_text("volume-value-channel", "");
    no_text.get()->element[2]->type = REDIS_REPLY_INTEGER;  // a payload without text
    no_text.get()->element[2]->str = nullptr;
    ProcessVolumeReply(no_text.get());
    EXPECT_EQ(out.take(), "parse failed!\nparse failed!\n");
}

// Member names match in any case, and of two members differing only in case
// the first in the text decides.
TEST_F(VolumeHazard, MemberNamesMatchInAnyCaseFirstDeciding) {
    send("{\"AUDIO_VOLUME\": 3}");
    EXPECT_EQ(published(), Strings{kOff}) << "\"AUDIO_VOLUME\" is the volume member";
    send("{\"Audio_Volume\": 0, \"audio_volume\": 3}");
    EXPECT_EQ(published(), Strings{}) << "the first member (0: pause nothing playing) decides";
    send("{\"audio_volume\": 3, \"AUDIO_VOLUME\": 0}");
    EXPECT_EQ(published(), Strings{kOff});
    EXPECT_EQ(isHoliday(Date{2031, 1, 1}, "{\"Holidays\": [\"2031-1-1:2031-1-2\"]}"), 1);
    EXPECT_EQ(isHoliday(Date{2031, 1, 1}, "{\"HOLIDAYS\": [], \"holidays\": [\"2031-1-1:2031-1-2\"]}"), 0);
}

TEST(HolidayHazard, NumbersAndDeepListsMatchNothing) {
    const Date day{2031, 1, 1};
    EXPECT_EQ(isHoliday(day, "{\"holidays\": [1e300, -1e300, 20310101]}"), 0);
    EXPECT_EQ(isHoliday(day, "{\"holidays\": [\"99999999999-1-1:1e300-1-1\"]}"), 0);
    std::string deep = "{\"holidays\": " + std::string(1000, '[') + std::string(1000, ']') + "}";
    EXPECT_EQ(isHoliday(day, deep.c_str()), 0);
    EXPECT_EQ(isHoliday(day, "{\"holidays\": [\"2031-1-1:2031-1-2\"], \"holidays\": 5}"), 1);
}

}  // namespace
