// Function benchmarks, each beside the floor it is compared with, measured in
// the same run against the same file and the same Redis server:
//   settings look-up (GetCmdValue)      vs  bare iniparser load + get + free
//   pool loan (get_context + release)   vs  one PING round trip
//   dispatcher (ProcessReply), mixed stream, in events per second, vs the
//   round trips and look-ups that stream needs
// The device is the sandbox speaker (sandbox/setup-root.sh) with a private
// redis-server on its "/tmp/redis.sock".
#include <benchmark/benchmark.h>
#include <hiredis.h>
#include <iniparser.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "bench_util.h"
#include "bus.h"
#include "daemon.h"
#include "debug.h"
#include "device.h"
#include "fixture.h"
#include "pool.h"
#include "settings.h"
#include "signals.h"
#include "sip.h"

namespace {

struct World {
    testsupport::DeviceRoot root;
    std::unique_ptr<testsupport::RedisServer> redis;
    std::string speaker_conf;  // host path of "/etc/speaker.conf"
    redisContext* raw = nullptr;  // a private connection for PING and clean-up
};
World* g_world = nullptr;

// The keys an incoming call reads before its relay command, and the one after.
const char* const kIncomingKeys[] = {"relay_ctrl:call_state", "relay_ctrl:state_info", "relay_ctrl:type",
                                     "relay_ctrl:mode"};

void BM_GetCmdValue(benchmark::State& state) {
    char value[32];
    size_t i = 0;
    for (auto _ : state) {
        GetCmdValue(dev::SPEAKER_CONF, kIncomingKeys[i++ & 3], value);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_GetCmdValue);

// The floor: the library's own load, look-up and free of the same file.
void BM_BareIniparser(benchmark::State& state) {
    char value[32];
    size_t i = 0;
    for (auto _ : state) {
        dictionary* d = iniparser_load(g_world->speaker_conf.c_str());
        const char* v = iniparser_getstring(d, kIncomingKeys[i++ & 3], "");
        strncpy(value, v ? v : "", sizeof value - 1);
        value[sizeof value - 1] = '\0';
        iniparser_freedict(d);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_BareIniparser);

void BM_PoolLoan(benchmark::State& state) {
    for (auto _ : state) {
        int slot = redis_pool_get_context(redisClient);
        if (slot < 0) {
            state.SkipWithError("no pool slot");
            break;
        }
        redis_pool_release_connection(redisClient, slot);
    }
}
BENCHMARK(BM_PoolLoan);

// The floor of a loan: the PING it sends, on a connection of its own.
void BM_Ping(benchmark::State& state) {
    for (auto _ : state) {
        redisReply* r = static_cast<redisReply*>(redisCommand(g_world->raw, "PING"));
        if (r == nullptr) {
            state.SkipWithError("PING failed");
            break;
        }
        freeReplyObject(r);
    }
}
BENCHMARK(BM_Ping);

int record_shell(const char*) { return 0; }

void clear_lists() {
    redisReply* r = static_cast<redisReply*>(
        redisCommand(g_world->raw, "DEL writelog-channel control-channel output-channel"));
    if (r) freeReplyObject(r);
}

// Puts the speaker into the idle state with account 1 registered, as a
// working device is between calls.
void idle_registered() {
    BARESIP_STATUS.store(0);
    CURRENT_CALLS.store(0);
    ACCOUNT1_REG.store(1);
    memset(DTMF_STRING, 0, sizeof DTMF_STRING);
}

// arg 0: the AI line's shell command really runs; 1: the shell runner only
// records it (the dispatcher, Redis and settings without the outside program).
void BM_Dispatch(benchmark::State& state) {
    const bool recorded_shell = state.range(0) == 1;
    dev::ShellRunner old = dev::set_shell_runner(recorded_shell ? record_shell : nullptr);
    std::vector<redisReply*> stream;
    for (const std::string& e : bench::mixed_cycle()) stream.push_back(bench::message_reply(e));
    idle_registered();
    clear_lists();
    size_t n = 0;
    for (auto _ : state) {
        for (redisReply* r : stream) ProcessReply(r);
        n += stream.size();
        if ((n & 1023) < stream.size()) {
            state.PauseTiming();
            clear_lists();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(n));
    if (BARESIP_STATUS.load() != 0 || CURRENT_CALLS.load() != 0)
        state.SkipWithError("the stream did not end idle");
    for (redisReply* r : stream) freeReplyObject(r);
    dev::set_shell_runner(old);
    clear_lists();
}
BENCHMARK(BM_Dispatch)->Arg(0)->Arg(1)->ArgName("recorded_shell")->MinTime(2.0)->UseRealTime();

// ---- the floor of the dispatcher ------------------------------------------------

struct CycleCost {
    long long round_trips = 0;  // commands the pool sent (PING of each loan included)
    int lookups = 0;            // settings look-ups
    size_t events = 0;
};

// Dispatches one mixed cycle with the debug output on and counts what it
// needed: settings look-ups from the "keystr:" lines, round trips from the
// server's own command counters.
CycleCost count_cycle() {
    CycleCost c;
    std::vector<std::string> cycle = bench::mixed_cycle();
    c.events = cycle.size();
    dev::ShellRunner old = dev::set_shell_runner(record_shell);
    idle_registered();
    const char* cmds[] = {"ping", "lpush", "publish"};
    long long before = 0;
    for (const char* k : cmds) before += bench::commandstat(g_world->raw, k);
    char path[] = "/tmp/callctld-bench-out-XXXXXX";
    int fd = mkstemp(path);
    fflush(stdout);
    int saved = dup(1);
    dup2(fd, 1);
    DEBUG.store(1);
    for (const std::string& e : cycle) {
        redisReply* r = bench::message_reply(e);
        ProcessReply(r);
        freeReplyObject(r);
    }
    DEBUG.store(0);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fd);
    long long after = 0;
    for (const char* k : cmds) after += bench::commandstat(g_world->raw, k);
    c.round_trips = after - before;
    std::ifstream f(path);
    for (std::string l; std::getline(f, l);)
        if (l.rfind("keystr:", 0) == 0) c.lookups++;
    unlink(path);
    dev::set_shell_runner(old);
    clear_lists();
    return c;
}

// Collects the medians (or the single runs) and prints each figure against
// its floor when the run ends.
class FloorReporter : public benchmark::ConsoleReporter {
public:
    // colours only on a terminal
    FloorReporter() : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
            std::string name = r.run_name.function_name + (r.run_name.args.empty() ? "" : "/" + r.run_name.args);
            ns_[name] = r.GetAdjustedRealTime();  // ns per iteration (default unit)
            if (r.counters.count("items_per_second"))
                per_s_[name] = r.counters.at("items_per_second").value;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto get = [&](const std::string& n) { return ns_.count(n) ? ns_[n] / 1000.0 : -1.0; };
        printf("\n== against the floor (medians; us)\n");
        double look = get("BM_GetCmdValue"), bare = get("BM_BareIniparser");
        if (look > 0 && bare > 0)
            printf("settings look-up      %8.2f us  floor (bare iniparser)  %8.2f us  ratio %.2f\n", look, bare,
                   look / bare);
        double loan = get("BM_PoolLoan"), ping = get("BM_Ping");
        if (loan > 0 && ping > 0)
            printf("pool loan             %8.2f us  floor (one PING)        %8.2f us  ratio %.2f\n", loan, ping,
                   loan / ping);
        const std::string rec = "BM_Dispatch/recorded_shell:1", real = "BM_Dispatch/recorded_shell:0";
        if (cost.events > 0 && per_s_.count(rec) && ping > 0 && bare > 0) {
            double floor_us = (static_cast<double>(cost.round_trips) * ping + cost.lookups * bare) /
                              static_cast<double>(cost.events);
            double got_us = 1e6 / per_s_[rec];
            printf("dispatcher, mixed     %8.0f events/s (%.1f us/event; %zu events: %lld round trips, %d look-ups)\n",
                   per_s_[rec], got_us, cost.events, cost.round_trips, cost.lookups);
            printf("  floor               %8.0f events/s (%.1f us/event)  ratio %.2f\n", 1e6 / floor_us, floor_us,
                   got_us / floor_us);
        }
        if (per_s_.count(real))
            printf("dispatcher, mixed, with the AI line's shell commands run: %.0f events/s\n", per_s_[real]);
    }
    CycleCost cost;

private:
    std::map<std::string, double> ns_;
    std::map<std::string, double> per_s_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    install_sigpipe_handler();

    World world;
    g_world = &world;
    testsupport::setup_sandbox_root(world.root.dir());
    world.speaker_conf = world.root.path(dev::SPEAKER_CONF);
    if (!world.root.exists(dev::SPEAKER_CONF)) {
        fprintf(stderr, "the sandbox settings are missing in %s\n", world.root.dir().c_str());
        return 1;
    }
    world.redis = std::make_unique<testsupport::RedisServer>(world.root);
    world.raw = redisConnectUnix(world.redis->socket().c_str());
    redisClient = create_redis_pool_client(dev::REDIS_SOCK);
    if (world.raw == nullptr || world.raw->err || redisClient == nullptr) {
        fprintf(stderr, "no Redis on %s\n", world.redis->socket().c_str());
        return 1;
    }

    FloorReporter reporter;
    reporter.cost = count_cycle();
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    redis_pool_destroy(redisClient);
    redisClient = nullptr;
    redisFree(world.raw);
    return 0;
}
