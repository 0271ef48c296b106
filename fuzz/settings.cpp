// Settings look-ups over arbitrary INI files. Input: byte 0 is the capacity
// of the look-up buffer (1..64) with debug output in bit 7, byte 1 picks the
// key, the rest is the file. Every entry of the loaded file is read back as
// text and as a number; a look-up never writes past its buffer and gives the
// entry's value cut to fit. A file that the library itself can read (no line
// of 1000 characters or more, no NUL byte) must load to the same entries.
// The line listing that check tools read agrees with what is loaded.
#include <iniparser.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "debug.h"
#include "settings.h"
#include "support.h"

using namespace fuzzsupport;

namespace {
const char* const kKeys[] = {"system:language", "relay_ctrl:type", "intercom:http_url", "holidays:data",
                             "schedule_1:s_year", "sip:port", "a:b", ":", "", "account_info_1:enable"};
const char* const kPath = "/etc/fuzz.conf";

int quiet_errors(const char*, ...) { return 0; }

using Entries = std::map<std::string, std::string>;
Entries entries(const dictionary* d) {
    Entries out;
    for (ssize_t i = 0; i < d->size; i++)
        if (d->key[i] != nullptr) out[d->key[i]] = d->val[i] != nullptr ? d->val[i] : std::string("\x01(none)");
    return out;
}

// Whether the library reads the file at all. It reads lines with fgets into
// a buffer of 1024 characters, and a line ending in '\' makes the next fgets
// write over that backslash (a logical line); a read that ends neither at a
// newline nor at the end of the file refuses the whole file. This follows
// those reads exactly, so the comparison below holds for every other file.
bool library_can_read(const std::string& text) {
    if (text.find('\0') != std::string::npos) return false;
    const size_t kBuffer = 1024;
    std::string line;
    size_t last = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t room = kBuffer - last - 1;  // characters one fgets may read
        size_t nl = text.find('\n', pos);
        size_t avail = (nl == std::string::npos ? text.size() : nl + 1) - pos;
        size_t n = std::min(avail, room);
        bool hit_eof = nl == std::string::npos && avail < room;
        line.resize(last);
        line.append(text, pos, n);
        pos += n;
        if (line.size() <= 1) continue;
        if (line.back() != '\n' && !hit_eof) return false;
        while (!line.empty() && isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
        if (!line.empty() && line.back() == '\\')
            last = line.size() - 1;
        else
            last = 0;
    }
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    device_root();
    iniparser_set_error_callback(quiet_errors);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int cap = 1 + (data[0] & 63);
    DEBUG.store((data[0] >> 7) & 1);
    const char* key = kKeys[data[1] % (sizeof kKeys / sizeof kKeys[0])];
    std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    write_file(kPath, text);

    // stderr carries "cannot parse file"; keep it for real findings only
    dictionary* d = settings_load(kPath);
    std::string expected;
    bool loaded = d != nullptr;
    if (d != nullptr) {
        for (ssize_t i = 0; i < d->size; i++) {
            // the library cuts a looked-up key to 1024 characters: longer
            // keys in a file can never be asked for (the daemon's are short)
            if (d->key[i] == nullptr || strlen(d->key[i]) >= 1024) continue;
            const char* v = settings_string(d, d->key[i], "def");
            check(d->val[i] == nullptr ? strcmp(v, "def") == 0 : strcmp(v, d->val[i]) == 0,
                  "settings_string gives the entry or the default for an entry without value");
            int n = settings_int(d, d->key[i], 7);
            if (d->val[i] == nullptr) check(n == 7, "settings_int gives the default for an entry without value");
        }
        expected = settings_string(d, key, "");
        // the line listing of check tools: no refused line, and the last
        // entry of each name is the loaded value
        std::vector<SettingsLine> lines;
        check(settings_scan(kPath, &lines), "a file that loads is listed");
        Entries last;
        for (const SettingsLine& l : lines) {
            check(l.kind != SettingsLine::Error, "a file that loads has no refused line");
            if (l.kind == SettingsLine::Entry) last[l.name] = l.value;
        }
        for (const auto& e : last)
            if (e.first.size() < 1024)  // see above: longer keys cannot be looked up
                check(strcmp(settings_string(d, e.first.c_str(), ""), e.second.c_str()) == 0,
                      "a listed entry's last value is the loaded one");
        if (Entries lib; library_can_read(text)) {
            dictionary* ld = iniparser_load((device_root() + kPath).c_str());
            check(ld != nullptr, "a file the library reads is read by both");
            lib = entries(ld);
            iniparser_freedict(ld);
            check(lib == entries(d), "both read the same entries");
        }
        settings_free(d);
    } else {
        std::vector<SettingsLine> lines;
        bool refused = false;
        if (settings_scan(kPath, &lines))
            for (const SettingsLine& l : lines) refused = refused || l.kind == SettingsLine::Error;
        check(refused, "a file that does not load lists a refused line");
    }
    if (!loaded && library_can_read(text)) {
        dictionary* ld = iniparser_load((device_root() + kPath).c_str());
        check(ld == nullptr, "a file refused here is refused by the library too");
    }

    // the look-up into a buffer of exactly cap bytes, which starts as "x"
    std::vector<char> buf(static_cast<size_t>(cap), '\0');
    buf[0] = cap > 1 ? 'x' : '\0';
    int r = GetCmdValue(kPath, key, buf.data(), cap);
    check(r == (loaded ? 1 : 0), "the result tells whether the file loaded");
    check(strnlen(buf.data(), buf.size()) < buf.size(), "the value stays terminated inside its buffer");
    if (loaded) check(expected.compare(0, static_cast<size_t>(cap - 1), buf.data()) == 0, "the value is the entry, cut to fit");
    DEBUG.store(0);
    return 0;
}
