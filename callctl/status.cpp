// callctl status: asks the bus whether callctld is alive. Its two listeners
// hold subscriptions to "session-channel" and "volume-value-channel"; the
// operation-log backlog, the accounts' status keys and the tails of the two
// CSV files tell the rest. Reads only: never pushes, publishes or deletes.
#include <hiredis.h>
#include <cjson/cJSON.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "accounts.h"
#include "bus.h"
#include "cli.h"
#include "device.h"
#include "pool.h"
#include "sip.h"

namespace callctl {
namespace {

constexpr int kOplogRows = 5;
// A supervisor must get an answer even from a server that hangs.
constexpr int kTimeoutSeconds = 2;

struct Account {
    std::string section;  // "account_info_1"
    std::string key;
    bool has_value;
    std::string value;
    int code;
};

struct Status {
    long long session_subs = 0;
    long long volume_subs = 0;
    long long backlog = 0;
    std::vector<Account> accounts;
    std::vector<std::string> oplog;
    std::string last_call;
    bool alive() const { return session_subs > 0 && volume_subs > 0; }
};

const char* code_name(int code) {
    switch (code) {
    case 0: return "idle";
    case 1: return "in a call";
    case 2: return "ringing";
    case 3: return "calling out";
    default: return "no status";
    }
}

using Reply = std::unique_ptr<redisReply, void (*)(void*)>;
Reply reply(void* r) { return Reply(static_cast<redisReply*>(r), freeReplyObject); }

// The last n lines of a device file (fewer when it is shorter; none when it
// cannot be read).
std::vector<std::string> tail(const char* file, size_t n) {
    std::vector<std::string> lines;
    FILE* f = dev::fopen_cloexec(dev::Path(file), "r");
    if (f == nullptr) return lines;
    char* raw = nullptr;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&raw, &cap, f)) >= 0) {
        std::string l(raw, static_cast<size_t>(len));
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
        lines.push_back(l);
        if (lines.size() > n) lines.erase(lines.begin());
    }
    free(raw);
    fclose(f);
    return lines;
}

// False when the bus cannot be reached or does not answer.
bool query(Status* s) {
    redisContext* c = redis_connect_device(dev::REDIS_SOCK);
    if (c == nullptr) return false;
    if (c->err != 0) {
        redisFree(c);
        return false;
    }
    struct timeval tv = {kTimeoutSeconds, 0};
    redisSetTimeout(c, tv);
    bool ok = false;
    Reply subs = reply(redisCommand(c, "PUBSUB NUMSUB %s %s", SESSION_CHANNEL, VOLUME_VALUE_CHANNEL));
    if (subs && subs->type == REDIS_REPLY_ARRAY && subs->elements == 4 &&
        subs->element[1]->type == REDIS_REPLY_INTEGER && subs->element[3]->type == REDIS_REPLY_INTEGER) {
        s->session_subs = subs->element[1]->integer;
        s->volume_subs = subs->element[3]->integer;
        Reply backlog = reply(redisCommand(c, "LLEN %s", WRITELOG_CHANNEL));
        ok = backlog && backlog->type == REDIS_REPLY_INTEGER;
        if (ok) s->backlog = backlog->integer;
    }
    static const char* const kSections[] = {"account_info_1", "account_info_2", "account_info_3"};
    for (int n = 0; ok && n < SIP_ACCOUNTS; n++) {
        const SipAccount& a = SIP_ACCOUNT[n];
        if (!account_enabled(a)) continue;
        char key[IDENTITY_SIZE];
        account_status_key(a, key);
        Reply r = reply(redisCommand(c, "GET %s", key));
        ok = r && r->type != REDIS_REPLY_ERROR;
        bool text = r && r->type == REDIS_REPLY_STRING;
        s->accounts.push_back(
            {kSections[n], key, text, text ? std::string(r->str, r->len) : std::string(), sip_status_code(text ? r->str : nullptr)});
    }
    redisFree(c);
    return ok;
}

void print_text(const Status& s) {
    printf("session-channel subscribers: %lld\n", s.session_subs);
    printf("volume-value-channel subscribers: %lld\n", s.volume_subs);
    printf("operation-log backlog (writelog-channel): %lld\n", s.backlog);
    if (s.accounts.empty()) puts("accounts: none enabled");
    for (const Account& a : s.accounts)
        printf("%s: %s = %s (%s)\n", a.section.c_str(), a.key.c_str(), a.has_value ? a.value.c_str() : "(none)",
               code_name(a.code));
    printf("operation log, last rows (%s):\n", dev::OPLOG_CSV);
    if (s.oplog.empty()) puts("  (none)");
    for (const std::string& l : s.oplog) printf("  %s\n", l.c_str());
    printf("last call (%s): %s\n", dev::CDR_CSV, s.last_call.empty() ? "(none)" : s.last_call.c_str());
    puts(s.alive() ? "callctld: alive" : "callctld: NOT alive (a listener holds no subscription)");
}

void print_json(const Status* s) {
    cJSON* root = cJSON_CreateObject();
    cJSON_AddBoolToObject(root, "bus", s != nullptr);
    cJSON_AddBoolToObject(root, "alive", s != nullptr && s->alive());
    if (s != nullptr) {
        cJSON* subs = cJSON_AddObjectToObject(root, "subscriptions");
        cJSON_AddNumberToObject(subs, SESSION_CHANNEL, static_cast<double>(s->session_subs));
        cJSON_AddNumberToObject(subs, VOLUME_VALUE_CHANNEL, static_cast<double>(s->volume_subs));
        cJSON_AddNumberToObject(root, "oplog_backlog", static_cast<double>(s->backlog));
        cJSON* accounts = cJSON_AddArrayToObject(root, "accounts");
        for (const Account& a : s->accounts) {
            cJSON* o = cJSON_CreateObject();
            cJSON_AddStringToObject(o, "section", a.section.c_str());
            cJSON_AddStringToObject(o, "key", a.key.c_str());
            if (a.has_value)
                cJSON_AddStringToObject(o, "value", a.value.c_str());
            else
                cJSON_AddNullToObject(o, "value");
            cJSON_AddNumberToObject(o, "code", a.code);
            cJSON_AddItemToArray(accounts, o);
        }
        cJSON* rows = cJSON_AddArrayToObject(root, "oplog");
        for (const std::string& l : s->oplog) cJSON_AddItemToArray(rows, cJSON_CreateString(l.c_str()));
        if (s->last_call.empty())
            cJSON_AddNullToObject(root, "last_call");
        else
            cJSON_AddStringToObject(root, "last_call", s->last_call.c_str());
    }
    put_json(root);
}

}  // namespace

int cmd_status(int argc, char** argv) {
    bool json = false;
    const int done =
        json_options("status", argc, argv,
                     "usage: callctl status [--root DIR] [--json]\n"
                     "Asks the bus whether callctld is alive; reads only.\n"
                     "Exit status: 0 alive, 1 a listener's subscription is missing, 2 the bus cannot be reached.",
                     &json);
    if (done >= 0) return done;
    Status s;
    if (!query(&s)) {
        if (json)
            print_json(nullptr);
        else
            fprintf(stderr, "callctl status: the bus at %s%s cannot be reached\n", dev::root(), dev::REDIS_SOCK);
        return 2;
    }
    s.oplog = tail(dev::OPLOG_CSV, kOplogRows);
    std::vector<std::string> cdr = tail(dev::CDR_CSV, 1);
    if (!cdr.empty()) s.last_call = cdr.back();
    if (json)
        print_json(&s);
    else
        print_text(s);
    return s.alive() ? 0 : 1;
}

}  // namespace callctl
