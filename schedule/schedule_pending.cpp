#include "schedule.h"

std::atomic<int> SCHEDULE[SCHEDULE_ENTRIES + 1];

void schedule_clear() {
    for (auto& s : SCHEDULE) s.store(0, std::memory_order_relaxed);
}
void* handleDateTime(void*) { return nullptr; }
void* get_volume_info(void*) { return nullptr; }
