// Shared pieces of the fault and load tests of the real daemon: a sandbox
// device with its Redis server, session events, and what /proc tells about
// the running process.
#pragma once
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "daemon.h"
#include "fixture.h"

namespace hardening {

using Strings = std::vector<std::string>;
using namespace testsupport;

// A whole simulated device with its Redis server.
struct Sandbox {
    DeviceRoot root;
    std::unique_ptr<RedisServer> redis;
    Sandbox() {
        setup_sandbox_root(root.dir());
        redis = std::make_unique<RedisServer>(root);
    }
    std::string socket() const { return root.path("/tmp/redis.sock"); }
    void set(const std::string& device_path, const std::string& from, const std::string& to) {
        std::string text = root.read(device_path);
        size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        root.write(device_path, text.replace(at, from.size(), to));
    }
    // Replaces a stand-in program (a device path, or a name on PATH) by a script.
    void standin(const std::string& where, const std::string& script) {
        std::string path = where[0] == '/' ? root.path(where) : root.dir() + "/standin-bin/" + where;
        std::ofstream(path, std::ios::trunc) << "#!/bin/sh\n" << script << "\n";
        chmod(path.c_str(), 0755);
    }
};

inline std::string event(const std::string& type, const std::string& dir, const std::string& more = "") {
    return "{\"type\":\"" + type + "\",\"direction\":\"" + dir + "\",\"event\":true" + more + "}";
}
inline std::string call(const std::string& type, const std::string& number, const std::string& more = "") {
    return event(type, "incoming",
                 ",\"accountaor\":\"sip:201@192.168.1.10\",\"peeruri\":\"sip:" + number + "@192.168.1.20\"" + more);
}
inline const std::string kRegister =
    "{\"type\":\"REGISTER_OK\",\"class\":\"register\",\"event\":true,\"accountaor\":\"sip:201@192.168.1.10\"}";

inline long long integer_reply(Peer& peer, const std::vector<std::string>& cmd, size_t element = 0) {
    redisReply* r = peer.cmd(cmd);
    long long v = -1;
    if (r != nullptr && r->type == REDIS_REPLY_INTEGER) v = r->integer;
    if (r != nullptr && r->type == REDIS_REPLY_ARRAY && r->elements > element &&
        r->element[element]->type == REDIS_REPLY_INTEGER)
        v = r->element[element]->integer;
    if (r) freeReplyObject(r);
    return v;
}

// Both listeners hold their subscription.
inline bool subscribed(Peer& peer) {
    redisReply* r = peer.cmd({"PUBSUB", "NUMSUB", "session-channel", "volume-value-channel"});
    bool both = r && r->type == REDIS_REPLY_ARRAY && r->elements == 4 && r->element[1]->integer == 1 &&
                r->element[3]->integer == 1;
    if (r) freeReplyObject(r);
    return both;
}

// Both listeners subscribed and the input loop watching both buttons: a
// press written before the watch is set up would never be seen.
inline bool ready(const Daemon& daemon, Peer& peer) { return subscribed(peer) && daemon.input_watches() == 2; }

inline void publish(Peer& peer, const std::string& msg) { peer.run({"PUBLISH", "session-channel", msg}); }

// The text after the time stamp of an operation-log row, or "<bad row>".
inline std::string entry_of(const std::string& row) {
    static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,)");
    std::smatch m;
    if (!std::regex_search(row, m, stamp)) return "<bad row: " + row + ">";
    return row.substr(static_cast<size_t>(m.length()));
}
inline Strings entries(const DeviceRoot& root, const std::string& device_path = "/userdata/system.csv") {
    Strings out;
    for (auto& r : lines(root.read(device_path))) out.push_back(entry_of(r));
    return out;
}
inline bool has(const Strings& v, const std::string& s) { return std::find(v.begin(), v.end(), s) != v.end(); }
inline size_t count_of(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
}

// ---- the process, from /proc --------------------------------------------------
inline std::string proc_file(pid_t pid, const char* name) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/" + name);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}
inline long status_field(pid_t pid, const std::string& field) {
    std::istringstream in(proc_file(pid, "status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1), nullptr, 0);
    return -1;
}
inline unsigned long long signal_mask(pid_t pid, const std::string& field) {
    std::istringstream in(proc_file(pid, "status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1), nullptr, 16);
    return 0;
}
// What each open descriptor of the process points at.
inline Strings open_files(pid_t pid) {
    Strings out;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char target[512];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n > 0) out.emplace_back(target, static_cast<size_t>(n));
    }
    closedir(d);
    return out;
}
// Processes whose parent is pid.
inline std::vector<pid_t> children(pid_t pid) {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        pid_t p = static_cast<pid_t>(atoi(e->d_name));
        std::string stat = proc_file(p, "stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream in(stat.substr(close + 2));
        char state;
        pid_t ppid = 0;
        in >> state >> ppid;
        if (ppid == pid) out.push_back(p);
    }
    closedir(d);
    return out;
}
// A sanitizer report in the daemon's output means it found a fault.
inline bool sanitizer_report(const std::string& out) {
    for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:", "WARNING: ThreadSanitizer"})
        if (out.find(mark) != std::string::npos) return true;
    return false;
}

inline bool sanitized_build() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

// Presses the call button through the sandbox's GPIO script.
inline void press(const DeviceRoot& root) {
    std::string cmd = "sh '" + source_path("sandbox/gpio.sh") + "' '" + root.dir() + "' press";
    EXPECT_EQ(system(cmd.c_str()), 0);
}

}  // namespace hardening
