// The start-up load of the account registration table: an account counts as
// registered when the user agent's bridge still keeps a call status for it.
#include <hiredis.h>

#include <cstdio>
#include <cstring>

#include "accounts.h"
#include "debug.h"
#include "device.h"
#include "pool.h"
#include "settings.h"
#include "calls.h"
#include "sip.h"
#include "text.h"

namespace {
// The stored texts in the order they are compared, with their codes.
struct StoredStatus {
    const char* text;
    int code;
};
const StoredStatus kStatus[] = {
    {"{\"status\":\"idle\"}", 0},
    {"{\"status\":\"answer\"}", 1},
    {"{\"status\":\"ringing\"}", 3},
    {"{\"status\":\"ring\"}", 2},
};
}  // namespace

int sip_status_code(const char* stored) {
    if (stored == nullptr) return 5;
    for (const StoredStatus& s : kStatus)
        if (strcmp(stored, s.text) == 0) return s.code;
    return 5;
}

void account_status_key(const SipAccount& a, char (&key)[IDENTITY_SIZE]) {
    char user[USERNAME_SIZE];
    char host[HOST_SIZE];
    account_user_host(a, user, host);
    memset(key, 0, sizeof key);
    str_format(key, sizeof key, "baresip-call-status-%s-%s", user, host);
}

int get_sip_status(const char* key) {
    int code = 5;
    {
        PoolLoan loan(redisClient);
        if (redisContext* c = loan.ctx()) {
            redisReply* reply = static_cast<redisReply*>(redisCommand(c, "GET %s", key));
            if (reply != nullptr && reply->type == REDIS_REPLY_STRING) {
                if (debug_on()) printf("SIP acc: %s, status: %s\n", key, reply->str);
                code = sip_status_code(reply->str);
            }
            if (reply != nullptr) freeReplyObject(reply);
        }
    }
    // a call state already known (1, 2, 3) or a pending dial (6) is kept
    int status = BARESIP_STATUS.load(std::memory_order_relaxed);
    if (status == 5 || status == 0) BARESIP_STATUS.store(code, std::memory_order_relaxed);
    return code;
}

void sip_reg_status_init() {
    for (const SipAccount& a : SIP_ACCOUNT) {
        if (!account_enabled(a)) continue;
        char key[IDENTITY_SIZE];
        account_status_key(a, key);
        int code = get_sip_status(key);
        if (code != 5) a.reg->store(1, std::memory_order_relaxed);
        // a call the user agent holds established across a restart of the
        // daemon: live from now on, its limit running from the start-up
        if (code == 1) {
            if (LiveCall* call = live_call_adopt()) {
                CURRENT_CALLS.store(CURRENT_CALLS.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
                call_limit_start(call);
            }
        }
    }
    char p2p[8];
    GetCmdValue(dev::SPEAKER_CONF, "account_info_p2p:enable", p2p);
    if (is_yes(p2p)) ACCOUNTP2P_REG.store(1, std::memory_order_relaxed);
}
