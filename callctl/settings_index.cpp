#include "settings_index.h"

#include <algorithm>
#include <cctype>

#include "device.h"

namespace callctl {
namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<KnownSection> speaker_index() {
    std::vector<KnownSection> v = {
        {"system", {"language", "hard_version", "syslog"}},
        {"intercom",
         {"key_action", "http_url", "audio_file", "audio_repeat", "onekey_num", "onekey_line", "repress_cancel",
          "max_call_time", "max_call_warning"}},
        {"relay_ctrl",
         {"type", "duration", "call_state", "state_info", "mode", "dtmf", "dtmf_code", "dtmf_allow", "off_at_start",
          "max_on"}},
        {"screen_ctrl", {"type", "duration", "dtmf", "dtmf_code", "mode"}},
        {"ai_settings", {"enable"}},
        {"sip_function",
         {"answer_local_beep", "answer_local_beep_file", "answer_local_beep_volume", "answer_remote_beep",
          "answer_remote_beep_file", "answer_remote_beep_volume", "hangup_beep", "hangup_beep_file",
          "hangup_beep_volume"}},
        {"call_action_url", {"unregistered_enable", "unregistered_url"}},
        {"account_info_p2p", {"enable"}},
    };
    // the call events' action requests
    for (const char* event : {"incoming", "outgoing", "answered", "closed", "door"}) {
        v[6].keys.push_back(std::string(event) + "_enable");
        v[6].keys.push_back(std::string(event) + "_url");
    }
    for (int n = 1; n <= 3; n++)
        v.push_back({"account_info_" + std::to_string(n), {"enable", "username", "domain", "server"}});
    return v;
}

std::vector<KnownSection> schedule_index() {
    std::vector<KnownSection> v = {
        {"holidays", {"data"}},
        {"driver", {"enable", "sunday", "catch_up"}},
    };
    for (int n = 1; n <= 30; n++)
        v.push_back({"schedule_" + std::to_string(n),
                     {"enable", "enholiday", "weeks", "s_year", "s_month", "s_day", "e_year", "e_month", "e_day",
                      "s_hour", "s_min", "e_hour", "e_min", "interval", "trigger_screen", "audio_file",
                      "play_times", "enBeep", "priority", "volume"}});
    return v;
}

const KnownSection* find_section(const std::string& file, const std::string& section) {
    for (const KnownSection& s : known_sections(file))
        if (lower(s.name) == lower(section)) return &s;
    return nullptr;
}

size_t distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++) row[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

// The candidate nearest to name, when near enough to be a slip of the keyboard.
std::string nearest(const std::string& name, const std::vector<std::string>& candidates) {
    std::string best;
    size_t best_d = 0;
    for (const std::string& c : candidates) {
        size_t d = distance(lower(name), lower(c));
        if (best.empty() || d < best_d) {
            best = c;
            best_d = d;
        }
    }
    size_t allowed = std::max<size_t>(2, name.size() / 3);
    return !best.empty() && best_d <= allowed ? best : std::string();
}

}  // namespace

const std::vector<KnownSection>& known_sections(const std::string& file) {
    static const std::vector<KnownSection> speaker = speaker_index();
    static const std::vector<KnownSection> volctrl = {{"volume", {"key_beep"}}};
    static const std::vector<KnownSection> sched = schedule_index();
    static const std::vector<KnownSection> none;
    if (file == dev::SPEAKER_CONF) return speaker;
    if (file == dev::VOLCTRL_CONF) return volctrl;
    if (file == dev::SCHEDULE_CONF) return sched;
    return none;
}

bool is_known_section(const std::string& file, const std::string& section, const std::string& onekey_line) {
    if (file == dev::SPEAKER_CONF && !onekey_line.empty() && lower(section) == lower(onekey_line)) return true;
    return find_section(file, section) != nullptr;
}

bool is_known_key(const std::string& file, const std::string& name, const std::string& onekey_line) {
    size_t colon = name.find(':');
    if (colon == std::string::npos) return false;
    std::string section = name.substr(0, colon);
    std::string key = lower(name.substr(colon + 1));
    if (file == dev::SPEAKER_CONF && !onekey_line.empty() && lower(section) == lower(onekey_line) &&
        key == "username")
        return true;
    const KnownSection* s = find_section(file, section);
    if (s == nullptr) return false;
    for (const std::string& k : s->keys)
        if (lower(k) == key) return true;
    return false;
}

std::string closest_key(const std::string& file, const std::string& name) {
    size_t colon = name.find(':');
    if (colon == std::string::npos) return "";
    const KnownSection* s = find_section(file, name.substr(0, colon));
    if (s == nullptr) return "";
    std::string k = nearest(name.substr(colon + 1), s->keys);
    return k.empty() ? k : s->name + ":" + k;
}

std::string closest_section(const std::string& file, const std::string& section) {
    std::vector<std::string> names;
    for (const KnownSection& s : known_sections(file)) names.push_back(s.name);
    return nearest(section, names);
}

}  // namespace callctl
