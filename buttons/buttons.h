// What presses of the call button and holds of the reset input do: the
// one-key call, answer and hang-up, the spoken IP address, the key beep, the
// HTTP action requests and the registration watchdog.
#pragma once
#include <cstddef>

// Press kinds: 1 call button (key action "call"), 2 reset held 4..10 s,
// 3 reset held more than 10 s. Any other kind does nothing.
void keyAction(int kind);
// The longest texts the one-key call and the action request take: the number
// to dial, an account's user name, the IPv4 and MAC address texts.
enum { ONEKEY_NUM_MAX = 31, USERNAME_MAX = 31, IP_TEXT_MAX = 15, MAC_TEXT_MAX = 12 };
// 1..3 when the line setting names "account_info_1".."account_info_3", else 0.
int numbered_account(const char* line_setting);
// Whether the line setting is one the one-key call dials from ("auto",
// "p2p" or a numbered account); with any other the dial is abandoned.
bool onekey_line_known(const char* line_setting);

// Fills the line table: entry n (1..3) holds account n's line number, its
// position among the enabled accounts counted from 0, or -1 when account n
// is not enabled. Entry 0 is not used. Always returns 1.
int get_line(int line[4]);
// Asks the SIP user agent to play a sound file count times.
void play_audio(const char* file, int count);
// The registration watchdog (thread entry): stops the SIP phone service when
// an account is enabled and no registration activity was counted since the
// previous check; clears the count.
void* checkReg(void* arg);

// Speaks the IPv4 address of eth1 digit by digit; returns 0.
int PlayIP();
// The IPv4 / MAC (12 hex digits, no colons) address of eth1 into a buffer of
// at least 16 characters: 1 when read, 0 (buffer untouched) when not.
int get_ip(char* ip);
int get_mac(char* mac);
// Switches the amplifier line (GPIO 5) on (non-zero) or off.
void amplifier_switch(int on);
// The key beep of every call-button press, when switched on.
void playBeep();

// Request URLs hold at most this many characters, also after placeholders
// have been filled in.
enum { ACTION_URL_MAX = 255 };

// Replaces every occurrence of pattern (not empty) in text, in place; each
// search goes on after the inserted replacement, so a replacement that holds
// the pattern is not replaced again. The buffer must have room for the
// result (see strrpl_length). Returns text.
char* strrpl(char* text, const char* pattern, const char* repl);
// The length text would have after strrpl(text, pattern, repl).
size_t strrpl_length(const char* text, const char* pattern, const char* repl);

// The length of the unregistered action request's URL made from tmpl once
// every placeholder holds the longest value it can receive; over
// ACTION_URL_MAX, the request may be refused.
size_t unregistered_url_longest(const char* tmpl);
// Whether a request URL is fired, or why it is refused.
enum UrlRefusal { URL_FIRED, URL_TOO_LONG, URL_LEADING_DASH };
UrlRefusal action_url_refusal(const char* url);

// Fires one HTTP GET for url in the background.
void action_url(const char* url);
// The same, telling whether the request was started: a URL longer than
// ACTION_URL_MAX or beginning with "-" is refused with one line on standard
// output.
bool action_url_fired(const char* url);
