// HTTP action requests: filling placeholders into a URL template and firing
// the request through curl in the background. Used by the button actions (the
// key action "http", the unregistered request) and by the call-event
// requests of the SIP call handling.
#pragma once
#include <cstddef>

// Request URLs hold at most this many characters, also after placeholders
// have been filled in.
enum { ACTION_URL_MAX = 255 };

// A URL template is read into one byte more than a URL may hold, so an
// over-long template shows.
enum { ACTION_URL_TEMPLATE_CAP = ACTION_URL_MAX + 2 };
// Reads the URL template under key ("section:key" of "/etc/speaker.conf");
// false, with one line on standard output, when it is too long.
bool url_template(const char* key, char (&url)[ACTION_URL_TEMPLATE_CAP]);

// Replaces every occurrence of pattern (not empty) in text, in place; each
// search goes on after the inserted replacement, so a replacement that holds
// the pattern is not replaced again. The buffer must have room for the
// result (see strrpl_length). Returns text.
char* strrpl(char* text, const char* pattern, const char* repl);
// The length text would have after strrpl(text, pattern, repl).
size_t strrpl_length(const char* text, const char* pattern, const char* repl);

// Fills every placeholder in url (a buffer of at least ACTION_URL_MAX + 1
// bytes) with value when the result still fits; false, with one line on
// standard output, when it would not (the URL is then left as it was).
bool url_fill(char* url, const char* placeholder, const char* value);
// Fills the device's own placeholders, in this order: "${ip}" and "${mac}"
// (eth1's addresses; one that cannot be read leaves its placeholder),
// "${ua}" (the user name of the account "intercom:onekey_line" names, empty
// when there is none). False when the URL would grow too long.
bool url_fill_device(char* url);
// Writes src percent-encoded into dst: every byte but the unreserved ones
// (letters, digits, "-", ".", "_", "~") becomes "%XX". Cut at the capacity;
// returns the length the whole encoding has.
size_t percent_encode(char* dst, size_t cap, const char* src);

// Whether a request URL is fired, or why it is refused.
enum UrlRefusal { URL_FIRED, URL_TOO_LONG, URL_LEADING_DASH };
UrlRefusal action_url_refusal(const char* url);

// Fires one HTTP GET for url in the background.
void action_url(const char* url);
// The same, telling whether the request was started: a URL longer than
// ACTION_URL_MAX or beginning with "-" is refused with one line on standard
// output.
bool action_url_fired(const char* url);
// The same with a limit on the whole transfer, in seconds (0: none, the
// command of action_url).
bool action_url_fired(const char* url, int max_time_s);
