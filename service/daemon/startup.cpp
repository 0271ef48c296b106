#include "startup.h"

#include <cstdio>
#include <cstring>

#include "debug.h"
#include "device.h"
#include "oplog.h"
#include "outputs.h"
#include "pool.h"
#include "schedule.h"
#include "sip.h"
#include "threads.h"

namespace {
struct Worker {
    void* (*entry)(void*);
    const char* failure;
};
}  // namespace

void read_command_line(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "debug") == 0) DEBUG.store(1);
}

int init() {
    redisClient = create_redis_pool_client(dev::REDIS_SOCK);
    // a daemon that stopped during a timed release (or an On period under
    // its cap) may have left the door open
    relay_off_at_start();
    schedule_clear();
    sip_reg_status_init();

    static const Worker workers[] = {
        {baresip_status, "create thread1 baresip_status failed"},
        {write_opnlog, "create thread2 write_opnlog failed"},
        {handleDateTime, "create thread3 handleDateTime failed"},
        {get_volume_info, "create thread4 get_volume_info failed"},
        // the schedule's driver; it stays idle unless switched on
        {schedule_driver, "create thread5 schedule_driver failed"},
    };
    for (const Worker& w : workers) {
        if (!start_detached(w.entry, nullptr)) {
            puts(w.failure);
            return 0;
        }
    }
    return 1;
}
