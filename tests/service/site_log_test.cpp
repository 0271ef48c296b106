// The syslog copy: its datagram, and a missing or full socket.
#include "site_log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "fixture.h"

using testsupport::DeviceRoot;
using testsupport::StdoutCapture;

namespace {

// A datagram socket bound where the syslog daemon's would be.
struct DevLog {
    explicit DevLog(const std::string& path) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~DevLog() { close(fd); }
    std::string next() {
        char buf[2048];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
    }
    int fd;
};

TEST(SiteLog, SentOnlyWhenSetAndDroppedWithOneLinePerEpisode) {
    DeviceRoot root;
    root.write("/dev/.keep", "");
    DevLog sink(root.path("/dev/log"));
    root.write("/etc/speaker.conf", "[system]\nsyslog = no\n");
    site_syslog("oplog", "off");
    EXPECT_EQ(sink.next(), "");
    root.write("/etc/speaker.conf", "[system]\nsyslog = yes\n");
    site_syslog("oplog", "2026-03-07 09:05:03,BUTTON,KEY,DOWN");
    EXPECT_NE(sink.next().find("callctld: oplog: 2026-03-07 09:05:03,BUTTON,KEY,DOWN"), std::string::npos);

    // a full socket (nobody reads), then no socket at all: every copy is
    // dropped at once, and each episode prints one line
    StdoutCapture out;
    for (int i = 0; i < 2000; i++) site_syslog("oplog", "full");
    while (!sink.next().empty()) {
    }
    site_syslog("oplog", "back");
    EXPECT_NE(sink.next().find("oplog: back"), std::string::npos);
    unlink(root.path("/dev/log").c_str());
    for (int i = 0; i < 3; i++) site_syslog("oplog", "missing");
    auto printed = testsupport::lines(out.take());
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_EQ(printed[0].rfind("cannot send to /dev/log: Resource temporarily unavailable", 0), 0u) << printed[0];
    EXPECT_EQ(printed[1].rfind("cannot send to /dev/log: No such file or directory", 0), 0u) << printed[1];
}

}  // namespace
