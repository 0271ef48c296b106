#include "fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "device.h"
#include "signals.h"

extern char** environ;

namespace testsupport {

namespace {
// Every test process handles SIGPIPE as the daemon does.
struct SigpipeEnvironment : ::testing::Environment {
    void SetUp() override { install_sigpipe_handler(); }
};
[[maybe_unused]] ::testing::Environment* const g_sigpipe_env =
    ::testing::AddGlobalTestEnvironment(new SigpipeEnvironment);

void mkdirs(const std::string& p) {
    std::string cur;
    std::stringstream ss(p);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty()) {
            cur += "/";
            continue;
        }
        cur += part + "/";
        mkdir(cur.c_str(), 0755);
    }
}

std::string parent(const std::string& p) { return p.substr(0, p.find_last_of('/')); }
}  // namespace

DeviceRoot::DeviceRoot() {
    char tmpl[] = "/tmp/callctld-test-XXXXXX";
    char* d = mkdtemp(tmpl);
    if (d == nullptr) abort();
    dir_ = d;
    for (const char* sub : {"/etc", "/oem/etc", "/tmp", "/userdata", "/sys/class/gpio/gpio111",
                            "/sys/class/gpio/gpio73", "/sys/class/gpio/gpio5",
                            "/sys/class/gpio/gpio143", "/sys/class/gpio/gpio134"})
        mkdirs(dir_ + sub);
    dev::set_root(dir_.c_str());
}

DeviceRoot::~DeviceRoot() {
    dev::set_root("");
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

std::string DeviceRoot::path(const std::string& device_path) const { return dir_ + device_path; }

void DeviceRoot::write(const std::string& device_path, const std::string& content) const {
    std::string p = path(device_path);
    mkdirs(parent(p));
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string DeviceRoot::read(const std::string& device_path) const {
    std::ifstream f(path(device_path), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool DeviceRoot::exists(const std::string& device_path) const {
    return access(path(device_path).c_str(), F_OK) == 0;
}

void DeviceRoot::remove(const std::string& device_path) const { unlink(path(device_path).c_str()); }

RedisServer::RedisServer(const DeviceRoot& root)
    : socket_(root.path("/tmp/redis.sock")), conf_(root.path("/tmp/redis-test.conf")) {
    std::ofstream f(conf_);
    f << "port 0\nunixsocket " << socket_ << "\nunixsocketperm 700\nsave \"\"\nappendonly no\n"
      << "daemonize no\nlogfile \"\"\nloglevel warning\ndir " << parent(conf_) << "\n";
    f.close();
    start();
}

RedisServer::~RedisServer() { stop(); }

void RedisServer::start() {
    if (pid_ > 0) return;
    unlink(socket_.c_str());
    pid_t pid = fork();
    if (pid == 0) {
        // the server never outlives the test process, even when it crashes
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, 1);
        execlp("redis-server", "redis-server", conf_.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "cannot start redis-server";
        return;
    }
    pid_ = pid;
    bool up = eventually([&] {
        redisContext* c = redisConnectUnix(socket_.c_str());
        bool ok = c && !c->err;
        if (ok) {
            auto* r = static_cast<redisReply*>(redisCommand(c, "PING"));
            ok = r != nullptr;
            if (r) freeReplyObject(r);
        }
        if (c) redisFree(c);
        return ok;
    });
    if (!up) ADD_FAILURE() << "redis-server did not come up on " << socket_;
}

void RedisServer::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int st;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    unlink(socket_.c_str());
}

Peer::Peer(const std::string& socket) : c_(redisConnectUnix(socket.c_str())) {
    if (c_ == nullptr || c_->err) ADD_FAILURE() << "peer cannot connect to " << socket;
}

Peer::~Peer() {
    if (c_) redisFree(c_);
}

redisReply* Peer::cmd(const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    std::vector<size_t> lens;
    for (auto& a : args) {
        argv.push_back(a.c_str());
        lens.push_back(a.size());
    }
    return static_cast<redisReply*>(
        redisCommandArgv(c_, static_cast<int>(argv.size()), argv.data(), lens.data()));
}

void Peer::run(const std::vector<std::string>& args) {
    redisReply* r = cmd(args);
    if (r) freeReplyObject(r);
}

std::vector<std::string> Peer::list(const std::string& key) {
    std::vector<std::string> out;
    redisReply* r = cmd({"LRANGE", key, "0", "-1"});
    if (r && r->type == REDIS_REPLY_ARRAY)
        for (size_t i = 0; i < r->elements; i++) out.emplace_back(r->element[i]->str, r->element[i]->len);
    if (r) freeReplyObject(r);
    return out;
}

std::vector<std::string> Peer::pushed(const std::string& key) {
    auto v = list(key);
    return std::vector<std::string>(v.rbegin(), v.rend());
}

void Peer::del(const std::string& key) { run({"DEL", key}); }
void Peer::flushall() { run({"FLUSHALL"}); }

struct Subscriber::Impl {
    redisContext* c = nullptr;
    std::thread t;
    std::mutex m;
    std::vector<std::string> msgs;
    std::atomic<bool> ready{false};
};

Subscriber::Subscriber(const std::string& socket, const std::string& channel) : impl_(new Impl) {
    impl_->c = redisConnectUnix(socket.c_str());
    if (impl_->c == nullptr || impl_->c->err) {
        ADD_FAILURE() << "subscriber cannot connect";
        return;
    }
    auto* r = static_cast<redisReply*>(redisCommand(impl_->c, "SUBSCRIBE %s", channel.c_str()));
    if (r) freeReplyObject(r);
    Impl* impl = impl_;
    impl_->t = std::thread([impl] {
        for (;;) {
            void* rv = nullptr;
            if (redisGetReply(impl->c, &rv) != REDIS_OK || rv == nullptr) return;
            auto* rep = static_cast<redisReply*>(rv);
            if (rep->type == REDIS_REPLY_ARRAY && rep->elements == 3 && rep->element[2]->str) {
                std::lock_guard<std::mutex> g(impl->m);
                impl->msgs.emplace_back(rep->element[2]->str, rep->element[2]->len);
            }
            freeReplyObject(rep);
        }
    });
}

Subscriber::~Subscriber() {
    if (impl_->c) shutdown(impl_->c->fd, SHUT_RDWR);
    if (impl_->t.joinable()) impl_->t.join();
    if (impl_->c) redisFree(impl_->c);
    delete impl_;
}

std::vector<std::string> Subscriber::messages() {
    std::lock_guard<std::mutex> g(impl_->m);
    return impl_->msgs;
}

std::vector<std::string> Subscriber::wait_for(size_t n, std::chrono::milliseconds deadline) {
    eventually([&] { return messages().size() >= n; }, deadline);
    return messages();
}

MessageReply::MessageReply(const std::string& channel, const std::string& payload) {
    kind_.type = channel_.type = payload_.type = REDIS_REPLY_STRING;
    kind_.str = const_cast<char*>("message");
    kind_.len = 7;
    channel_.str = const_cast<char*>(channel.c_str());
    channel_.len = channel.size();
    payload_.str = const_cast<char*>(payload.c_str());
    payload_.len = payload.size();
    msg_.type = REDIS_REPLY_ARRAY;
    msg_.elements = 3;
    msg_.element = elems_;
}

const char* death_test_style() { return getenv("CALLCTLD_EMULATOR") != nullptr ? "fast" : "threadsafe"; }

bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

StdoutCapture::StdoutCapture() : active_(true) {
    fflush(stdout);
    testing::internal::CaptureStdout();
}
StdoutCapture::~StdoutCapture() {
    if (active_) take();
}
std::string StdoutCapture::take() {
    if (!active_) return "";
    active_ = false;
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string l;
    while (std::getline(ss, l)) out.push_back(l);
    return out;
}

}  // namespace testsupport
