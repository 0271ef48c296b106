// The syslog copy: BSD syslog format on the local datagram socket. The
// socket is not connected and not kept: each copy is one sendto, so a syslog
// daemon that restarts (and makes a new socket) is found again at once.
#include "site_log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "device.h"
#include "settings.h"
#include "text.h"

namespace {
// facility daemon (3) * 8 + severity info (6)
constexpr int kPriority = 3 * 8 + 6;
// No host name: a message on the local socket names no host, and the syslog
// daemon puts in the device's own when it stores or forwards the message.
constexpr const char* kTag = "callctld";

// Set while copies are being dropped: one line tells of each episode.
std::atomic<bool> g_dropping{false};

bool send_datagram(const char* msg, size_t len) {
    dev::Path path(dev::DEV_LOG);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    str_copy(addr.sun_path, sizeof addr.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ssize_t n = sendto(fd, msg, len, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&addr),
                       sizeof addr);
    int err = errno;
    close(fd);
    errno = err;
    return n == static_cast<ssize_t>(len);
}

// The datagram for text at time t (local time); its length, cut at cap.
size_t format_datagram(char* dst, size_t cap, time_t t, const char* kind, const char* text) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    localtime_r(&t, &tm);
    int n = str_format(dst, cap, "<%d>%s %2d %02d:%02d:%02d %s: %s: %s", kPriority, months[tm.tm_mon % 12],
                       tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, kTag, kind, text ? text : "");
    if (n < 0) return 0;
    return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}
}  // namespace

void site_syslog(const char* kind, const char* text) {
    char on[8];
    GetCmdValue(dev::SPEAKER_CONF, "system:syslog", on);
    if (!is_yes(on)) return;
    char msg[1024];
    size_t len = format_datagram(msg, sizeof msg, dev::now(), kind, text);
    if (send_datagram(msg, len)) {
        g_dropping.store(false);
        return;
    }
    if (!g_dropping.exchange(true))
        printf("cannot send to %s: %s; syslog copies are dropped\n", dev::DEV_LOG, strerror(errno));
}
