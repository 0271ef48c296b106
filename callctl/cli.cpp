#include "cli.h"

#include <cjson/cJSON.h>

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

int json_options(const char* sub, int argc, char** argv, const char* help, bool* json) {
    *json = false;
    for (int i = 1; i < argc; i++) {
        bool bad = false;
        if (take_root(argc, argv, i, &bad)) {
            if (bad) return 2;
        } else if (strcmp(argv[i], "--json") == 0) {
            *json = true;
        } else if (strcmp(argv[i], "--help") == 0) {
            puts(help);
            return 0;
        } else {
            return usage_error(sub, "unknown option '%s'", argv[i]);
        }
    }
    return -1;
}

void put_json(cJSON* root) {
    char* text = cJSON_Print(root);
    if (text != nullptr) puts(text);
    cJSON_free(text);
    cJSON_Delete(root);
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
