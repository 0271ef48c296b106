// Supervision of the real daemon: `callctl status` tells its own listeners
// from a stray subscriber and a stopped daemon from a working one, and the
// service manager's watchdog hears from the daemon only while it turns.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daemon.h"
#include "fixture.h"

using namespace testsupport;

namespace {
// Runs callctl with the arguments (shell words, redirections included).
int callctl(const std::string& args, std::string* out) { return run_callctl(args, out); }

int status(const DeviceRoot& root, std::string* out) { return callctl("status --root '" + root.dir() + "' 2>&1", out); }

// The service manager's end of NOTIFY_SOCKET.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un a{};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd_, reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0) << strerror(errno);
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~NotifySocket() {
        unsetenv("NOTIFY_SOCKET");
        close(fd_);
        unlink(path_.c_str());
    }
    // The next datagram within ms, "" when none came.
    std::string next(int ms) {
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return "";
        char buf[256];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
    void drain() {
        while (!next(0).empty()) {
        }
    }

private:
    std::string path_;
    int fd_;
};
}  // namespace

TEST(Supervision, StatusTellsTheDaemonFromAStraySubscriberAndAStoppedOne) {
    DeviceRoot root;
    setup_sandbox_root(root.dir());
    RedisServer redis(root);
    std::string out;
    {
        // subscribers on both channels, as `redis-cli SUBSCRIBE` would hold them
        Subscriber session(redis.socket(), "session-channel");
        Subscriber volume(redis.socket(), "volume-value-channel");
        Peer peer(redis.socket());
        ASSERT_TRUE(eventually([&] {
            redisReply* r = peer.cmd({"PUBSUB", "NUMSUB", "session-channel", "volume-value-channel"});
            bool both = r && r->elements == 4 && r->element[1]->integer == 1 && r->element[3]->integer == 1;
            freeReplyObject(r);
            return both;
        }));
        EXPECT_EQ(status(root, &out), 1) << out;
        EXPECT_NE(out.find("session-channel subscribers: 1 (callctld's own: 0)"), std::string::npos) << out;
        EXPECT_NE(out.find("callctld: NOT alive (no heartbeat"), std::string::npos) << out;
    }

    Daemon daemon(root.dir(), {});
    ASSERT_TRUE(eventually([&] { return status(root, &out) == 0; }, std::chrono::seconds(15))) << out;
    EXPECT_NE(out.find("volume-value-channel subscribers: 1 (callctld's own: 1)"), std::string::npos) << out;
    EXPECT_NE(out.find("heartbeat (callctld-heartbeat): pid " + std::to_string(daemon.pid())), std::string::npos) << out;

    // stopped, it keeps its subscriptions but its heartbeat lapses: the time
    // to live it sets is what bounds how long a stopped daemon looks alive
    Peer peer(redis.socket());
    redisReply* ttl = peer.cmd({"PTTL", "callctld-heartbeat"});
    ASSERT_NE(ttl, nullptr);
    EXPECT_GT(ttl->integer, 0);
    EXPECT_LE(ttl->integer, 5000);
    freeReplyObject(ttl);
    kill(daemon.pid(), SIGSTOP);
    EXPECT_TRUE(eventually([&] { return status(root, &out) == 1; }, std::chrono::seconds(10))) << out;
    EXPECT_NE(out.find("session-channel subscribers: 1 (callctld's own: 0)"), std::string::npos) << out;
    kill(daemon.pid(), SIGCONT);
    EXPECT_TRUE(eventually([&] { return status(root, &out) == 0; }, std::chrono::seconds(10))) << out;
}

TEST(Supervision, WatchdogHearsTheDaemonOnlyWhileItTurns) {
    DeviceRoot root;
    setup_sandbox_root(root.dir());
    RedisServer redis(root);
    NotifySocket notify(root.dir() + "/notify.sock");
    Daemon daemon(root.dir(), {});
    EXPECT_EQ(notify.next(15000), "READY=1");
    EXPECT_EQ(notify.next(10000), "WATCHDOG=1");

    // the input loop turns at least every 3 s: 4 s of silence is a stop
    kill(daemon.pid(), SIGSTOP);
    notify.drain();
    EXPECT_EQ(notify.next(4000), "");
    kill(daemon.pid(), SIGCONT);
    EXPECT_EQ(notify.next(10000), "WATCHDOG=1");

    // a pool that cannot lend a connection that answers: silent as well
    redis.stop();
    notify.drain();
    EXPECT_EQ(notify.next(4000), "");
    EXPECT_TRUE(daemon.alive());
}

TEST(Supervision, CallctlKeepsTheConventionsOfItsKind) {
    DeviceRoot root;
    setup_sandbox_root(root.dir());
    const std::string r = " --root='" + root.dir() + "'";
    std::string out;
    for (const char* sub : {"check", "status", "schedule"}) {
        SCOPED_TRACE(sub);
        EXPECT_EQ(callctl(std::string(sub) + " -h", &out), 0);
        EXPECT_EQ(out.rfind(std::string("usage: callctl ") + sub, 0), 0u) << out;
    }
    for (const char* sub : {"check", "schedule --days=2 --from='2031-06-09 00:00'"}) {
        SCOPED_TRACE(sub);
        EXPECT_EQ(callctl(std::string(sub) + " -q" + r + " 2>&1", &out), 0);
        EXPECT_EQ(out, "");
        // a full disk: the output is lost, and the exit status says so
        EXPECT_EQ(callctl(sub + r + " 2>&1 >/dev/full", &out), 3);
        EXPECT_NE(out.find("cannot write the output: No space left on device"), std::string::npos) << out;
    }
    // no bus: status 2, and its JSON says which version it is
    EXPECT_EQ(callctl("status --json" + r, &out), 2);
    EXPECT_NE(out.find("\"version\":\t1"), std::string::npos) << out;
}
