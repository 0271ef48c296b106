// Address look-ups on eth1: the first line of an ifconfig pipeline.
#include "address.h"

#include <cstdio>
#include <cstring>

#include "device.h"
#include "text.h"

namespace {
// Commands name device paths; with a device root set the root goes in front.
constexpr size_t SHELL_CAP = 128 + 256;
// An address line from a look-up pipeline: at most 31 characters.
constexpr size_t LOOKUP_LINE_CAP = 32;
// Addresses are held in 16 characters (15 and the terminator).
constexpr size_t ADDRESS_CAP = 16;
// A look-up line of 9 characters or fewer, newline included, is no address.
constexpr size_t ADDRESS_MIN_LINE = 9;

const char* const IP_LOOKUP_FMT = "%s eth1 | grep 'inet ' | awk '{print $2}'";
const char* const MAC_LOOKUP = "ifconfig eth1 | grep ether | tr -d : | awk '{print $2}'";

// Runs a look-up pipeline and keeps its first line as an address.
int read_address(const char* cmd, char* dst) {
    char line[LOOKUP_LINE_CAP];
    memset(line, 0, sizeof line);
    int got = dev::run_pipe(cmd, line, sizeof line);
    if (got < 0) return 0;
    if (got == 0) {
        puts("ip wrong");
        return 0;
    }
    if (strlen(line) <= ADDRESS_MIN_LINE) return 0;
    line[strcspn(line, "\n")] = '\0';
    // A longer line is not an address; a cut one would be a wrong one.
    if (strlen(line) >= ADDRESS_CAP) return 0;
    str_copy(dst, ADDRESS_CAP, line);
    return 1;
}
}  // namespace

int get_ip(char* ip) {
    char cmd[SHELL_CAP];
    str_format(cmd, sizeof cmd, IP_LOOKUP_FMT, dev::Path(dev::IFCONFIG).c_str());
    return read_address(cmd, ip);
}

// ifconfig is found on the search path here, not by its directory.
int get_mac(char* mac) { return read_address(MAC_LOOKUP, mac); }
