#include "settings_index.h"

#include <algorithm>
#include <cctype>

#include "device.h"
#include "outputs.h"

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

// The keys whose value the daemon reads as something other than text. A
// section "schedule_N" stands for all thirty entries.
struct RuleRow {
    const char* file;
    const char* section;
    const char* key;
    KeyRule rule;
};
const RuleRow kRules[] = {
    {dev::SPEAKER_CONF, "system", "language", {Reading::Choice, 0, 0, "en"}},
    {dev::SPEAKER_CONF, "system", "hard_version", {Reading::Choice, 0, 0, "Ver3.2"}},
    {dev::SPEAKER_CONF, "intercom", "key_action", {Reading::Choice, 0, 0, "call|http|play"}},
    {dev::SPEAKER_CONF, "relay_ctrl", "state_info", {Reading::Choice, 0, 0, "incoming|outgoing|both|answered|hangup"}},
    {dev::SPEAKER_CONF, "relay_ctrl", "mode", {Reading::Choice, 0, 0, "delay|answered|hangup"}},
    {dev::SPEAKER_CONF, "screen_ctrl", "mode", {Reading::Choice, 0, 0, "delay|answered|hangup"}},
    {dev::SPEAKER_CONF, "system", "syslog", {Reading::Flag}},
    {dev::SPEAKER_CONF, "intercom", "repress_cancel", {Reading::Flag}},
    {dev::SPEAKER_CONF, "intercom", "audio_repeat", {Reading::Decimal, 0, INT_MAX}},
    {dev::SPEAKER_CONF, "intercom", "max_call_time", {Reading::Seconds, 0, 1000000000L}},
    {dev::SPEAKER_CONF, "relay_ctrl", "duration", {Reading::Release, 0, RELEASE_MAX_SECONDS}},
    {dev::SPEAKER_CONF, "relay_ctrl", "call_state", {Reading::Flag}},
    {dev::SPEAKER_CONF, "relay_ctrl", "dtmf", {Reading::Flag}},
    {dev::SPEAKER_CONF, "relay_ctrl", "off_at_start", {Reading::Flag}},
    {dev::SPEAKER_CONF, "relay_ctrl", "max_on", {Reading::Seconds, 0, 1000000000L}},
    {dev::SPEAKER_CONF, "screen_ctrl", "duration", {Reading::Release, 0, RELEASE_MAX_SECONDS}},
    {dev::SPEAKER_CONF, "screen_ctrl", "dtmf", {Reading::Flag}},
    {dev::SPEAKER_CONF, "ai_settings", "enable", {Reading::Flag}},
    {dev::SPEAKER_CONF, "sip_function", "answer_local_beep", {Reading::Flag}},
    {dev::SPEAKER_CONF, "sip_function", "answer_remote_beep", {Reading::Flag}},
    {dev::SPEAKER_CONF, "sip_function", "hangup_beep", {Reading::Flag}},
    {dev::SPEAKER_CONF, "call_action_url", "unregistered_enable", {Reading::Flag}},
    {dev::SPEAKER_CONF, "call_action_url", "incoming_enable", {Reading::Flag}},
    {dev::SPEAKER_CONF, "call_action_url", "outgoing_enable", {Reading::Flag}},
    {dev::SPEAKER_CONF, "call_action_url", "answered_enable", {Reading::Flag}},
    {dev::SPEAKER_CONF, "call_action_url", "closed_enable", {Reading::Flag}},
    {dev::SPEAKER_CONF, "call_action_url", "door_enable", {Reading::Flag}},
    {dev::SPEAKER_CONF, "account_info_1", "enable", {Reading::Flag}},
    {dev::SPEAKER_CONF, "account_info_2", "enable", {Reading::Flag}},
    {dev::SPEAKER_CONF, "account_info_3", "enable", {Reading::Flag}},
    {dev::SPEAKER_CONF, "account_info_p2p", "enable", {Reading::Flag}},
    {dev::VOLCTRL_CONF, "volume", "key_beep", {Reading::Flag}},
    {dev::SCHEDULE_CONF, "driver", "enable", {Reading::Flag}},
    {dev::SCHEDULE_CONF, "driver", "catch_up", {Reading::CatchUp, 0, 10080}},
    {dev::SCHEDULE_CONF, "driver", "sunday", {Reading::Sunday, 0, 7}},
    {dev::SCHEDULE_CONF, "schedule_N", "enable", {Reading::Flag}},
    {dev::SCHEDULE_CONF, "schedule_N", "enholiday", {Reading::Flag}},
    {dev::SCHEDULE_CONF, "schedule_N", "enBeep", {Reading::Flag}},
    {dev::SCHEDULE_CONF, "schedule_N", "s_year", {Reading::Integer, 1970, 9999}},
    {dev::SCHEDULE_CONF, "schedule_N", "e_year", {Reading::Integer, 1970, 9999}},
    {dev::SCHEDULE_CONF, "schedule_N", "s_month", {Reading::Integer, 1, 12}},
    {dev::SCHEDULE_CONF, "schedule_N", "e_month", {Reading::Integer, 1, 12}},
    {dev::SCHEDULE_CONF, "schedule_N", "s_day", {Reading::Integer, 1, 31}},
    {dev::SCHEDULE_CONF, "schedule_N", "e_day", {Reading::Integer, 1, 31}},
    {dev::SCHEDULE_CONF, "schedule_N", "s_hour", {Reading::Integer, 0, 23}},
    {dev::SCHEDULE_CONF, "schedule_N", "e_hour", {Reading::Integer, 0, 23}},
    {dev::SCHEDULE_CONF, "schedule_N", "s_min", {Reading::Integer, 0, 59}},
    {dev::SCHEDULE_CONF, "schedule_N", "e_min", {Reading::Integer, 0, 59}},
    {dev::SCHEDULE_CONF, "schedule_N", "interval", {Reading::Integer, 0, 1439}},
    // the count is held in 7 characters
    {dev::SCHEDULE_CONF, "schedule_N", "play_times", {Reading::Decimal, 0, 9999999}},
    {dev::SCHEDULE_CONF, "schedule_N", "priority", {Reading::Integer, 0, INT_MAX}},
    {dev::SCHEDULE_CONF, "schedule_N", "volume", {Reading::Integer, 0, 100}},
};

// "schedule_12" as "schedule_N"; any other section as it is (lower case).
std::string section_family(const std::string& section) {
    const std::string s = lower(section);
    if (s.compare(0, 9, "schedule_") == 0 && s.size() > 9 &&
        s.find_first_not_of("0123456789", 9) == std::string::npos)
        return "schedule_N";
    return s;
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

KeyRule key_rule(const std::string& file, const std::string& name) {
    const size_t colon = name.find(':');
    if (colon == std::string::npos || !is_known_key(file, name, "")) return KeyRule();
    const std::string family = section_family(name.substr(0, colon));
    const std::string key = lower(name.substr(colon + 1));
    for (const RuleRow& r : kRules)
        if (file == r.file && family == r.section && key == lower(r.key)) return r.rule;
    return KeyRule();
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
