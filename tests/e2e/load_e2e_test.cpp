// The real daemon under a burst: call cycles on "session-channel" (four events
// each) and operation-log entries pushed by a peer at the same time, with a
// press of the call button in the middle. Nothing may be lost: every close
// leaves its call-detail line in order, every command reaches its list, and
// every log entry ends as a row in push order (or still waits in the list:
// the writer takes at most five a second). Resident memory stays flat.
//
// The CI size is 300 cycles (1,200 events) and 400 entries. CALLCTLD_LOAD_FULL=1 runs 2,500
// cycles (10,000 events) and 10,000 entries and waits for every row, which
// takes over an hour at five rows a second.
#include <gtest/gtest.h>

#include <hiredis.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "hardening_support.h"

namespace hardening {
namespace {

using Clock = std::chrono::steady_clock;
const std::string kOn = "{\"id\":\"gpio112\",\"type\":\"On\"}";
const std::string kOff = "{\"id\":\"gpio112\",\"type\":\"Off\"}";

bool full_size() {
    const char* v = getenv("CALLCTLD_LOAD_FULL");
    return v != nullptr && std::string(v) == "1";
}

std::string number_of(size_t cycle) { return std::to_string(10000 + cycle); }

Strings cycle_entries(size_t cycle) {
    return {"SIP STATE,INCOMING CALL,sip:" + number_of(cycle) + "@192.168.1.20", "SIP STATE,CALL ESTABLISHED,incoming",
            "FUNCTION,RECEIVE DTMF,7", "SIP STATE,CALL CLOSED,bye"};
}

// Publishes the cycles [from, to) and pushes the peer's entries [from_e, to_e)
// interleaved, pipelined on a connection of its own.
void burst(const std::string& socket, size_t from, size_t to, size_t from_e, size_t to_e) {
    redisContext* c = redisConnectUnix(socket.c_str());
    ASSERT_TRUE(c != nullptr && c->err == 0);
    size_t sent = 0;
    size_t cycles = to - from;
    size_t n_entries = to_e - from_e;
    size_t steps = std::max(cycles, n_entries);
    for (size_t i = 0; i < steps; i++) {
        if (i < cycles) {
            const std::string n = number_of(from + i);
            for (const std::string& msg :
                 {call("CALL_INCOMING", n), call("CALL_ESTABLISHED", n), call("CALL_DTMF_START", n, ",\"param\":\"7\""),
                  call("CALL_CLOSED", n, ",\"param\":\"bye\"")}) {
                redisAppendCommand(c, "PUBLISH session-channel %s", msg.c_str());
                ++sent;
            }
        }
        // the peer's entries at the same pace, spread over the whole burst
        for (size_t k = i * n_entries / steps; k < (i + 1) * n_entries / steps; k++) {
            redisAppendCommand(c, "LPUSH writelog-channel %s", ("LOAD,entry," + std::to_string(from_e + k)).c_str());
            ++sent;
        }
        if (sent >= 200 || i + 1 == steps) {
            for (; sent > 0; --sent) {
                void* r = nullptr;
                ASSERT_EQ(redisGetReply(c, &r), REDIS_OK);
                freeReplyObject(r);
            }
        }
    }
    redisFree(c);
}

TEST(LoadE2E, BurstLosesNothingKeepsOrderAndMemoryFlat) {
    const bool full = full_size();
    const size_t warmup = 20;
    const size_t cycles = full ? 2500 : 300;
    const size_t n_entries = full ? 10000 : 400;

    Sandbox sb;
    sb.set("/etc/speaker.conf", "key_action = call", "key_action = none");  // a press only beeps and logs
    Daemon daemon(sb.root.dir(), {});
    Peer peer(sb.socket());
    ASSERT_TRUE(eventually([&] { return ready(daemon, peer); }, std::chrono::seconds(20))) << daemon.output();
    publish(peer, kRegister);

    // a warm-up burst, then the resident memory it settles at
    burst(sb.socket(), 0, warmup, 0, 0);
    ASSERT_TRUE(eventually([&] { return lines(sb.root.read("/userdata/cdr.csv")).size() == warmup; },
                           std::chrono::seconds(60)));
    const long rss_base = status_field(daemon.pid(), "VmRSS");

    std::atomic<bool> done{false};
    long rss_peak = rss_base;
    const auto start = Clock::now();
    std::thread publisher([&] {
        burst(sb.socket(), warmup, warmup + cycles, 0, n_entries);
        done = true;
    });
    // a press in the middle of the burst: its beep must come while events pour in
    ASSERT_TRUE(eventually([&] { return lines(sb.root.read("/userdata/cdr.csv")).size() >= warmup + cycles / 10; },
                           std::chrono::seconds(120)));
    const auto pressed = Clock::now();
    std::thread presser([&] { press(sb.root); });  // the button goes down at once
    const std::string beep = "mpg123 " + sb.root.path("/home/quillhorn/target/share/sounds/beep.mp3");
    bool beeped = eventually([&] { return has(journal(sb.root.dir()), beep); }, std::chrono::seconds(30));
    const auto beep_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - pressed).count();
    const size_t closed_at_beep = lines(sb.root.read("/userdata/cdr.csv")).size();
    presser.join();
    EXPECT_TRUE(beeped) << "the call button answers during the burst";

    const size_t total = warmup + cycles;
    bool all_closed = eventually(
        [&] {
            rss_peak = std::max(rss_peak, status_field(daemon.pid(), "VmRSS"));
            return done && lines(sb.root.read("/userdata/cdr.csv")).size() >= total;
        },
        std::chrono::seconds(full ? 1800 : 120));
    publisher.join();
    ASSERT_TRUE(all_closed) << lines(sb.root.read("/userdata/cdr.csv")).size() << " of " << total;
    const auto events_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();

    // every close, in order, with its own number
    Strings cdr = lines(sb.root.read("/userdata/cdr.csv"));
    ASSERT_EQ(cdr.size(), total);
    size_t misplaced = 0;
    for (size_t i = 0; i < total; i++)
        if (cdr[i].find(",sip:201@192.168.1.10," + number_of(i) + ",") == std::string::npos) ++misplaced;
    EXPECT_EQ(misplaced, 0u);
    // relay on at each call, off at each close; two answer and two hang-up beeps
    ASSERT_TRUE(eventually([&] { return integer_reply(peer, {"LLEN", "control-channel"}) == static_cast<long long>(4 * total); }));
    Strings relay = peer.pushed("output-channel");
    ASSERT_EQ(relay.size(), 2 * total);
    size_t out_of_turn = 0;
    for (size_t i = 0; i < relay.size(); i++)
        if (relay[i] != (i % 2 == 0 ? kOn : kOff)) ++out_of_turn;
    EXPECT_EQ(out_of_turn, 0u);

    // the operation log: rows written so far, then what still waits in the
    // list, oldest first; taken when no entry is between the two
    Strings expected_daemon = {"SIP STATE,SIP REGISTERED,Primary SIP Account <sip:201@192.168.1.10>"};
    for (size_t i = 0; i < total; i++)
        for (auto& e : cycle_entries(i)) expected_daemon.push_back(e);
    Strings seen;
    auto snapshot = [&] {
        Strings before = peer.pushed("writelog-channel");
        Strings rows = entries(sb.root);
        Strings after = peer.pushed("writelog-channel");
        if (before != after) return false;
        seen = rows;
        seen.insert(seen.end(), after.begin(), after.end());
        return seen.size() == expected_daemon.size() + n_entries + 1;
    };
    if (full) {
        ASSERT_TRUE(eventually([&] { return integer_reply(peer, {"LLEN", "writelog-channel"}) == 0 && snapshot(); },
                               std::chrono::seconds(6000)));
    } else {
        ASSERT_TRUE(eventually(snapshot, std::chrono::seconds(30)));
    }
    Strings daemon_part, peer_part;
    size_t presses = 0;
    for (auto& e : seen) {
        if (e.rfind("LOAD,entry,", 0) == 0)
            peer_part.push_back(e);
        else if (e == "BUTTON,KEY,DOWN")
            ++presses;
        else
            daemon_part.push_back(e);
    }
    Strings expected_peer;
    for (size_t i = 0; i < n_entries; i++) expected_peer.push_back("LOAD,entry," + std::to_string(i));
    EXPECT_EQ(presses, 1u);
    EXPECT_TRUE(peer_part == expected_peer) << "the peer's entries, in push order";
    EXPECT_TRUE(daemon_part == expected_daemon) << "the daemon's entries, in order";
    const size_t rows_written = entries(sb.root).size();

    const long rss_after = status_field(daemon.pid(), "VmRSS");
    printf("load: %zu session events, %zu peer entries; the burst's closes all written %lld ms after it began; "
           "beep %lld ms after the press (%zu of %zu closes done then); rows written %zu of %zu; "
           "VmRSS base %ld kB, peak %ld kB, after %ld kB\n",
           4 * cycles, n_entries, static_cast<long long>(events_ms), static_cast<long long>(beep_ms),
           closed_at_beep, total, rows_written, seen.size(), rss_base, rss_peak, rss_after);
    if (!sanitized_build()) {
        // flat: the burst leaves no growth beyond allocator slack
        EXPECT_LT(rss_peak - rss_base, 4096) << "kB";
        EXPECT_LT(rss_after - rss_base, 2048) << "kB";
    }
    EXPECT_TRUE(daemon.alive());
    EXPECT_FALSE(sanitizer_report(daemon.output())) << daemon.output().substr(0, 4000);
}

}  // namespace
}  // namespace hardening
