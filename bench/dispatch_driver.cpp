// Runs N units of one kind of work in-process against the sandbox speaker's
// settings and a private redis-server, each unit inside bench_measured(), so
// that valgrind --tool=callgrind --toggle-collect='bench_measured*' counts
// the instructions of those units alone (bench/callgrind.sh):
//   mixed     ProcessReply of the mixed event stream (calls, DTMF, registrations)
//   incoming  ProcessReply of CALL_INCOMING + CALL_CLOSED pairs
//   lookup    GetCmdValue of the keys an incoming call reads
//   bare      iniparser_load + iniparser_getstring + iniparser_freedict of
//             the same file and keys (the floor of a look-up)
// Usage: bench_dispatch N [mixed|incoming|lookup|bare]
#include <hiredis.h>
#include <iniparser.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "daemon.h"
#include "device.h"
#include "fixture.h"
#include "pool.h"
#include "settings.h"
#include "signals.h"
#include "sip.h"

namespace {
// The AI line's echo command is not run: the count is the daemon's own.
int record_shell(const char*) { return 0; }

const char* const kKeys[] = {"relay_ctrl:call_state", "relay_ctrl:state_info", "relay_ctrl:type",
                             "relay_ctrl:mode"};
std::vector<redisReply*> g_stream;
std::string g_conf;  // host path of the speaker's settings
char g_value[64];

void dispatch(long i) { ProcessReply(g_stream[static_cast<size_t>(i) % g_stream.size()]); }
void lookup(long i) { GetCmdValue(dev::SPEAKER_CONF, kKeys[i & 3], g_value); }
void bare(long i) {
    dictionary* d = iniparser_load(g_conf.c_str());
    const char* v = iniparser_getstring(d, kKeys[i & 3], "");
    snprintf(g_value, sizeof g_value, "%s", v ? v : "");
    iniparser_freedict(d);
}
}  // namespace

// The unit of work that callgrind counts.
extern "C" __attribute__((noinline)) void bench_measured(void (*work)(long), long i) { work(i); }

int main(int argc, char** argv) {
    const long n = argc > 1 ? atol(argv[1]) : 0;
    const std::string kind = argc > 2 ? argv[2] : "mixed";
    if (n <= 0 || (kind != "mixed" && kind != "incoming" && kind != "lookup" && kind != "bare")) {
        fprintf(stderr, "usage: bench_dispatch N [mixed|incoming|lookup|bare]\n");
        return 2;
    }
    install_sigpipe_handler();

    testsupport::DeviceRoot root;
    testsupport::setup_sandbox_root(root.dir());
    g_conf = root.path(dev::SPEAKER_CONF);
    auto redis = std::make_unique<testsupport::RedisServer>(root);
    redisClient = create_redis_pool_client(dev::REDIS_SOCK);
    redisContext* raw = redisConnectUnix(redis->socket().c_str());
    if (raw == nullptr || raw->err) {
        fprintf(stderr, "no Redis on %s\n", redis->socket().c_str());
        return 1;
    }
    dev::set_shell_runner(record_shell);

    std::vector<std::string> texts =
        kind == "incoming" ? std::vector<std::string>{bench::incoming_call(), bench::call_closed("incoming")}
                           : bench::mixed_cycle();
    for (const std::string& t : texts) g_stream.push_back(bench::message_reply(t));
    void (*work)(long) = kind == "lookup" ? lookup : kind == "bare" ? bare : dispatch;

    BARESIP_STATUS.store(0);
    ACCOUNT1_REG.store(1);
    for (long i = 0; i < n; i++) {
        bench_measured(work, i);
        if (i % 1024 == 1023) {
            redisReply* r = static_cast<redisReply*>(
                redisCommand(raw, "DEL writelog-channel control-channel output-channel"));
            if (r) freeReplyObject(r);
        }
    }
    int ok = work == dispatch ? BARESIP_STATUS.load() == 0 && CURRENT_CALLS.load() == 0 : strcmp(g_value, "") != 0;
    printf("%ld units of %s; %s\n", n, kind.c_str(), ok ? "ended as expected" : "ENDED IN AN UNEXPECTED STATE");

    for (redisReply* r : g_stream) freeReplyObject(r);
    redisFree(raw);
    redis_pool_destroy(redisClient);
    redisClient = nullptr;
    return ok ? 0 : 1;
}
