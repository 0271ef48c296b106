// callctl check: reads the three settings files the way callctld does and
// reports everything the daemon would meet silently at run time: values it
// refuses or clamps, lines the INI reader refuses, and sections and keys it
// never reads. Every value rule is the daemon's own function; this file only
// says where a value stands and what to do about it.
#include <cjson/cJSON.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdarg>
#include <cstdio>
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

struct Finding {
    std::string file;
    int line;         // 0: the key is missing from the file
    std::string key;  // "section:key", a section, or "" for a whole line
    std::string runtime;
    std::string fix;
};

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

    void add(const SettingsFile& f, int line, const std::string& key, std::string runtime, std::string fix) {
        findings.push_back({f.path(), line, key, std::move(runtime), std::move(fix)});
    }
    void add(const SettingsFile& f, const std::string& key, std::string runtime, std::string fix) {
        add(f, f.line_of(key), key, std::move(runtime), std::move(fix));
    }

    // Lines the readers refuse.
    void lines(const SettingsFile& f) {
        for (const SettingsLine& l : f.lines()) {
            if (l.kind == SettingsLine::Error)
                add(f, l.line, "",
                    "the line \"" + l.text +
                        "\" is neither a [section], a key = value nor a comment: callctld cannot load "
                        "the file (\"cannot parse file\") and every setting in it reads as missing",
                    "write it as key = value inside a [section], or begin it with ';' to keep it as a comment");
            if (l.text.size() > kStockLineMax)
                add(f, l.line, l.kind == SettingsLine::Entry ? l.name : "",
                    printf_text("the line holds %zu characters: callctld reads it, but a service reading the "
                                "file with the stock INI reader (at most %zu) refuses the whole file",
                                l.text.size(), kStockLineMax),
                    "shorten the value");
        }
    }

    // Sections and keys callctld never reads.
    void names(const SettingsFile& f, const std::string& onekey_line) {
        std::string section;
        bool section_known = true;
        for (const SettingsLine& l : f.lines()) {
            if (l.kind == SettingsLine::Section) {
                section = l.name;
                section_known = is_known_section(f.path(), section, onekey_line);
                if (!section_known) {
                    std::string near = closest_section(f.path(), section);
                    add(f, l.line, section,
                        "callctld never reads the section [" + section + "] nor any key in it",
                        near.empty() ? "remove it if no other service of the device reads it"
                                     : "did you mean [" + near + "]? rename it");
                }
            } else if (l.kind == SettingsLine::Entry && section_known &&
                       !is_known_key(f.path(), l.name, onekey_line)) {
                std::string near = closest_key(f.path(), l.name);
                add(f, l.line, l.name, "callctld never reads " + l.name + ": the value has no effect",
                    near.empty() ? "remove it if no other service of the device reads it"
                                 : "did you mean " + near + "? rename the key");
            }
        }
    }

    void speaker(const SettingsFile& f) {
        durations(f);
        screen(f);
        urls(f);
        key_audio_file(f);
        onekey_line(f);
        accounts(f);
        answer_beeps(f);
    }

    void schedule(const SettingsFile& f) {
        dictionary* d = settings_load(f.path());
        if (d == nullptr) return;
        bool driver_off = false;
        holidays(f, settings_string(d, "holidays:data", nullptr));
        for (int n = 1; n <= SCHEDULE_ENTRIES; n++) {
            std::string s = "schedule_" + std::to_string(n) + ":";
            const char* screen = settings_string(d, (s + "trigger_screen").c_str(), nullptr);
            if (screen != nullptr) entry_screen(f, s + "trigger_screen", screen);
            const char* file = settings_string(d, (s + "audio_file").c_str(), "");
            const char* times = settings_string(d, (s + "play_times").c_str(), "");
            if (file[0] != '\0' && !schedule_file_fits(file, times))
                add(f, s + "audio_file",
                    printf_text("the sound file name (%zu characters) does not fit: the entry starts but plays "
                                "nothing",
                                strlen(file)),
                    "give a name of at most 63 characters, at most 44 when play_times is empty or 0");
            never_plays(f, d, n, &driver_off);
        }
        if (driver_off)
            add(f, "driver:enable",
                "the schedule's driver is off: no enabled entry ever plays, nothing evaluates the schedule",
                "set driver:enable = yes in section [driver] to play the schedule");
        settings_free(d);
    }

private:
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
            add(f, f.line_or_section(key), key, std::string("the entry never plays: ") + never_reason_text(r), w.fix);
        }
    }

    void durations(const SettingsFile& f) {
        for (const char* key : {"relay_ctrl:duration", "screen_ctrl:duration"}) {
            const SettingsLine* e = f.entry(key);
            bool clamped = false;
            unsigned s = release_setting(key, &clamped);
            if (e != nullptr && clamped)
                add(f, e->line, key,
                    printf_text("the timed release waits %u seconds, not %s: durations are 0 to %d seconds",
                                s, e->value.c_str(), RELEASE_MAX_SECONDS),
                    printf_text("give a whole number of seconds from 0 to %d", RELEASE_MAX_SECONDS));
        }
    }

    void screen(const SettingsFile& f) {
        char id[SCREEN_ID_SIZE];
        screen_setting(id);
        if (f.entry("screen_ctrl:type") != nullptr && !screen_id_ok(id))
            add(f, "screen_ctrl:type",
                printf_text("the screen id \"%s\" is not a number: every screen on/off command is refused", id),
                "give the screen's number, for example 1");
    }

    void entry_screen(const SettingsFile& f, const std::string& key, const char* value) {
        // held in a field of 9 bytes, like the evaluation's
        char screen[sizeof PlayRequest::trigger_screen];
        str_copy(screen, value);
        if (strcmp(screen, "Disabled") != 0 && !screen_id_ok(screen))
            add(f, key,
                printf_text("the screen id \"%s\" is neither a number nor Disabled: the entry's screen on/off "
                            "commands are refused",
                            screen),
                "give the screen's number, or Disabled for no screen");
    }

    void urls(const SettingsFile& f) {
        if (const SettingsLine* e = f.entry("intercom:http_url")) {
            char url[KEY_HTTP_URL_SIZE];
            GetCmdValue(f.path(), "intercom:http_url", url);
            if (e->value.size() > strlen(url))
                add(f, e->line, e->name,
                    printf_text("the URL holds %zu characters: the key action \"http\" requests only its first %zu",
                                e->value.size(), strlen(url)),
                    printf_text("shorten the URL to at most %zu characters", strlen(url)));
            if (action_url_refusal(url) == URL_LEADING_DASH)
                add(f, e->line, e->name, "the URL begins with '-': the request is refused",
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
                add(f, e->line, e->name,
                    printf_text("with its placeholders filled in, the URL can reach %zu characters: the request "
                                "is refused when it does not fit %d",
                                longest, ACTION_URL_MAX),
                    printf_text("shorten the URL so that it stays within %d characters with ${ip} as 15, "
                                "${mac} as 12, ${ua} and ${number} as 31 characters",
                                ACTION_URL_MAX));
            if (action_url_refusal(e->value.c_str()) == URL_LEADING_DASH)
                add(f, e->line, e->name, "the URL begins with '-': the request is refused",
                    "give the whole URL, beginning with http:// or https://");
        }
    }

    void key_audio_file(const SettingsFile& f) {
        const SettingsLine* e = f.entry("intercom:audio_file");
        if (e == nullptr) return;
        char file[KEY_AUDIO_FILE_SIZE];
        GetCmdValue(f.path(), "intercom:audio_file", file);
        if (e->value.size() > strlen(file))
            add(f, e->line, e->name,
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
            add(f, "intercom:onekey_line",
                printf_text("\"%s\" names no line: every one-key call is abandoned", line),
                "give auto, p2p, account_info_1, account_info_2 or account_info_3");
            return;
        }
        int table[4];
        get_line(table);
        int n = numbered_account(line);
        if (n != 0 && table[n] == -1)
            add(f, "intercom:onekey_line",
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
                add(f, a.username_key,
                    "the account is enabled without a user name: its status key and its address of record "
                    "are built with an empty name, so it normally never counts as registered",
                    "give the account's user name, or set enable = no");
            if (host[0] == '\0')
                add(f, a.domain_key,
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
                add(f, bad,
                    printf_text("\"%s\" holds a blank, a control character or a \"..\" part: the answer beep "
                                "is not sent",
                                bad == b[0] ? file : volume),
                    bad == b[0] ? "give a file name under /usr/share/baresip/ without blanks or \"..\""
                                : "give the volume as a number");
        }
    }

    void holidays(const SettingsFile& f, const char* data) {
        if (data == nullptr) return;
        const char* key = "holidays:data";
        std::string kept(data, strnlen(data, HOLIDAYS_MAX));
        if (strlen(data) > HOLIDAYS_MAX)
            add(f, key, printf_text("the list holds %zu characters: only the first %d are read", strlen(data),
                                    HOLIDAYS_MAX),
                "shorten the list, for example by joining ranges");
        std::vector<HolidayRange> ranges;
        if (!holiday_ranges(kept.c_str(), &ranges)) {
            add(f, key, "the value is not a JSON object with a \"holidays\" list: no day counts as a holiday",
                "write it as {\"holidays\": [\"Y-M-D:Y-M-D\", ...]}");
            return;
        }
        for (size_t i = 0; i < ranges.size(); i++)
            if (!ranges[i].valid)
                add(f, key,
                    printf_text("item %zu of the holiday list is not a text of the form Y-M-D:Y-M-D: it "
                                "matches no day",
                                i + 1),
                    "write each item as \"start:end\", each date as year-month-day");
    }
};

void print_text(const std::vector<Finding>& findings) {
    for (const Finding& f : findings) {
        if (f.line > 0)
            printf("%s:%d:%s%s\n", f.file.c_str(), f.line, f.key.empty() ? "" : " ", f.key.c_str());
        else
            printf("%s: %s (not in the file)\n", f.file.c_str(), f.key.c_str());
        printf("  at run time: %s\n  fix: %s\n", f.runtime.c_str(), f.fix.c_str());
    }
    if (findings.empty())
        puts("no findings");
    else
        printf("%zu finding%s\n", findings.size(), findings.size() == 1 ? "" : "s");
}

void print_json(const std::vector<Finding>& findings, const std::vector<std::string>& unreadable) {
    cJSON* root = cJSON_CreateObject();
    cJSON* list = cJSON_AddArrayToObject(root, "findings");
    for (const Finding& f : findings) {
        cJSON* o = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "file", f.file.c_str());
        cJSON_AddNumberToObject(o, "line", f.line);
        cJSON_AddStringToObject(o, "key", f.key.c_str());
        cJSON_AddStringToObject(o, "runtime", f.runtime.c_str());
        cJSON_AddStringToObject(o, "fix", f.fix.c_str());
        cJSON_AddItemToArray(list, o);
    }
    cJSON* bad = cJSON_AddArrayToObject(root, "unreadable");
    for (const std::string& u : unreadable) cJSON_AddItemToArray(bad, cJSON_CreateString(u.c_str()));
    put_json(root);
}

}  // namespace

int cmd_check(int argc, char** argv) {
    bool json = false;
    const int done = json_options("check", argc, argv,
                                  "usage: callctl check [--root DIR] [--json]\n"
                                  "Reports what callctld would meet silently in its settings files.\n"
                                  "Exit status: 0 no findings, 1 findings, 2 a file cannot be read.",
                                  &json);
    if (done >= 0) return done;

    Checker c;
    std::vector<std::string> unreadable;
    const SettingsFile speaker(dev::SPEAKER_CONF);
    std::string onekey_line;
    if (const SettingsLine* e = speaker.entry("intercom:onekey_line")) onekey_line = e->value;
    for (const char* path : {dev::SPEAKER_CONF, dev::VOLCTRL_CONF, dev::SCHEDULE_CONF}) {
        const SettingsFile f(path);
        if (!f.readable()) {
            fprintf(stderr, "callctl check: cannot read %s%s\n", dev::root(), path);
            unreadable.push_back(path);
            continue;
        }
        size_t first = c.findings.size();
        c.lines(f);
        c.names(f, onekey_line);
        // the daemon reads nothing from a file it cannot load
        if (f.loads() && strcmp(path, dev::SPEAKER_CONF) == 0) c.speaker(f);
        if (f.loads() && strcmp(path, dev::SCHEDULE_CONF) == 0) c.schedule(f);
        // each file's findings in the order of its lines
        std::stable_sort(c.findings.begin() + static_cast<std::ptrdiff_t>(first), c.findings.end(),
                         [](const Finding& a, const Finding& b) { return a.line < b.line; });
    }
    if (json)
        print_json(c.findings, unreadable);
    else
        print_text(c.findings);
    if (!unreadable.empty()) return 2;
    return c.findings.empty() ? 0 : 1;
}

}  // namespace callctl
