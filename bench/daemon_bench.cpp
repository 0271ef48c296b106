// Whole-process measurements of the real callctld binary on the sandbox
// speaker (sandbox/setup-root.sh) with a private redis-server, each printed
// beside its floor measured in the same run:
//   event latency: PUBLISH of "CALL_INCOMING" on "session-channel" until the
//     relay On command arrives at a peer blocked in BRPOP on "output-channel";
//     floor = round trips x PING round trip + look-ups x bare iniparser look-up
//     and, call by call beside it, a bare program doing only that work
//   start-up: exec until "session-channel" has a subscriber; floor = the same
//     for a bare program with the same libraries (bench_floor_idle)
//   memory (smaps_rollup) idle and after N events; floor = the bare program
//   CPU time in an idle period; binary size, stripped (x86-64, aarch64)
// Every figure is also printed as "RESULT <name> <value> <unit>" for
// bench/run.sh, which takes medians over several runs.
// Usage: bench_daemon [--calls N] [--events N] [--idle-seconds S] [--starts N] [--arm64 BINARY]
#include <hiredis.h>
#include <iniparser.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "daemon.h"
#include "device.h"
#include "fixture.h"
#include "signals.h"

using bench::Clock;
using bench::us_since;

namespace {

struct Options {
    int calls = 1000;
    int events = 10000;
    int idle_seconds = 60;
    int starts = 10;
    std::string arm64;
};

void result(const char* name, double value, const char* unit) { printf("RESULT %s %.3f %s\n", name, value, unit); }

// Ends the measurements; the daemons, redis-server and the device root are
// taken down on the way out.
[[noreturn]] void fail(const std::string& why) { throw std::runtime_error(why); }

// A peer connection of the harness.
struct Conn {
    redisContext* c;
    explicit Conn(const std::string& socket) : c(redisConnectUnix(socket.c_str())) {
        if (c == nullptr || c->err) fail("cannot connect to " + socket);
    }
    ~Conn() { redisFree(c); }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    redisReply* cmd(const std::vector<std::string>& args) {
        std::vector<const char*> argv;
        std::vector<size_t> lens;
        for (auto& a : args) {
            argv.push_back(a.c_str());
            lens.push_back(a.size());
        }
        return static_cast<redisReply*>(redisCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lens.data()));
    }
    void run(const std::vector<std::string>& args) {
        redisReply* r = cmd(args);
        if (r == nullptr) fail("lost the Redis connection");
        freeReplyObject(r);
    }
    long long integer(const std::vector<std::string>& args) {
        redisReply* r = cmd(args);
        long long v = r && r->type == REDIS_REPLY_INTEGER ? r->integer : -1;
        if (r) freeReplyObject(r);
        return v;
    }
    // Sends BRPOP without waiting for its answer.
    void start_brpop(const std::string& list, int timeout_s) {
        redisAppendCommand(c, "BRPOP %s %d", list.c_str(), timeout_s);
        int done = 0;
        while (!done)
            if (redisBufferWrite(c, &done) != REDIS_OK) fail("lost the Redis connection");
    }
    // The popped value of a BRPOP sent before ("" on time-out).
    std::string finish_brpop() {
        void* rv = nullptr;
        if (redisGetReply(c, &rv) != REDIS_OK) fail("lost the Redis connection");
        redisReply* r = static_cast<redisReply*>(rv);
        std::string v;
        if (r && r->type == REDIS_REPLY_ARRAY && r->elements == 2) v.assign(r->element[1]->str, r->element[1]->len);
        if (r) freeReplyObject(r);
        return v;
    }
    std::string brpop(const std::string& list, int timeout_s) {
        start_brpop(list, timeout_s);
        return finish_brpop();
    }
};

const std::string kRelayOn = "{\"id\":\"gpio112\",\"type\":\"On\"}";
const std::string kRelayOff = "{\"id\":\"gpio112\",\"type\":\"Off\"}";

long long session_subscribers(Conn& peer) {
    redisReply* r = peer.cmd({"PUBSUB", "NUMSUB", "session-channel"});
    long long n = 0;
    if (r && r->type == REDIS_REPLY_ARRAY && r->elements == 2) n = r->element[1]->integer;
    if (r) freeReplyObject(r);
    return n;
}

// Polls until "session-channel" has `want` subscribers; false after 10 s.
bool wait_subscribers(Conn& peer, long long want) {
    auto end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end) {
        if (session_subscribers(peer) == want) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

// The bare floor program; with echo it answers each event with the round
// trips and look-ups of an incoming call (bench/floor_idle.cpp).
struct FloorProcess {
    pid_t pid = -1;
    FloorProcess(const std::string& socket, const std::string& conf, bool echo = false) {
        std::string exe = testsupport::build_path("bench/bench_floor_idle");
        std::string mode = "echo";
        char* argv[] = {const_cast<char*>(exe.c_str()), const_cast<char*>(socket.c_str()),
                        const_cast<char*>(conf.c_str()), echo ? const_cast<char*>(mode.c_str()) : nullptr,
                        nullptr};
        char* envp[] = {nullptr};
        if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp) != 0) fail("cannot start " + exe);
    }
    ~FloorProcess() {
        kill(pid, SIGKILL);
        int st;
        waitpid(pid, &st, 0);
    }
    FloorProcess(const FloorProcess&) = delete;
    FloorProcess& operator=(const FloorProcess&) = delete;
};

// ---- binary size ------------------------------------------------------------------

long stripped_size(const char* strip_tool, const std::string& binary) {
    struct stat st;
    if (stat(binary.c_str(), &st) != 0) return -1;
    std::string out = "/tmp/callctld-bench-stripped-" + std::to_string(getpid());
    std::string cmd = std::string(strip_tool) + " -o '" + out + "' '" + binary + "' 2>/dev/null";
    long size = -1;
    if (system(cmd.c_str()) == 0 && stat(out.c_str(), &st) == 0) size = static_cast<long>(st.st_size);
    unlink(out.c_str());
    return size;
}

void binary_sizes(const Options& o) {
    printf("\n== binary size (stripped)\n");
    long x86 = stripped_size("strip", testsupport::build_path("service/daemon/callctld"));
    long floor = stripped_size("strip", testsupport::build_path("bench/bench_floor_idle"));
    printf("x86-64   callctld %7ld bytes (%.1f KiB); bare program with the same libraries %ld bytes\n", x86,
           x86 / 1024.0, floor);
    result("size_x86_64_bytes", static_cast<double>(x86), "bytes");
    result("size_floor_x86_64_bytes", static_cast<double>(floor), "bytes");
    long arm = stripped_size("aarch64-linux-gnu-strip", o.arm64);
    if (arm > 0) {
        printf("aarch64  callctld %7ld bytes (%.1f KiB)  target < 256 KiB: %s\n", arm, arm / 1024.0,
               arm < 256 * 1024 ? "met" : "NOT met");
        result("size_aarch64_bytes", static_cast<double>(arm), "bytes");
    } else {
        printf("aarch64  no cross-built binary at %s (run tests/cross.sh first)\n", o.arm64.c_str());
    }
}

// ---- start-up --------------------------------------------------------------------

void start_up(const Options& o, const std::string& root, Conn& peer, const std::string& socket,
              const std::string& conf) {
    printf("\n== start-up: exec until \"session-channel\" has its subscriber (%d starts each)\n", o.starts);
    std::vector<double> daemon_us, floor_us;
    for (int i = 0; i < o.starts; i++) {
        auto t0 = Clock::now();
        {
            testsupport::Daemon d(root, {});
            if (!wait_subscribers(peer, 1)) fail("the daemon did not subscribe");
            daemon_us.push_back(us_since(t0));
        }
        if (!wait_subscribers(peer, 0)) fail("the daemon's subscription outlived it");
        t0 = Clock::now();
        {
            FloorProcess f(socket, conf);
            if (!wait_subscribers(peer, 1)) fail("the floor program did not subscribe");
            floor_us.push_back(us_since(t0));
        }
        if (!wait_subscribers(peer, 0)) fail("the floor program's subscription outlived it");
    }
    double d = bench::median(daemon_us), f = bench::median(floor_us);
    printf("callctld %8.0f us   floor (bare program) %8.0f us   ratio %.2f\n", d, f, d / f);
    result("startup_us", d, "us");
    result("startup_floor_us", f, "us");
}

// ---- what one incoming call needs -------------------------------------------------

struct EventCost {
    long long round_trips = 0;
    int lookups = 0;
};

// Runs the daemon once with "debug", sends one incoming call, and counts
// the look-ups ("keystr:" lines) from the event to the relay command, and the
// commands the daemon sent to the server for it.
EventCost count_incoming(const std::string& root, Conn& peer, Conn& popper) {
    EventCost cost;
    testsupport::Daemon d(root, {"debug"});
    if (!wait_subscribers(peer, 1)) fail("the daemon did not subscribe");
    peer.run({"CONFIG", "RESETSTAT"});
    peer.run({"PUBLISH", "session-channel", bench::incoming_call()});
    if (popper.brpop("output-channel", 10) != kRelayOn) fail("no relay On for the incoming call");
    cost.round_trips = bench::commandstat(peer.c, "ping") + bench::commandstat(peer.c, "lpush") +
                       bench::commandstat(peer.c, "rpush");
    std::string out = d.output();
    size_t from = out.find("Msg [{\"type\":\"CALL_INCOMING\"");
    size_t to = out.find("output-channel [", from);
    if (from == std::string::npos || to == std::string::npos) fail("the debug output lacks the event");
    for (size_t p = out.find("keystr:", from); p != std::string::npos && p < to; p = out.find("keystr:", p + 1))
        cost.lookups++;
    printf("one CALL_INCOMING until the relay On: %d settings look-ups, %lld commands to Redis "
           "(PING of each pool loan included)\n",
           cost.lookups, cost.round_trips);
    peer.run({"PUBLISH", "session-channel", bench::call_closed("incoming")});
    popper.brpop("output-channel", 10);
    return cost;
}

// ---- floors ----------------------------------------------------------------------

struct Spread {
    double median, p99;
};

// ---- event latency ---------------------------------------------------------------

// One incoming call: PUBLISH until the peer blocked in BRPOP has the relay
// On. Then the call is closed and a DTMF code that switches the relay is
// sent; its On shows that the daemon has finished the close (events are
// handled in order), so the next call finds the speaker idle.
double one_call(Conn& peer, Conn& popper) {
    popper.start_brpop("output-channel", 10);
    auto t0 = Clock::now();
    peer.run({"PUBLISH", "session-channel", bench::incoming_call()});
    std::string got = popper.finish_brpop();
    double us = us_since(t0);
    if (got != kRelayOn) fail("expected the relay On, got '" + got + "'");
    peer.run({"PUBLISH", "session-channel", bench::call_closed("incoming")});
    peer.run({"PUBLISH", "session-channel", bench::dtmf("123")});
    if (popper.brpop("output-channel", 10) != kRelayOff) fail("no relay Off after the close");
    if (popper.brpop("output-channel", 10) != kRelayOn) fail("no relay On for the DTMF code");
    return us;
}

void clear_lists(Conn& peer) { peer.run({"DEL", "writelog-channel", "control-channel", "output-channel"}); }

// One event through the bare echo program (bench/floor_idle.cpp).
double one_echo(Conn& peer, Conn& popper) {
    popper.start_brpop("bench-floor-output", 10);
    auto t0 = Clock::now();
    peer.run({"PUBLISH", "bench-floor-channel", bench::incoming_call()});
    std::string got = popper.finish_brpop();
    double us = us_since(t0);
    if (got != kRelayOn) fail("no relay On from the echo program");
    return us;
}

double one_ping(Conn& peer) {
    auto t0 = Clock::now();
    peer.run({"PING"});
    return us_since(t0);
}

double one_bare_lookup(const std::string& conf) {
    char value[32];
    auto t0 = Clock::now();
    dictionary* d = iniparser_load(conf.c_str());
    const char* v = iniparser_getstring(d, "relay_ctrl:type", "");
    snprintf(value, sizeof value, "%s", v ? v : "");
    iniparser_freedict(d);
    double us = us_since(t0);
    if (strcmp(value, "On") != 0) fail("the bare look-up read '" + std::string(value) + "'");
    return us;
}

void clear_floor_lists(Conn& peer) { peer.run({"DEL", "bench-floor-log", "bench-floor-output"}); }

// Each round measures, one after the other: a call through the daemon, the
// same event through the bare echo program, a PING and a bare look-up. The
// floors thus come from the same minutes as the figure, whatever else the
// machine is doing meanwhile.
void latency(const Options& o, Conn& peer, Conn& popper, const EventCost& cost, const std::string& socket,
             const std::string& conf) {
    printf("\n== event latency: CALL_INCOMING on \"session-channel\" until the relay On on \"output-channel\" "
           "(%d calls)\n",
           o.calls);
    FloorProcess echo(socket, conf, true);
    auto echo_ready = Clock::now() + std::chrono::seconds(10);
    while (peer.integer({"PUBLISH", "bench-floor-channel", "{}"}) < 1)
        if (Clock::now() > echo_ready) fail("the echo program did not subscribe");
    // the one message that reached it was answered: take that answer away
    if (popper.brpop("bench-floor-output", 10) != kRelayOn) fail("no answer from the echo program");
    std::vector<double> calls, echoes, pings, looks;
    for (int i = -20; i < o.calls; i++) {  // 20 rounds of warm-up
        double c = one_call(peer, popper);
        double e = one_echo(peer, popper);
        double p = one_ping(peer);
        double l = one_bare_lookup(conf);
        if (i >= 0) {
            calls.push_back(c);
            echoes.push_back(e);
            pings.push_back(p);
            looks.push_back(l);
        }
        if (i % 100 == 99) {
            clear_lists(peer);
            clear_floor_lists(peer);
        }
    }
    clear_floor_lists(peer);
    Spread ping{bench::median(pings), bench::quantile(pings, 0.99)};
    Spread look{bench::median(looks), bench::quantile(looks, 0.99)};
    Spread bare{bench::median(echoes), bench::quantile(echoes, 0.99)};
    // The event's way in (PUBLISH to the subscriber) and the command's way out
    // (LPUSH to the blocked BRPOP) make one more round trip.
    const double trips = static_cast<double>(cost.round_trips) + 1;
    double floor_med = trips * ping.median + cost.lookups * look.median;
    double floor_p99 = trips * ping.p99 + cost.lookups * look.p99;
    double med = bench::median(calls), p99 = bench::quantile(calls, 0.99);
    printf("PING round trip          median %7.1f us  p99 %7.1f us\n", ping.median, ping.p99);
    printf("bare iniparser look-up   median %7.1f us  p99 %7.1f us\n", look.median, look.p99);
    printf("floor = %.0f round trips x PING + %d look-ups x bare look-up\n", trips, cost.lookups);
    printf("latency  median %7.1f us   floor %7.1f us   ratio %.2f   (target <= 0.6: %s)\n", med, floor_med,
           med / floor_med, med / floor_med <= 0.6 ? "met" : "NOT met");
    printf("latency  p99    %7.1f us   floor %7.1f us   ratio %.2f   (target <= 0.8: %s; floor from the p99 of PING "
           "and look-up)\n",
           p99, floor_p99, p99 / floor_p99, p99 / floor_p99 <= 0.8 ? "met" : "NOT met");
    printf("bare program doing the same %lld round trips and %d look-ups: median %7.1f us (ratio %.2f), "
           "p99 %7.1f us (ratio %.2f)\n",
           cost.round_trips, cost.lookups, bare.median, med / bare.median, bare.p99, p99 / bare.p99);
    result("latency_median_us", med, "us");
    result("latency_p99_us", p99, "us");
    result("latency_floor_us", floor_med, "us");
    result("latency_floor_p99_us", floor_p99, "us");
    result("latency_ratio", med / floor_med, "x");
    result("latency_p99_ratio", p99 / floor_p99, "x");
    result("latency_echo_floor_us", bare.median, "us");
    result("latency_echo_floor_p99_us", bare.p99, "us");
    result("latency_echo_ratio", med / bare.median, "x");
    result("ping_us", ping.median, "us");
    result("bare_lookup_us", look.median, "us");
}

// ---- memory, many events, idle CPU -------------------------------------------------

void print_memory(const char* what, const bench::Memory& m, const bench::Memory& floor) {
    printf("%-22s RSS %6ld KiB (floor %6ld)  private dirty %6ld KiB (floor %6ld)  PSS %6ld KiB\n", what, m.rss_kb,
           floor.rss_kb, m.private_dirty_kb, floor.private_dirty_kb, m.pss_kb);
}

// Sends `events` events of the mixed stream, then a DTMF code that switches
// the relay. Every incoming call of the stream finds the speaker idle and
// switches the relay on, so the On after those shows that the daemon has
// handled every event.
double many_events(Conn& peer, Conn& popper, int events) {
    std::vector<std::string> cycle = bench::mixed_cycle();
    const std::string incoming = bench::incoming_call();
    int ons_expected = 1;
    auto t0 = Clock::now();
    for (int i = 0; i < events; i++) {
        const std::string& e = cycle[static_cast<size_t>(i) % cycle.size()];
        if (e == incoming) ons_expected++;
        peer.run({"PUBLISH", "session-channel", e});
        // keep the lists short; the daemon's side is unaffected
        if (i % 1000 == 999) peer.run({"DEL", "writelog-channel", "control-channel"});
    }
    peer.run({"PUBLISH", "session-channel", bench::dtmf("123")});
    for (int ons = 0; ons < ons_expected;) {
        std::string v = popper.brpop("output-channel", 120);
        if (v.empty()) fail("the daemon did not finish the events");
        if (v == kRelayOn) ons++;
    }
    double s = us_since(t0) / 1e6;
    clear_lists(peer);
    return s;
}

void idle_cpu(int seconds, pid_t daemon, pid_t floor) {
    printf("\n== CPU time in %d s idle\n", seconds);
    long t0 = bench::cpu_ticks_of(daemon), f0 = bench::cpu_ticks_of(floor);
    long long n0 = bench::cpu_ns_of(daemon), fn0 = bench::cpu_ns_of(floor);
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double wall = us_since(start) / 1e6;
    long t1 = bench::cpu_ticks_of(daemon), f1 = bench::cpu_ticks_of(floor);
    long long n1 = bench::cpu_ns_of(daemon), fn1 = bench::cpu_ns_of(floor);
    double ms = static_cast<double>(n1 - n0) / 1e6;
    double fms = static_cast<double>(fn1 - fn0) / 1e6;
    double pct = ms / 10.0 / wall;  // ms per s of wall time, as % of one core
    printf("callctld  %.2f ms CPU (threads' run time; %ld ticks in /proc/PID/stat) = %.4f%% of one core "
           "(target < 0.1%%: %s)\n",
           ms, t1 - t0, pct, pct < 0.1 ? "met" : "NOT met");
    printf("floor     %.2f ms CPU (%ld ticks) = %.4f%% of one core\n", fms, f1 - f0, fms / 10.0 / wall);
    result("idle_cpu_ms", ms, "ms");
    result("idle_cpu_pct", pct, "%");
    result("idle_cpu_floor_ms", fms, "ms");
}

Options parse(int argc, char** argv) {
    Options o;
    o.arm64 = testsupport::source_path("build-arm64/service/daemon/callctld");
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) fail("missing value after " + a);
            return argv[++i];
        };
        if (a == "--calls") o.calls = std::stoi(next());
        else if (a == "--events") o.events = std::stoi(next());
        else if (a == "--idle-seconds") o.idle_seconds = std::stoi(next());
        else if (a == "--starts") o.starts = std::stoi(next());
        else if (a == "--arm64") o.arm64 = next();
        else fail("unknown argument " + a);
    }
    return o;
}

void measure(const Options& o) {

    testsupport::DeviceRoot root;
    testsupport::setup_sandbox_root(root.dir());
    const std::string conf = root.path(dev::SPEAKER_CONF);
    if (!root.exists(dev::SPEAKER_CONF)) fail("the sandbox settings are missing");
    testsupport::RedisServer redis(root);
    Conn peer(redis.socket());
    Conn popper(redis.socket());
    // Account 1 is registered when the daemon starts: its state is idle.
    peer.run({"SET", bench::kAccountStatusKey, "{\"status\":\"idle\"}"});

    binary_sizes(o);
    start_up(o, root.dir(), peer, redis.socket(), conf);
    EventCost cost = count_incoming(root.dir(), peer, popper);
    if (!wait_subscribers(peer, 0)) fail("the counting daemon's subscription outlived it");
    clear_lists(peer);

    testsupport::Daemon daemon(root.dir(), {});
    FloorProcess floor(redis.socket(), conf);
    if (!wait_subscribers(peer, 2)) fail("the daemon and the floor program did not subscribe");
    std::this_thread::sleep_for(std::chrono::seconds(2));  // let start-up settle
    printf("\n== memory (smaps_rollup)\n");
    bench::Memory floor_mem = bench::memory_of(floor.pid);
    bench::Memory idle = bench::memory_of(daemon.pid());
    print_memory("callctld idle", idle, floor_mem);
    result("rss_idle_kib", static_cast<double>(idle.rss_kb), "KiB");
    result("private_dirty_idle_kib", static_cast<double>(idle.private_dirty_kb), "KiB");
    result("rss_floor_kib", static_cast<double>(floor_mem.rss_kb), "KiB");
    result("private_dirty_floor_kib", static_cast<double>(floor_mem.private_dirty_kb), "KiB");

    latency(o, peer, popper, cost, redis.socket(), conf);

    printf("\n== %d events of the mixed stream (calls, DTMF, registrations)\n", o.events);
    double s = many_events(peer, popper, o.events);
    printf("handled in %.2f s: %.0f events/s through the whole process (the AI line's shell commands "
           "included)\n",
           s, o.events / s);
    result("process_events_per_s", o.events / s, "events/s");
    bench::Memory after = bench::memory_of(daemon.pid());
    print_memory("callctld after events", after, floor_mem);
    result("rss_after_events_kib", static_cast<double>(after.rss_kb), "KiB");
    result("private_dirty_after_events_kib", static_cast<double>(after.private_dirty_kb), "KiB");

    if (o.idle_seconds > 0) idle_cpu(o.idle_seconds, daemon.pid(), floor.pid);
    if (!daemon.alive()) fail("the daemon ended during the measurements");
}

}  // namespace

int main(int argc, char** argv) {
    install_sigpipe_handler();
    unsetenv("CALLCTLD_EMULATOR");  // the native daemon is measured
    try {
        measure(parse(argc, argv));
    } catch (const std::exception& e) {
        fprintf(stderr, "bench_daemon: %s\n", e.what());
        return 1;
    }
    return 0;
}
