// Scheduled audio: schedule flags, evaluation, clock thread, volume listener.
#pragma once
#include <atomic>

enum { SCHEDULE_ENTRIES = 30 };

// Playback state per schedule entry 1..30 (index 0 unused):
// 0 idle, 1 playing, 2 paused.
extern std::atomic<int> SCHEDULE[SCHEDULE_ENTRIES + 1];

void schedule_clear();
// The clock thread (thread entry): starts the registration watchdog.
void* handleDateTime(void* arg);
// The volume listener (thread entry).
void* get_volume_info(void* arg);
