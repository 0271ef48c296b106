// SIP call handling: the listener on "session-channel" and its dispatcher,
// the call-state triggers, DTMF code matching, the call-detail record and the
// account registration table's start-up load.
#pragma once
#include <atomic>
#include <cstdint>

#include "call_state.h"

struct redisReply;

// ---- listener and dispatcher ----------------------------------------------
// Listener thread entry: subscribes to "session-channel" on a private
// connection and hands every message to ProcessReply. Never returns; exits the
// process when Redis cannot be reached at its first connect.
void* baresip_status(void* arg);
// The listener's loop. A lost subscription is re-established on a new
// connection after a pause. With stop given, the loop ends once stop is set
// and a message arrives (or a reconnect pause ends).
void sip_listener_run(const std::atomic<bool>* stop);
// The dispatcher: one subscription reply (may be NULL).
void ProcessReply(redisReply* reply);

// ---- call-state triggers ---------------------------------------------------
// Each takes the live call it acts for (NULL: the event named no call the
// daemon knows).
struct LiveCall;
void incomingTrigger(LiveCall* call = nullptr);
void outgoingTrigger(LiveCall* call = nullptr);
void answeredTrigger(LiveCall* call = nullptr);
void hangupTrigger(const char* reason, const LiveCall* call = nullptr);
// The relay at a close the user agent never reported (it exited): Off as a
// close would send it; a close that would switch it On does nothing.
void exitRelay(const LiveCall* call);

enum { ANSWER_BEEP_FILE_SIZE = 64, ANSWER_BEEP_VOLUME_SIZE = 4 };
// Whether a value can go into the blank-separated "aufile" data of a mix
// command: no blank, no control character, no ".." path part.
bool aufile_part_ok(const char* value);
// Reads an answer beep's file and volume settings as the answered trigger
// does. Returns the key whose value the mix command cannot carry (the beep is
// then not sent), or NULL.
const char* answer_beep_settings(const char* file_key, const char* volume_key, char (&file)[ANSWER_BEEP_FILE_SIZE],
                                 char (&volume)[ANSWER_BEEP_VOLUME_SIZE]);

// ---- DTMF code matching ----------------------------------------------------
enum { DTMF_SIZE = 32, PEER_NUMBER_SIZE = 128 };
// Keys received in the current call (at most 31, oldest dropped first).
extern char DTMF_STRING[DTMF_SIZE];
// The caller who pressed the keys, as the event names it: the whole peer
// number (the allow-list compares it) and the values of the door request.
// NULL for an event that names no call.
struct DtmfCaller {
    const char* number;
    const struct CallInfo* call;
    unsigned serial;  // the live call's order of arrival, 0 for none
};
void dtmfDetect(const char* keys, const DtmfCaller* caller = nullptr);

// ---- call-detail record ----------------------------------------------------
struct CallInfo {
    char date[16];        // start date, "%d-%02d-%02d"
    char start_time[16];  // "%02d:%02d:%02d"
    char end_time[16];
    char account[32];     // the local account's address of record
    char number[32];      // the peer number
    char direction[8];    // "in" or "out"
    char result[16];      // "MISSED CALL", "NO ANSWER" or "ANSWERED"
    int64_t answer_time;  // seconds since the epoch, 0 while unanswered
    int32_t duration;     // seconds from answer to close
    char reason[68];      // the close event's reason text
};
extern CallInfo callInfo;
// The record of the call that closed last, as its line was written.
extern CallInfo lastClosedCall;

// The peer number of a URI: its user part without the "sip:" scheme (an
// outgoing URI without "@" ends at its first ";"), whole up to 127 characters.
void peer_number(const char* uri, bool outgoing, char (&number)[PEER_NUMBER_SIZE]);

void setIncomingCallInfo(const char* account, const char* number);
void setOutgoingCallInfo(const char* account, const char* number);
void setAnswerCallInfo();
void setClosedCallInfo(const char* reason);
// Appends the record as one line to "/userdata/cdr.csv", then empties it.
void insert_call_log();
void reset_callInfo();

// ---- call events beyond the triggers -----------------------------------------
// The call-event request for event ("incoming", "outgoing", "answered",
// "closed", "door"), when "call_action_url:<event>_enable" is "yes": the URL
// "call_action_url:<event>_url" filled like the unregistered request, plus
// the call's values percent-encoded (${number}, ${account}, ${direction},
// and for "closed" ${reason} and ${duration}), fired in the background with
// a 10 s transfer limit, then the row "FUNCTION", "CALL ACTION URL", event.
void call_action_request(const char* event, const CallInfo& call);
// ---- registration table load -----------------------------------------------
// Loads the account registration table from the status keys on the bus.
void sip_reg_status_init();
// The status code stored under key (0, 1, 2, 3, or 5 for none); also moves
// BARESIP_STATUS to it while that is 0 or 5.
int get_sip_status(const char* key);
// The code of a stored status text (0 idle, 1 answer, 2 ring, 3 ringing; 5
// for NULL or any other text).
int sip_status_code(const char* stored);
