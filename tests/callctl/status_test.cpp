// callctl status against a real Redis server: with the real daemon running,
// after it is stopped, and with no server at all. It only reads the bus.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli.h"
#include "daemon.h"
#include "device.h"
#include "fixture.h"

namespace {

struct Status {
    int code;
    std::string json;
};

Status status(const std::string& root) {
    std::vector<std::string> args = {"status", "--root", root, "--json"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    testsupport::StdoutCapture out;
    int code = callctl::cmd_status(static_cast<int>(argv.size()), argv.data());
    return {code, out.take()};
}

TEST(StatusTest, AliveThenStoppedThenNoServer) {
    testsupport::DeviceRoot root;
    testsupport::setup_sandbox_root(root.dir());
    testsupport::RedisServer redis(root);
    testsupport::Peer peer(redis.socket());
    // the sandbox's account 1 is 201 on the server 192.168.1.10
    peer.run({"SET", "baresip-call-status-201-192.168.1.10", "{\"status\":\"idle\"}"});
    root.write(dev::CDR_CSV, "2030-1-1,10:00:00,10:00:05,sip:201@x,1002,in,ANSWERED\n");

    testsupport::Daemon daemon(root.dir(), {});
    ASSERT_TRUE(testsupport::eventually([&] { return status(root.dir()).code == 0; }, std::chrono::seconds(10)));
    // a row through the daemon's own operation-log writer
    peer.run({"LPUSH", "writelog-channel", "TEST,STATUS,row"});
    ASSERT_TRUE(testsupport::eventually([&] { return root.read(dev::OPLOG_CSV).find("TEST,STATUS,row") != std::string::npos; }));

    redisReply* before = peer.cmd({"DBSIZE"});
    Status s = status(root.dir());
    redisReply* after = peer.cmd({"DBSIZE"});
    EXPECT_EQ(before->integer, after->integer);
    freeReplyObject(before);
    freeReplyObject(after);
    cJSON* doc = cJSON_Parse(s.json.c_str());
    ASSERT_NE(doc, nullptr);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(doc, "alive")));
    const cJSON* subs = cJSON_GetObjectItem(doc, "subscriptions");
    EXPECT_EQ(cJSON_GetObjectItem(subs, "session-channel")->valueint, 1);
    EXPECT_EQ(cJSON_GetObjectItem(subs, "volume-value-channel")->valueint, 1);
    EXPECT_EQ(cJSON_GetObjectItem(doc, "oplog_backlog")->valueint, 0);
    const cJSON* account = cJSON_GetArrayItem(cJSON_GetObjectItem(doc, "accounts"), 0);
    ASSERT_NE(account, nullptr);
    EXPECT_STREQ(cJSON_GetObjectItem(account, "value")->valuestring, "{\"status\":\"idle\"}");
    EXPECT_EQ(cJSON_GetObjectItem(account, "code")->valueint, 0);
    const cJSON* rows = cJSON_GetObjectItem(doc, "oplog");
    std::string last = cJSON_GetArrayItem(rows, cJSON_GetArraySize(rows) - 1)->valuestring;
    EXPECT_NE(last.find("TEST,STATUS,row"), std::string::npos) << last;
    EXPECT_STREQ(cJSON_GetObjectItem(doc, "last_call")->valuestring,
                 "2030-1-1,10:00:00,10:00:05,sip:201@x,1002,in,ANSWERED");
    cJSON_Delete(doc);

    daemon.kill_now();
    EXPECT_TRUE(testsupport::eventually([&] { return status(root.dir()).code == 1; }));
    redis.stop();
    Status gone = status(root.dir());
    EXPECT_EQ(gone.code, 2);
    EXPECT_NE(gone.json.find("\"bus\":\tfalse"), std::string::npos) << gone.json;
}

}  // namespace
