#include "settings.h"

#include <iniparser.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "debug.h"
#include "device.h"
#include "text.h"

namespace {

// isspace and tolower of the C locale, the one the daemon and the library
// run in (nothing calls setlocale), without a library call per character.
bool is_space(char c) { return c <= ' ' && (c == ' ' || (c >= '\t' && c <= '\r')); }

// Cuts leading and trailing white space: returns the first kept character and
// terminates the text after the last one.
char* strip(char* s) {
    while (*s != '\0' && is_space(*s)) ++s;
    char* e = s + strlen(s);
    while (e > s && is_space(e[-1])) --e;
    *e = '\0';
    return s;
}

char lower_char(char c) { return c <= 'Z' && c >= 'A' ? static_cast<char>(c - 'A' + 'a') : c; }

void lower(char* s) {
    for (; *s != '\0'; ++s) *s = lower_char(*s);
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

// Another program may rewrite a settings file in place (truncate, then
// write) while it is read: the read then finds the file empty, or cut inside
// a line, which does not parse. Such a read is taken as the answer only once
// the file has read so for about 200 ms; a good read ends the wait at once.
constexpr int kRereads = 20;
constexpr unsigned long kRereadPauseUs = 10000;

// What one reading of a file gave, besides its answer.
enum class Read { kGood, kMissing, kTorn };

dictionary* load_ini_once(const char* path, bool quiet, Read* read) {
    *read = Read::kMissing;
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
    *read = errs > 0 || ftell(f) == 0 ? Read::kTorn : Read::kGood;
    fclose(f);
    if (errs > 0 || mem_err || !read_ok) {
        dictionary_del(d);
        return nullptr;
    }
    return d;
}

dictionary* load_ini(const char* path, bool quiet) {
    for (int attempt = 0;; ++attempt) {
        const bool last = attempt == kRereads;
        Read read;
        dictionary* d = load_ini_once(path, quiet || !last, &read);
        if (read != Read::kTorn || last) return d;
        if (d) iniparser_freedict(d);
        dev::sleep_us(kRereadPauseUs);
    }
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

namespace {

// The look-up through a whole loaded file.
int lookup_in_dictionary(const char* file, const char* key, char* value, int size) {
    dictionary* d = settings_load(file);
    if (d == nullptr) return 0;
    const char* v = settings_string(d, key, "");
    if (size > 0) str_copy(value, static_cast<size_t>(size), v);
    if (debug_on()) printf("keystr: \"%s\" ; value: %s.\n", key, size > 0 ? value : "");
    settings_free(d);
    return 1;
}

// ---- the single-key look-up ------------------------------------------------
// GetCmdValue answers one key without building a dictionary: it reads the
// file through a buffer on the stack and applies the same line rules as
// load_ini to every logical line, but only keeps what the asked-for key
// needs: whether the current section is a prefix of the key, and the value of
// the last line that sets the key. Every line is still checked, because one
// syntax error anywhere refuses the whole file. A file this cannot settle
// cheaply (a syntax error, whose messages name every bad line, or a logical
// line longer than the buffer) is read again by load_ini, which gives the
// answer and the messages exactly.

// One logical line must fit; a value is at most that long. (The fuzz target
// builds this file with a small buffer, so that short inputs reach the
// refills and the hand-over to load_ini.)
#ifndef CALLCTLD_SETTINGS_SCAN_BUFFER
#define CALLCTLD_SETTINGS_SCAN_BUFFER 8192
#endif
constexpr size_t kScanBuffer = CALLCTLD_SETTINGS_SCAN_BUFFER;
// The library cuts a looked-up key to this many characters.
constexpr size_t kKeyMax = 1024;

enum class Scan { kAnswer, kCannotRead, kUseDictionary };

class KeyScan {
public:
    // key: the asked-for key; keep: room for the value (characters); stash:
    // at least kScanBuffer characters, where the value is kept.
    KeyScan(const char* key, size_t keep, char* stash)
        : want_(key), want_len_(strnlen(key, kKeyMax)), keep_(keep), stash_(stash) {}

    Scan run(int fd);
    // Whether the key was last set by a "key = value" line (the value is in
    // the stash); a missing key, or a section of that name, has none.
    bool has_value() const { return has_value_; }
    // Whether the file held no byte at all.
    bool empty() const { return empty_; }

private:
    bool line(char* l, size_t len);
    void section(char* l, size_t len);
    void entry(char* l, char* eq);

    const char* want_;  // compared in lower case, as the library lowers it
    size_t want_len_;
    size_t keep_;
    char* stash_;
    // The current section: its length, and how many of its first characters
    // equal the key's (never more than either length).
    size_t sec_len_ = 0;
    size_t common_ = 0;
    bool has_value_ = false;
    bool empty_ = true;
};

// Reads the file and hands every logical line to line(), joining continued
// lines and cutting a line at a NUL byte exactly as load_ini does.
Scan KeyScan::run(int fd) {
    char buf[kScanBuffer];
    size_t have = 0;   // bytes in buf
    size_t start = 0;  // where the logical line being joined starts
    size_t last = 0;   // its length so far (the lines before a trailing '\\')
    size_t next = 0;   // the first byte not yet taken
    bool eof = false;
    for (;;) {
        const char* nl = static_cast<const char*>(memchr(buf + next, '\n', have - next));
        size_t end;  // just after the physical line
        if (nl != nullptr) {
            end = static_cast<size_t>(nl - buf) + 1;
        } else if (eof) {
            if (next == have) break;  // a line still being continued is dropped
            end = have;
        } else {
            // the unfinished line moves to the front and more is read behind it
            memmove(buf, buf + start, last);
            memmove(buf + last, buf + next, have - next);
            have = last + (have - next);
            start = 0;
            next = last;
            if (have >= sizeof buf - 1) return Scan::kUseDictionary;  // one byte stays for the terminator
            const size_t room = sizeof buf - 1 - have;
            ssize_t n = read(fd, buf + have, room);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return Scan::kCannotRead;
            have += static_cast<size_t>(n);
            if (n > 0) empty_ = false;
            // a settings file is a regular file, whose read comes up short
            // only at its end: no second read (a system call) to learn that
            eof = static_cast<size_t>(n) < room;
            continue;
        }
        if (last == 0) start = next;
        size_t take = end - next;
        if (const void* nul = memchr(buf + next, '\0', take)) take = static_cast<size_t>(static_cast<const char*>(nul) - (buf + next));
        if (start + last != next) memmove(buf + start + last, buf + next, take);
        next = end;
        size_t len = last + take;
        if (len <= 1) continue;  // a bare newline, or one character at the end
        char* l = buf + start;
        while (len > 0 && is_space(l[len - 1])) --len;
        if (len > 0 && l[len - 1] == '\\') {
            last = len - 1;
            continue;
        }
        last = 0;
        l[len] = '\0';
        if (!line(l, len)) return Scan::kUseDictionary;
    }
    return Scan::kAnswer;
}

// One logical line, without trailing white space. False on a syntax error.
bool KeyScan::line(char* l, size_t len) {
    while (len > 0 && is_space(*l)) {
        ++l;
        --len;
    }
    if (len == 0 || l[0] == '#' || l[0] == ';') return true;
    if (l[0] == '[' && l[len - 1] == ']') {
        section(l, len);
        return true;
    }
    char* eq = static_cast<char*>(memchr(l, '=', len));
    if (eq == nullptr || eq == l) return false;
    entry(l, eq);
    return true;
}

void KeyScan::section(char* l, size_t len) {
    if (l[1] != ']') {
        const char* name = l + 1;
        const char* close = static_cast<const char*>(memchr(name, ']', len - 1));
        while (name < close && is_space(*name)) ++name;
        while (close > name && is_space(close[-1])) --close;
        sec_len_ = static_cast<size_t>(close - name);
        common_ = 0;
        while (common_ < sec_len_ && common_ < want_len_ && lower_char(name[common_]) == lower_char(want_[common_]))
            ++common_;
    }
    // "[]" names nothing: the previous section stays, cut to the length of
    // the bracket line less one
    if (sec_len_ > len - 1) sec_len_ = len - 1;
    if (common_ > sec_len_) common_ = sec_len_;
    // a section is itself an entry, without a value, and replaces one
    if (sec_len_ == want_len_ && common_ == want_len_) has_value_ = false;
}

// A "key = value" line: the entry "section:key".
void KeyScan::entry(char* l, char* eq) {
    if (common_ != sec_len_ || sec_len_ >= want_len_ || want_[sec_len_] != ':') return;  // another section
    const char* key = want_ + sec_len_ + 1;
    size_t key_len = want_len_ - sec_len_ - 1;
    const char* end = eq;  // the line starts with its key: only its end has white space
    while (end > l && is_space(end[-1])) --end;
    if (static_cast<size_t>(end - l) != key_len) return;
    for (size_t i = 0; i < key_len; i++)
        if (lower_char(l[i]) != lower_char(key[i])) return;
    const char* v = parse_value(eq + 1);
    str_copy(stash_, keep_ + 1, v);
    has_value_ = true;
}

}  // namespace

int GetCmdValue(const char* file, const char* key, char* value, int size) {
    dev::Path path(file);
    const size_t keep = size > 0 ? static_cast<size_t>(size) - 1 : 0;
    char stash[kScanBuffer];
    const KeyScan fresh(key, keep < sizeof stash ? keep : sizeof stash - 1, stash);
    KeyScan scan = fresh;
    Scan r;
    // an empty file is read again (a file that does not parse is read again
    // by the dictionary's loader, which answers it)
    for (int attempt = 0;; ++attempt) {
        scan = fresh;
        int fd = dev::open_read_cloexec(path);
        r = fd < 0 ? Scan::kCannotRead : scan.run(fd);
        if (fd >= 0) close(fd);
        if (r != Scan::kAnswer || !scan.empty() || attempt == kRereads) break;
        dev::sleep_us(kRereadPauseUs);
    }
    if (r == Scan::kCannotRead) {
        fprintf(stderr, "cannot parse file: %s\n", file);
        return 0;
    }
    if (r == Scan::kUseDictionary) return lookup_in_dictionary(file, key, value, size);
    if (size > 0) str_copy(value, static_cast<size_t>(size), scan.has_value() ? stash : "");
    if (debug_on()) printf("keystr: \"%s\" ; value: %s.\n", key, size > 0 ? value : "");
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
