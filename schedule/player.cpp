// One scheduled playback: a player process with a control socket, started
// playing or paused, waited for, and cleaned up after.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bus.h"
#include "debug.h"
#include "device.h"
#include "oplog.h"
#include "outputs.h"
#include "schedule.h"
#include "settings.h"
#include "text.h"
#include "threads.h"

VlcSlot vlcInfo[VLC_SLOTS];

namespace {
constexpr const char* kAudioOn = "{\"name\": \"SCHEDULER-AUDIO\", \"action\": \"on\"}";
constexpr const char* kStartBeep = "s_beep.mp3";
constexpr const char* kEndBeep = "e_beep.mp3";
constexpr unsigned long kMarkDelayUs = 300000;    // from the start to marking the slot
constexpr unsigned long kSocketWaitUs = 200000;   // between looks for the control socket
constexpr int kCountedTries = 3;
// A command that fails while the socket exists is tried again at once, this
// many times in all; then the try counts as failed.
constexpr int kImmediateTries = 3;

std::atomic<int> g_players{0};
std::atomic<int> g_slot_players[VLC_SLOTS];

bool valid_slot(int slot) { return slot >= 1 && slot <= SCHEDULE_ENTRIES; }

void set_slot_name(int slot, const char* name) {
    std::atomic<char>* a = vlcInfo[slot].audio_name;
    const size_t cap = sizeof vlcInfo[slot].audio_name / sizeof a[0];
    size_t i = 0;
    for (; name[i] != '\0' && i < cap - 1; i++) a[i].store(name[i], std::memory_order_relaxed);
    a[i].store('\0', std::memory_order_relaxed);
}

void log_audio(const char* what, int slot) {
    char name[96];
    vlc_slot_name(slot, name, sizeof name);
    char detail[128];
    str_format(detail, sizeof detail, "%s: %s", what, name);
    writeLog("FUNCTION", "Audio Control", detail);
}

// One playlist line: the sound's absolute path.
void playlist_line(FILE* f, const char* name) { fprintf(f, "%s%s%s\n", dev::root(), dev::BARESIP_SOUNDS, name); }

// The number of plays a request asks for: empty or not a number plays the
// file in a loop (0).
int play_count(const char* play_times) {
    return play_times[0] != '\0' ? static_cast<int>(strtol(play_times, nullptr, 10)) : 0;
}

// A single file is played from a 64-byte path.
bool single_path(char (&path)[64], const char* file) {
    return str_format(path, sizeof path, "%s%s", dev::BARESIP_SOUNDS, file) < static_cast<int>(sizeof path);
}

// The slot a request's thread is counted in (0 for a slot out of range).
int counted_slot(const PlayRequest* req) {
    return req != nullptr && req->slot > 0 && req->slot < VLC_SLOTS ? req->slot : 0;
}

void* player_entry(void* arg) {
    const int slot = counted_slot(static_cast<PlayRequest*>(arg));
    handle_playAudio(arg);
    g_slot_players[slot].fetch_sub(1);
    g_players.fetch_sub(1);
    return nullptr;
}
}  // namespace

void vlc_slot_name(int slot, char* out, size_t cap) {
    if (cap == 0) return;
    size_t i = 0;
    if (slot >= 0 && slot < VLC_SLOTS) {
        const std::atomic<char>* a = vlcInfo[slot].audio_name;
        const size_t n = sizeof vlcInfo[slot].audio_name / sizeof a[0];
        for (; i + 1 < cap && i < n - 1; i++) {
            char c = a[i].load(std::memory_order_relaxed);
            if (c == '\0') break;
            out[i] = c;
        }
    }
    out[i] = '\0';
}

void reset_vlcInfo(int slot) {
    if (slot < 0 || slot >= VLC_SLOTS) return;
    vlcInfo[slot].process_id.store(0, std::memory_order_relaxed);
    vlcInfo[slot].priority.store(0, std::memory_order_relaxed);
}

int file_exists(const char* path) { return access(path, F_OK) == 0 ? 1 : 0; }

namespace {
// Sends cmd to the slot's control socket; pid > 0: only while the slot
// holds that player.
int send_command(const char* cmd, int slot, int pid) {
    dev::Path sock(dev::VLC_SOCK_FMT, slot);
    char line[640];
    str_format(line, sizeof line, "echo \"%s\" | socat - unix-connect:%s", cmd, sock.c_str());
    const auto gone = [&] {
        return pid > 0 && (slot < 0 || slot >= VLC_SLOTS ||
                           vlcInfo[slot].process_id.load(std::memory_order_relaxed) != pid);
    };
    int failures = 0;
    for (int tries = 0; tries < kCountedTries;) {
        if (gone()) return 0;
        if (file_exists(sock)) {
            if (debug_on()) printf("volume CMD: %s\n", line);
            if (dev::run_shell(line) == 0) return 1;
            if (++failures < kImmediateTries) continue;
            failures = 0;
        }
        dev::sleep_us(kSocketWaitUs);
        ++tries;
    }
    return 0;
}
}  // namespace

int vlc_cmd_action(const char* cmd, int slot) { return send_command(cmd, slot, 0); }

int vlc_cmd_player(const char* cmd, int slot, int pid) { return pid > 0 ? send_command(cmd, slot, pid) : 0; }

void playAudio(int slot, int count, int beep, const char* screen, const char* file, int priority,
               int volume) {
    if (!valid_slot(slot) || file == nullptr) return;
    // A single file is played from a 64-byte path; a name that does not fit
    // there is refused rather than cut into another file's name.
    char single[64];
    if (count == 0 && !single_path(single, file)) {
        if (debug_on()) puts("play failed!");
        return;
    }

    // Held until the slot is marked (or the start failed): a check that ran
    // in between would not see this playback at all.
    PriorityHold hold;
    bool paused = schedule_start_check_prio(priority) == 0;
    if (!paused) state_event(kAudioOn);

    dev::Path playlist(dev::PLAYLIST_FMT, slot);
    char item[512];
    if (count == 0) {
        str_copy(item, dev::Path(single));
    } else {
        FILE* f = dev::fopen_cloexec(playlist, "w+");
        if (f == nullptr) {
            if (debug_on()) puts("play failed!");
            return;
        }
        if (beep) playlist_line(f, kStartBeep);
        for (int i = 0; i < count; i++) playlist_line(f, file);
        if (beep) playlist_line(f, kEndBeep);
        fclose(f);
        str_copy(item, playlist);
    }

    char rc_unix[600];
    str_format(rc_unix, sizeof rc_unix, "--rc-unix=%s", dev::Path(dev::VLC_SOCK_FMT, slot).c_str());
    char gain[32];
    str_format(gain, sizeof gain, "--gain=%.02f", static_cast<double>(static_cast<float>(volume) / 100.0f));
    const char* args[] = {"vlc",   "--play-and-exit", "--control", "rc",
                          "--rc-fake-tty", rc_unix, paused ? "--start-paused" : "--no-start-paused",
                          count == 0 ? "--loop" : "--no-loop", gain, item, nullptr};
    pid_t pid = dev::spawn(dev::Path(dev::VLC), const_cast<char* const*>(args));
    if (pid > 0) {
        vlcInfo[slot].process_id.store(pid, std::memory_order_relaxed);
        dev::sleep_us(kMarkDelayUs);
        SCHEDULE[slot].store(paused ? 2 : 1, std::memory_order_relaxed);
        vlcInfo[slot].priority.store(priority, std::memory_order_relaxed);
        set_slot_name(slot, file);
        hold.release();
        log_audio("Play audio", slot);

        int status = 0;
        pid_t w;
        do {
            w = waitpid(pid, &status, 0);
        } while (w < 0 && errno == EINTR);
        if (w == pid) {
            if (debug_on()) printf("Child exited with status %i\n", status);
            SCHEDULE[slot].store(0, std::memory_order_relaxed);
            schedule_stop_check_prio(vlcInfo[slot].priority.load(std::memory_order_relaxed));
            reset_vlcInfo(slot);
            if (screen != nullptr && strcmp(screen, "Disabled") != 0) {
                char setting[40];
                str_format(setting, sizeof setting, "schedule_%d:trigger_screen", slot);
                screen_send("off", screen, setting);
            }
            log_audio("Stop audio", slot);
        }
    }
    if (count != 0) unlink(playlist);
}

void* handle_playAudio(void* arg) {
    PlayRequest* req = static_cast<PlayRequest*>(arg);
    if (req == nullptr) return nullptr;
    int count = play_count(req->play_times);
    int beep = is_yes(req->enBeep) ? 1 : 0;
    if (req->audio_file[0] != '\0')
        playAudio(req->slot, count, beep, req->trigger_screen, req->audio_file, req->priority, req->volume);
    delete req;
    return nullptr;
}

bool schedule_file_fits(const char* file, const char* play_times) {
    char single[64];
    char times[sizeof PlayRequest::play_times];
    str_copy(times, play_times);
    return strlen(file) < sizeof PlayRequest::audio_file && (play_count(times) != 0 || single_path(single, file));
}

bool start_player(PlayRequest* req) {
    const int slot = counted_slot(req);
    g_players.fetch_add(1);
    g_slot_players[slot].fetch_add(1);
    if (!start_detached(player_entry, req)) {
        puts("create thread1 handle_playAudio failed");
        delete req;
        g_slot_players[slot].fetch_sub(1);
        g_players.fetch_sub(1);
        return false;
    }
    return true;
}

int players_active() { return g_players.load(); }

int slot_players(int slot) { return slot >= 0 && slot < VLC_SLOTS ? g_slot_players[slot].load() : 0; }
