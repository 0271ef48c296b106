#include "settings.h"

#include <iniparser.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

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

// One logical line (continuations joined), classified by iniparser's rules.
// A section line changes the current section; an entry line gives the
// section-colon-key name and its value. Returns false on a syntax error,
// which makes the whole file unusable, as with iniparser.
struct Parser {
    std::string section;
    std::string entry;
    const char* value = nullptr;
    bool is_section = false;

    bool line(char* raw) {
        value = nullptr;
        is_section = false;
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
            is_section = true;
            return true;
        }
        char* eq = strchr(l, '=');
        if (eq == nullptr || eq == l) return false;
        *eq = '\0';
        value = parse_value(eq + 1);
        char* key = strip(l);
        lower(key);
        entry.assign(section).append(":").append(key);
        return true;
    }
};

// Reads an INI file by iniparser's rules, without its limit of 1024
// characters per line (a holiday list fills up to 4095). Calls
// visit(parser, line number, logical line text, ok) for every logical line
// that is not blank; returns false on a read error.
template <typename Visit>
bool read_lines(FILE* f, Visit visit) {
    Parser p;
    std::string cur;  // the logical line: a line ending in '\' continues on the next
    size_t last = 0;  // where the next physical line is joined in
    char* raw = nullptr;
    size_t cap = 0;
    ssize_t n;
    int lineno = 0;
    bool go_on = true;
    while (go_on && (n = getline(&raw, &cap, f)) >= 0) {
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
        bool ok = p.line(&work[0]);
        go_on = visit(p, lineno, cur, ok);
    }
    bool read_err = ferror(f) != 0;
    free(raw);
    return !read_err;
}

dictionary* load_ini(const char* path, bool quiet) {
    FILE* f = dev::fopen_cloexec(path, "r");
    if (f == nullptr) return nullptr;
    dictionary* d = dictionary_new(0);
    if (d == nullptr) {
        fclose(f);
        return nullptr;
    }
    int errs = 0;
    bool mem_err = false;
    bool read_ok = read_lines(f, [&](const Parser& p, int lineno, const std::string& text, bool ok) {
        if (!ok) {
            if (!quiet) fprintf(stderr, "iniparser: syntax error in %s (%d):\n-> %s\n", path, lineno, text.c_str());
            ++errs;
        } else if (p.is_section) {
            if (dictionary_set(d, p.section.c_str(), nullptr) != 0) mem_err = true;
        } else if (p.value != nullptr) {
            if (dictionary_set(d, p.entry.c_str(), p.value) != 0) mem_err = true;
        }
        return !mem_err;
    });
    fclose(f);
    if (errs > 0 || mem_err || !read_ok) {
        dictionary_del(d);
        return nullptr;
    }
    return d;
}

}  // namespace

dictionary* settings_load(const char* file) {
    dev::Path path(file);
    dictionary* d = load_ini(path, false);
    if (d == nullptr) fprintf(stderr, "cannot parse file: %s\n", file);
    return d;
}

dictionary* settings_load_quiet(const char* file) { return load_ini(dev::Path(file), true); }

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

bool settings_scan(const char* file, std::vector<SettingsLine>* out) {
    dev::Path path(file);
    FILE* f = dev::fopen_cloexec(path, "r");
    if (f == nullptr) return false;
    bool ok = read_lines(f, [&](const Parser& p, int lineno, const std::string& text, bool parsed) {
        SettingsLine l;
        l.line = lineno;
        l.text = text;
        if (!parsed) {
            l.kind = SettingsLine::Error;
        } else if (p.is_section) {
            l.kind = SettingsLine::Section;
            l.name = p.section;
        } else if (p.value != nullptr) {
            l.kind = SettingsLine::Entry;
            l.name = p.entry;
            l.value = p.value;
        } else {
            return true;  // a comment
        }
        out->push_back(std::move(l));
        return true;
    });
    fclose(f);
    return ok;
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
