// The road of one incoming call through the real daemon twice: with none of
// the opt-in features' settings every text is today's, byte for byte; with
// all of them on, the relay's Off at start and its cap, the call-event
// requests through a real shell, the allow-list, the call-time limit and the
// syslog copy to a real rsyslogd. Then the threads after many calls, a
// restart mid-call, and a caller's control characters.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "daemon.h"
#include "fixture.h"

extern char** environ;

namespace {

using namespace testsupport;
using Strings = std::vector<std::string>;

// rsyslogd with a generated configuration: the device root's "/dev/log" as
// its only input (no system socket, no kernel log), one output file.
class Rsyslogd {
public:
    explicit Rsyslogd(const DeviceRoot& root) : root_(root) {
        std::string work = root.path("/tmp/rsyslog"), sock = root.path("/dev/log");
        mkdir(work.c_str(), 0755);
        mkdir(root.path("/dev").c_str(), 0755);
        root.write("/tmp/rsyslog.conf",
                   "global(workDirectory=\"" + work + "\")\nmodule(load=\"imuxsock\" SysSock.Use=\"off\")\n"
                   "input(type=\"imuxsock\" Socket=\"" + sock + "\")\ntemplate(name=\"t\" type=\"string\" "
                   "string=\"%syslogfacility-text%.%syslogseverity-text% %syslogtag%%msg%\\n\")\n"
                   "*.* action(type=\"omfile\" file=\"" + root.path("/tmp/syslog.out") + "\" template=\"t\")\n");
        std::string conf = root.path("/tmp/rsyslog.conf"), pid = root.path("/tmp/rsyslog.pid");
        const char* exe = access("/usr/sbin/rsyslogd", X_OK) == 0 ? "/usr/sbin/rsyslogd" : "rsyslogd";
        const char* argv[] = {exe, "-n", "-f", conf.c_str(), "-i", pid.c_str(), nullptr};
        EXPECT_EQ(posix_spawnp(&pid_, exe, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
        EXPECT_TRUE(eventually([&] { return access(sock.c_str(), F_OK) == 0; })) << "rsyslogd did not start";
    }
    ~Rsyslogd() {
        if (pid_ > 0 && kill(pid_, SIGTERM) == 0) waitpid(pid_, nullptr, 0);
    }
    Strings lines() {  // the daemon's lines in the output file
        Strings out;
        for (auto& l : testsupport::lines(root_.read("/tmp/syslog.out")))
            if (l.find(" callctld: ") != std::string::npos) out.push_back(l);
        return out;
    }

private:
    const DeviceRoot& root_;
    pid_t pid_ = -1;
};

// The text with every digit replaced by '9': time stamps compared by shape.
std::string shape(std::string text) {
    for (char& c : text)
        if (isdigit(static_cast<unsigned char>(c))) c = '9';
    return text;
}
Strings shapes(Strings v) {
    for (auto& s : v) s = shape(s);
    std::sort(v.begin(), v.end());
    return v;
}

// What one call leaves behind.
struct Road {
    Strings output, control, rows, journal, syslog;
    std::string cdr;
    Strings file_rows;  // the operation log as written, time stamps included
};

const char* const kFeatures =
    "[relay_ctrl]\noff_at_start = yes\nmax_on = 1\ndtmf_allow =  201 ,  a&b c'd  \n"
    "[intercom]\nmax_call_time = 2\n[system]\nsyslog = yes\n"
    "[call_action_url]\nincoming_enable = yes\nincoming_url = http://hooks.local/in?n=${number}&a=${account}&d=${direction}\n"
    "outgoing_enable = yes\noutgoing_url = http://hooks.local/out\n"
    "answered_enable = yes\nanswered_url = http://hooks.local/answered?n=${number}\n"
    "door_enable = yes\ndoor_url = http://hooks.local/door?n=${number}\n"
    "closed_enable = yes\nclosed_url = http://hooks.local/closed?r=${reason}&t=${duration}&d=${direction}\n";

std::string event(const std::string& type, const std::string& peer, const std::string& more = "") {
    return "{\"type\":\"" + type + "\",\"direction\":\"incoming\",\"event\":true" +
           ",\"accountaor\":\"sip:201@192.168.1.10\",\"peeruri\":\"sip:" + peer + "@192.168.1.20\"" + more + "}";
}

Road run_road(bool features, const std::string& peer_number) {
    DeviceRoot root;
    setup_sandbox_root(root.dir());
    // later sections of the same name add to the earlier ones
    if (features) root.write("/etc/speaker.conf", root.read("/etc/speaker.conf") + kFeatures);
    RedisServer redis(root);
    Peer peer(redis.socket());
    Rsyslogd syslogd(root);
    Daemon daemon(root.dir());
    EXPECT_TRUE(eventually([&] {
        redisReply* r = peer.cmd({"PUBSUB", "NUMSUB", "session-channel"});
        bool one = r && r->elements == 2 && r->element[1]->integer == 1;
        if (r) freeReplyObject(r);
        return one;
    }, std::chrono::seconds(10))) << daemon.output();
    auto publish = [&](const std::string& msg) { peer.run({"PUBLISH", "session-channel", msg}); };
    auto outputs = [&](size_t n) {
        EXPECT_TRUE(eventually([&] { return peer.pushed("output-channel").size() >= n; })) << n;
    };
    size_t start = features ? 1 : 0;  // the Off at start

    publish("{\"type\":\"REGISTER_OK\",\"class\":\"register\",\"event\":true,\"accountaor\":\"sip:201@192.168.1.10\"}");
    publish(event("CALL_INCOMING", peer_number));
    outputs(start + (features ? 2 : 1));  // On, and the cap's Off
    publish(event("CALL_ESTABLISHED", peer_number));
    for (const char* key : {"1", "2", "3"})
        publish(event("CALL_DTMF_START", peer_number, std::string(",\"param\":\"") + key + "\""));
    outputs(start + (features ? 4 : 2));
    if (features) {  // the limit hangs up; the user agent then reports the close
        EXPECT_TRUE(eventually([&] { return peer.pushed("control-channel").size() == 3; }));
    }
    publish(event("CALL_CLOSED", peer_number, ",\"param\":\"Connection reset by user\""));
    outputs(start + (features ? 5 : 3));

    Road r;
    size_t rows = features ? 15 : 7;
    EXPECT_TRUE(eventually([&] { return lines(root.read("/userdata/system.csv")).size() >= rows; },
                           std::chrono::seconds(20)));
    if (features) {
        EXPECT_TRUE(eventually([&] { return journal(root.dir()).size() >= 4; }));
        EXPECT_TRUE(eventually([&] { return syslogd.lines().size() >= rows + 1; }));
    }
    r.output = peer.pushed("output-channel");
    r.control = peer.pushed("control-channel");
    r.file_rows = lines(root.read("/userdata/system.csv"));
    for (auto& row : r.file_rows) r.rows.push_back(row.substr(20));
    r.cdr = root.read("/userdata/cdr.csv");
    r.journal = journal(root.dir());
    r.syslog = syslogd.lines();
    EXPECT_TRUE(daemon.alive());
    return r;
}

const std::string kOn = "{\"id\":\"gpio112\",\"type\":\"On\"}";
const std::string kOff = "{\"id\":\"gpio112\",\"type\":\"Off\"}";
const Strings kBeeps = {"{\"cmd\":\"mixausrc_dec_start\",\"data\":\"aufile /usr/share/baresip/answer.wav 10 80\"}",
                        "{\"cmd\":\"mixausrc_enc_start\",\"data\":\"aufile /usr/share/baresip/answer.wav 10 60\"}"};
const Strings kHangupBeep = {"{\"cmd\":\"setaudiotempvol\",\"data\":\"70\"}", "{\"cmd\":\"play\",\"data\":\"hangup.wav:0\"}"};

TEST(CallFeaturesE2E, NoneSetEveryTextAsToday) {
    Road r = run_road(false, "202");
    EXPECT_EQ(r.output, (Strings{kOn, kOn, kOff}));
    EXPECT_EQ(r.control, (Strings{kBeeps[0], kBeeps[1], kHangupBeep[0], kHangupBeep[1]}));
    EXPECT_EQ(r.rows, (Strings{"SIP STATE,SIP REGISTERED,Primary SIP Account <sip:201@192.168.1.10>",
                               "SIP STATE,INCOMING CALL,sip:202@192.168.1.20", "SIP STATE,CALL ESTABLISHED,incoming",
                               "FUNCTION,RECEIVE DTMF,1", "FUNCTION,RECEIVE DTMF,2", "FUNCTION,RECEIVE DTMF,3",
                               "SIP STATE,CALL CLOSED,Connection reset by user"}));
    EXPECT_EQ(shape(r.cdr), "9999-99-99,99:99:99,99:99:99,sip:999@999.999.9.99,999,9,in,ANSWERED,Connection reset by user\n");
    EXPECT_EQ(r.journal, Strings{});
    EXPECT_EQ(r.syslog, Strings{});
}

TEST(CallFeaturesE2E, AllOnShowEachFeature) {
    Road r = run_road(true, "a&b c'd");
    EXPECT_EQ(r.output, (Strings{kOff, kOn, kOff, kOn, kOff, kOff}));  // start, cap, door cap, hang-up
    EXPECT_EQ(r.control, (Strings{kBeeps[0], kBeeps[1], "{\"cmd\":\"hangup\",\"data\":\"\"}", kHangupBeep[0],
                                  kHangupBeep[1]}));
    Strings rows = {"FUNCTION,RELAY OFF AT START,",
                    "SIP STATE,SIP REGISTERED,Primary SIP Account <sip:201@192.168.1.10>",
                    "SIP STATE,INCOMING CALL,sip:a&b c'd@192.168.1.20",
                    "FUNCTION,CALL ACTION URL,incoming",
                    "FUNCTION,RELAY MAX ON,1s",
                    "SIP STATE,CALL ESTABLISHED,incoming",
                    "FUNCTION,CALL ACTION URL,answered",
                    "FUNCTION,RECEIVE DTMF,1",
                    "FUNCTION,RECEIVE DTMF,2",
                    "FUNCTION,RECEIVE DTMF,3",
                    "FUNCTION,CALL ACTION URL,door",
                    "FUNCTION,RELAY MAX ON,1s",
                    "FUNCTION,CALL TIME LIMIT,2s",
                    "SIP STATE,CALL CLOSED,Connection reset by user",
                    "FUNCTION,CALL ACTION URL,closed"};
    // the caps and the limit run on their own timers: compared as a set
    EXPECT_EQ(shapes(r.rows), shapes(rows));
    EXPECT_EQ(shape(r.cdr),
              "9999-99-99,99:99:99,99:99:99,sip:999@999.999.9.99,a&b c'd,9,in,ANSWERED,Connection reset by user\n");
    const std::string curl = "curl -k --connect-timeout 9 --max-time 99 http://hooks.local/";
    EXPECT_EQ(shapes(r.journal),
              shapes({curl + "in?n=a%26b%20c%27d&a=sip%3A201%40192.168.1.10&d=in", curl + "answered?n=a%26b%20c%27d",
                      curl + "door?n=a%26b%20c%27d", curl + "closed?r=Connection%20reset%20by%20user&t=2&d=in"}));
    // every row and the call-detail line, as written, once each
    Strings copies;
    for (auto& row : r.file_rows) copies.push_back("daemon.info callctld: oplog: " + row);
    copies.push_back("daemon.info callctld: cdr: " + r.cdr.substr(0, r.cdr.size() - 1));
    std::sort(copies.begin(), copies.end());
    Strings got = r.syslog;
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, copies);
}

}  // namespace

namespace {

// A daemon on the sandbox's settings with extra settings appended, subscribed.
struct Device {
    explicit Device(const std::string& extra) {
        setup_sandbox_root(root.dir());
        root.write("/etc/speaker.conf", root.read("/etc/speaker.conf") + extra);
    }
    void start() {
        daemon = std::make_unique<Daemon>(root.dir());
        EXPECT_TRUE(eventually([&] {
            redisReply* r = peer.cmd({"PUBSUB", "NUMSUB", "session-channel"});
            bool one = r && r->elements == 2 && r->element[1]->integer == 1;
            if (r) freeReplyObject(r);
            return one;
        }, std::chrono::seconds(10))) << daemon->output();
    }
    void publish(const std::string& msg) { peer.run({"PUBLISH", "session-channel", msg}); }
    // The call's event, naming it by id.
    void call(const std::string& type, int id, const std::string& more = "") {
        publish(event(type, std::to_string(1000 + id), ",\"class\":\"call\",\"id\":\"c" + std::to_string(id) + "\"" + more));
    }
    std::string status(const char* field) {  // a field of /proc/<pid>/status
        FILE* f = fopen(("/proc/" + std::to_string(daemon->pid()) + "/status").c_str(), "r");
        std::string value;
        char line[256];
        while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
            if (strncmp(line, field, strlen(field)) == 0) value = line + strlen(field);
        if (f != nullptr) fclose(f);
        return value;
    }
    int threads() { return atoi(status("Threads:").c_str()); }
    size_t rows_with(const std::string& text) {
        auto all = lines(root.read("/userdata/system.csv"));
        return static_cast<size_t>(std::count_if(all.begin(), all.end(),
                                                 [&](const std::string& r) { return r.find(text) != std::string::npos; }));
    }

    DeviceRoot root;
    RedisServer redis{root};
    Peer peer{redis.socket()};
    std::unique_ptr<Daemon> daemon;
};

TEST(CallFeaturesE2E, FortyOverlappingCallsLeaveNoThreadBehind) {
    Device d("[intercom]\nmax_call_time = 600\n[relay_ctrl]\nmax_on = 600\n");
    d.start();
    ASSERT_TRUE(eventually([&] { return d.daemon->input_watches() > 0; }));
    const int idle = d.threads();
    const std::string idle_vm = d.status("VmSize:");
    d.publish("{\"type\":\"REGISTER_OK\",\"class\":\"register\",\"event\":true,\"accountaor\":\"sip:201@192.168.1.10\"}");
    int most = idle;
    for (int i = 0; i < 40; i++) {
        d.call("CALL_INCOMING", i);
        d.call("CALL_ESTABLISHED", i);
        most = std::max(most, d.threads());
    }
    ASSERT_TRUE(eventually([&] { return d.rows_with("CALL ESTABLISHED") == 40; }, std::chrono::seconds(20)));
    most = std::max(most, d.threads());
    for (int i = 0; i < 40; i++) d.call("CALL_CLOSED", i, ",\"param\":\"bye\"");
    ASSERT_TRUE(eventually([&] { return lines(d.root.read("/userdata/cdr.csv")).size() == 40; }, std::chrono::seconds(20)));
    auto closed = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] { return d.threads() == idle; }, std::chrono::seconds(1)));
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - closed).count();
    printf("threads: idle %d, most %d, back to idle %.0f ms after the last line; VmSize idle%s  after%s", idle,
           most, ms, idle_vm.c_str(), d.status("VmSize:").c_str());
    EXPECT_LE(most, idle + 1);  // the timer thread
    // the Off at start (a cap is set), the first call's On, an Off at every close (mode hangup)
    EXPECT_EQ(d.peer.pushed("output-channel").size(), 42u);
    EXPECT_TRUE(d.daemon->alive());
}

TEST(CallFeaturesE2E, RestartKeepsTheRelayCapAndTheLimit) {
    Device d("[relay_ctrl]\nmax_on = 600\n[intercom]\nmax_call_time = 1\n");
    d.start();
    // the first start already finds the relay possibly On
    ASSERT_TRUE(eventually([&] { return d.rows_with("FUNCTION,RELAY OFF AT START,") == 1; }));
    d.publish("{\"type\":\"REGISTER_OK\",\"class\":\"register\",\"event\":true,\"accountaor\":\"sip:201@192.168.1.10\"}");
    d.call("CALL_INCOMING", 1);
    ASSERT_TRUE(eventually([&] { return d.peer.pushed("output-channel").size() == 2; }));  // Off at start, On
    // killed mid-call; the user agent keeps the call established meanwhile
    d.daemon->kill_now();
    d.peer.run({"SET", "baresip-call-status-201-192.168.1.10", "{\"status\":\"answer\"}"});
    d.peer.del("output-channel");
    d.start();
    const std::string off = "{\"id\":\"gpio112\",\"type\":\"Off\"}";
    EXPECT_TRUE(eventually([&] { return d.peer.pushed("output-channel") == Strings{off}; }));
    EXPECT_TRUE(eventually([&] { return d.peer.pushed("control-channel") == Strings{"{\"cmd\":\"hangup\",\"data\":\"\"}"}; }));
    EXPECT_TRUE(eventually([&] { return d.rows_with("FUNCTION,CALL TIME LIMIT,1s") == 1; }));
    EXPECT_EQ(d.rows_with("FUNCTION,RELAY OFF AT START,"), 2u);  // once per start
}

TEST(CallFeaturesE2E, HostileUriAndReasonReachTheFilesAsQuestionMarks) {
    Device d("[system]\nsyslog = yes\n");
    Rsyslogd syslogd(d.root);
    d.start();
    // ESC sequences, VT, FF, RS, NEL (U+0085) in the uri; an OSC title sequence and a comma in the reason
    const std::string uri = "sip:10\\u001b[2J\\u000b\\u000c\\u001e\\u0085@h\\u007f";
    d.publish("{\"type\":\"CALL_INCOMING\",\"direction\":\"incoming\",\"event\":true,\"id\":\"x\","
              "\"accountaor\":\"sip:201@192.168.1.10\",\"peeruri\":\"" + uri + "\"}");
    d.publish("{\"type\":\"CALL_CLOSED\",\"direction\":\"incoming\",\"event\":true,\"id\":\"x\","
              "\"peeruri\":\"" + uri + "\",\"param\":\"\\u001b]0;owned\\u0007bye, now\"}");
    ASSERT_TRUE(eventually([&] { return syslogd.lines().size() >= 3; }, std::chrono::seconds(10)));
    const std::string cdr = d.root.read("/userdata/cdr.csv");
    EXPECT_EQ(shape(cdr), "9999-99-99,99:99:99,99:99:99,sip:999@999.999.9.99,99?[9J????,9,in,MISSED CALL,?]9;owned?bye, now\n");
    Strings rows;
    for (auto& r : lines(d.root.read("/userdata/system.csv"))) rows.push_back(r.substr(20));
    EXPECT_EQ(rows, (Strings{"SIP STATE,INCOMING CALL,sip:10?[2J????@h?", "SIP STATE,CALL CLOSED,?]0;owned?bye, now"}));
    for (const std::string& text : {cdr, d.root.read("/userdata/system.csv"), d.root.read("/tmp/syslog.out")})
        for (size_t i = 0; i < text.size(); i++) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0;
            ASSERT_TRUE((c >= 0x20 && c != 0x7F && !c1) || c == '\n') << "byte " << i << " of " << text;
        }
}

}  // namespace
