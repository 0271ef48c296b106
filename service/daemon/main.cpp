// callctld: the call-control daemon of the SIP intercom speaker.
#include <cstdio>
#include <cstdlib>

#include "input.h"
#include "startup.h"
#include "supervision.h"

int main(int argc, char** argv) {
    // One line at a time, also when standard output is a pipe or a file.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    install_sigpipe_handler();
    read_command_line(argc, argv);
    if (init() == 0) {
        puts("init failed!");
        exit(-1);
    }
    notify_service_manager("READY=1");
    return input_loop();
}
