// Shared pieces of the measurements: the event texts the SIP user agent's
// bridge publishes, subscription replies built from them, sample statistics
// and the memory and CPU figures of a running process.
#pragma once
#include <dirent.h>
#include <hiredis.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

// The sandbox speaker's first account (sandbox/conf/speaker.conf).
constexpr const char* kAccount = "sip:201@192.168.1.10";
constexpr const char* kAccountStatusKey = "baresip-call-status-201-192.168.1.10";

// How many times the server has run a command ("ping", "rpush", ...) since it
// started, from INFO commandstats over connection c.
inline long long commandstat(redisContext* c, const char* name) {
    redisReply* r = static_cast<redisReply*>(redisCommand(c, "INFO commandstats"));
    long long calls = 0;
    if (r && r->type == REDIS_REPLY_STRING) {
        std::string key = std::string("cmdstat_") + name + ":calls=";
        const char* p = strstr(r->str, key.c_str());
        if (p) calls = atoll(p + key.size());
    }
    if (r) freeReplyObject(r);
    return calls;
}

inline std::string event(const std::string& type, const std::string& direction, const std::string& extra = "") {
    return "{\"type\":\"" + type + "\",\"direction\":\"" + direction + "\"" + extra + "}";
}

inline std::string incoming_call() {
    return event("CALL_INCOMING", "incoming",
                 std::string(",\"peeruri\":\"sip:1002@192.168.1.10\",\"accountaor\":\"") + kAccount + "\"");
}
inline std::string call_closed(const std::string& direction) {
    return event("CALL_CLOSED", direction, ",\"param\":\"Connection reset by user\"");
}
inline std::string dtmf(const std::string& keys) { return event("CALL_DTMF_START", "", ",\"param\":\"" + keys + "\""); }

// A mixed stream as a working speaker sees it: a registration refresh, an
// answered incoming call with two keys, an unanswered outgoing call.
// Dispatched in order from the idle state with account 1 registered, it ends
// idle again, and no DTMF code of the sandbox settings matches.
inline std::vector<std::string> mixed_cycle() {
    std::string aor = std::string(",\"accountaor\":\"") + kAccount + "\"";
    return {
        event("REGISTER_OK", "", aor + ",\"param\":\"200 OK\""),
        incoming_call(),
        event("CALL_ESTABLISHED", "incoming"),
        dtmf("7"),
        dtmf("8"),
        call_closed("incoming"),
        event("CALL_OUTGOING", "outgoing", ",\"peeruri\":\"sip:1003@192.168.1.10\"" + aor),
        call_closed("outgoing"),
    };
}

// A subscription reply ("message", channel, payload) as the listener reads it.
inline redisReply* message_reply(const std::string& payload) {
    std::string raw = "*3\r\n$7\r\nmessage\r\n$15\r\nsession-channel\r\n$" + std::to_string(payload.size()) +
                      "\r\n" + payload + "\r\n";
    redisReader* r = redisReaderCreate();
    redisReaderFeed(r, raw.data(), raw.size());
    void* reply = nullptr;
    if (redisReaderGetReply(r, &reply) != REDIS_OK) reply = nullptr;
    redisReaderFree(r);
    return static_cast<redisReply*>(reply);
}

// ---- samples -------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

inline double us_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// The q-quantile (0..1) by the nearest-rank method; 0 for no samples.
inline double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    // rank = ceil(q * n), without a product a rounding error above a whole
    // number would push up one rank
    size_t rank = static_cast<size_t>(q * static_cast<double>(v.size()) + 0.999999);
    if (rank < 1) rank = 1;
    if (rank > v.size()) rank = v.size();
    return v[rank - 1];
}
inline double median(const std::vector<double>& v) { return quantile(v, 0.5); }

// ---- a running process --------------------------------------------------------

struct Memory {
    long rss_kb = -1;
    long pss_kb = -1;
    long private_dirty_kb = -1;
};

// From /proc/PID/smaps_rollup; -1 where a field is missing.
inline Memory memory_of(int pid) {
    Memory m;
    std::ifstream f("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string key;
    long kb;
    std::string unit;
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream ls(line);
        if (!(ls >> key >> kb)) continue;
        if (key == "Rss:") m.rss_kb = kb;
        else if (key == "Pss:") m.pss_kb = kb;
        else if (key == "Private_Dirty:") m.private_dirty_kb = kb;
    }
    return m;
}

// CPU time of the whole process (every thread) in clock ticks, from
// /proc/PID/stat (utime + stime); -1 when unreadable.
inline long cpu_ticks_of(int pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s;
    std::getline(f, s);
    size_t close = s.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream ls(s.substr(close + 2));
    std::string field;
    long utime = -1, stime = -1;
    // fields after the command name start at field 3 (state); utime is 14, stime 15
    for (int i = 3; i <= 15 && (ls >> field); i++) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

// CPU time of the live threads in nanoseconds (sum of the first field of
// /proc/PID/task/*/schedstat); threads that ended are not in it.
inline long long cpu_ns_of(int pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    long long total = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream f(dir + "/" + e->d_name + "/schedstat");
        long long ns = 0;
        if (f >> ns) total += ns;
    }
    closedir(d);
    return total;
}

}  // namespace bench
