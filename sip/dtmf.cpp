// DTMF code matching: the far end's key presses of the current call are
// collected, and the most recent keys are compared with the relay code and
// the screen code.
#include <cstdio>
#include <cstring>

#include "debug.h"
#include "device.h"
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

}  // namespace

void dtmfDetect(const char* keys) {
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
        relayControl(RELAY_ID, 1);
        if (debug_on()) puts("GPIO_RELAY set on");
        if (delay_mode("relay_ctrl:mode") && !start_timed_release(relayDelayControl)) {
            puts("create thread_delay relayDelayControl failed");
            return;
        }
        matched = true;
    }
    if (screen && code_matches("screen_ctrl:dtmf_code", len)) {
        // a refused screen id sent nothing: nothing to report or release
        bool sent = screenControl(1);
        if (sent && debug_on()) puts("screen set on");
        if (sent && delay_mode("screen_ctrl:mode") && !start_timed_release(screenDelayControl)) {
            puts("create thread_delay screenDelayControl failed");
            return;
        }
        matched = true;
    }
    if (matched) memset(DTMF_STRING, 0, sizeof DTMF_STRING);
}
