// Shared set-up of the button tests: a device root with a real Redis server
// and the pool, and recording runners for shell commands, look-up pipelines
// and sleeps, so tests see the exact command texts instead of running them.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "call_state.h"
#include "debug.h"
#include "device.h"
#include "fixture.h"
#include "pool.h"

namespace buttons_test {

using Strings = std::vector<std::string>;

// A look-up's answer: rc as the pipe runner returns it (-1 not started,
// 0 no line, 1 a line) and the line, newline included.
struct Lookup {
    int rc = 0;
    std::string line;
};

struct Recorder {
    Strings events;                // "shell <cmd>", "pipe <cmd>", "sleep <us>", in order
    Lookup ip{1, "192.168.1.10\n"};  // answer of the IPv4 look-up
    Lookup mac{1, "0242c0a80132\n"};  // answer of the MAC look-up
    int state_after_sleep = -1;    // when >= 0, a sleep sets the call state
    Strings shell() const;         // the shell commands alone
};
Recorder& rec();

class ButtonsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void speaker(const std::string& ini) { root.write(dev::SPEAKER_CONF, ini); }
    // A device path with the root in front, as commands name it.
    std::string rooted(const std::string& device_path) const { return root.dir() + device_path; }
    Strings control() { return peer.pushed("control-channel"); }
    Strings oplog() { return peer.pushed("writelog-channel"); }
    void clear_bus() { peer.flushall(); rec().events.clear(); }

    testsupport::DeviceRoot root;
    testsupport::RedisServer redis{root};
    testsupport::Peer peer{redis.socket()};
};

void set_registered(int a1, int a2, int a3, int p2p = 0);
void remove_recorders();

}  // namespace buttons_test
