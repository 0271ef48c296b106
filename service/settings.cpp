#include "settings.h"

#include <iniparser.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "debug.h"
#include "device.h"
#include "text.h"

namespace {

bool is_space(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// Cuts leading and trailing white space: returns the first kept character and
// terminates the text after the last one.
char* strip(char* s) {
    while (*s != '\0' && is_space(*s)) ++s;
    char* e = s + strlen(s);
    while (e > s && is_space(e[-1])) --e;
    *e = '\0';
    return s;
}

void lower(char* s) {
    for (; *s != '\0'; ++s) *s = static_cast<char>(tolower(static_cast<unsigned char>(*s)));
}

// The value part of a "key = value" line, starting after the '='. The rules
// are iniparser's: a value in double or single quotes is taken as written up
// to the closing quote (white space and ';' '#' included); an unquoted value
// ends at the first ';' or '#' and is stripped; "" and '' are the empty text;
// nothing, or a comment right after the '=', is the empty text.
const char* parse_value(char* q) {
    while (*q != '\0' && is_space(*q)) ++q;
    for (char quote : {'"', '\''}) {
        if (q[0] == quote && q[1] != '\0' && q[1] != quote) {
            char* v = q + 1;
            char* end = strchr(v, quote);
            if (end) *end = '\0';
            return v;
        }
    }
    if (*q == '\0' || *q == ';' || *q == '#') return "";
    char* end = strpbrk(q, ";#");
    if (end) *end = '\0';
    char* v = strip(q);
    if (strcmp(v, "\"\"") == 0 || strcmp(v, "''") == 0) return "";
    return v;
}

struct Parser {
    dictionary* d;
    std::string section;
    std::string entry;

    // One logical line (continuations joined). Returns false on a syntax
    // error, which makes the whole file unusable, as with iniparser.
    bool line(char* raw, bool* mem_err) {
        char* l = strip(raw);
        size_t len = strlen(l);
        if (len == 0 || l[0] == '#' || l[0] == ';') return true;
        if (l[0] == '[' && l[len - 1] == ']') {
            char* close = strchr(l + 1, ']');
            if (close != l + 1) {
                *close = '\0';
                char* name = strip(l + 1);
                lower(name);
                section = name;
            }
            // "[]" names nothing: iniparser keeps the previous section, cut
            // to the length of the bracket line less one.
            if (section.size() > len - 1) section.resize(len - 1);
            if (dictionary_set(d, section.c_str(), nullptr) != 0) *mem_err = true;
            return true;
        }
        char* eq = strchr(l, '=');
        if (eq == nullptr || eq == l) return false;
        *eq = '\0';
        const char* value = parse_value(eq + 1);
        char* key = strip(l);
        lower(key);
        entry.assign(section).append(":").append(key);
        if (dictionary_set(d, entry.c_str(), value) != 0) *mem_err = true;
        return true;
    }
};

// Loads an INI file by iniparser's rules into an iniparser dictionary, without
// its limit of 1024 characters per line (a holiday list fills up to 4095).
dictionary* load_ini(const char* path) {
    FILE* f = dev::fopen_cloexec(path, "r");
    if (f == nullptr) return nullptr;
    dictionary* d = dictionary_new(0);
    if (d == nullptr) {
        fclose(f);
        return nullptr;
    }
    Parser p{d, std::string(), std::string()};
    std::string cur;  // the logical line: a line ending in '\' continues on the next
    size_t last = 0;  // where the next physical line is joined in
    char* raw = nullptr;
    size_t cap = 0;
    ssize_t n;
    int lineno = 0;
    int errs = 0;
    bool mem_err = false;
    while (!mem_err && (n = getline(&raw, &cap, f)) >= 0) {
        ++lineno;
        cur.resize(last);
        cur.append(raw, static_cast<size_t>(n));
        cur.resize(strlen(cur.c_str()));
        if (cur.size() <= 1) continue;  // a bare newline, or one character at the end
        size_t len = cur.size();
        while (len > 0 && is_space(cur[len - 1])) --len;
        cur.resize(len);
        if (len > 0 && cur[len - 1] == '\\') {
            last = len - 1;
            continue;
        }
        last = 0;
        std::string work = cur;
        if (!p.line(&work[0], &mem_err)) {
            fprintf(stderr, "iniparser: syntax error in %s (%d):\n-> %s\n", path, lineno, cur.c_str());
            ++errs;
        }
    }
    bool read_err = ferror(f) != 0;
    free(raw);
    fclose(f);
    if (errs > 0 || mem_err || read_err) {
        dictionary_del(d);
        return nullptr;
    }
    return d;
}

}  // namespace

dictionary* settings_load(const char* file) {
    dev::Path path(file);
    dictionary* d = load_ini(path);
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

unsigned long settings_seconds(const char* value) {
    if (value == nullptr || *value < '0' || *value > '9') return 0;
    unsigned long s = 0;
    for (const char* p = value; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        s = s * 10 + static_cast<unsigned long>(*p - '0');
        if (s > SETTINGS_SECONDS_MAX) s = SETTINGS_SECONDS_MAX;
    }
    return s;
}
