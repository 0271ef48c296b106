#include "support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sanitizer/common_interface_defs.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "device.h"

namespace fuzzsupport {

namespace {
std::string g_root;
std::vector<std::string> g_shell;

int record_shell(const char* cmd) {
    if (g_shell.size() >= 64) g_shell.erase(g_shell.begin());
    g_shell.emplace_back(cmd);
    return 0;
}
void no_sleep(unsigned long) {}

void remove_root() {
    if (g_root.empty()) return;
    std::string cmd = "rm -rf '" + g_root + "'";
    if (system(cmd.c_str()) != 0) {
    }
}

void make_dirs(const std::string& path) {
    for (size_t at = 1; (at = path.find('/', at)) != std::string::npos; ++at) mkdir(path.substr(0, at).c_str(), 0755);
}
}  // namespace

void quiet_stdout() {
    fflush(stdout);
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull >= 0) {
        dup2(devnull, 1);
        close(devnull);
    }
}

const std::string& device_root() {
    if (g_root.empty()) {
        char tmpl[] = "/tmp/callctld-fuzz-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) abort();
        g_root = tmpl;
        dev::set_root(g_root.c_str());
        atexit(remove_root);
    }
    return g_root;
}

void write_file(const std::string& device_path, const std::string& content) {
    std::string p = device_root() + device_path;
    make_dirs(p);
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string read_file(const std::string& device_path) {
    std::ifstream f(device_root() + device_path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void remove_file(const std::string& device_path) { unlink((device_root() + device_path).c_str()); }

void record_runners() {
    dev::set_shell_runner(record_shell);
    dev::set_sleeper(no_sleep);
}

std::vector<std::string>& shell_commands() { return g_shell; }

void check(bool cond, const char* what) {
    if (cond) return;
    // through the sanitizer's report channel: it reaches the fuzzer's log
    // also when the target's standard error is closed (-close_fd_mask)
    std::string line = std::string("fuzz check failed: ") + what;
    __sanitizer_report_error_summary(line.c_str());
    abort();
}

redisReply* ReplyBuilder::node(int type, const std::string& text) {
    nodes_.push_back(std::make_unique<redisReply>());
    redisReply* r = nodes_.back().get();
    *r = redisReply{};
    r->type = type;
    if (type == REDIS_REPLY_STRING || type == REDIS_REPLY_STATUS || type == REDIS_REPLY_ERROR) {
        texts_.push_back(std::make_unique<std::string>(text));
        r->str = &(*texts_.back())[0];
        r->len = text.size();
    } else if (type == REDIS_REPLY_INTEGER) {
        r->integer = static_cast<long long>(text.size());
    }
    return r;
}

redisReply* ReplyBuilder::message(const std::string& payload) {
    redisReply* r = node(REDIS_REPLY_ARRAY, "");
    arrays_.push_back(std::make_unique<std::vector<redisReply*>>());
    auto& elems = *arrays_.back();
    elems = {node(REDIS_REPLY_STRING, "message"), node(REDIS_REPLY_STRING, "session-channel"),
             node(REDIS_REPLY_STRING, payload)};
    r->elements = elems.size();
    r->element = elems.data();
    return r;
}

redisReply* ReplyBuilder::any_node(FuzzedDataProvider& fdp, const std::string& payload, int depth) {
    static const int kTypes[] = {REDIS_REPLY_STRING, REDIS_REPLY_ARRAY,  REDIS_REPLY_INTEGER,
                                 REDIS_REPLY_NIL,    REDIS_REPLY_STATUS, REDIS_REPLY_ERROR};
    int type = fdp.PickValueInArray(kTypes);
    if (type != REDIS_REPLY_ARRAY || depth > 2) return node(type == REDIS_REPLY_ARRAY ? REDIS_REPLY_NIL : type, payload);
    redisReply* r = node(REDIS_REPLY_ARRAY, "");
    arrays_.push_back(std::make_unique<std::vector<redisReply*>>());
    auto& elems = *arrays_.back();
    size_t n = fdp.ConsumeIntegralInRange<size_t>(0, 5);
    for (size_t i = 0; i < n; i++)
        elems.push_back(i == 2 ? any_node(fdp, payload, depth + 1) : any_node(fdp, "x", depth + 1));
    r->elements = elems.size();
    r->element = elems.empty() ? nullptr : elems.data();
    return r;
}

redisReply* ReplyBuilder::any(FuzzedDataProvider& fdp, const std::string& payload) {
    return any_node(fdp, payload, 0);
}

}  // namespace fuzzsupport
