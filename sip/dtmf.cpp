// DTMF code matching: the far end's key presses of the current call are
// collected, and the most recent keys are compared with the relay code and
// the screen code.
#include <cstdio>
#include <cstring>

#include "debug.h"
#include "device.h"
#include "oplog.h"
#include "outputs.h"
#include "settings.h"
#include "sip.h"

char DTMF_STRING[DTMF_SIZE];

namespace {

// Appends keys; when they do not fit, the oldest keys go first, so the most
// recent keys (all that a suffix match looks at) are always kept.
void append_keys(const char* keys) {
    const size_t room = sizeof DTMF_STRING - 1;
    size_t have = strlen(DTMF_STRING);
    size_t add = strlen(keys);
    if (add >= room) {
        memcpy(DTMF_STRING, keys + (add - room), room);
        DTMF_STRING[room] = '\0';
        return;
    }
    if (have + add > room) {
        size_t drop = have + add - room;
        memmove(DTMF_STRING, DTMF_STRING + drop, have - drop);
        have -= drop;
    }
    memcpy(DTMF_STRING + have, keys, add + 1);
}

// True when the collected keys (length len) end with the code in key.
bool code_matches(const char* code_key, size_t len) {
    char code[32];
    GetCmdValue(dev::SPEAKER_CONF, code_key, code);
    size_t c = strlen(code);
    return len >= c && memcmp(DTMF_STRING + (len - c), code, c) == 0;
}

bool delay_mode(const char* mode_key) {
    char mode[16];
    GetCmdValue(dev::SPEAKER_CONF, mode_key, mode);
    return strcmp(mode, "delay") == 0;
}

// Whether the caller may open the door with the relay code:
// "relay_ctrl:dtmf_allow" lists the numbers, comma-separated, blanks around
// each ignored; a missing or empty list lets every caller open. With a list,
// an event that names no caller is refused, and so is a number longer than
// the call-detail record holds (its cut form could match another entry).
bool caller_allowed(const DtmfCaller* caller) {
    // one byte more than a list may hold: a list cut short could hold a cut
    // number that matches another caller, so a too long list lets nobody in
    char allow[1025];
    GetCmdValue(dev::SPEAKER_CONF, "relay_ctrl:dtmf_allow", allow);
    if (strlen(allow) >= sizeof allow - 1) {
        puts("relay_ctrl:dtmf_allow is too long, door code refused");
        return false;
    }
    const char* number = caller != nullptr && caller->number != nullptr ? caller->number : "";
    bool comparable = caller != nullptr && strlen(number) < sizeof(CallInfo::number);
    bool listed_any = false;
    for (const char* p = allow; *p != '\0';) {
        size_t n = strcspn(p, ",");
        const char* end = p + n;
        while (p < end && (*p == ' ' || *p == '\t')) ++p;
        while (end > p && (end[-1] == ' ' || end[-1] == '\t')) --end;
        if (end > p) {
            listed_any = true;
            if (comparable && static_cast<size_t>(end - p) == strlen(number) && memcmp(p, number, strlen(number)) == 0)
                return true;
        }
        p += strcspn(p, ",");
        if (*p == ',') ++p;
    }
    return !listed_any;
}

}  // namespace

void dtmfDetect(const char* keys, const DtmfCaller* caller) {
    char relay_dtmf[8];
    char screen_dtmf[8];
    GetCmdValue(dev::SPEAKER_CONF, "relay_ctrl:dtmf", relay_dtmf);
    GetCmdValue(dev::SPEAKER_CONF, "screen_ctrl:dtmf", screen_dtmf);
    bool relay = is_yes(relay_dtmf);
    bool screen = is_yes(screen_dtmf);
    if (!relay && !screen) return;

    append_keys(keys ? keys : "");
    if (debug_on()) printf("DTMF is [%s]\n", DTMF_STRING);
    size_t len = strlen(DTMF_STRING);
    bool matched = false;

    if (relay && code_matches("relay_ctrl:dtmf_code", len)) {
        static const CallInfo kNoCall = {};
        const CallInfo& call = caller != nullptr && caller->call != nullptr ? *caller->call : kNoCall;
        if (!caller_allowed(caller)) {
            // the code is used up: the next keys start afresh
            writeLog("FUNCTION", "DTMF REFUSED", call.number);
        } else {
            unsigned serial = caller != nullptr ? caller->serial : 0;
            relayControl(RELAY_ID, 1);
            cancel_relay_releases_before(serial);
            if (debug_on()) puts("GPIO_RELAY set on");
            if (delay_mode("relay_ctrl:mode") && !start_timed_release(RELAY_RELEASE, serial)) {
                puts("create thread_delay relayDelayControl failed");
                return;
            }
            call_action_request("door", call);
        }
        matched = true;
    }
    if (screen && code_matches("screen_ctrl:dtmf_code", len)) {
        // a refused screen id sent nothing: nothing to report or release
        bool sent = screenControl(1);
        if (sent && debug_on()) puts("screen set on");
        if (sent && delay_mode("screen_ctrl:mode") && !start_timed_release(SCREEN_RELEASE)) {
            puts("create thread_delay screenDelayControl failed");
            return;
        }
        matched = true;
    }
    if (matched) memset(DTMF_STRING, 0, sizeof DTMF_STRING);
}
