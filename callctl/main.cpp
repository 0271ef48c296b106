// callctl: the operators' companion of callctld. Reads the same settings
// files and the same bus as the daemon; never changes either.
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "version.h"

namespace {

// One line per subcommand; each subcommand's file defines its entry point.
const callctl::Entry kCommands[] = {
    {"check", callctl::cmd_check, "report what callctld would meet silently in its settings files"},
    {"schedule", callctl::cmd_schedule, "list what the schedule's driver will play, minute by minute"},
    {"status", callctl::cmd_status, "tell whether the running callctld is alive, from the bus"},
    {nullptr, nullptr, nullptr},
};

void print_help(FILE* out) {
    fputs("usage: callctl COMMAND [--root DIR] [OPTIONS]\n"
          "       callctl --version | --help\n\ncommands:\n", out);
    for (const auto& c : kCommands)
        if (c.name) fprintf(out, "  %-10s %s\n", c.name, c.summary);
    fputs("\nCALLCTLD_ROOT or --root DIR: read a device laid out under DIR.\n"
          "COMMAND --help: the command's own options.\n", out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        print_help(stderr);
        return 2;
    }
    if (strcmp(argv[1], "--version") == 0) {
        if (CALLCTLD_COMMIT[0] != '\0')
            printf("callctl %s (commit %s)\n", CALLCTLD_VERSION, CALLCTLD_COMMIT);
        else
            printf("callctl %s\n", CALLCTLD_VERSION);
        return 0;
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        print_help(stdout);
        return 0;
    }
    for (const auto& c : kCommands)
        if (c.name && strcmp(argv[1], c.name) == 0) return c.run(argc - 1, argv + 1);
    fprintf(stderr, "callctl: unknown command '%s' (callctl --help lists them)\n", argv[1]);
    return 2;
}
