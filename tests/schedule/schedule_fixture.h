// Shared set-up of the scheduled-audio tests: a device root with the player
// stand-in, a real Redis server and the pool, and recorders of the shell
// commands and player starts (which still run them for real).
#pragma once
#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

#include "fixture.h"
#include "schedule.h"

namespace schedtest {

struct Spawned {
    std::string path;
    std::vector<std::string> argv;
    std::string item;               // the item file's text at the start
    pid_t pid = -1;
};
std::vector<std::string> shell_commands();
std::vector<std::string> kills();
std::vector<Spawned> spawns();
void fail_spawns(bool fail);  // record starts but start nothing
int recording_shell(const char* cmd);

// "[schedule_N]" with "key = value" lines.
std::string section(int n, const std::vector<std::pair<std::string, std::string>>& keys);
PlayRequest* request(int slot, int priority, const char* file, const char* play_times = "",
                     const char* screen = "Disabled", const char* enBeep = "no", int volume = 100);

class ScheduleTest : public ::testing::Test {
protected:
    testsupport::DeviceRoot root;
    testsupport::RedisServer redis{root};
    testsupport::Peer peer{redis.socket()};

    void SetUp() override;
    void TearDown() override;
    // Playing time per item of the stand-in player.
    void item_ms(int ms) { root.write("/vlc_item_ms", std::to_string(ms)); }
    void write_schedule(const std::string& text) { root.write("/oem/etc/schedule.conf", text); }
    std::vector<std::string> oplog() { return peer.pushed("writelog-channel"); }
    // Messages since the previous call, settled by a marker published after them.
    std::vector<std::string> settled(testsupport::Subscriber& sub, const std::string& channel);
    // Starts a playback on its own player thread and waits until it is marked.
    void start(int slot, int priority, const char* file = "a.mp3", const char* play_times = "");
    bool wait_state(int slot, int state);
    bool logged(const std::string& row);
    // The stand-in's journal for a player ("play ...", "pause", "resume", "end").
    std::vector<std::string> player_events(pid_t pid);
    // Slot n's live player as its journal shows it: '1' playing, '2' paused,
    // '0' when the slot holds no player.
    char player_state(int n);
    // Ends every player process and waits for every player thread.
    void end_players();
    // A process that lives until killed, as a player pid for the evaluation.
    pid_t sleeper();

private:
    std::vector<pid_t> sleepers_;
};

}  // namespace schedtest
