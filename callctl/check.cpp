// callctl check: reads the three settings files the way callctld does and
// reports everything the daemon would meet silently at run time: values it
// refuses, clamps or misreads, keys and sections given twice, lines the INI
// reader refuses, and sections and keys it never reads. Every value rule is
// the daemon's own function or reader; this file only says where a value
// stands, how bad it is and what to do about it.
//
// Errors: the daemon misreads or refuses a value, takes one of two values
// silently, or cannot load the file. Warnings: a name it never reads (maybe
// another service's), an entry that will never play.
#include <cjson/cJSON.h>
#include <iniparser.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "accounts.h"
#include "buttons.h"
#include "cli.h"
#include "device.h"
#include "input.h"
#include "outputs.h"
#include "schedule.h"
#include "settings.h"
#include "settings_index.h"
#include "sip.h"
#include "text.h"

namespace callctl {
namespace {

// Lines the stock INI reader reads into a buffer of 1024 characters: a longer
// line makes it refuse the whole file (callctld's own reader has no limit,
// the device's other services have).
constexpr size_t kStockLineMax = 1022;
// speaker.conf, volctrl.conf, schedule.conf
constexpr size_t kFiles = 3;

enum class Severity { Error, Warning };

struct Finding {
    std::string file;  // the device path
    int line;          // 0: the key is missing from the file
    std::string key;   // "section:key", a section, or "" for a whole line
    const char* code;  // stable, documented in callctl(1)
    Severity severity;
    std::string runtime;
    std::string fix;
};

// A value or a name from the file, quoted for a message.
std::string q(const std::string& text) { return "\"" + shown(text) + "\""; }

// The UTF-8 byte-order mark some editors put first in a file.
constexpr char kBom[] = "\xEF\xBB\xBF";
bool starts_with_bom(const std::string& text) { return text.compare(0, 3, kBom) == 0; }

std::string lower_text(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

// Values of an on/off setting that are meant as on but read as off.
bool looks_on(const std::string& v) {
    const std::string l = lower_text(v);
    for (const char* on : {"yes", "y", "true", "on", "1", "enable", "enabled"})
        if (l == on) return true;
    return false;
}

// A whole number in decimal as a person writes it ("-5", "08"); false for
// anything else ("five", "5s", "1.5", "0x10", "+3").
bool whole_number(const std::string& v, long* out) {
    size_t digits_at = v.size() > 1 && v[0] == '-' ? 1 : 0;
    if (v.size() == digits_at || v.find_first_not_of("0123456789", digits_at) != std::string::npos) return false;
    errno = 0;
    *out = strtol(v.c_str(), nullptr, 10);
    return errno == 0;
}

std::string printf_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_text(const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    str_vformat(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// One settings file as scanned: its lines, and where each name last stands
// (the reader keeps the last value of a key given twice).
class SettingsFile {
public:
    explicit SettingsFile(const char* path) : path_(path) { readable_ = settings_scan(path, &lines_); }
    bool readable() const { return readable_; }
    const char* path() const { return path_; }
    const std::vector<SettingsLine>& lines() const { return lines_; }
    bool loads() const {
        for (const SettingsLine& l : lines_)
            if (l.kind == SettingsLine::Error) return false;
        return readable_;
    }
    // The entry of a key (any case), or NULL when the file does not give it.
    const SettingsLine* entry(const std::string& key) const {
        const SettingsLine* found = nullptr;
        std::string want = lower(key);
        for (const SettingsLine& l : lines_)
            if (l.kind == SettingsLine::Entry && l.name == want) found = &l;
        return found;
    }
    int line_of(const std::string& key) const {
        const SettingsLine* e = entry(key);
        return e ? e->line : 0;
    }
    // The line of a key, or of its section's header when the key is not given.
    int line_or_section(const std::string& key) const {
        if (int at = line_of(key)) return at;
        const std::string section = lower(key.substr(0, key.find(':')));
        for (const SettingsLine& l : lines_)
            if (l.kind == SettingsLine::Section && l.name == section) return l.line;
        return 0;
    }

private:
    static std::string lower(std::string s) {
        for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        return s;
    }
    const char* path_;
    bool readable_;
    std::vector<SettingsLine> lines_;
};

class Checker {
public:
    std::vector<Finding> findings;

    void add(const SettingsFile& f, int line, const std::string& key, const char* code, std::string runtime,
             std::string fix, Severity sev = Severity::Error) {
        findings.push_back({f.path(), line, shown(key), code, sev, std::move(runtime), std::move(fix)});
    }
    void add(const SettingsFile& f, const std::string& key, const char* code, std::string runtime, std::string fix,
             Severity sev = Severity::Error) {
        add(f, f.line_of(key), key, code, std::move(runtime), std::move(fix), sev);
    }
    bool has_error_in(const std::string& section) const {
        for (const Finding& x : findings)
            if (x.severity == Severity::Error && x.key.compare(0, section.size() + 1, section + ":") == 0) return true;
        return false;
    }

    // Lines the readers refuse, each named by its cause. A file with one of
    // them is not loaded at all: nothing else in it is looked at, so one
    // slip is one finding.
    void lines(const SettingsFile& f) {
        std::string more;  // the other refused lines, told in the first one's finding
        int others = 0;
        const size_t first = findings.size();
        for (const SettingsLine& l : f.lines()) {
            if (l.kind == SettingsLine::Error && findings.size() > first) {
                if (++others <= 5) more += (others > 1 ? ", " : "") + std::to_string(l.line);
                continue;
            }
            if (l.kind == SettingsLine::Error && l.line == 1 && starts_with_bom(l.text)) {
                bom(f);
            } else if (l.kind == SettingsLine::Error && l.text.find_first_not_of(" \t") != std::string::npos &&
                       l.text[l.text.find_first_not_of(" \t")] == '[') {
                add(f, l.line, "", "unclosed-section",
                    "the section header " + q(l.text) + " has no closing ']': callctld cannot load the file "
                    "(\"cannot parse file\") and every setting in it reads as missing",
                    "close the header with ']'");
            } else if (l.kind == SettingsLine::Error) {
                add(f, l.line, "", "syntax-error",
                    "the line " + q(l.text) +
                        " is neither a [section], a key = value nor a comment: callctld cannot load "
                        "the file (\"cannot parse file\") and every setting in it reads as missing",
                    "write it as key = value inside a [section], or begin it with ';' to keep it as a comment");
            }
        }
        if (others > 0)
            findings[first].runtime += printf_text("; %d more line%s refused (line%s %s%s)", others, others == 1 ? " is" : "s are",
                                                   others == 1 ? "" : "s", more.c_str(), others > 5 ? ", ..." : "");
    }

    // What a file that loads holds twice, or outside any section, or too long
    // for the other services' reader.
    void layout(const SettingsFile& f) {
        std::vector<const SettingsLine*> seen;
        for (const SettingsLine& l : f.lines()) {
            if (l.line == 1 && starts_with_bom(l.text)) {
                bom(f);
                continue;
            }
            if (l.text.size() > kStockLineMax)
                add(f, l.line, l.kind == SettingsLine::Entry ? l.name : "", "long-line",
                    printf_text("the line holds %zu characters: callctld reads it, but a service reading the "
                                "file with the stock INI reader (at most %zu) refuses the whole file",
                                l.text.size(), kStockLineMax),
                    "shorten the value");
            if (l.kind == SettingsLine::Entry && l.name[0] == ':') {
                add(f, l.line, l.name.substr(1), "key-outside-section",
                    "the key " + q(l.name.substr(1)) + " stands before any [section]: callctld reads no "
                    "setting of that name, the value has no effect",
                    "move it below the header of its section");
                continue;
            }
            for (const SettingsLine* before : seen) {
                if (before->kind != l.kind || before->name != l.name) continue;
                if (l.kind == SettingsLine::Section)
                    add(f, l.line, l.name, "duplicate-section",
                        printf_text("the section [%s] is opened again (first at line %d): its keys join the "
                                    "first one's, and a key given in both takes the later value",
                                    shown(l.name).c_str(), before->line),
                        "keep one [" + shown(l.name) + "] and move its keys there");
                else
                    add(f, l.line, l.name, "duplicate-key",
                        printf_text("the key is given again (first at line %d, %s): callctld takes this "
                                    "line's value %s",
                                    before->line, q(before->value).c_str(), q(l.value).c_str()),
                        "keep one line for the key");
                break;
            }
            seen.push_back(&l);
        }
    }

    // Sections and keys callctld never reads: maybe another service's.
    void names(const SettingsFile& f, const std::string& onekey_line) {
        std::string section;
        bool section_known = true;
        for (const SettingsLine& l : f.lines()) {
            if (l.line == 1 && starts_with_bom(l.text)) continue;
            if (l.kind == SettingsLine::Section) {
                section = l.name;
                section_known = is_known_section(f.path(), section, onekey_line);
                if (!section_known) {
                    std::string near = closest_section(f.path(), section);
                    add(f, l.line, section, "unknown-section",
                        "callctld never reads the section [" + shown(section) + "] nor any key in it",
                        near.empty() ? "remove it if no other service of the device reads it"
                                     : "did you mean [" + near + "]? rename it",
                        Severity::Warning);
                }
            } else if (l.kind == SettingsLine::Entry && section_known && l.name[0] != ':' &&
                       !is_known_key(f.path(), l.name, onekey_line)) {
                std::string near = closest_key(f.path(), l.name);
                add(f, l.line, l.name, "unknown-key", "callctld never reads " + shown(l.name) + ": the value has no effect",
                    near.empty() ? "remove it if no other service of the device reads it"
                                 : "did you mean " + near + "? rename the key",
                    Severity::Warning);
            }
        }
    }

    // Every value the daemon reads as a flag or a number, read by the
    // daemon's own reader and compared with what it plainly says.
    void values(const SettingsFile& f, const dictionary* d) {
        for (const SettingsLine& l : f.lines()) {
            if (l.kind != SettingsLine::Entry || f.entry(l.name) != &l) continue;
            const KeyRule rule = key_rule(f.path(), l.name);
            if (rule.reading == Reading::Text) continue;
            // an empty value reads like a missing key, but for the schedule's
            // numbers: those read it as 0, not as their default
            if (l.value.empty() && rule.reading != Reading::Integer) continue;
            if (rule.reading == Reading::Flag) {
                if (!is_yes(l.value.c_str()) && looks_on(l.value))
                    add(f, l.line, l.name, "not-yes",
                        "the value " + q(l.value) + " reads as off: a switch is on exactly when it is \"yes\"",
                        "write yes (in lower case) to switch it on, no to switch it off");
                continue;
            }
            if (rule.reading == Reading::Choice) {
                // a known word in another letter case: meant as it, read as none
                const std::string want = "|" + std::string(rule.choices) + "|";
                if (want.find("|" + l.value + "|") == std::string::npos &&
                    lower_text(want).find("|" + lower_text(l.value) + "|") != std::string::npos)
                    add(f, l.line, l.name, "not-a-choice",
                        "the value " + q(l.value) + " is compared letter by letter with " +
                            std::string(rule.choices) + ": it matches none, as if the key were not given",
                        "write it as one of " + std::string(rule.choices) + ", in that letter case");
                continue;
            }
            const long read = daemon_reads(rule.reading, d, l);
            long meant = 0;
            const std::string range = printf_text("%ld to %ld", rule.min, rule.max);
            const std::string fix = rule.max == LONG_MAX || rule.max == INT_MAX
                                        ? printf_text("give a whole number from %ld, in decimal digits", rule.min)
                                        : "give a whole number from " + range + ", in decimal digits";
            if (!whole_number(l.value, &meant))
                add(f, l.line, l.name, "not-a-number",
                    printf_text("the value %s is not a whole number: callctld reads it as %ld", q(l.value).c_str(), read),
                    fix);
            else if (meant < rule.min || meant > rule.max)
                add(f, l.line, l.name, "out-of-range",
                    printf_text("%ld is outside %s%s", meant, range.c_str(),
                                read != meant ? printf_text(": callctld reads it as %ld", read).c_str()
                                              : ": it never matches or is refused"),
                    fix);
            else if (read != meant)
                add(f, l.line, l.name, "misread-number",
                    printf_text("callctld reads %s as %ld, not %ld%s", q(l.value).c_str(), read, meant,
                                rule.reading == Reading::Integer ? " (a leading 0 makes it octal)" : ""),
                    "write the number without leading zeros");
        }
    }

    void speaker(const SettingsFile& f) {
        screen(f);
        urls(f);
        key_audio_file(f);
        onekey_line(f);
        accounts(f);
        answer_beeps(f);
    }

    void schedule(const SettingsFile& f, const dictionary* d) {
        bool driver_off = false;
        holidays(f, settings_string(d, "holidays:data", nullptr));
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++) {
            std::string s = "schedule_" + std::to_string(n) + ":";
            const char* screen = settings_string(d, (s + "trigger_screen").c_str(), nullptr);
            if (screen != nullptr) entry_screen(f, s + "trigger_screen", screen);
            const char* file = settings_string(d, (s + "audio_file").c_str(), "");
            const char* times = settings_string(d, (s + "play_times").c_str(), "");
            if (file[0] != '\0' && !schedule_file_fits(file, times))
                add(f, s + "audio_file", "file-name-too-long",
                    printf_text("the sound file name (%zu characters) does not fit: the entry starts but plays "
                                "nothing",
                                strlen(file)),
                    "give a name of at most 63 characters, at most 44 when play_times is empty or 0");
            // a value already named wrong is the reason: no second finding
            if (!has_error_in("schedule_" + std::to_string(n))) never_plays(f, d, n, &driver_off);
        }
        if (driver_off)
            add(f, "driver:enable", "driver-off",
                "the schedule's driver is off: no enabled entry ever plays, nothing evaluates the schedule",
                "set driver:enable = yes in section [driver] to play the schedule", Severity::Warning);
    }

private:
    void bom(const SettingsFile& f) {
        add(f, 1, "", "bom",
            "the file begins with a UTF-8 byte-order mark: the reader takes it as part of the first line, which "
            "then is no comment, header or setting it knows",
            "save the file as UTF-8 without a byte-order mark (BOM)");
    }

    // The number the daemon takes from a value, by the daemon's own reader.
    static long daemon_reads(Reading r, const dictionary* d, const SettingsLine& l) {
        switch (r) {
        case Reading::Decimal: return atoi(l.value.c_str());
        case Reading::Seconds: return static_cast<long>(settings_seconds(l.value.c_str()));
        case Reading::Release: return static_cast<long>(release_seconds(l.value.c_str(), nullptr));
        case Reading::Integer: return settings_int(d, l.name.c_str(), 0);
        case Reading::CatchUp: return driver_settings(d).catch_up;
        case Reading::Sunday: {
            // any number but 0 names the Monday-first numbering as meant
            const long n = atol(l.value.c_str());
            return driver_settings(d).sunday_zero ? 0 : n >= 1 && n <= 7 ? n : 1;
        }
        case Reading::Text:
        case Reading::Flag:
        case Reading::Choice: break;
        }
        return 0;
    }

    // An enabled entry that will never play from today on (ten years looked
    // at), with the reason the schedule's preview gives. A file name that
    // does not fit is reported above; a driver that is off once for all.
    void never_plays(const SettingsFile& f, const dictionary* d, int n, bool* driver_off) {
        struct tm today;
        const time_t now = dev::now();
        localtime_r(&now, &today);
        const Date first{today.tm_year + 1900, today.tm_mon + 1, today.tm_mday};
        const Date last{first.year + 10, first.month, first.day};
        const NeverReason r = schedule_never_reason(d, n, first, last);
        if (r == NeverReason::None || r == NeverReason::Disabled || r == NeverReason::FileTooLong) return;
        if (r == NeverReason::DriverOff) {
            *driver_off = true;
            return;
        }
        struct Where {
            NeverReason reason;
            const char* key;
            const char* fix;
        };
        static const Where kWhere[] = {
            {NeverReason::NoWeekdays, "weeks", "list the weekday digits it runs on, e.g. 12345"},
            {NeverReason::WeekdaysImpossible, "weeks", "use the digits of driver:sunday's numbering (1..7, or 0..6)"},
            {NeverReason::WeekdaysNotInPeriod, "weeks", "list a weekday that falls within its date range"},
            {NeverReason::DateRangeEmpty, "e_year", "make the end date (e_year, e_month, e_day) not before the start"},
            {NeverReason::DateRangeOver, "e_year", "move the end date (e_year, e_month, e_day) into the future"},
            {NeverReason::DateRangeNotBegun, "s_year", "move the start date (s_year, s_month, s_day) nearer"},
            {NeverReason::Holidays, "enholiday", "set enholiday = no, or shorten the holiday list"},
            {NeverReason::WindowEmpty, "e_hour", "give a stop time (e_hour, e_min) after the start"},
            {NeverReason::WindowImpossible, "e_hour", "give a window within one day, start before stop"},
            {NeverReason::IntervalNeverLands, "interval", "give an interval that lands before the stop minute"},
            {NeverReason::NoFile, "audio_file", "name a sound file under /usr/share/baresip/"},
        };
        for (const Where& w : kWhere) {
            if (w.reason != r) continue;
            const std::string key = "schedule_" + std::to_string(n) + ":" + w.key;
            add(f, f.line_or_section(key), key, "never-plays", std::string("the entry never plays: ") + never_reason_text(r), w.fix, Severity::Warning);
        }
    }

    void screen(const SettingsFile& f) {
        char id[SCREEN_ID_SIZE];
        screen_setting(id);
        if (f.entry("screen_ctrl:type") != nullptr && !screen_id_ok(id))
            add(f, "screen_ctrl:type", "screen-id",
                "the screen id " + q(id) + " is not a number: every screen on/off command is refused",
                "give the screen's number, for example 1");
    }

    void entry_screen(const SettingsFile& f, const std::string& key, const char* value) {
        // held in a field of 9 bytes, like the evaluation's
        char screen[sizeof PlayRequest::trigger_screen];
        str_copy(screen, value);
        if (strcmp(screen, "Disabled") != 0 && !screen_id_ok(screen))
            add(f, key, "screen-id",
                "the screen id " + q(screen) + " is neither a number nor Disabled: the entry's screen on/off "
                "commands are refused",
                "give the screen's number, or Disabled for no screen");
    }

    void urls(const SettingsFile& f) {
        if (const SettingsLine* e = f.entry("intercom:http_url")) {
            char url[KEY_HTTP_URL_SIZE];
            GetCmdValue(f.path(), "intercom:http_url", url);
            if (e->value.size() > strlen(url))
                add(f, e->line, e->name, "url-too-long",
                    printf_text("the URL holds %zu characters: the key action \"http\" requests only its first %zu",
                                e->value.size(), strlen(url)),
                    printf_text("shorten the URL to at most %zu characters", strlen(url)));
            if (action_url_refusal(url) == URL_LEADING_DASH)
                add(f, e->line, e->name, "url-dash", "the URL begins with '-': the request is refused",
                    "give the whole URL, beginning with http:// or https://");
        }
        // the unregistered request, then the call-event requests, whose call
        // values (number, account, reason...) count as the unregistered
        // request's number does
        for (const char* key : {"call_action_url:unregistered_url", "call_action_url:incoming_url",
                                "call_action_url:outgoing_url", "call_action_url:answered_url",
                                "call_action_url:closed_url", "call_action_url:door_url"}) {
            const SettingsLine* e = f.entry(key);
            if (e == nullptr) continue;
            size_t longest = unregistered_url_longest(e->value.c_str());
            if (longest > ACTION_URL_MAX)
                add(f, e->line, e->name, "url-too-long",
                    printf_text("with its placeholders filled in, the URL can reach %zu characters: the request "
                                "is refused when it does not fit %d",
                                longest, ACTION_URL_MAX),
                    printf_text("shorten the URL so that it stays within %d characters with ${ip} as 15, "
                                "${mac} as 12, ${ua} and ${number} as 31 characters",
                                ACTION_URL_MAX));
            if (action_url_refusal(e->value.c_str()) == URL_LEADING_DASH)
                add(f, e->line, e->name, "url-dash", "the URL begins with '-': the request is refused",
                    "give the whole URL, beginning with http:// or https://");
        }
    }

    void key_audio_file(const SettingsFile& f) {
        const SettingsLine* e = f.entry("intercom:audio_file");
        if (e == nullptr) return;
        char file[KEY_AUDIO_FILE_SIZE];
        GetCmdValue(f.path(), "intercom:audio_file", file);
        if (e->value.size() > strlen(file))
            add(f, e->line, e->name, "file-name-too-long",
                printf_text("the file name holds %zu characters: the key action \"play\" asks for its first %zu, "
                            "another name",
                            e->value.size(), strlen(file)),
                printf_text("give a file name of at most %zu characters", strlen(file)));
    }

    void onekey_line(const SettingsFile& f) {
        if (f.entry("intercom:onekey_line") == nullptr) return;
        char line[24];
        GetCmdValue(f.path(), "intercom:onekey_line", line);
        if (!onekey_line_known(line)) {
            add(f, "intercom:onekey_line", "onekey-line",
                q(line) + " names no line: every one-key call is abandoned",
                "give auto, p2p, account_info_1, account_info_2 or account_info_3");
            return;
        }
        int table[4];
        get_line(table);
        int n = numbered_account(line);
        if (n != 0 && table[n] == -1)
            add(f, "intercom:onekey_line", "onekey-line-off",
                printf_text("%s is not enabled: every one-key call is abandoned", line),
                printf_text("set %s:enable = yes, or choose another line", line));
    }

    void accounts(const SettingsFile& f) {
        for (const SipAccount& a : SIP_ACCOUNT) {
            if (!account_enabled(a)) continue;
            char user[USERNAME_SIZE];
            char host[HOST_SIZE];
            account_user_host(a, user, host);
            if (user[0] == '\0')
                add(f, a.username_key, "account-incomplete",
                    "the account is enabled without a user name: its status key and its address of record "
                    "are built with an empty name, so it normally never counts as registered",
                    "give the account's user name, or set enable = no");
            if (host[0] == '\0')
                add(f, a.domain_key, "account-incomplete",
                    "the account is enabled without a domain or server: its status key and its address of "
                    "record are built with an empty host, so it normally never counts as registered",
                    printf_text("give %s or %s", a.domain_key, a.server_key));
        }
    }

    void answer_beeps(const SettingsFile& f) {
        static const char* const kBeeps[][2] = {
            {"sip_function:answer_local_beep_file", "sip_function:answer_local_beep_volume"},
            {"sip_function:answer_remote_beep_file", "sip_function:answer_remote_beep_volume"},
        };
        for (const auto& b : kBeeps) {
            char file[ANSWER_BEEP_FILE_SIZE];
            char volume[ANSWER_BEEP_VOLUME_SIZE];
            if (const char* bad = answer_beep_settings(b[0], b[1], file, volume))
                add(f, bad, "beep-setting",
                    q(bad == b[0] ? file : volume) +
                        " holds a blank, a control character or a \"..\" part: the answer beep is not sent",
                    bad == b[0] ? "give a file name under /usr/share/baresip/ without blanks or \"..\""
                                : "give the volume as a number");
        }
    }

    void holidays(const SettingsFile& f, const char* data) {
        if (data == nullptr) return;
        const char* key = "holidays:data";
        std::string kept(data, strnlen(data, HOLIDAYS_MAX));
        if (strlen(data) > HOLIDAYS_MAX)
            add(f, key, "holidays", printf_text("the list holds %zu characters: only the first %d are read", strlen(data),
                                    HOLIDAYS_MAX),
                "shorten the list, for example by joining ranges");
        std::vector<HolidayRange> ranges;
        if (!holiday_ranges(kept.c_str(), &ranges)) {
            add(f, key, "holidays", "the value is not a JSON object with a \"holidays\" list: no day counts as a holiday",
                "write it as {\"holidays\": [\"Y-M-D:Y-M-D\", ...]}");
            return;
        }
        for (size_t i = 0; i < ranges.size(); i++)
            if (!ranges[i].valid)
                add(f, key, "holidays",
                    printf_text("item %zu of the holiday list is not a text of the form Y-M-D:Y-M-D: it "
                                "matches no day",
                                i + 1),
                    "write each item as \"start:end\", each date as year-month-day");
    }
};

struct Unreadable {
    std::string path;  // the real path
    std::string why;   // the system's reason
};

const char* severity_name(Severity s) { return s == Severity::Error ? "error" : "warning"; }

void print_text(const std::vector<Finding>& findings, const std::vector<Unreadable>& unreadable) {
    size_t errors = 0;
    for (const Finding& f : findings) {
        errors += f.severity == Severity::Error;
        const std::string path = dev::Path(f.file.c_str()).c_str();
        if (f.line > 0)
            printf("%s:%d: %s: %s%s[%s]\n", path.c_str(), f.line, severity_name(f.severity), f.key.c_str(),
                   f.key.empty() ? "" : " ", f.code);
        else
            printf("%s: %s: %s (not in the file) [%s]\n", path.c_str(), severity_name(f.severity), f.key.c_str(),
                   f.code);
        printf("  at run time: %s\n  fix: %s\n", f.runtime.c_str(), f.fix.c_str());
    }
    const size_t warnings = findings.size() - errors;
    // "no findings" only when every file was read
    std::string counts = findings.empty() && unreadable.empty() ? std::string("no findings")
                                          : printf_text("%zu error%s, %zu warning%s", errors, errors == 1 ? "" : "s",
                                                        warnings, warnings == 1 ? "" : "s");
    if (unreadable.empty())
        puts(counts.c_str());
    else
        printf("%zu file%s could not be read%s%s\n", unreadable.size(), unreadable.size() == 1 ? "" : "s",
               unreadable.size() < kFiles ? "; in the others: " : "", unreadable.size() < kFiles ? counts.c_str() : "");
}

void print_json(const std::vector<Finding>& findings, const std::vector<Unreadable>& unreadable) {
    cJSON* root = cJSON_CreateObject();
    cJSON_AddNumberToObject(root, "version", kJsonVersion);
    cJSON* list = cJSON_AddArrayToObject(root, "findings");
    size_t errors = 0;
    for (const Finding& f : findings) {
        errors += f.severity == Severity::Error;
        cJSON* o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "file", dev::Path(f.file.c_str()).c_str());
        cJSON_AddNumberToObject(o, "line", f.line);
        cJSON_AddStringToObject(o, "key", f.key.c_str());
        cJSON_AddStringToObject(o, "code", f.code);
        cJSON_AddStringToObject(o, "severity", severity_name(f.severity));
        cJSON_AddStringToObject(o, "runtime", f.runtime.c_str());
        cJSON_AddStringToObject(o, "fix", f.fix.c_str());
        cJSON_AddItemToArray(list, o);
    }
    cJSON_AddNumberToObject(root, "errors", static_cast<double>(errors));
    cJSON_AddNumberToObject(root, "warnings", static_cast<double>(findings.size() - errors));
    cJSON* bad = cJSON_AddArrayToObject(root, "unreadable");
    for (const Unreadable& u : unreadable) {
        cJSON* o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "file", u.path.c_str());
        cJSON_AddStringToObject(o, "error", u.why.c_str());
        cJSON_AddItemToArray(bad, o);
    }
    put_json(root);
}

}  // namespace

int cmd_check(int argc, char** argv) {
    Options opt;
    const int done = read_options("check", argc, argv,
                                  "usage: callctl check [--root DIR] [--json] [--strict] [-q]\n"
                                  "Reports what callctld would misread, refuse or never read in its settings files.\n"
                                  "--strict: warnings count like errors. -q: print nothing, only the exit status.\n"
                                  "Exit status: 0 no errors, 1 errors (or warnings with --strict), 2 a file cannot\n"
                                  "be read, 3 the output cannot be written.",
                                  kOptJson | kOptQuiet | kOptStrict, &opt);
    if (done >= 0) return done;

    Checker c;
    std::vector<Unreadable> unreadable;
    std::string why;
    std::string onekey_line;
    if (readable_file(dev::SPEAKER_CONF, &why)) {
        const SettingsFile speaker(dev::SPEAKER_CONF);
        if (const SettingsLine* e = speaker.entry("intercom:onekey_line")) onekey_line = e->value;
    }
    for (const char* path : {dev::SPEAKER_CONF, dev::VOLCTRL_CONF, dev::SCHEDULE_CONF}) {
        // refused before it is opened for reading: a FIFO would block
        if (!readable_file(path, &why)) {
            unreadable.push_back({dev::Path(path).c_str(), why});
            continue;
        }
        errno = 0;
        const SettingsFile f(path);
        if (!f.readable()) {
            unreadable.push_back({dev::Path(path).c_str(), strerror(errno != 0 ? errno : EIO)});
            continue;
        }
        size_t first = c.findings.size();
        c.lines(f);
        // the daemon reads nothing from a file it cannot load
        dictionary* d = f.loads() ? settings_load_quiet(path) : nullptr;
        if (d != nullptr) {
            c.layout(f);
            c.names(f, onekey_line);
            c.values(f, d);
            if (strcmp(path, dev::SPEAKER_CONF) == 0) c.speaker(f);
            if (strcmp(path, dev::SCHEDULE_CONF) == 0) c.schedule(f, d);
            settings_free(d);
        }
        // each file's findings in the order of its lines
        std::stable_sort(c.findings.begin() + static_cast<std::ptrdiff_t>(first), c.findings.end(),
                         [](const Finding& a, const Finding& b) { return a.line < b.line; });
    }
    if (!opt.quiet)
        for (const Unreadable& u : unreadable) fprintf(stderr, "callctl check: cannot read %s: %s\n", u.path.c_str(), u.why.c_str());
    bool failing = false;
    for (const Finding& f : c.findings) failing = failing || f.severity == Severity::Error || opt.strict;
    const int status = !unreadable.empty() ? 2 : failing ? 1 : 0;
    if (opt.quiet) return status;
    if (opt.json)
        print_json(c.findings, unreadable);
    else
        print_text(c.findings, unreadable);
    return finish("check", status);
}

}  // namespace callctl
