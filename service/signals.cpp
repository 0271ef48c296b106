#include "signals.h"

#include <csignal>
#include <cstring>

namespace {
void ignore_signal(int) {}
}  // namespace

void install_sigpipe_handler() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = ignore_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &sa, nullptr);
}
