// Two hazards of talking to Redis over a Unix socket: a write to a server that
// went away raises SIGPIPE, which ends a process that has not handled it, and
// hiredis's own sockets are inherited by every program the process starts.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <hiredis.h>

#include <fstream>
#include <sstream>
#include <string>

#include "device.h"
#include "fixture.h"
#include "pool.h"
#include "signals.h"

namespace {

using testsupport::DeviceRoot;
using testsupport::RedisServer;

// Runs body in a child process; returns its wait status.
template <typename F>
int in_child(F body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(PipeHazard, WriteToAServerThatWentAwayEndsOnlyAnUnhandledProcess) {
    DeviceRoot root;
    RedisServer redis(root);
    redisContext* c = redis_connect_device(dev::REDIS_SOCK);
    ASSERT_TRUE(c != nullptr && c->err == 0);
    redis.stop();  // waits for the server's end: its side of the socket is closed

    int plain = in_child([&] {
        signal(SIGPIPE, SIG_DFL);
        redisCommand(c, "PING");
    });
    EXPECT_TRUE(WIFSIGNALED(plain) && WTERMSIG(plain) == SIGPIPE) << "status " << plain;

    int handled = in_child([&] {
        install_sigpipe_handler();
        void* r = redisCommand(c, "PING");
        _exit(r == nullptr && c->err != 0 ? 7 : 8);  // the command fails, the process goes on
    });
    EXPECT_TRUE(WIFEXITED(handled) && WEXITSTATUS(handled) == 7) << "status " << handled;
    redisFree(c);
}

TEST(PipeHazard, PoolGoesOnAfterTheServerWentAwayMidLoan) {
    DeviceRoot root;
    RedisServer redis(root);
    install_sigpipe_handler();
    redisClient = create_redis_pool_client(dev::REDIS_SOCK);
    redis.stop();
    redis_command_safe("LPUSH l %s", "lost");  // PING fails, reconnect fails: dropped
    redis.start();
    redis_command_safe("LPUSH l %s", "sent");
    testsupport::Peer peer(redis.socket());
    EXPECT_EQ(peer.pushed("l"), std::vector<std::string>{"sent"});
    redis_pool_destroy(redisClient);
    redisClient = nullptr;
}

// The socket targets a started program holds: "socket:[inode]" for each.
std::string open_files_of_a_started_program(const std::string& dir) {
    const std::string out = dir + "/fds";
    std::string cmd = "for f in /proc/$$/fd/*; do readlink \"$f\"; done > '" + out + "'; true";
    EXPECT_EQ(dev::real_shell(cmd.c_str()), 0);
    std::ifstream f(out);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string socket_name(int fd) {
    struct stat st;
    fstat(fd, &st);
    return "socket:[" + std::to_string(st.st_ino) + "]";
}

TEST(PipeHazard, StartedProgramsInheritNoRedisSocket) {
    DeviceRoot root;
    RedisServer redis(root);
    redisContext* library = redisConnectUnix(redis.socket().c_str());
    ASSERT_TRUE(library != nullptr && library->err == 0);
    EXPECT_EQ(fcntl(library->fd, F_GETFD) & FD_CLOEXEC, 0) << "hiredis itself leaves its socket inheritable";

    redisClient = create_redis_pool_client(dev::REDIS_SOCK);
    redisContext* priv = redis_connect_device(dev::REDIS_SOCK);
    redisContext* fixed = nullptr;
    ASSERT_EQ(ensure_connected(&fixed), 0);
    std::string seen = open_files_of_a_started_program(root.dir());
    EXPECT_NE(seen.find(socket_name(library->fd)), std::string::npos) << "the hazard: " << seen;
    for (redisContext* c : {redisClient->conn[0], redisClient->conn[4], priv, fixed})
        EXPECT_EQ(seen.find(socket_name(c->fd)), std::string::npos) << seen;
    redisFree(fixed);
    redisFree(priv);
    redisFree(library);
    redis_pool_destroy(redisClient);
    redisClient = nullptr;
}

}  // namespace
