#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "sip_fixture.h"

namespace siptest {
namespace {

using Strings = std::vector<std::string>;

class RegistrationLoadTest : public SipTest {
protected:
    void SetUp() override {
        SipTest::SetUp();
        BARESIP_STATUS = 5;
    }
    void status(const std::string& key, const std::string& text) { peer.run({"SET", key, text}); }
    int gets() {
        redisReply* r = peer.cmd({"INFO", "commandstats"});
        std::string info = r && r->str ? r->str : "";
        if (r) freeReplyObject(r);
        size_t at = info.find("cmdstat_get:calls=");
        return at == std::string::npos ? 0 : std::stoi(info.substr(at + 18));
    }
};

TEST_F(RegistrationLoadTest, StoredTextsMapToCodesExactly) {
    const std::pair<const char*, int> cases[] = {
        {"{\"status\":\"idle\"}", 0},    {"{\"status\":\"answer\"}", 1}, {"{\"status\":\"ring\"}", 2},
        {"{\"status\":\"ringing\"}", 3}, {"{\"status\": \"idle\"}", 5},   {"{\"state\":\"idle\"}", 5},
    };
    for (auto& c : cases) {
        status("k", c.first);
        EXPECT_EQ(get_sip_status("k"), c.second) << c.first;
    }
    EXPECT_EQ(get_sip_status("missing"), 5);
    peer.run({"RPUSH", "list", "x"});
    EXPECT_EQ(get_sip_status("list"), 5);  // not a string
}

TEST_F(RegistrationLoadTest, AccountsLoad) {
    status("baresip-call-status-201-192.168.1.10", "{\"status\":\"idle\"}");  // empty domain: the server
    sip_reg_status_init();
    EXPECT_EQ(ACCOUNT1_REG, 1);
    EXPECT_EQ(BARESIP_STATUS, 0);

    ACCOUNT1_REG = 0;
    BARESIP_STATUS = 5;
    conf({{"account_info_2:enable", "yes"}});  // account 2 has no status key
    sip_reg_status_init();
    EXPECT_EQ(ACCOUNT1_REG, 1);
    EXPECT_EQ(ACCOUNT2_REG, 0);
    EXPECT_EQ(BARESIP_STATUS, 5);

    ACCOUNT1_REG = 0;
    BARESIP_STATUS = 5;
    status("baresip-call-status-201-192.168.1.10", "{\"status\":\"answer\"}");
    status("baresip-call-status-202-sip.example.com", "{\"status\":\"idle\"}");
    sip_reg_status_init();
    EXPECT_EQ(ACCOUNT1_REG, 1);
    EXPECT_EQ(ACCOUNT2_REG, 1);
    EXPECT_EQ(BARESIP_STATUS, 1);
}

TEST_F(RegistrationLoadTest, PeerToPeerOnlyMakesNoQuery) {
    conf({{"account_info_1:enable", "no"}, {"account_info_p2p:enable", "yes"}});
    int before = gets();
    sip_reg_status_init();
    EXPECT_EQ(ACCOUNTP2P_REG, 1);
    EXPECT_EQ(ACCOUNT1_REG, 0);
    EXPECT_EQ(BARESIP_STATUS, 5);
    EXPECT_EQ(gets(), before);
}

class ListenerTest : public SipTest {
protected:
    bool subscribed() {
        auto* r = peer->cmd({"PUBSUB", "NUMSUB", "session-channel"});
        bool one = r && r->type == REDIS_REPLY_ARRAY && r->elements == 2 && r->element[1]->integer == 1;
        if (r) freeReplyObject(r);
        return one;
    }
    void publish(const std::string& msg) { peer->run({"PUBLISH", "session-channel", msg}); }
    std::unique_ptr<testsupport::Peer> peer = std::make_unique<testsupport::Peer>(redis.socket());
};

void short_sleep(unsigned long) { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }

TEST_F(ListenerTest, FollowsEventsAgainAfterRedisRestarts) {
    // as in the daemon, a write to a server that went away must not kill us
    signal(SIGPIPE, SIG_IGN);
    dev::set_sleeper(&short_sleep);
    std::atomic<bool> stop{false};
    testsupport::StdoutCapture out;
    std::thread listener([&] { sip_listener_run(&stop); });
    EXPECT_TRUE(testsupport::eventually([&] { return subscribed(); }));
    publish(ev("CALL_INCOMING", "incoming", ",\"peeruri\":\"sip:202@h\""));
    // the relay command is the event's last use of the bus
    EXPECT_TRUE(testsupport::eventually([&] { return BARESIP_STATUS == 2 && peer->pushed("output-channel").size() == 1; }));

    redis.stop();
    redis.start();
    peer = std::make_unique<testsupport::Peer>(redis.socket());
    EXPECT_TRUE(testsupport::eventually([&] { return subscribed(); }));
    publish(ev("CALL_CLOSED", "incoming", ",\"param\":\"bye\""));
    EXPECT_TRUE(testsupport::eventually([] { return BARESIP_STATUS == 0 && CURRENT_CALLS == 0; }));
    EXPECT_TRUE(testsupport::eventually([&] { return peer->pushed("writelog-channel").size() == 1; }));

    stop = true;
    publish("{}");
    listener.join();
    EXPECT_EQ(testsupport::lines(out.take()), Strings{"session-channel subscription lost, subscribing again"});
}

TEST(ListenerStartTest, NoRedisAtStartEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, testsupport::death_test_style());
    dev::set_root("/tmp/callctld-test-no-such-root");
    EXPECT_EXIT(sip_listener_run(nullptr), ::testing::ExitedWithCode(255), "");
    dev::set_root("");
}

}  // namespace
}  // namespace siptest
