// HTTP action requests: filling placeholders into a URL template and firing
// the request through curl in the background.
#include <cstdio>
#include <cstring>

#include "action_url.h"
#include "address.h"
#include "debug.h"
#include "device.h"
#include "settings.h"
#include "text.h"

char* strrpl(char* text, const char* pattern, const char* repl) {
    size_t plen = strlen(pattern);
    size_t rlen = strlen(repl);
    if (plen == 0) return text;
    char* at = strstr(text, pattern);
    while (at != nullptr) {
        char* rest = at + plen;
        // the remainder, terminator included, moves to just after where the
        // replacement will end
        memmove(at + rlen, rest, strlen(rest) + 1);
        memcpy(at, repl, rlen);
        // go on after the replacement: a value holding the pattern is kept
        at = strstr(at + rlen, pattern);
    }
    return text;
}

size_t strrpl_length(const char* text, const char* pattern, const char* repl) {
    size_t len = strlen(text);
    size_t plen = strlen(pattern);
    size_t rlen = strlen(repl);
    if (plen == 0) return len;
    size_t count = 0;
    for (const char* at = strstr(text, pattern); at != nullptr; at = strstr(at + plen, pattern)) ++count;
    return len - count * plen + count * rlen;
}

bool url_fill(char* url, const char* placeholder, const char* value) {
    if (strrpl_length(url, placeholder, value) > ACTION_URL_MAX) {
        printf("action url longer than %d characters after filling in %s, request not sent\n",
               ACTION_URL_MAX, placeholder);
        return false;
    }
    strrpl(url, placeholder, value);
    return true;
}

size_t percent_encode(char* dst, size_t cap, const char* src) {
    static const char hex[] = "0123456789ABCDEF";
    size_t n = 0;
    size_t written = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src ? src : ""); *p; ++p) {
        char enc[4] = {static_cast<char>(*p), 0, 0, 0};
        bool keep = (*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') ||
                    *p == '-' || *p == '.' || *p == '_' || *p == '~';
        if (!keep) {
            enc[0] = '%';
            enc[1] = hex[*p >> 4];
            enc[2] = hex[*p & 0xf];
        }
        size_t len = strlen(enc);
        // cut before the first code that does not fit whole
        if (written == n && n + len < cap) {
            memcpy(dst + n, enc, len);
            written += len;
        }
        n += len;
    }
    if (cap > 0) dst[written] = '\0';
    return n;
}

bool url_template(const char* key, char (&url)[ACTION_URL_TEMPLATE_CAP]) {
    GetCmdValue(dev::SPEAKER_CONF, key, url);
    if (strlen(url) > ACTION_URL_MAX) {
        printf("action url longer than %d characters, request not sent\n", ACTION_URL_MAX);
        return false;
    }
    return true;
}

bool url_fill_device(char* url) {
    // An address that cannot be read leaves its placeholder in place.
    if (strstr(url, "${ip}") != nullptr) {
        char ip[16];
        if (get_ip(ip) && !url_fill(url, "${ip}", ip)) return false;
    }
    if (strstr(url, "${mac}") != nullptr) {
        char mac[16];
        if (get_mac(mac) && !url_fill(url, "${mac}", mac)) return false;
    }
    if (strstr(url, "${ua}") != nullptr) {
        char line_setting[24];
        char key[40];
        char user[32];
        GetCmdValue(dev::SPEAKER_CONF, "intercom:onekey_line", line_setting);
        str_format(key, sizeof key, "%s:username", line_setting);
        GetCmdValue(dev::SPEAKER_CONF, key, user);
        if (!url_fill(url, "${ua}", user)) return false;
    }
    return true;
}

namespace {
constexpr const char* CURL_HEAD = "curl -k --connect-timeout 5 '";
constexpr const char* CURL_MAX_TIME_HEAD = "curl -k --connect-timeout 5 --max-time %d '";
constexpr const char* CURL_TAIL = "' 2>/dev/null &";
// Inside the single-quoted argument a quote is written as: close the quote,
// an escaped quote, reopen.
constexpr const char* QUOTE_IN_QUOTES = "'\\''";
// The command with the longest URL, every character of it a quote.
constexpr size_t CURL_CMD_CAP = 64 + ACTION_URL_MAX * 4;
}  // namespace

UrlRefusal action_url_refusal(const char* url) {
    if (url == nullptr) url = "";
    if (strlen(url) > ACTION_URL_MAX) return URL_TOO_LONG;
    // curl would read a leading dash as an option, quoted or not
    if (url[0] == '-') return URL_LEADING_DASH;
    return URL_FIRED;
}

bool action_url_fired(const char* url) { return action_url_fired(url, 0); }

bool action_url_fired(const char* url, int max_time_s) {
    if (url == nullptr) url = "";
    switch (action_url_refusal(url)) {
    case URL_TOO_LONG:
        printf("action url longer than %d characters, request not sent\n", ACTION_URL_MAX);
        return false;
    case URL_LEADING_DASH:
        printf("action url begins with '-', request not sent: %s\n", url);
        return false;
    case URL_FIRED: break;
    }
    char cmd[CURL_CMD_CAP];
    if (max_time_s > 0)
        str_format(cmd, sizeof cmd, CURL_MAX_TIME_HEAD, max_time_s);
    else
        str_copy(cmd, CURL_HEAD);
    char one[2] = {0, 0};
    for (const char* p = url; *p; ++p) {
        if (*p == '\'') {
            str_append(cmd, QUOTE_IN_QUOTES);
        } else {
            one[0] = *p;
            str_append(cmd, one);
        }
    }
    str_append(cmd, CURL_TAIL);
    if (debug_on()) printf("Command: %s\n", cmd);
    dev::run_shell(cmd);
    return true;
}

void action_url(const char* url) { action_url_fired(url); }
