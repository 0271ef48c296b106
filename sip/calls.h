// The calls the user agent has reported and not closed, each with its own
// call-detail record, DTMF keys and call-time limit. The dispatcher fills and
// empties the table; every feature that acts for a call asks it with the
// event in hand, so one call's events never act on another call's values.
// A call is known by the event's "id", or by its "peeruri" where the event
// has no id.
#pragma once
#include <cstddef>
#include <cstdint>

#include "sip.h"

enum { CALL_KEY_SIZE = 128, LIVE_CALLS_MAX = 64 };

struct LiveCall {
    unsigned serial;           // order of arrival, from 1; 0: the slot is free
    char key[CALL_KEY_SIZE];   // the key, cut; with its whole length and hash
    size_t key_len;
    uint64_t key_hash;
    int code;                  // 2 incoming ringing, 3 outgoing, 1 established
    bool start_seen;           // its start event came: the record is its own
    bool relay_on;             // its call-state trigger switched the relay On
    bool limited;              // its limit was started
    char number[PEER_NUMBER_SIZE];  // the whole peer number
    CallInfo record;
    char keys[DTMF_SIZE];
};

// The key of an event: its "id" when not empty, else its "peeruri".
const char* call_key(const char* id, const char* peeruri);
// The live call of a key (an empty key names none), or NULL.
LiveCall* live_call_find(const char* key);
// A new live call for key, its code and, when its start was seen, its peer
// number. NULL when the table is full (the call is then handled as the
// design handles a call it does not know, by the count).
LiveCall* live_call_add(const char* key, int code, bool start_seen);
// A call found established at start-up (the user agent's status key): its
// events name it by an id the daemon never saw, so the first close of a call
// the daemon does not know closes it.
LiveCall* live_call_adopt();
// The adopted call, or NULL.
LiveCall* live_call_adopted();
void live_call_set_code(LiveCall* call, int code);
// Forgets the call and ends its limit.
void live_call_end(LiveCall* call);
// Forgets every call (the call count was reset).
void live_calls_end_all();
// Live calls; the first one (in order of arrival) after *at (start with 0).
int live_calls();
LiveCall* live_call_next(size_t* at);
// The call state the live calls give: 1 when one is established, else 2 when
// one rings, else 3 when one is outgoing; -1 with no live call.
int live_calls_code();
// Whether a live call other than call keeps the call-state relay On.
bool live_call_keeps_relay(const LiveCall* call);

// The call-time limit "intercom:max_call_time" of an established call, from
// its own establishment (once per call: a repeated event does not prolong
// it). At the limit, when it is the only call, the call is hung up and
// "FUNCTION", "CALL TIME LIMIT", "<N>s" logged; with another call present
// the cut waits until that call is gone. 10 s before a limit over 10 s, the
// sound "intercom:max_call_warning" (when set) is played to the only call.
void call_limit_start(LiveCall* call);
// After a close: a limit reached while another call was present cuts now.
void call_limit_cut_waiting();
// Limits (and warnings) waiting.
int call_limit_timers_pending();

// The wait for the outgoing-call event after the button asked for a dial:
// when none moves the state within 30 s, the state returns to what the live
// calls give (0 with none) with the row "FUNCTION", "DIAL NO ANSWER", "30s".
void dial_wait_start();
// A dial request's wait that no longer matters (the state left 6).
void dial_wait_end();
