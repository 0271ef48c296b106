#include "device.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "text.h"

namespace dev {
namespace {
std::atomic<bool> g_root_read{false};
char g_root[256];

std::atomic<ShellRunner> g_shell{nullptr};
std::atomic<PipeRunner> g_pipe{nullptr};
std::atomic<SpawnRunner> g_spawn{nullptr};
std::atomic<Clock> g_clock{nullptr};
std::atomic<Sleeper> g_sleep{nullptr};

// In a device root (never on the device) the clock may be moved: the file
// CLOCK_OFFSET under the root holds signed seconds added to the wall clock.
time_t real_clock() {
    time_t t = time(nullptr);
    if (root()[0] == '\0') return t;
    FILE* f = fopen_cloexec(Path(CLOCK_OFFSET), "r");
    if (f == nullptr) return t;
    long long offset = 0;
    if (fscanf(f, "%lld", &offset) != 1) offset = 0;
    fclose(f);
    return t + static_cast<time_t>(offset);
}
void real_sleep(unsigned long us) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(us / 1000000UL);
    ts.tv_nsec = static_cast<long>(us % 1000000UL) * 1000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}
}  // namespace

const char* root() {
    if (!g_root_read.load(std::memory_order_acquire)) {
        const char* env = getenv("CALLCTLD_ROOT");
        str_copy(g_root, env ? env : "");
        // a root of "/" or ending in "/" would double the slash
        size_t n = strlen(g_root);
        while (n > 0 && g_root[n - 1] == '/') g_root[--n] = '\0';
        g_root_read.store(true, std::memory_order_release);
    }
    return g_root;
}

void set_root(const char* r) {
    str_copy(g_root, r ? r : "");
    size_t n = strlen(g_root);
    while (n > 0 && g_root[n - 1] == '/') g_root[--n] = '\0';
    g_root_read.store(true, std::memory_order_release);
}

Path::Path(const char* abs) { str_format(buf_, sizeof buf_, "%s%s", root(), abs); }

Path::Path(const char* fmt, int n) {
    char rel[256];
    str_format(rel, sizeof rel, fmt, n);
    str_format(buf_, sizeof buf_, "%s%s", root(), rel);
}

int real_shell(const char* cmd) { return system(cmd); }

int real_pipe(const char* cmd, char* line, size_t cap) {
    FILE* p = popen(cmd, "re");
    if (p == nullptr) return -1;
    memset(line, 0, cap);
    int got = fgets(line, static_cast<int>(cap), p) != nullptr ? 1 : 0;
    // drain the rest so the pipeline is not killed by SIGPIPE half-way
    char sink[256];
    while (fgets(sink, sizeof sink, p) != nullptr) {
    }
    pclose(p);
    return got;
}

pid_t real_spawn(const char* path, char* const argv[]) {
    pid_t pid = -1;
    char* envp[] = {nullptr};
    if (posix_spawn(&pid, path, nullptr, nullptr, argv, envp) != 0) return -1;
    return pid;
}

int run_shell(const char* cmd) {
    ShellRunner r = g_shell.load();
    return r ? r(cmd) : real_shell(cmd);
}
int run_pipe(const char* cmd, char* line, size_t cap) {
    PipeRunner r = g_pipe.load();
    return r ? r(cmd, line, cap) : real_pipe(cmd, line, cap);
}
pid_t spawn(const char* path, char* const argv[]) {
    SpawnRunner r = g_spawn.load();
    return r ? r(path, argv) : real_spawn(path, argv);
}
time_t now() {
    Clock c = g_clock.load();
    return c ? c() : real_clock();
}
void sleep_us(unsigned long us) {
    Sleeper s = g_sleep.load();
    if (s) s(us); else real_sleep(us);
}

ShellRunner set_shell_runner(ShellRunner r) { return g_shell.exchange(r); }
PipeRunner set_pipe_runner(PipeRunner r) { return g_pipe.exchange(r); }
SpawnRunner set_spawn_runner(SpawnRunner r) { return g_spawn.exchange(r); }
Clock set_clock(Clock c) { return g_clock.exchange(c); }
Sleeper set_sleeper(Sleeper s) { return g_sleep.exchange(s); }

FILE* fopen_cloexec(const char* path, const char* mode) {
    char m[8];
    str_format(m, sizeof m, "%se", mode);
    return fopen(path, m);
}

int open_read_cloexec(const char* path) { return open(path, O_RDONLY | O_CLOEXEC); }

}  // namespace dev
