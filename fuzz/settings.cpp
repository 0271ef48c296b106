// Settings look-ups over arbitrary INI files. Input: byte 0 is the capacity
// of the look-up buffer (1..63, or 64 for a buffer larger than any line) with
// debug output in bit 7, byte 1 picks an extra key, the rest is the file.
// A file the library itself can read (no line of 1023 characters or more, no
// NUL byte): GetCmdValue gives, for every key of the library's dictionary,
// one of them in upper case, cut short and made longer, and a few absent
// keys, what iniparser_getstring
// gives (cut to the buffer), and the loader keeps the same entries and
// integers as the library; a file the library refuses is refused (result 0,
// buffer untouched). Any other file: GetCmdValue gives what the whole loaded
// file gives. A look-up never writes past its buffer. The line listing that
// check tools read agrees with what is loaded.
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
                             "schedule_1:s_year", "sip:port", "a:b", ":", "", "account_info_1:enable",
                             "A:B", "a", "a:", ":b", "a:b:c", "[a]:b"};
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
    // a file that does not parse is read again for a while: without the
    // pauses between, each such input costs reads, not 200 ms
    record_runners();
    iniparser_set_error_callback(quiet_errors);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t cap = (data[0] & 63) == 63 ? 10000 : 1 + (data[0] & 63);
    DEBUG.store((data[0] >> 7) & 1);
    const char* extra = kKeys[data[1] % (sizeof kKeys / sizeof kKeys[0])];
    std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    write_file(kPath, text);

    // The look-up into a buffer of exactly cap bytes, which starts as "x": the
    // expected value (nullptr: the file is refused) cut to fit.
    std::vector<char> buf(cap);
    auto look_up = [&](const std::string& key, const char* expected) {
        buf.assign(cap, '\0');
        buf[0] = cap > 1 ? 'x' : '\0';
        int r = GetCmdValue(kPath, key.c_str(), buf.data(), static_cast<int>(cap));
        check(r == (expected != nullptr ? 1 : 0), "the result tells whether the file loaded");
        check(strnlen(buf.data(), cap) < cap, "the value stays terminated inside its buffer");
        if (expected == nullptr)
            check(strcmp(buf.data(), cap > 1 ? "x" : "") == 0, "a refused file leaves the buffer untouched");
        else
            check(strncmp(expected, buf.data(), cap - 1) == 0 && strlen(buf.data()) == std::min(strlen(expected), cap - 1),
                  "the value is the entry, cut to fit");
    };
    auto upper = [](std::string k) {
        for (char& c : k) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        return k;
    };

    // stderr carries "cannot parse file"; keep it for real findings only
    dictionary* d = settings_load(kPath);
    // the line listing of check tools: a file that loads lists no refused
    // line, and the last entry of each name is the loaded value (a section
    // of that name, listed later, leaves it without one); a file that does
    // not load lists a refused line
    std::vector<SettingsLine> lines;
    const bool listed = settings_scan(kPath, &lines);
    if (d != nullptr) {
        check(listed, "a file that loads is listed");
        Entries last;
        for (const SettingsLine& l : lines) {
            check(l.kind != SettingsLine::Error, "a file that loads has no refused line");
            if (l.kind != SettingsLine::Error) last[l.name] = l.kind == SettingsLine::Entry ? l.value : "";
        }
        for (const auto& e : last)
            if (e.first.size() < 1024)  // a look-up key is cut to 1024
                check(strcmp(settings_string(d, e.first.c_str(), ""), e.second.c_str()) == 0,
                      "a listed entry's last value is the loaded one");
    } else {
        bool refused = false;
        for (const SettingsLine& l : lines) refused = refused || l.kind == SettingsLine::Error;
        check(listed && refused, "a file that does not load lists a refused line");
    }

    if (!library_can_read(text)) {
        // lines the library cannot take: the whole loaded file is the reference
        look_up(extra, d != nullptr ? settings_string(d, extra, "") : nullptr);
        for (ssize_t i = 0; d != nullptr && i < d->size; i++) {
            if (d->key[i] == nullptr || strlen(d->key[i]) >= 1024) continue;  // a look-up key is cut to 1024
            look_up(d->key[i], settings_string(d, d->key[i], ""));
            look_up(upper(d->key[i]), settings_string(d, d->key[i], ""));
        }
    } else if (dictionary* ld = iniparser_load((device_root() + kPath).c_str()); ld == nullptr) {
        check(d == nullptr, "a file the library refuses is refused");
        look_up(extra, nullptr);
    } else {
        check(d != nullptr, "a file the library reads is read");
        check(entries(ld) == entries(d), "both read the same entries");
        std::vector<std::string> keys{extra, "a:b", "system:language"};
        for (ssize_t i = 0; i < ld->size; i++) {
            if (ld->key[i] == nullptr) continue;
            std::string k = ld->key[i];
            keys.push_back(k);
            // one entry also in upper case, cut short and made longer
            if (keys.size() == 4 + data[1] % 8) keys.insert(keys.end(), {upper(k), k.substr(0, k.size() - 1), k + "x"});
            if (ld->val[i] != nullptr)  // the library's getint reads through NULL
                check(settings_int(d, ld->key[i], 7) == iniparser_getint(ld, ld->key[i], 7),
                      "integers as the library reads them");
            else
                check(settings_int(d, ld->key[i], 7) == 7, "settings_int gives the default for an entry without value");
        }
        for (const std::string& k : keys) {
            const char* v = iniparser_getstring(ld, k.c_str(), "");
            look_up(k, v != nullptr ? v : "");
        }
        iniparser_freedict(ld);
    }
    settings_free(d);
    DEBUG.store(0);
    return 0;
}
