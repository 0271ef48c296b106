// The volume listener's reply handler over any reply, with the player slots
// in any state. Input: bytes 0-7 give slots 1..8 a state (low 2 bits:
// idle, playing, paused) and a priority (high 6 bits, -8..55); byte 8 the
// reply's shape (as in the dispatcher target); the rest is the payload.
// Slots 1..4 have a control socket (commands reach them), the others none.
#include "debug.h"
#include "pool.h"
#include "schedule.h"
#include "support.h"

using namespace fuzzsupport;

namespace {
constexpr int kSlots = 8;
constexpr size_t kHeader = 9;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    record_runners();
    redisClient = nullptr;
    for (int s = 1; s <= 4; s++) write_file("/tmp/vlc_" + std::to_string(s) + ".sock", "");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    schedule_clear();
    for (int s = 1; s <= SCHEDULE_ENTRIES; s++) reset_vlcInfo(s);
    int before[kSlots + 1] = {0};
    for (int s = 1; s <= kSlots && static_cast<size_t>(s - 1) < size; s++) {
        uint8_t b = data[s - 1];
        int state = b & 3;
        if (state == 3) state = 0;
        SCHEDULE[s].store(state);
        vlcInfo[s].priority.store((b >> 2) - 8);
        before[s] = state;
    }
    if (size < kHeader) {
        ProcessVolumeReply(nullptr);
        return 0;
    }
    const uint8_t shape = data[kHeader - 1];
    DEBUG.store((shape >> 7) & 1);
    ReplyBuilder b;
    redisReply* reply;
    if ((shape & 3) != 3 || size < kHeader + 8) {
        reply = b.message(std::string(reinterpret_cast<const char*>(data) + kHeader, size - kHeader));
    } else {
        FuzzedDataProvider tree(data + kHeader, 8);
        reply = b.any(tree, std::string(reinterpret_cast<const char*>(data) + kHeader + 8, size - kHeader - 8));
    }
    ProcessVolumeReply(reply);
    for (int s = 1; s <= SCHEDULE_ENTRIES; s++) {
        int st = SCHEDULE[s].load();
        check(st >= 0 && st <= 2, "entry states stay idle, playing or paused");
        if (s > kSlots || before[s] == 0) check(st == 0, "an idle entry is never paused or resumed");
        // without a control socket no command is delivered, so nothing changes
        if (s > 4 && s <= kSlots) check(st == before[s], "a slot without a socket keeps its state");
    }
    DEBUG.store(0);
    return 0;
}
