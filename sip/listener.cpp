// The SIP event listener and its dispatcher: every call and registration
// event of the user agent's bridge arrives on "session-channel" and is turned
// into call state, registration entries, trigger calls and log entries.
#include <cjson/cJSON.h>
#include <hiredis.h>

#include <algorithm>
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
#include "calls.h"
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

void log_sip(const char* event, const char* detail) { writeLog("SIP STATE", event, detail); }

// A text from the network on its way into a row: control characters as "?".
struct Printable {
    explicit Printable(const char* value) { str_copy_printable(text, value); }
    char text[OPLOG_ENTRY_SIZE];
};

// A REGISTER_FAIL took the last account while a call was live: the state
// becomes 5 only once the last call has closed, if no account came back.
bool g_unregistered_after_calls = false;

bool no_account_registered() {
    bool none = ACCOUNTP2P_REG.load(std::memory_order_relaxed) == 0;
    for (const SipAccount& a : SIP_ACCOUNT)
        if (a.reg->load(std::memory_order_relaxed) != 0) none = false;
    return none;
}

bool calls_live() { return CURRENT_CALLS.load(std::memory_order_relaxed) > 0 || live_calls() > 0; }

// The call count went back to 0 by a reset: no call is live any more. A
// close that still comes for one of them is a close of a call the daemon
// does not know: the newest call's record and keys are left to it, as the
// one shared record would hold them.
void forget_calls() {
    CURRENT_CALLS.store(0, std::memory_order_relaxed);
    LiveCall* newest = nullptr;
    size_t at = 0;
    while (LiveCall* call = live_call_next(&at))
        if (call->start_seen) newest = call;
    if (newest != nullptr) {
        callInfo = newest->record;
        memcpy(DTMF_STRING, newest->keys, sizeof DTMF_STRING);
    }
    live_calls_end_all();
}

// While an event of a known call is handled, callInfo and DTMF_STRING hold
// that call's own record (once its start was seen) and keys, so the designed
// record operations and key matching act on it; the record and keys of the
// calls the daemon does not know come back afterwards.
class InHand {
public:
    explicit InHand(LiveCall* call) : call_(call) {
        if (call_ == nullptr) return;
        memcpy(keys_, DTMF_STRING, sizeof keys_);
        memcpy(DTMF_STRING, call_->keys, sizeof DTMF_STRING);
        if (!call_->start_seen) return;
        record_ = callInfo;
        callInfo = call_->record;
    }
    ~InHand() {
        if (call_ == nullptr) return;
        memcpy(call_->keys, DTMF_STRING, sizeof DTMF_STRING);
        memcpy(DTMF_STRING, keys_, sizeof DTMF_STRING);
        if (!call_->start_seen) return;
        call_->record = callInfo;
        callInfo = record_;
    }
    InHand(const InHand&) = delete;
    InHand& operator=(const InHand&) = delete;

private:
    LiveCall* call_;
    CallInfo record_{};
    char keys_[DTMF_SIZE] = {};
};

const char* event_key(const cJSON* event) { return call_key(text(event, "id"), text(event, "peeruri")); }

// The call an answer or a close is for: the one its key names; an event with
// neither id nor peer uri is for the only call when just one is live.
LiveCall* call_of(const char* key) {
    if (key[0] != '\0') return live_call_find(key);
    if (live_calls() != 1 || CURRENT_CALLS.load(std::memory_order_relaxed) > 1) return nullptr;
    size_t at = 0;
    return live_call_next(&at);
}

// ---- the rules ---------------------------------------------------------------

void call_answered(const cJSON* event, const char* direction) {
    const char* key = event_key(event);
    LiveCall* call = call_of(key);
    // a call established before its start was seen (the daemon restarted),
    // or the only call an event without id and peer uri can name: known
    // from now on (its limit runs), its line stays the designed one
    if (call == nullptr && (key[0] != '\0' || live_calls() == 0)) call = live_call_add(key, 1, false);
    log_sip("CALL ESTABLISHED", direction);
    BARESIP_STATUS.store(1, std::memory_order_relaxed);
    InHand hand(call);
    answeredTrigger(call);
    if (call != nullptr) live_call_set_code(call, 1);
    call_limit_start(call);
    call_action_request("answered", callInfo);
}

// The state after a close: what the calls still live give; 5 survives.
void state_after_close() {
    if (BARESIP_STATUS.load(std::memory_order_relaxed) == 5) return;
    int code = live_calls_code();
    BARESIP_STATUS.store(code > 0 ? code : 0, std::memory_order_relaxed);
}

// The count's last call closed: a registration lost meanwhile now decides.
void last_call_closed() {
    if (g_unregistered_after_calls && no_account_registered()) BARESIP_STATUS.store(5, std::memory_order_relaxed);
    g_unregistered_after_calls = false;
}

void call_closed(const cJSON* event) {
    LiveCall* call = call_of(event_key(event));
    if (call == nullptr) call = live_call_adopted();
    const char* reason = text(event, "param");
    {
        InHand hand(call);
        hangupTrigger(reason, call);
    }
    log_sip("CALL CLOSED", Printable(reason).text);
    call_action_request("closed", lastClosedCall);
    if (call != nullptr) live_call_end(call);
    if (DTMF_STRING[0] != '\0') memset(DTMF_STRING, 0, sizeof DTMF_STRING);
    // the close of a call the count never held leaves the known calls live
    int calls = std::max(CURRENT_CALLS.load(std::memory_order_relaxed) - 1, live_calls());
    if (calls < 1) {
        forget_calls();
        state_after_close();
        last_call_closed();
        ai_ctrl(1);
    } else {
        CURRENT_CALLS.store(calls, std::memory_order_relaxed);
        state_after_close();
        control_cmd(0, "{\"cmd\":\"resume\",\"data\":\"\"}");
    }
    call_limit_cut_waiting();
}

void call_started(const cJSON* event, bool outgoing) {
    const char* uri = text(event, "peeruri");
    log_sip(outgoing ? "OUTGOING CALL" : "INCOMING CALL", Printable(uri).text);
    CURRENT_CALLS.store(CURRENT_CALLS.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    const char* key = event_key(event);
    LiveCall* call = live_call_find(key);
    if (call != nullptr) live_call_end(call);  // started again: a new record
    call = key[0] != '\0' ? live_call_add(key, outgoing ? 3 : 2, true) : nullptr;
    int status = BARESIP_STATUS.load(std::memory_order_relaxed);
    if (!outgoing && status == 0) {
        BARESIP_STATUS.store(2, std::memory_order_relaxed);
        incomingTrigger(call);
    } else if (outgoing && (status == 0 || status == 6)) {
        BARESIP_STATUS.store(3, std::memory_order_relaxed);
        outgoingTrigger(call);
    }
    char number[PEER_NUMBER_SIZE];
    peer_number(uri, outgoing, number);
    if (call != nullptr) str_copy(call->number, number);
    InHand hand(call);
    if (outgoing)
        setOutgoingCallInfo(text(event, "accountaor"), number);
    else
        setIncomingCallInfo(text(event, "accountaor"), number);
    call_action_request(outgoing ? "outgoing" : "incoming", callInfo);
}

void dtmf(const cJSON* event) {
    const char* keys = text(event, "param");
    writeLog("FUNCTION", "RECEIVE DTMF", Printable(keys).text);
    const char* uri = text(event, "peeruri");
    LiveCall* call = live_call_find(event_key(event));
    InHand hand(call);
    if (call != nullptr && call->start_seen) {
        DtmfCaller caller{call->number, &callInfo, call->serial};
        dtmfDetect(keys, &caller);
        return;
    }
    if (uri[0] == '\0') {
        dtmfDetect(keys, nullptr);
        return;
    }
    // a call whose start the daemon did not see: the event's own values
    bool outgoing = is(text(event, "direction"), "outgoing");
    char number[PEER_NUMBER_SIZE];
    peer_number(uri, outgoing, number);
    CallInfo values{};
    str_copy_printable(values.number, number);
    str_copy_printable(values.account, text(event, "accountaor"));
    str_copy(values.direction, outgoing ? "out" : "in");
    DtmfCaller caller{number, &values, call != nullptr ? call->serial : 0};
    dtmfDetect(keys, &caller);
}

void count_registration_event() {
    regcount.store(regcount.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// Returns true when an account entry changed (the status line is then skipped).
bool register_ok(const cJSON* event) {
    int status = BARESIP_STATUS.load(std::memory_order_relaxed);
    if (status == 5 || status == 6 || is(text(event, "class"), "init register")) {
        BARESIP_STATUS.store(0, std::memory_order_relaxed);
        forget_calls();
        g_unregistered_after_calls = false;
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
        // with a call live, the last call's close decides
        if (no_account_registered()) {
            if (calls_live())
                g_unregistered_after_calls = true;
            else
                BARESIP_STATUS.store(5, std::memory_order_relaxed);
        }
        char label[256];
        str_format(label, sizeof label, a.failed_fmt, identity);
        log_sip(label, Printable(text(event, "param")).text);
        return true;
    }
    count_registration_event();
    return false;
}

// The reason in the call-detail line of a call the user agent's exit ended.
constexpr const char* kExitReason = "user agent exited";

void user_agent_exit() {
    BARESIP_STATUS.store(5, std::memory_order_relaxed);
    for (const SipAccount& a : SIP_ACCOUNT) a.reg->store(0, std::memory_order_relaxed);
    log_sip("APP EXIT", "");
    g_unregistered_after_calls = false;
    // every live call ends with the user agent: its line, the relay as a
    // close leaves it, its request; the collected keys stay as they are
    bool had_calls = calls_live();
    size_t at = 0;
    while (LiveCall* call = live_call_next(&at)) {
        {
            InHand hand(call);
            exitRelay(call);
            setClosedCallInfo(kExitReason);
        }
        call_action_request("closed", lastClosedCall);
        live_call_end(call);
    }
    forget_calls();
    if (had_calls) ai_ctrl(1);
}

void p2p_check() {
    char enable[8];
    GetCmdValue(dev::SPEAKER_CONF, "account_info_p2p:enable", enable);
    if (is_yes(enable)) {
        // a live call keeps its state
        if (!calls_live()) BARESIP_STATUS.store(0, std::memory_order_relaxed);
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
        call_answered(event, direction);
    } else if ((incoming || outgoing) && is(type, "CALL_CLOSED")) {
        call_closed(event);
    } else if (incoming && is(type, "CALL_INCOMING")) {
        call_started(event, false);
    } else if (outgoing && is(type, "CALL_OUTGOING")) {
        call_started(event, true);
    } else if (is(type, "CALL_DTMF_START")) {
        dtmf(event);
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
    // a dial request that an event answered (or overrode) waits no longer
    if (BARESIP_STATUS.load(std::memory_order_relaxed) != 6) dial_wait_end();
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
