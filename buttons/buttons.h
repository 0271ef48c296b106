// What presses of the call button and holds of the reset input do: the
// one-key call, answer and hang-up, the spoken IP address, the key beep, the
// HTTP action requests and the registration watchdog.
#pragma once
#include <cstddef>

#include "action_url.h"
#include "address.h"
#include "bus.h"

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
// The registration watchdog (thread entry): stops the SIP phone service when
// an account is enabled and no registration activity was counted since the
// previous check; clears the count.
void* checkReg(void* arg);

// Speaks the IPv4 address of eth1 digit by digit; returns 0.
int PlayIP();
// Switches the amplifier line (GPIO 5) on (non-zero) or off.
void amplifier_switch(int on);
// The key beep of every call-button press, when switched on.
void playBeep();

// The length of the unregistered action request's URL made from tmpl once
// every placeholder holds the longest value it can receive; over
// ACTION_URL_MAX, the request may be refused.
size_t unregistered_url_longest(const char* tmpl);
