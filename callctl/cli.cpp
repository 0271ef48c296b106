#include "cli.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "device.h"

namespace callctl {

bool take_root(int argc, char** argv, int& i, bool* bad) {
    if (strcmp(argv[i], "--root") != 0) return false;
    if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        fprintf(stderr, "callctl: --root needs a folder\n");
        *bad = true;
        return true;
    }
    dev::set_root(argv[++i]);
    return true;
}

int usage_error(const char* sub, const char* fmt, ...) {
    fprintf(stderr, "callctl %s: ", sub);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    return 2;
}

}  // namespace callctl
