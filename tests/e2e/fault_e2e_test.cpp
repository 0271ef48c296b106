// The real daemon under faults: the Redis server killed and restarted in the
// middle of calls, absent at start, "/userdata" unwritable or full, storms of
// "log_clean", broken settings files, missing GPIO files, and outside
// programs that hang or fail. Each test checks that the daemon lives on and
// that what it owes (commands, call-detail lines, log rows) still arrives.
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <thread>

#include "hardening_support.h"

namespace hardening {
namespace {

constexpr auto kLong = std::chrono::seconds(20);
const std::string kOn = "{\"id\":\"gpio112\",\"type\":\"On\"}";
const std::string kOff = "{\"id\":\"gpio112\",\"type\":\"Off\"}";

// Waits until the writer has emptied the list and the file holds n rows.
bool rows_written(Sandbox& sb, Peer& peer, size_t n) {
    return eventually([&] { return integer_reply(peer, {"LLEN", "writelog-channel"}) == 0 &&
                                   lines(sb.root.read("/userdata/system.csv")).size() >= n; },
                      kLong);
}

// ---- Redis ----------------------------------------------------------------------

TEST(FaultE2E, RedisRestartedMidCallSixTimesLosesNothingPublishedAfter) {
    Sandbox sb;
    Daemon daemon(sb.root.dir());
    auto peer = std::make_unique<Peer>(sb.socket());
    ASSERT_TRUE(eventually([&] { return ready(daemon, *peer); }, kLong)) << daemon.output();
    // SIGPIPE is caught (bit 13 of the mask), not left to end the process
    EXPECT_NE(signal_mask(daemon.pid(), "SigCgt") & (1ULL << (SIGPIPE - 1)), 0u);

    int restarts = 0;
    auto restart = [&] {
        peer.reset();
        sb.redis->stop();
        sb.redis->start();
        peer = std::make_unique<Peer>(sb.socket());
        ++restarts;
        ASSERT_TRUE(eventually([&] { return subscribed(*peer); }, kLong)) << "restart " << restarts;
        // the volume listener acts on its channel again: a claim's end with
        // nothing paused answers "off"
        Subscriber events(sb.socket(), "volume-event-channel");
        peer->run({"PUBLISH", "volume-value-channel", "{\"audio_volume\": 3}"});
        EXPECT_EQ(events.wait_for(1, kLong), Strings{"{\"name\": \"SCHEDULER-AUDIO\", \"action\": \"off\"}"})
            << "restart " << restarts;
    };
    publish(*peer, kRegister);
    size_t rows = 1;
    ASSERT_TRUE(rows_written(sb, *peer, rows));
    for (int round = 0; round < 3; round++) {
        const std::string number = std::to_string(300 + round);
        peer->del("output-channel");
        peer->del("control-channel");
        publish(*peer, call("CALL_INCOMING", number));
        EXPECT_TRUE(eventually([&] { return peer->pushed("output-channel") == Strings{kOn}; }, kLong)) << round;
        ASSERT_TRUE(rows_written(sb, *peer, ++rows));
        restart();  // ringing

        publish(*peer, call("CALL_ESTABLISHED", number));
        EXPECT_TRUE(eventually([&] { return peer->pushed("control-channel").size() == 2; }, kLong)) << round;
        ASSERT_TRUE(rows_written(sb, *peer, ++rows));
        restart();  // in the call

        for (const char* key : {"4", "5"}) publish(*peer, call("CALL_DTMF_START", number, std::string(",\"param\":\"") + key + "\""));
        publish(*peer, call("CALL_CLOSED", number, ",\"param\":\"bye\""));
        EXPECT_TRUE(eventually([&] { return peer->pushed("output-channel") == Strings{kOff}; }, kLong)) << round;
        EXPECT_EQ(peer->pushed("control-channel"),
                  (Strings{"{\"cmd\":\"setaudiotempvol\",\"data\":\"70\"}", "{\"cmd\":\"play\",\"data\":\"hangup.wav:0\"}"}));
        rows += 3;
        ASSERT_TRUE(rows_written(sb, *peer, rows));
        auto cdr = lines(sb.root.read("/userdata/cdr.csv"));
        ASSERT_EQ(cdr.size(), static_cast<size_t>(round) + 1);
        EXPECT_NE(cdr.back().find(",sip:201@192.168.1.10," + number + ","), std::string::npos) << cdr.back();
        EXPECT_NE(cdr.back().find(",in,ANSWERED,bye"), std::string::npos) << cdr.back();
    }
    EXPECT_EQ(restarts, 6);
    Strings e = entries(sb.root);
    ASSERT_EQ(e.size(), rows);
    for (int round = 0; round < 3; round++) {
        const std::string uri = "sip:" + std::to_string(300 + round) + "@192.168.1.20";
        size_t at = 1 + static_cast<size_t>(round) * 5;
        EXPECT_EQ(Strings(e.begin() + static_cast<long>(at), e.begin() + static_cast<long>(at) + 5),
                  (Strings{"SIP STATE,INCOMING CALL," + uri, "SIP STATE,CALL ESTABLISHED,incoming",
                           "FUNCTION,RECEIVE DTMF,4", "FUNCTION,RECEIVE DTMF,5", "SIP STATE,CALL CLOSED,bye"}));
    }
    std::string out = daemon.output();
    EXPECT_EQ(count_of(out, "session-channel subscription lost, subscribing again"), 6u) << out;
    EXPECT_TRUE(daemon.alive());
    EXPECT_FALSE(sanitizer_report(out)) << out;
}

TEST(FaultE2E, RedisAbsentOrRefusingAtStartEndsWithItsErrorText) {
    DeviceRoot root;
    setup_sandbox_root(root.dir());
    {
        Daemon daemon(root.dir());
        EXPECT_EQ(daemon.wait_exit(), 255);
        Strings out = lines(daemon.output());
        EXPECT_TRUE(has(out, "No such file or directory")) << daemon.output();
        EXPECT_EQ(count_of(daemon.output(), "Connection error: No such file or directory"), 5u);
    }
    // a socket file that nobody listens on: the connection is refused
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = root.path("/tmp/redis.sock");
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(s);
    Daemon daemon(root.dir());
    EXPECT_EQ(daemon.wait_exit(), 255);
    EXPECT_TRUE(has(lines(daemon.output()), "Connection refused")) << daemon.output();
}

// ---- /userdata --------------------------------------------------------------------

TEST(FaultE2E, UserdataThatIsNoFolderKeepsEntriesUntilItIsBack) {
    Sandbox sb;
    std::string userdata = sb.root.path("/userdata");
    ASSERT_EQ(rmdir(userdata.c_str()), 0);
    sb.root.write("/userdata", "a file where the folder belongs\n");
    Daemon daemon(sb.root.dir());
    Peer peer(sb.socket());
    ASSERT_TRUE(eventually([&] { return ready(daemon, peer); }, kLong)) << daemon.output();
    publish(peer, kRegister);
    for (int i = 0; i < 2; i++) {
        publish(peer, call("CALL_INCOMING", "20" + std::to_string(i)));
        publish(peer, call("CALL_CLOSED", "20" + std::to_string(i), ",\"param\":\"bye\""));
    }
    ASSERT_TRUE(eventually([&] { return count_of(daemon.output(), "cannot open /userdata/cdr.csv") == 2; }, kLong))
        << daemon.output();
    // nothing is popped while the file cannot be opened
    ASSERT_TRUE(eventually([&] { return integer_reply(peer, {"LLEN", "writelog-channel"}) == 5; }, kLong));
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));  // at least one retry of the writer
    EXPECT_EQ(integer_reply(peer, {"LLEN", "writelog-channel"}), 5);

    ASSERT_EQ(unlink(userdata.c_str()), 0);
    ASSERT_EQ(mkdir(userdata.c_str(), 0755), 0);
    ASSERT_TRUE(rows_written(sb, peer, 5)) << daemon.output();
    EXPECT_EQ(entries(sb.root), (Strings{"SIP STATE,SIP REGISTERED,Primary SIP Account <sip:201@192.168.1.10>",
                                         "SIP STATE,INCOMING CALL,sip:200@192.168.1.20", "SIP STATE,CALL CLOSED,bye",
                                         "SIP STATE,INCOMING CALL,sip:201@192.168.1.20", "SIP STATE,CALL CLOSED,bye"}));
    std::string out = daemon.output();
    EXPECT_EQ(count_of(out, "cannot open /userdata/system.csv: Not a directory"), 1u) << out;
    EXPECT_EQ(count_of(out, "cannot open /userdata/cdr.csv: Not a directory"), 2u) << out;
    publish(peer, call("CALL_CLOSED", "209", ",\"param\":\"after\""));
    EXPECT_TRUE(eventually([&] { return lines(sb.root.read("/userdata/cdr.csv")).size() == 1; }, kLong));
    EXPECT_TRUE(daemon.alive());
    EXPECT_FALSE(sanitizer_report(out)) << out;
}

// A tiny tmpfs in the place of /userdata, filled up.
class FullUserdata {
public:
    explicit FullUserdata(const std::string& dir) : dir_(dir) {
        mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") == 0;
        if (!mounted_) why_ = strerror(errno);
    }
    ~FullUserdata() {
        if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    // Fills every free block.
    void fill() {
        std::string cmd = "dd if=/dev/zero of='" + dir_ + "/filler' bs=1024 2>/dev/null; sync";
        if (system(cmd.c_str()) != 0) {
        }
    }
    void free_space() { unlink((dir_ + "/filler").c_str()); }

private:
    std::string dir_;
    bool mounted_ = false;
    std::string why_;
};

TEST(FaultE2E, FullUserdataWritesNoHalfRowAndLosesNoEntry) {
    Sandbox sb;
    FullUserdata full(sb.root.path("/userdata"));
    if (!full.mounted()) GTEST_SKIP() << "cannot mount a tmpfs for a full disk (needs root): " << full.why();
    // the log file's last block is nearly full, the call-detail file has one
    // line; no other block is free
    std::string old_rows;
    for (int i = 0; old_rows.size() < 4096 - 60; i++) old_rows += "2024-01-01 00:00:00,OLD,row," + std::to_string(i) + "\n";
    sb.root.write("/userdata/system.csv", old_rows);
    std::string old_cdr;
    while (old_cdr.size() < 4096 - 60) old_cdr += "2024-01-01,00:00:00,00:00:01,sip:201@192.168.1.10,1,1,in,ANSWERED,old\n";
    sb.root.write("/userdata/cdr.csv", old_cdr);
    full.fill();

    Daemon daemon(sb.root.dir());
    Peer peer(sb.socket());
    ASSERT_TRUE(eventually([&] { return ready(daemon, peer); }, kLong)) << daemon.output();
    for (int i = 0; i < 4; i++) {
        publish(peer, call("CALL_INCOMING", "40" + std::to_string(i)));
        publish(peer, call("CALL_CLOSED", "40" + std::to_string(i), ",\"param\":\"bye\""));
    }
    ASSERT_TRUE(eventually([&] { return count_of(daemon.output(), "cannot write /userdata/cdr.csv: No space left on device") == 4; },
                           kLong))
        << daemon.output();
    ASSERT_TRUE(eventually([&] { return count_of(daemon.output(), "cannot write /userdata/system.csv") == 1; }, kLong))
        << daemon.output();
    EXPECT_EQ(sb.root.read("/userdata/system.csv"), old_rows) << "no part of a row";
    EXPECT_EQ(sb.root.read("/userdata/cdr.csv"), old_cdr) << "no part of a line";
    // the entry being written went back: all 8 wait in the list, oldest first
    ASSERT_TRUE(eventually([&] { return peer.pushed("writelog-channel").size() == 8; }, kLong));
    EXPECT_EQ(peer.pushed("writelog-channel")[0], "SIP STATE,INCOMING CALL,sip:400@192.168.1.20");

    full.free_space();
    ASSERT_TRUE(rows_written(sb, peer, lines(old_rows).size() + 8)) << daemon.output();
    std::string now = sb.root.read("/userdata/system.csv");
    EXPECT_EQ(now.substr(0, old_rows.size()), old_rows);
    Strings fresh;
    for (auto& r : lines(now.substr(old_rows.size()))) fresh.push_back(entry_of(r));
    Strings want;
    for (int i = 0; i < 4; i++) {
        want.push_back("SIP STATE,INCOMING CALL,sip:40" + std::to_string(i) + "@192.168.1.20");
        want.push_back("SIP STATE,CALL CLOSED,bye");
    }
    EXPECT_EQ(fresh, want);
    publish(peer, call("CALL_CLOSED", "499", ",\"param\":\"after\""));
    EXPECT_TRUE(eventually([&] { return lines(sb.root.read("/userdata/cdr.csv")).size() == lines(old_cdr).size() + 1; },
                           kLong));
    std::string out = daemon.output();
    EXPECT_EQ(count_of(out, "cannot write /userdata/system.csv: No space left on device; entries wait in writelog-channel"), 1u)
        << out;
    EXPECT_TRUE(daemon.alive());
    EXPECT_FALSE(sanitizer_report(out)) << out;
}

TEST(FaultE2E, LogCleanStormEndsWithOneOpenFileAndEveryEntryOnce) {
    Sandbox sb;
    Daemon daemon(sb.root.dir());
    Peer peer(sb.socket());
    ASSERT_TRUE(eventually([&] { return ready(daemon, peer); }, kLong)) << daemon.output();
    auto log_files = [&] {
        size_t n = 0;
        for (auto& f : open_files(daemon.pid()))
            if (f.find("/userdata/") != std::string::npos) ++n;
        return n;
    };
    ASSERT_TRUE(eventually([&] { return log_files() == 1; }));
    const Strings fds_before = open_files(daemon.pid());

    // four releases, back to back and between entries; the owner moves the
    // file away during two of the windows
    for (const char* e : {"A,1", "log_clean", "A,2", "log_clean", "log_clean", "A,3", "log_clean", "A,4"})
        peer.run({"LPUSH", "writelog-channel", e});
    ASSERT_TRUE(eventually([&] { return entries(sb.root) == Strings{"A,1"}; }, kLong));
    ASSERT_EQ(rename(sb.root.path("/userdata/system.csv").c_str(), sb.root.path("/userdata/system.csv.1").c_str()), 0);
    ASSERT_TRUE(eventually([&] { return entries(sb.root) == Strings{"A,2"}; }, kLong));
    ASSERT_EQ(rename(sb.root.path("/userdata/system.csv").c_str(), sb.root.path("/userdata/system.csv.2").c_str()), 0);
    ASSERT_TRUE(eventually([&] { return entries(sb.root) == (Strings{"A,3", "A,4"}); }, std::chrono::seconds(40)));

    EXPECT_EQ(entries(sb.root, "/userdata/system.csv.1"), Strings{"A,1"});
    EXPECT_EQ(entries(sb.root, "/userdata/system.csv.2"), Strings{"A,2"});
    EXPECT_EQ(log_files(), 1u);
    // other threads open settings files for a moment: a descriptor left
    // behind is one that stays
    Strings files;
    EXPECT_TRUE(eventually([&] {
        files = open_files(daemon.pid());
        return files.size() <= fds_before.size();
    })) << "no descriptor is left behind:\n"
        << ::testing::PrintToString(fds_before) << "\n"
        << ::testing::PrintToString(files);
    EXPECT_EQ(count_of(daemon.output(), "opnLog [log_clean]"), 4u);
    EXPECT_TRUE(daemon.alive());
}

// ---- settings, GPIO files, outside programs ----------------------------------------

TEST(FaultE2E, BrokenSettingsFilesNeverStopCallsOrPresses) {
    Sandbox sb;
    Daemon daemon(sb.root.dir());
    Peer peer(sb.socket());
    ASSERT_TRUE(eventually([&] { return ready(daemon, peer); }, kLong)) << daemon.output();
    publish(peer, kRegister);

    std::string garbage;
    for (int i = 0; i < 4096; i++) garbage += static_cast<char>((i * 131 + 7) % 256);
    const std::string good = sb.root.read("/etc/speaker.conf");
    struct Case {
        const char* name;
        bool present;
        std::string text;
        bool refused;
    } cases[] = {
        {"missing", false, "", true},
        {"empty", true, "", false},
        {"garbage", true, garbage, true},
        {"long lines", true,
         "filler = " + std::string(200000, 'x') + "\n[system]\nlanguage = " + std::string(5000, 'e') + "\n" + good, false},
    };
    size_t closes = 0;
    for (const Case& c : cases) {
        const size_t seen = daemon.output().size();
        for (const char* f : {"/etc/speaker.conf", "/oem/etc/volctrl.conf"}) {
            if (c.present)
                sb.root.write(f, c.text);
            else
                sb.root.remove(f);
        }
        const std::string number = std::to_string(500 + closes);
        publish(peer, call("CALL_INCOMING", number));
        publish(peer, call("CALL_ESTABLISHED", number));
        publish(peer, call("CALL_DTMF_START", number, ",\"param\":\"123\""));
        publish(peer, call("CALL_CLOSED", number, ",\"param\":\"bye\""));
        ++closes;
        EXPECT_TRUE(eventually([&] { return lines(sb.root.read("/userdata/cdr.csv")).size() == closes; }, kLong)) << c.name;
        press(sb.root);
        EXPECT_TRUE(eventually([&] { return has(entries(sb.root), "BUTTON,KEY,DOWN") &&
                                            integer_reply(peer, {"LLEN", "writelog-channel"}) == 0; }, kLong))
            << c.name;
        sb.root.write("/userdata/system.csv", "");
        EXPECT_EQ(daemon.output().find("cannot parse file: /etc/speaker.conf", seen) != std::string::npos, c.refused)
            << c.name;
        EXPECT_TRUE(daemon.alive()) << c.name;
        if (HasFailure()) break;
    }
    std::string out = daemon.output();
    EXPECT_FALSE(sanitizer_report(out)) << out;
}

TEST(FaultE2E, MissingAndUnreadableGpioFilesLeaveTheRestWorking) {
    Sandbox sb;
    sb.root.remove("/sys/class/gpio/gpio111/value");                          // missing
    sb.root.remove("/sys/class/gpio/gpio73/value");
    ASSERT_EQ(mkdir(sb.root.path("/sys/class/gpio/gpio73/value").c_str(), 0755), 0);  // reads fail
    Daemon daemon(sb.root.dir());
    Peer peer(sb.socket());
    ASSERT_TRUE(eventually([&] { return subscribed(peer); }, kLong)) << daemon.output();
    publish(peer, kRegister);
    publish(peer, call("CALL_INCOMING", "600"));
    EXPECT_TRUE(eventually([&] { return peer.pushed("output-channel") == Strings{kOn}; }, kLong));
    // the input loop waits quietly instead of spinning on the broken inputs
    long ticks_before = 0, ticks_after = 0;
    auto cpu = [&] {
        std::istringstream in(proc_file(daemon.pid(), "stat").substr(proc_file(daemon.pid(), "stat").rfind(')') + 2));
        std::string f;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && in >> f; i++) {
            if (i == 14) utime = std::stol(f);
            if (i == 15) stime = std::stol(f);
        }
        return utime + stime;
    };
    ticks_before = cpu();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ticks_after = cpu();
    EXPECT_LT(ticks_after - ticks_before, sysconf(_SC_CLK_TCK) / 2) << "CPU ticks in 2 s";
    EXPECT_TRUE(daemon.alive());
    EXPECT_FALSE(sanitizer_report(daemon.output())) << daemon.output();
}

TEST(FaultE2E, GarbageOnTheButtonLineIsNoPress) {
    Sandbox sb;
    Daemon daemon(sb.root.dir());
    Peer peer(sb.socket());
    ASSERT_TRUE(eventually([&] { return ready(daemon, peer); }, kLong)) << daemon.output();
    const std::string value = sb.root.path("/sys/class/gpio/gpio111/value");
    for (const char* junk : {"x\n", "", "\xff\xfe", "1111111111111111111111"}) {
        std::ofstream(value, std::ios::trunc) << junk;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::ofstream(value, std::ios::trunc) << "1\n";
    press(sb.root);  // a real press still works
    EXPECT_TRUE(eventually([&] { return has(entries(sb.root), "BUTTON,KEY,DOWN"); }, kLong));
    Strings e = entries(sb.root);
    EXPECT_EQ(std::count(e.begin(), e.end(), "BUTTON,KEY,DOWN"), 1) << "only the real press";
    EXPECT_TRUE(daemon.alive());
}

TEST(FaultE2E, HangingPlayerBlocksOnlyTheButtonsAndFailingProgramsBlockNothing) {
    Sandbox sb;
    // the key beep's player hangs until the test ends it
    sb.standin("mpg123", "echo \"mpg123 $*\" >> \"$CALLCTLD_ROOT/journal\"\nexec sleep 600");
    Daemon daemon(sb.root.dir());
    Peer peer(sb.socket());
    ASSERT_TRUE(eventually([&] { return ready(daemon, peer); }, kLong)) << daemon.output();
    publish(peer, kRegister);
    press(sb.root);
    ASSERT_TRUE(eventually([&] { return has(journal(sb.root.dir()), "mpg123 " + sb.root.path("/home/quillhorn/target/share/sounds/beep.mp3")); }, kLong));
    // the SIP side goes on while the input loop waits for the player
    publish(peer, call("CALL_INCOMING", "700"));
    publish(peer, call("CALL_CLOSED", "700", ",\"param\":\"bye\""));
    EXPECT_TRUE(eventually([&] { return lines(sb.root.read("/userdata/cdr.csv")).size() == 1; }, kLong));
    EXPECT_FALSE(has(entries(sb.root), "BUTTON,KEY,DOWN")) << "the press waits for its beep";

    peer.del("control-channel");
    // every outside program now fails at once
    for (const char* p : {"mpg123", "curl", "ifconfig"}) sb.standin(p, "exit 1");
    for (const char* p : {"/usr/sbin/redis-cli", "/usr/bin/amixer", "/etc/scripts/set_volume.sh", "/sbin/ifconfig"})
        sb.standin(p, "exit 1");
    // end the hanging player (a grandchild of the daemon, started by it)
    bool ended = false;
    for (pid_t shell : children(daemon.pid()))
        for (pid_t player : children(shell)) ended = kill(player, SIGKILL) == 0 || ended;
    for (pid_t player : children(daemon.pid())) ended = kill(player, SIGKILL) == 0 || ended;
    ASSERT_TRUE(ended);
    EXPECT_TRUE(eventually([&] { return has(entries(sb.root), "BUTTON,KEY,DOWN"); }, kLong));
    EXPECT_TRUE(eventually([&] { return peer.pushed("control-channel").size() == 1; }, kLong)) << "the dial of that press";
    // with the user agent's events the dial completes, and a press hangs up
    publish(peer, event("CALL_OUTGOING", "outgoing", ",\"accountaor\":\"sip:201@192.168.1.10\",\"peeruri\":\"sip:1002@h\""));
    publish(peer, event("CALL_ESTABLISHED", "outgoing", ",\"accountaor\":\"sip:201@192.168.1.10\",\"peeruri\":\"sip:1002@h\""));
    ASSERT_TRUE(eventually([&] { return peer.pushed("control-channel").size() == 3; }, kLong)) << "dial and answer beeps";
    press(sb.root);
    EXPECT_TRUE(eventually([&] { return has(peer.pushed("control-channel"), "{\"cmd\":\"hangup\",\"data\":\"\"}"); }, kLong))
        << daemon.output();
    EXPECT_TRUE(daemon.alive());
    EXPECT_FALSE(sanitizer_report(daemon.output())) << daemon.output();
}

TEST(FaultE2E, StartedProgramsInheritNoSocketAndNoLogFile) {
    Sandbox sb;
    // the player records what it holds open
    sb.standin("mpg123", "for f in /proc/$$/fd/*; do readlink \"$f\"; done > \"$CALLCTLD_ROOT/player-fds\"");
    Daemon daemon(sb.root.dir());
    Peer peer(sb.socket());
    ASSERT_TRUE(eventually([&] { return ready(daemon, peer); }, kLong)) << daemon.output();
    press(sb.root);
    ASSERT_TRUE(eventually([&] { return sb.root.exists("/player-fds"); }, kLong));
    std::string fds = sb.root.read("/player-fds");
    EXPECT_EQ(fds.find("socket:"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("/userdata/"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("/gpio"), std::string::npos) << fds;
}

// ---- crash safety ----------------------------------------------------------------------

// A few hundred SIGKILLs at random moments of a burst of closes and log
// entries, with a line cut short (as a power cut leaves it) put at the end of
// both files now and then: every line is whole or the cut fragment itself,
// never a fragment glued to a row.
TEST(FaultE2E, KilledMidBurstNeverGluesRows) {
    const char* env = getenv("CALLCTLD_KILLS");
    const int kills = env ? atoi(env) : 200;
    Sandbox sb;
    Peer peer(sb.socket());
    std::mt19937 rng(20261208);
    const std::string torn_cdr = "2024-01-01,00:00:00,00:0";
    const std::string torn_row = "2024-01-01 00:00:00,TORN,ro";
    int torn = 0;
    size_t written = 0;
    for (int k = 0; k < kills; k++) {
        if (k % 20 == 10) {
            for (auto& f : {std::make_pair("/userdata/cdr.csv", torn_cdr), std::make_pair("/userdata/system.csv", torn_row)}) {
                std::ofstream(sb.root.path(f.first), std::ios::app) << f.second;
            }
            ++torn;
            written += torn_cdr.size();
        }
        Daemon daemon(sb.root.dir(), {});
        ASSERT_TRUE(eventually([&] { return integer_reply(peer, {"PUBSUB", "NUMSUB", "session-channel"}, 1) == 1; },
                               kLong))
            << "kill " << k << ": " << daemon.output();
        redisContext* c = redisConnectUnix(sb.socket().c_str());
        for (int j = 0; j < 20; j++) {
            std::string id = std::to_string(k) + "-" + std::to_string(j);
            redisAppendCommand(c, "PUBLISH session-channel %s", call("CALL_CLOSED", "1", ",\"param\":\"k" + id + "\"").c_str());
            if (j % 4 == 0) redisAppendCommand(c, "LPUSH writelog-channel %s", ("KILL," + id).c_str());
        }
        for (int j = 0; j < 25; j++) {
            void* r = nullptr;
            if (redisGetReply(c, &r) == REDIS_OK) freeReplyObject(r);
        }
        redisFree(c);
        // the kill falls in the middle of the burst: once its first line is in
        const size_t size_before = written;
        eventually([&] { return (written = sb.root.read("/userdata/cdr.csv").size()) > size_before; },
                   std::chrono::seconds(5));
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 5000)(rng)));
        daemon.kill_now();
        written = sb.root.read("/userdata/cdr.csv").size();
        // the server lets go of the dead subscription before the next start
        ASSERT_TRUE(eventually([&] { return integer_reply(peer, {"PUBSUB", "NUMSUB", "session-channel"}, 1) == 0; }));
    }
    static const std::regex cdr_line(R"(\d{4}-\d\d-\d\d,\d\d:\d\d:\d\d,\d\d:\d\d:\d\d,sip:201@192\.168\.1\.10,1,0,in,MISSED CALL,k\d+-\d+|,,\d\d:\d\d:\d\d,,,0,,,k\d+-\d+)");
    static const std::regex log_row(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,(KILL,\d+-\d+|SIP STATE,CALL CLOSED,k\d+-\d+))");
    size_t whole = 0, fragments = 0, glued = 0;
    for (auto& l : lines(sb.root.read("/userdata/cdr.csv"))) {
        if (l == torn_cdr) ++fragments;
        else if (std::regex_match(l, cdr_line)) ++whole;
        else ADD_FAILURE() << "glued or partial line: " << l, ++glued;
    }
    size_t rows = 0;
    for (auto& l : lines(sb.root.read("/userdata/system.csv"))) {
        if (l == torn_row) ++fragments;
        else if (std::regex_match(l, log_row)) ++rows;
        else ADD_FAILURE() << "glued or partial row: " << l, ++glued;
    }
    printf("kills: %d, call-detail lines %zu, log rows %zu, cut fragments %zu (put %d), glued %zu\n", kills, whole, rows,
           fragments, 2 * torn, glued);
    EXPECT_EQ(fragments, static_cast<size_t>(2 * torn));
    EXPECT_GE(whole, static_cast<size_t>(kills)) << "every life wrote a line before its kill";
}

}  // namespace
}  // namespace hardening
