#include "settings.h"

#include <iniparser.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "debug.h"
#include "device.h"
#include "text.h"

dictionary* settings_load(const char* file) {
    dev::Path path(file);
    dictionary* d = iniparser_load(path);
    if (d == nullptr) fprintf(stderr, "cannot parse file: %s\n", file);
    return d;
}

void settings_free(dictionary* d) {
    if (d) iniparser_freedict(d);
}

const char* settings_string(const dictionary* d, const char* key, const char* def) {
    const char* v = iniparser_getstring(d, key, def);
    return v ? v : def;
}

int settings_int(const dictionary* d, const char* key, int def) {
    const char* v = iniparser_getstring(d, key, nullptr);
    if (v == nullptr) return def;
    return static_cast<int>(strtol(v, nullptr, 0));
}

int GetCmdValue(const char* file, const char* key, char* value, int size) {
    dictionary* d = settings_load(file);
    if (d == nullptr) return 0;
    const char* v = settings_string(d, key, "");
    if (size > 0) str_copy(value, static_cast<size_t>(size), v);
    if (debug_on()) printf("keystr: \"%s\" ; value: %s.\n", key, size > 0 ? value : "");
    settings_free(d);
    return 1;
}

bool is_yes(const char* value) { return value != nullptr && strcmp(value, "yes") == 0; }
