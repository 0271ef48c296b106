#include "buttons_fixture.h"

#include <cstring>

#include "calls.h"
#include "text.h"

namespace buttons_test {

namespace {
Recorder g_rec;

int record_shell(const char* cmd) {
    g_rec.events.emplace_back(std::string("shell ") + cmd);
    return 0;
}

int record_pipe(const char* cmd, char* line, size_t cap) {
    g_rec.events.emplace_back(std::string("pipe ") + cmd);
    const Lookup& answer = strstr(cmd, "grep ether") != nullptr ? g_rec.mac : g_rec.ip;
    memset(line, 0, cap);
    if (answer.rc == 1) str_copy(line, cap, answer.line.c_str());  // cut like fgets
    return answer.rc;
}

void record_sleep(unsigned long us) {
    g_rec.events.emplace_back("sleep " + std::to_string(us));
    if (g_rec.state_after_sleep >= 0) BARESIP_STATUS.store(g_rec.state_after_sleep);
}
}  // namespace

Recorder& rec() { return g_rec; }

Strings Recorder::shell() const {
    Strings out;
    for (const std::string& e : events)
        if (e.rfind("shell ", 0) == 0) out.push_back(e.substr(6));
    return out;
}

void set_registered(int a1, int a2, int a3, int p2p) {
    ACCOUNT1_REG.store(a1);
    ACCOUNT2_REG.store(a2);
    ACCOUNT3_REG.store(a3);
    ACCOUNTP2P_REG.store(p2p);
}

void remove_recorders() {
    dev::set_shell_runner(nullptr);
    dev::set_pipe_runner(nullptr);
    dev::set_sleeper(nullptr);
}

void ButtonsTest::SetUp() {
    redisClient = create_redis_pool_client(dev::REDIS_SOCK);
    g_rec = Recorder();
    dev::set_shell_runner(record_shell);
    dev::set_pipe_runner(record_pipe);
    dev::set_sleeper(record_sleep);
    DEBUG.store(0);
    BARESIP_STATUS.store(5);
    regcount.store(0);
    set_registered(0, 0, 0, 0);
}

void ButtonsTest::TearDown() {
    dial_wait_end();
    remove_recorders();
    DEBUG.store(0);
    redis_pool_destroy(redisClient);
    redisClient = nullptr;
}

}  // namespace buttons_test
