// HTTP action requests: filling placeholders into a URL template and firing
// the request through curl in the background.
#include <cstdio>
#include <cstring>

#include "buttons.h"
#include "debug.h"
#include "device.h"
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

namespace {
constexpr const char* CURL_HEAD = "curl -k --connect-timeout 5 '";
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

bool action_url_fired(const char* url) {
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
