// The operation log: producers push "category,event,detail" entries onto the
// "writelog-channel" list; one writer thread pops them and appends them,
// time-stamped, to "/userdata/system.csv".
#pragma once
#include <atomic>

enum { OPLOG_ENTRY_SIZE = 256 };

// Formats the entry (cut to 255 characters) and pushes it. Any thread.
void writeLog(const char* category, const char* event, const char* detail);

// The writer thread's entry: never returns.
void* write_opnlog(void* arg);

// The writer's loop, with the knobs tests need: the blocking pop's time-out in
// seconds (60 in the daemon) and a flag that ends the loop when set.
void oplog_writer_run(int pop_timeout_s, const std::atomic<bool>* stop);
