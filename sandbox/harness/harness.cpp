// schedule-harness: evaluates the audio schedule of a simulated device for the
// minutes it is given on standard input, with the volume listener running.
//
//   CALLCTLD_ROOT=<root> schedule-harness [debug]
//
// Commands, one per line:
//   minute YEAR MONTH DAY HOUR MIN WEEKDAY   evaluate that minute
//   now                                      evaluate the current local minute
//                                            (weekday 1 Monday .. 7 Sunday)
//   state                                    print the entries that play or pause
//   marked ENTRY SECONDS                     wait until the entry plays or pauses
//   wait SECONDS                             wait until no playback is left
//   quit                                     end (also at the end of input);
//                                            playbacks still running are stopped
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "debug.h"
#include "device.h"
#include "pool.h"
#include "schedule.h"
#include "signals.h"
#include "threads.h"

namespace {

void print_state() {
    int shown = 0;
    for (int n = 1; n <= SCHEDULE_ENTRIES; n++) {
        int st = SCHEDULE[n].load();
        if (st == 0) continue;
        char name[96];
        vlc_slot_name(n, name, sizeof name);
        printf("entry %d %s pid %d priority %d file %s\n", n, st == 1 ? "playing" : "paused",
               vlcInfo[n].process_id.load(), vlcInfo[n].priority.load(), name);
        ++shown;
    }
    if (shown == 0) puts("no entry plays");
}

void evaluate(int year, int month, int day, int hour, int minute, int weekday) {
    printf("schedule %04d-%02d-%02d %02d:%02d weekday %d\n", year, month, day, hour, minute, weekday);
    schedule(year, month, day, hour, minute, weekday);
}

void wait_marked(int n, int seconds) {
    if (n < 1 || n > SCHEDULE_ENTRIES) n = 0;
    for (int i = 0; n != 0 && i < seconds * 10 && SCHEDULE[n].load() == 0; i++) dev::sleep_us(100000);
    int st = n != 0 ? SCHEDULE[n].load() : 0;
    printf("entry %d %s\n", n, st == 1 ? "playing" : st == 2 ? "paused" : "idle");
}

bool wait_idle(int seconds) {
    for (int i = 0; i < seconds * 10; i++) {
        if (players_active() == 0) return true;
        dev::sleep_us(100000);
    }
    return players_active() == 0;
}
}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // as in the daemon: a write to a Redis server that went away fails
    // instead of ending the process
    install_sigpipe_handler();
    if (argc == 2 && strcmp(argv[1], "debug") == 0) DEBUG.store(1);
    printf("device root: %s\n", dev::root()[0] ? dev::root() : "(none)");
    redisClient = create_redis_pool_client(dev::REDIS_SOCK);
    if (!start_detached(get_volume_info, nullptr)) {
        puts("create thread4 get_volume_info failed");
        return 1;
    }
    char line[256];
    while (fgets(line, sizeof line, stdin) != nullptr) {
        int y, mo, d, h, mi, wd, n, secs;
        char word[16] = "";
        if (sscanf(line, "%15s", word) != 1) continue;
        if (strcmp(word, "minute") == 0 && sscanf(line, "minute %d %d %d %d %d %d", &y, &mo, &d, &h, &mi, &wd) == 6) {
            evaluate(y, mo, d, h, mi, wd);
        } else if (strcmp(word, "now") == 0) {
            time_t t = dev::now();
            struct tm tm;
            localtime_r(&t, &tm);
            evaluate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                     tm.tm_wday == 0 ? 7 : tm.tm_wday);
        } else if (strcmp(word, "state") == 0) {
            print_state();
        } else if (strcmp(word, "marked") == 0 && sscanf(line, "marked %d %d", &n, &secs) == 2) {
            wait_marked(n, secs);
        } else if (strcmp(word, "wait") == 0 && sscanf(line, "wait %d", &secs) == 1) {
            puts(wait_idle(secs) ? "idle" : "still playing");
        } else if (strcmp(word, "quit") == 0) {
            break;
        } else {
            printf("unknown command: %s", line);
        }
    }
    // playbacks end with the session
    for (int n = 1; n <= SCHEDULE_ENTRIES; n++) {
        int pid = vlcInfo[n].process_id.load();
        if (pid > 0) kill(pid, SIGKILL);
    }
    wait_idle(5);
    puts("bye");
    return 0;
}
