#include "supervision.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bus.h"

bool notify_service_manager(const char* state) {
    const char* path = getenv("NOTIFY_SOCKET");
    if (path == nullptr || path[0] == '\0') return false;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    const size_t len = strlen(path);
    if (len >= sizeof addr.sun_path) return false;
    memcpy(addr.sun_path, path, len);
    if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const auto addr_len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
    const ssize_t sent = sendto(fd, state, strlen(state), MSG_NOSIGNAL,
                                reinterpret_cast<const struct sockaddr*>(&addr), addr_len);
    close(fd);
    return sent == static_cast<ssize_t>(strlen(state));
}

void liveness_tick() {
    // the monotonic clock: the sandbox's moved wall clock must not matter
    static long long last_ms = -1000;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const long long now_ms = ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
    if (now_ms - last_ms < 1000) return;
    last_ms = now_ms;
    if (bus_heartbeat()) notify_service_manager("WATCHDOG=1");
}
