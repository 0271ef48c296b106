#include "schedule_fixture.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "daemon.h"
#include "device.h"
#include "pool.h"

extern char** environ;

namespace schedtest {
using testsupport::eventually;

namespace {
std::mutex g_m;
std::vector<std::string> g_shell;
std::vector<Spawned> g_spawns;
bool g_fail_spawns = false;

pid_t recording_spawn(const char* path, char* const argv[]) {
    Spawned s;
    s.path = path;
    for (int i = 0; argv[i] != nullptr; i++) s.argv.push_back(argv[i]);
    std::stringstream ss;
    ss << std::ifstream(s.argv.back()).rdbuf();
    s.item = ss.str();
    std::lock_guard<std::mutex> g(g_m);
    if (!g_fail_spawns) s.pid = dev::real_spawn(path, argv);
    g_spawns.push_back(s);
    return s.pid;
}
int refuse_all(const char*) { return 1; }
void no_sleep(unsigned long) {}
void ignore_signal(int) {}
}  // namespace

std::vector<std::string> shell_commands() {
    std::lock_guard<std::mutex> g(g_m);
    return g_shell;
}
std::vector<std::string> kills() {
    std::vector<std::string> out;
    for (auto& c : shell_commands())
        if (c.rfind("kill", 0) == 0) out.push_back(c);
    return out;
}
std::vector<Spawned> spawns() {
    std::lock_guard<std::mutex> g(g_m);
    return g_spawns;
}
void fail_spawns(bool fail) {
    std::lock_guard<std::mutex> g(g_m);
    g_fail_spawns = fail;
}

// Runs every command but a kill of a pid that is not positive, which would
// hit the test's own process group.
int recording_shell(const char* cmd) {
    {
        std::lock_guard<std::mutex> g(g_m);
        g_shell.push_back(cmd);
    }
    if (strncmp(cmd, "kill -9 ", 8) == 0 && atoi(cmd + 8) <= 0) return 0;
    return dev::real_shell(cmd);
}

std::string section(int n, const std::vector<std::pair<std::string, std::string>>& keys) {
    std::string s = "[schedule_" + std::to_string(n) + "]\n";
    for (auto& kv : keys) s += kv.first + " = " + kv.second + "\n";
    return s;
}

PlayRequest* request(int slot, int priority, const char* file, const char* play_times, const char* screen,
                     const char* enBeep, int volume) {
    PlayRequest* r = new PlayRequest{slot, priority, volume, {}, {}, {}, {}};
    snprintf(r->audio_file, sizeof r->audio_file, "%s", file);
    snprintf(r->play_times, sizeof r->play_times, "%s", play_times);
    snprintf(r->enBeep, sizeof r->enBeep, "%s", enBeep);
    snprintf(r->trigger_screen, sizeof r->trigger_screen, "%s", screen);
    return r;
}

void ScheduleTest::SetUp() {
    // as in the daemon: a write to a server that went away fails instead of
    // ending the process
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = ignore_signal;
    sigaction(SIGPIPE, &sa, nullptr);
    std::string cp = "mkdir -p '" + root.path("/usr/sbin") + "' && cp '" +
                     testsupport::source_path("sandbox/standins/root/usr/sbin/vlc") + "' '" + root.path("/usr/sbin/") + "'";
    ASSERT_EQ(system(cp.c_str()), 0);
    item_ms(60000);
    schedule_clear();
    for (auto& slot : vlcInfo) {
        slot.process_id.store(0);
        slot.priority.store(0);
        slot.audio_name[0].store('\0');
    }
    {
        std::lock_guard<std::mutex> g(g_m);
        g_shell.clear();
        g_spawns.clear();
        g_fail_spawns = false;
    }
    dev::set_shell_runner(recording_shell);
    dev::set_spawn_runner(recording_spawn);
    redisClient = create_redis_pool_client(dev::REDIS_SOCK);
}

void ScheduleTest::end_players() {
    // Ending one player may resume another that is ending too: let those
    // commands fail at once.
    dev::ShellRunner shell = dev::set_shell_runner(refuse_all);
    dev::Sleeper sleep = dev::set_sleeper(no_sleep);
    EXPECT_TRUE(eventually(
        [&] {
            for (auto& slot : vlcInfo)
                if (slot.process_id.load() > 0) kill(slot.process_id.load(), SIGKILL);
            return players_active() == 0;
        },
        std::chrono::seconds(15)));
    dev::set_shell_runner(shell);
    dev::set_sleeper(sleep);
}

void ScheduleTest::TearDown() {
    end_players();
    for (pid_t p : sleepers_) {
        kill(p, SIGKILL);
        waitpid(p, nullptr, 0);
    }
    dev::set_shell_runner(nullptr);
    dev::set_spawn_runner(nullptr);
    dev::set_sleeper(nullptr);
    redis_pool_destroy(redisClient);
    redisClient = nullptr;
}

std::vector<std::string> ScheduleTest::settled(testsupport::Subscriber& sub, const std::string& channel) {
    static int marker_no = 0;
    std::string marker = "marker-" + std::to_string(++marker_no);
    peer.run({"PUBLISH", channel, marker});
    std::vector<std::string> out;
    eventually([&] {
        auto m = sub.messages();
        size_t from = 0;  // after the previous marker
        for (size_t i = 0; i < m.size(); i++) {
            if (m[i] == marker) {
                out.assign(m.begin() + static_cast<long>(from), m.begin() + static_cast<long>(i));
                return true;
            }
            if (m[i].rfind("marker-", 0) == 0) from = i + 1;
        }
        return false;
    });
    return out;
}

bool ScheduleTest::wait_state(int slot, int state) {
    return eventually([&] { return SCHEDULE[slot].load() == state; }, std::chrono::seconds(10));
}

bool ScheduleTest::logged(const std::string& row) {
    return eventually([&] {
        auto l = oplog();
        return std::find(l.begin(), l.end(), row) != l.end();
    });
}

void ScheduleTest::start(int slot, int priority, const char* file, const char* play_times) {
    ASSERT_TRUE(start_player(request(slot, priority, file, play_times)));
    ASSERT_TRUE(eventually([&] { return SCHEDULE[slot].load() != 0; }, std::chrono::seconds(10)))
        << "slot " << slot << " was never marked";
}

std::vector<std::string> ScheduleTest::player_events(pid_t pid) {
    std::string prefix = "vlc[" + std::to_string(pid) + "] ";
    std::vector<std::string> out;
    for (auto& l : testsupport::journal(root.dir()))
        if (l.rfind(prefix, 0) == 0) out.push_back(l.substr(prefix.size()));
    return out;
}

char ScheduleTest::player_state(int n) {
    const pid_t pid = vlcInfo[n].process_id.load();
    if (pid <= 0) return '0';
    for (auto& sp : spawns()) {
        if (sp.pid != pid) continue;
        auto ev = player_events(pid);
        bool playing = std::find(sp.argv.begin(), sp.argv.end(), "--no-start-paused") != sp.argv.end();
        if (std::count(ev.begin(), ev.end(), "pause") != std::count(ev.begin(), ev.end(), "resume")) playing = !playing;
        return playing ? '1' : '2';
    }
    return '0';
}

pid_t ScheduleTest::sleeper() {
    pid_t pid;
    char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("300"), nullptr};
    EXPECT_EQ(posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ), 0);
    sleepers_.push_back(pid);
    return pid;
}

}  // namespace schedtest
