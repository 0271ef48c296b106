// Placeholder replacement and the HTTP request command. Input: parts split at
// NUL bytes. Byte 0 picks the mode:
//   even: strrpl(text, pattern, replacement) with parts 1..3, compared with a
//         plain model, and the request command built for the result; the
//         percent-encoding of the text, whole and cut at the replacement's
//         length;
//   odd:  the unregistered request of a press with no registered account,
//         with parts 1..6 as the URL template, the address and MAC look-up
//         lines, the line setting, its user name and the number.
// Every command the shell would run must hand curl exactly the URL.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "buttons.h"
#include "call_state.h"
#include "device.h"
#include "pool.h"
#include "support.h"
#include "text.h"

using namespace fuzzsupport;

namespace {
constexpr const char* kHead = "curl -k --connect-timeout 5 '";
constexpr const char* kTail = "' 2>/dev/null &";

std::vector<std::string> split(const uint8_t* data, size_t size, size_t parts) {
    std::vector<std::string> out(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0 && out.size() < parts) {
            out.emplace_back();
        } else {
            out.back() += static_cast<char>(data[i]);
        }
    }
    out.resize(parts);
    return out;
}

// Each search goes on after the inserted replacement.
std::string model_replace(std::string text, const std::string& pat, const std::string& rep) {
    if (pat.empty()) return text;
    for (size_t at = text.find(pat); at != std::string::npos; at = text.find(pat, at + rep.size()))
        text.replace(at, pat.size(), rep);
    return text;
}

// What sh makes of the command's single argument: quoted runs taken as
// written, joined by \' (an escaped quote). False when the command has any
// other shape.
bool shell_argument(const std::string& cmd, std::string* arg) {
    const std::string head = kHead;
    const std::string tail = kTail;
    if (cmd.size() < head.size() + tail.size() || cmd.compare(0, head.size(), head) != 0 ||
        cmd.compare(cmd.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    std::string mid = cmd.substr(head.size(), cmd.size() - head.size() - tail.size());
    arg->clear();
    for (size_t i = 0; i < mid.size(); i++) {
        if (mid[i] != '\'') {
            *arg += mid[i];
            continue;
        }
        if (mid.compare(i, 4, "'\\''") != 0) return false;
        *arg += '\'';
        i += 3;
    }
    return true;
}

void check_fired(const std::string& url, bool fired) {
    auto& cmds = shell_commands();
    if (!fired) {
        check(cmds.empty(), "a refused request runs nothing");
        check(url.size() > ACTION_URL_MAX || (!url.empty() && url[0] == '-'), "only over-long or dash URLs are refused");
        return;
    }
    check(cmds.size() == 1, "a fired request runs one command");
    std::string arg;
    check(shell_argument(cmds[0], &arg), "the command is curl with one single-quoted argument");
    check(arg == url, "the shell hands curl exactly the URL");
    check(url.size() <= ACTION_URL_MAX && (url.empty() || url[0] != '-'), "a fired URL fits and is no option");
}

std::string clean_value(std::string v) {
    // a value as an INI file can hold it: one line, in double quotes
    std::string out;
    for (char c : v)
        if (c != '"' && c != '\n' && c != '\r' && c != '\0') out += c;
    return out;
}

struct Lookups {
    std::string ip;
    std::string mac;
};
Lookups g_lookups;

// The first line of a look-up as fgets reads it: up to and with its first
// newline, at most 31 characters.
std::string first_line(const std::string& out) {
    size_t nl = out.find('\n');
    std::string line = nl == std::string::npos ? out : out.substr(0, nl + 1);
    return line.substr(0, 31);
}

int fake_pipe(const char* cmd, char* line, size_t cap) {
    const std::string& out = strstr(cmd, "inet") != nullptr ? g_lookups.ip : g_lookups.mac;
    memset(line, 0, cap);
    if (out.empty()) return 0;
    str_copy(line, cap, first_line(out).c_str());
    return 1;
}

// The address as get_ip/get_mac take it from the look-up's first line.
bool model_address(const std::string& out, std::string* addr) {
    std::string line = first_line(out);
    if (line.size() <= 9) return false;
    line = line.substr(0, line.find('\n'));
    if (line.size() >= 16) return false;
    *addr = line;
    return true;
}

void unregistered_request(const std::vector<std::string>& p) {
    std::string tmpl = clean_value(p[1]);
    g_lookups.ip = p[2];
    g_lookups.mac = p[3];
    std::string line = clean_value(p[4]).substr(0, 23);
    std::string user = clean_value(p[5]).substr(0, 31);
    std::string number = clean_value(p[6]).substr(0, 31);
    // the line setting names the section of the user name
    bool line_ok = !line.empty() && line.find_first_of("[]=:;#'\" \t\\\x0b\x0c") == std::string::npos;
    std::string conf = "[call_action_url]\nunregistered_enable = yes\nunregistered_url = \"" + tmpl + "\"\n";
    conf += "[intercom]\nonekey_num = \"" + number + "\"\n";
    if (line_ok) conf += "onekey_line = " + line + "\n[" + line + "]\nusername = \"" + user + "\"\n";
    write_file("/etc/speaker.conf", conf);

    shell_commands().clear();
    BARESIP_STATUS.store(5);
    keyAction(1);

    // the model: the template as written (it is quoted), then ip, mac, ua
    // and number in turn
    std::string url = tmpl;
    if (url.size() > ACTION_URL_MAX) {
        check(shell_commands().empty(), "an over-long template is refused");
        return;
    }
    std::string value;
    bool cut = false;
    auto fill = [&](const char* ph, const std::string& v) {
        if (cut || url.find(ph) == std::string::npos) return;
        std::string next = model_replace(url, ph, v);
        if (next.size() > ACTION_URL_MAX) {
            cut = true;
            return;
        }
        url = next;
    };
    if (model_address(g_lookups.ip, &value)) fill("${ip}", value);
    if (model_address(g_lookups.mac, &value)) fill("${mac}", value);
    fill("${ua}", line_ok ? user : "");
    fill("${number}", number);
    if (cut) {
        check(shell_commands().empty(), "a URL that would not fit is refused");
        return;
    }
    bool fired = !shell_commands().empty();
    check_fired(url, fired);
}
// A call's value goes into a request URL percent-encoded: letters, digits and
// "-._~" as they are, every other byte as "%XX". Cut at a capacity, the text
// ends before the first code that does not fit whole.
void check_percent_encode(const std::string& text, size_t cap) {
    std::string model;
    std::vector<size_t> ends;  // where each code ends in the model
    for (unsigned char c : text) {
        char code[4];
        if (isalnum(c) || strchr("-._~", c) != nullptr)
            snprintf(code, sizeof code, "%c", c);
        else
            snprintf(code, sizeof code, "%%%02X", c);
        model += code;
        ends.push_back(model.size());
    }
    std::vector<char> out(model.size() + 1);
    check(percent_encode(out.data(), out.size(), text.c_str()) == model.size(), "percent_encode tells the length");
    check(model == out.data(), "percent_encode encodes as the model does");
    if (cap == 0) return;
    std::vector<char> cut(cap);
    percent_encode(cut.data(), cap, text.c_str());
    size_t whole = 0;
    for (size_t e : ends)
        if (e < cap) whole = e;
    check(model.substr(0, whole) == cut.data(), "a cut encoding ends before the first code that does not fit");
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    record_runners();
    dev::set_pipe_runner(fake_pipe);
    device_root();
    dev::set_root("");  // command texts as on the device
    redisClient = nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::vector<std::string> p = split(data + 1, size - 1, 7);
    if ((data[0] & 1) == 0) {
        const std::string& text = p[0];
        const std::string& pat = p[1];
        const std::string& rep = p[2];
        std::string want = model_replace(text, pat, rep);
        size_t predicted = pat.empty() ? text.size() : strrpl_length(text.c_str(), pat.c_str(), rep.c_str());
        check(pat.empty() || predicted == want.size(), "strrpl_length predicts the result");
        // a buffer of exactly the room the result needs
        std::vector<char> buf(std::max(text.size(), want.size()) + 1);
        memcpy(buf.data(), text.c_str(), text.size() + 1);
        if (!pat.empty()) strrpl(buf.data(), pat.c_str(), rep.c_str());
        check(want == buf.data(), "strrpl replaces as the model does");

        shell_commands().clear();
        bool fired = action_url_fired(buf.data());
        check_fired(buf.data(), fired);
        check_percent_encode(text, rep.size());
    } else {
        // settings live in the device root for this mode
        dev::set_root(device_root().c_str());
        unregistered_request(p);
        dev::set_root("");
    }
    return 0;
}
