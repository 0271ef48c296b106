// The SIP event listener and its dispatcher: every call and registration
// event of the user agent's bridge arrives on "session-channel" and is turned
// into call state, registration entries, trigger calls and log entries.
#include <cjson/cJSON.h>
#include <hiredis.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "accounts.h"
#include "bus.h"
#include "debug.h"
#include "device.h"
#include "oplog.h"
#include "outputs.h"
#include "pool.h"
#include "settings.h"
#include "sip.h"
#include "text.h"

namespace {

// ---- reading an event --------------------------------------------------------

const cJSON* member(const cJSON* event, const char* name) {
    // member names are matched ignoring case; the first match in the text decides
    return cJSON_IsObject(event) ? cJSON_GetObjectItem(event, name) : nullptr;
}

// A text member; missing or of another kind reads as "".
const char* text(const cJSON* event, const char* name) {
    const cJSON* m = member(event, name);
    return cJSON_IsString(m) && m->valuestring != nullptr ? m->valuestring : "";
}

bool is(const char* value, const char* expected) { return strcmp(value, expected) == 0; }

// The remote party's number: the URI's user part without the "sip:" scheme.
// Without "@", an outgoing URI ends at its first ";" (parameters follow).
void peer_number(const char* uri, bool outgoing, char (&number)[128]) {
    memset(number, 0, sizeof number);
    size_t len = strlen(uri);
    const char* at = strchr(uri, '@');
    const char* semi = outgoing ? strchr(uri, ';') : nullptr;
    if (at != nullptr)
        len = static_cast<size_t>(at - uri);
    else if (semi != nullptr)
        len = static_cast<size_t>(semi - uri);
    if (len > sizeof number - 1) len = sizeof number - 1;
    memcpy(number, uri, len);
}

void log_sip(const char* event, const char* detail) { writeLog("SIP STATE", event, detail); }

// ---- the rules ---------------------------------------------------------------

void call_answered(const char* direction) {
    log_sip("CALL ESTABLISHED", direction);
    BARESIP_STATUS.store(1, std::memory_order_relaxed);
    answeredTrigger();
    call_limit_start();
    call_action_request("answered", callInfo);
}

void call_closed(const cJSON* event) {
    const char* reason = text(event, "param");
    hangupTrigger(reason);
    log_sip("CALL CLOSED", reason);
    call_action_request("closed", lastClosedCall);
    if (BARESIP_STATUS.load(std::memory_order_relaxed) != 5) BARESIP_STATUS.store(0, std::memory_order_relaxed);
    if (DTMF_STRING[0] != '\0') memset(DTMF_STRING, 0, sizeof DTMF_STRING);
    int calls = CURRENT_CALLS.load(std::memory_order_relaxed) - 1;
    if (calls < 1) {
        CURRENT_CALLS.store(0, std::memory_order_relaxed);
        call_limit_end();
        ai_ctrl(1);
    } else {
        CURRENT_CALLS.store(calls, std::memory_order_relaxed);
        control_cmd(0, "{\"cmd\":\"resume\",\"data\":\"\"}");
    }
}

void call_started(const cJSON* event, bool outgoing) {
    const char* uri = text(event, "peeruri");
    log_sip(outgoing ? "OUTGOING CALL" : "INCOMING CALL", uri);
    CURRENT_CALLS.store(CURRENT_CALLS.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    int status = BARESIP_STATUS.load(std::memory_order_relaxed);
    if (!outgoing && status == 0) {
        BARESIP_STATUS.store(2, std::memory_order_relaxed);
        incomingTrigger();
    } else if (outgoing && (status == 0 || status == 6)) {
        BARESIP_STATUS.store(3, std::memory_order_relaxed);
        outgoingTrigger();
    }
    char number[128];
    peer_number(uri, outgoing, number);
    // the number follows the four characters of the "sip:" scheme
    if (outgoing)
        setOutgoingCallInfo(text(event, "accountaor"), number + 4);
    else
        setIncomingCallInfo(text(event, "accountaor"), number + 4);
    call_action_request(outgoing ? "outgoing" : "incoming", callInfo);
}

void count_registration_event() {
    regcount.store(regcount.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// Returns true when an account entry changed (the status line is then skipped).
bool register_ok(const cJSON* event) {
    int status = BARESIP_STATUS.load(std::memory_order_relaxed);
    if (status == 5 || status == 6 || is(text(event, "class"), "init register")) {
        BARESIP_STATUS.store(0, std::memory_order_relaxed);
        CURRENT_CALLS.store(0, std::memory_order_relaxed);
    }
    if (member(event, "accountaor") == nullptr) {
        count_registration_event();
        return false;
    }
    const char* aor = text(event, "accountaor");
    for (const SipAccount& a : SIP_ACCOUNT) {
        if (!account_enabled(a) || a.reg->load(std::memory_order_relaxed) != 0) continue;
        char identity[IDENTITY_SIZE];
        account_identity(a, identity);
        if (!is(identity, aor)) continue;
        a.reg->store(1, std::memory_order_relaxed);
        char label[256];
        str_format(label, sizeof label, a.registered_fmt, identity);
        log_sip("SIP REGISTERED", label);
        return true;
    }
    count_registration_event();
    return false;
}

bool register_fail(const cJSON* event) {
    if (member(event, "accountaor") == nullptr) {
        count_registration_event();
        return false;
    }
    const char* aor = text(event, "accountaor");
    for (const SipAccount& a : SIP_ACCOUNT) {
        if (!account_enabled(a) || a.reg->load(std::memory_order_relaxed) != 1) continue;
        char identity[IDENTITY_SIZE];
        account_identity(a, identity);
        if (!is(identity, aor)) continue;
        a.reg->store(0, std::memory_order_relaxed);
        bool none_left = ACCOUNTP2P_REG.load(std::memory_order_relaxed) == 0;
        for (const SipAccount& other : SIP_ACCOUNT)
            if (other.reg->load(std::memory_order_relaxed) != 0) none_left = false;
        if (none_left) BARESIP_STATUS.store(5, std::memory_order_relaxed);
        char label[256];
        str_format(label, sizeof label, a.failed_fmt, identity);
        log_sip(label, text(event, "param"));
        return true;
    }
    count_registration_event();
    return false;
}

void user_agent_exit() {
    BARESIP_STATUS.store(5, std::memory_order_relaxed);
    for (const SipAccount& a : SIP_ACCOUNT) a.reg->store(0, std::memory_order_relaxed);
    log_sip("APP EXIT", "");
    CURRENT_CALLS.store(0, std::memory_order_relaxed);
}

void p2p_check() {
    char enable[8];
    GetCmdValue(dev::SPEAKER_CONF, "account_info_p2p:enable", enable);
    if (is_yes(enable)) {
        BARESIP_STATUS.store(0, std::memory_order_relaxed);
        if (ACCOUNTP2P_REG.load(std::memory_order_relaxed) == 0) {
            ACCOUNTP2P_REG.store(1, std::memory_order_relaxed);
            log_sip("P2P ACCOUNT", "Enabled");
        }
    } else if (ACCOUNTP2P_REG.load(std::memory_order_relaxed) == 1) {
        ACCOUNTP2P_REG.store(0, std::memory_order_relaxed);
        log_sip("P2P ACCOUNT", "Disabled");
    }
}

bool is_user_agent_listing(const cJSON* event) {
    static const char kListing[] = "\n--- User Agents";
    return cJSON_IsFalse(member(event, "event")) &&
           strncmp(text(event, "data"), kListing, sizeof kListing - 1) == 0;
}

// Carries out the first rule that matches. Returns true when the status line
// is to be skipped (a registration outcome that changed an account entry).
bool dispatch(const cJSON* event) {
    const char* direction = text(event, "direction");
    const char* type = text(event, "type");
    bool incoming = is(direction, "incoming");
    bool outgoing = is(direction, "outgoing");

    if ((incoming || outgoing) && is(type, "CALL_ESTABLISHED")) {
        call_answered(direction);
    } else if ((incoming || outgoing) && is(type, "CALL_CLOSED")) {
        call_closed(event);
    } else if (incoming && is(type, "CALL_INCOMING")) {
        call_started(event, false);
    } else if (outgoing && is(type, "CALL_OUTGOING")) {
        call_started(event, true);
    } else if (is(type, "CALL_DTMF_START")) {
        const char* keys = text(event, "param");
        writeLog("FUNCTION", "RECEIVE DTMF", keys);
        dtmfDetect(keys);
    } else if (is(type, "REGISTER_OK")) {
        return register_ok(event);
    } else if (is(type, "REGISTER_FAIL")) {
        return register_fail(event);
    } else if (is(type, "EXIT")) {
        user_agent_exit();
    } else if (is_user_agent_listing(event)) {
        p2p_check();
    }
    return false;
}

// ---- the subscription ----------------------------------------------------------

// Pauses between attempts to get the subscription back: short at first,
// growing to a few seconds while Redis stays away.
constexpr unsigned long kFirstPauseUs = 100 * 1000UL;
constexpr unsigned long kLongestPauseUs = 5 * 1000 * 1000UL;

bool stopping(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(); }

// Sends SUBSCRIBE; the confirmation is freed unseen. False when no reply came.
bool subscribe(redisContext* c) {
    bus_name_connection(c, SESSION_ROLE);
    void* r = redisCommand(c, "SUBSCRIBE %s", SESSION_CHANNEL);
    if (r == nullptr) return false;
    freeReplyObject(r);
    return true;
}

// A new private connection with the subscription in place, or NULL.
redisContext* resubscribe() {
    redisContext* c = redis_connect_device(dev::REDIS_SOCK);
    if (c != nullptr && c->err == 0 && subscribe(c)) return c;
    if (c != nullptr) redisFree(c);
    return nullptr;
}

}  // namespace

void ProcessReply(redisReply* reply) {
    if (reply == nullptr || reply->type != REDIS_REPLY_ARRAY || reply->elements != 3) return;
    const redisReply* payload = reply->element[2];
    const char* msg = payload != nullptr ? payload->str : nullptr;
    if (debug_on()) printf("Msg [%s]\n", msg ? msg : "");
    cJSON* event = msg != nullptr ? cJSON_Parse(msg) : nullptr;
    if (event == nullptr) {
        puts("parse failed!");
        return;
    }
    bool quiet = dispatch(event);
    if (!quiet && debug_on()) printf("Baresip Status is: %d\n", BARESIP_STATUS.load(std::memory_order_relaxed));
    cJSON_Delete(event);
}

void sip_listener_run(const std::atomic<bool>* stop) {
    redisContext* c = redis_connect_device(dev::REDIS_SOCK);
    if (c == nullptr) {
        puts("Connection error: can't allocate redis context");
        exit(-1);
    }
    if (c->err == REDIS_ERR_IO) {
        puts(c->errstr);
        exit(-1);
    }
    subscribe(c);

    for (;;) {
        void* r = nullptr;
        if (c != nullptr && redisGetReply(c, &r) == REDIS_OK && r != nullptr) {
            ProcessReply(static_cast<redisReply*>(r));
            freeReplyObject(r);
            if (stopping(stop)) break;
            continue;
        }
        // The subscription is lost: keep trying for a new one, so that the
        // daemon goes on following the user agent once Redis is back.
        if (c != nullptr) redisFree(c);
        c = nullptr;
        if (stopping(stop)) break;
        puts("session-channel subscription lost, subscribing again");
        unsigned long pause = kFirstPauseUs;
        while (c == nullptr && !stopping(stop)) {
            dev::sleep_us(pause);
            pause = pause * 2 < kLongestPauseUs ? pause * 2 : kLongestPauseUs;
            c = resubscribe();
        }
    }
    if (c != nullptr) redisFree(c);
}

void* baresip_status(void*) {
    sip_listener_run(nullptr);
    return nullptr;
}
