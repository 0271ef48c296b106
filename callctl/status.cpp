// callctl status: asks the bus whether callctld is alive. Alive means: the
// daemon's heartbeat key is there (its input loop renewed it within the time
// to live, through a pool connection that answered), and the subscribers of
// "session-channel" and "volume-value-channel" include the connections its
// two listeners named after that same process. A stray subscriber proves
// nothing; a stopped daemon lets its heartbeat lapse. The operation-log
// backlog, the accounts' status keys and the tails of the two CSV files tell
// the rest. Reads only: never pushes, publishes or deletes.
#include <hiredis.h>
#include <cjson/cJSON.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
#include "text.h"

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
    long long own_session = 0;  // of those, the daemon's own connections
    long long own_volume = 0;
    long long heartbeat_pid = 0;     // 0: no heartbeat
    long long heartbeat_age_ms = 0;  // since it was last renewed
    long long backlog = 0;
    std::vector<Account> accounts;
    std::vector<std::string> oplog;
    std::string last_call;
    bool alive() const { return heartbeat_pid > 0 && own_session > 0 && own_volume > 0; }
    // Why the daemon is not alive, "" when it is.
    std::string reason() const {
        if (heartbeat_pid <= 0) {
            char why[96];
            str_format(why, sizeof why, "no heartbeat within %.1f s: the daemon is gone, stopped or hung",
                       HEARTBEAT_TTL_MS / 1000.0);
            return why;
        }
        if (own_session <= 0) return "its session-channel listener holds no subscription";
        if (own_volume <= 0) return "its volume-value-channel listener holds no subscription";
        return "";
    }
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
    std::string why;
    if (!readable_file(file, &why)) return lines;
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

// How many subscribers in a CLIENT LIST reply carry the name the daemon
// with pid gives the connection of role.
long long named_subscribers(const char* list, long long pid, const char* role) {
    char want[64];
    bus_connection_name(want, sizeof want, static_cast<long>(pid), role);
    long long n = 0;
    for (const char* line = list; *line != '\0';) {
        const char* end = strchr(line, '\n');
        const std::string l(line, end ? static_cast<size_t>(end - line) : strlen(line));
        line = end ? end + 1 : line + l.size();
        if ((" " + l + " ").find(std::string(" name=") + want + " ") == std::string::npos) continue;
        size_t sub = l.find(" sub=");
        if (sub != std::string::npos && atoll(l.c_str() + sub + 5) > 0) n++;
    }
    return n;
}

// False when the bus cannot be reached or does not answer, with the reason.
bool query(Status* s, std::string* why) {
    redisContext* c = redis_connect_device(dev::REDIS_SOCK);
    if (c == nullptr) {
        *why = "out of memory";
        return false;
    }
    if (c->err != 0) {
        *why = c->errstr;
        redisFree(c);
        return false;
    }
    struct timeval tv = {kTimeoutSeconds, 0};
    redisSetTimeout(c, tv);
    // the daemon's own connections first, then all subscribers: at start-up
    // subscriptions only come, so the count of all is never below its own
    bool ok = false;
    Reply pid = reply(redisCommand(c, "GET %s", HEARTBEAT_KEY));
    Reply ttl = reply(redisCommand(c, "PTTL %s", HEARTBEAT_KEY));
    ok = pid && ttl && pid->type != REDIS_REPLY_ERROR && ttl->type == REDIS_REPLY_INTEGER;
    if (ok && pid->type == REDIS_REPLY_STRING && ttl->integer > 0) {
        s->heartbeat_pid = atoll(pid->str);
        s->heartbeat_age_ms = HEARTBEAT_TTL_MS - ttl->integer;
    }
    if (ok && s->heartbeat_pid > 0) {
        Reply list = reply(redisCommand(c, "CLIENT LIST TYPE pubsub"));
        ok = list && list->type != REDIS_REPLY_ERROR;
        if (ok && list->type == REDIS_REPLY_STRING) {
            s->own_session = named_subscribers(list->str, s->heartbeat_pid, SESSION_ROLE);
            s->own_volume = named_subscribers(list->str, s->heartbeat_pid, VOLUME_ROLE);
        }
    }
    Reply subs = reply(ok ? redisCommand(c, "PUBSUB NUMSUB %s %s", SESSION_CHANNEL, VOLUME_VALUE_CHANNEL) : nullptr);
    ok = subs && subs->type == REDIS_REPLY_ARRAY && subs->elements == 4 &&
         subs->element[1]->type == REDIS_REPLY_INTEGER && subs->element[3]->type == REDIS_REPLY_INTEGER;
    if (ok) {
        s->session_subs = subs->element[1]->integer;
        s->volume_subs = subs->element[3]->integer;
        // a listener that lost its subscription in between is not counted
        s->own_session = std::min(s->own_session, s->session_subs);
        s->own_volume = std::min(s->own_volume, s->volume_subs);
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
    if (!ok) *why = c->err != 0 ? c->errstr : "an unexpected reply";
    // a read that timed out ends with EAGAIN: say what it means
    if (!ok && c->err == REDIS_ERR_IO && *why == strerror(EAGAIN)) {
        char wait[48];
        str_format(wait, sizeof wait, " (no answer within %d s)", kTimeoutSeconds);
        *why += wait;
    }
    redisFree(c);
    return ok;
}

void print_text(const Status& s) {
    printf("session-channel subscribers: %lld (callctld's own: %lld)\n", s.session_subs, s.own_session);
    printf("volume-value-channel subscribers: %lld (callctld's own: %lld)\n", s.volume_subs, s.own_volume);
    if (s.heartbeat_pid > 0)
        printf("heartbeat (%s): pid %lld, renewed %.1f s ago\n", HEARTBEAT_KEY, s.heartbeat_pid,
               static_cast<double>(s.heartbeat_age_ms) / 1000.0);
    else
        printf("heartbeat (%s): none\n", HEARTBEAT_KEY);
    printf("operation-log backlog (writelog-channel): %lld\n", s.backlog);
    if (s.accounts.empty()) puts("accounts: none enabled");
    for (const Account& a : s.accounts)
        printf("%s: %s = %s (%s)\n", a.section.c_str(), a.key.c_str(), a.has_value ? shown(a.value).c_str() : "(none)",
               code_name(a.code));
    printf("operation log, last rows (%s):\n", dev::Path(dev::OPLOG_CSV).c_str());
    if (s.oplog.empty()) puts("  (none)");
    for (const std::string& l : s.oplog) printf("  %s\n", shown(l, 200).c_str());
    printf("last call (%s): %s\n", dev::Path(dev::CDR_CSV).c_str(),
           s.last_call.empty() ? "(none)" : shown(s.last_call, 200).c_str());
    if (s.alive())
        puts("callctld: alive");
    else
        printf("callctld: NOT alive (%s)\n", s.reason().c_str());
}

void print_json(const Status* s) {
    cJSON* root = cJSON_CreateObject();
    cJSON_AddNumberToObject(root, "version", kJsonVersion);
    cJSON_AddBoolToObject(root, "bus", s != nullptr);
    cJSON_AddBoolToObject(root, "alive", s != nullptr && s->alive());
    if (s != nullptr) {
        if (!s->alive()) cJSON_AddStringToObject(root, "reason", s->reason().c_str());
        cJSON* subs = cJSON_AddObjectToObject(root, "subscriptions");
        cJSON_AddNumberToObject(subs, SESSION_CHANNEL, static_cast<double>(s->session_subs));
        cJSON_AddNumberToObject(subs, VOLUME_VALUE_CHANNEL, static_cast<double>(s->volume_subs));
        cJSON* own = cJSON_AddObjectToObject(root, "own_subscriptions");
        cJSON_AddNumberToObject(own, SESSION_CHANNEL, static_cast<double>(s->own_session));
        cJSON_AddNumberToObject(own, VOLUME_VALUE_CHANNEL, static_cast<double>(s->own_volume));
        if (s->heartbeat_pid > 0) {
            cJSON* hb = cJSON_AddObjectToObject(root, "heartbeat");
            cJSON_AddNumberToObject(hb, "pid", static_cast<double>(s->heartbeat_pid));
            cJSON_AddNumberToObject(hb, "age_ms", static_cast<double>(s->heartbeat_age_ms));
        } else {
            cJSON_AddNullToObject(root, "heartbeat");
        }
        cJSON_AddNumberToObject(root, "oplog_backlog", static_cast<double>(s->backlog));
        cJSON* accounts = cJSON_AddArrayToObject(root, "accounts");
        for (const Account& a : s->accounts) {
            cJSON* o = cJSON_CreateObject();
            cJSON_AddStringToObject(o, "section", a.section.c_str());
            cJSON_AddStringToObject(o, "key", shown(a.key).c_str());
            if (a.has_value)
                cJSON_AddStringToObject(o, "value", shown(a.value, 1024).c_str());
            else
                cJSON_AddNullToObject(o, "value");
            cJSON_AddNumberToObject(o, "code", a.code);
            cJSON_AddItemToArray(accounts, o);
        }
        cJSON* rows = cJSON_AddArrayToObject(root, "oplog");
        for (const std::string& l : s->oplog) cJSON_AddItemToArray(rows, cJSON_CreateString(shown(l, 1024).c_str()));
        if (s->last_call.empty())
            cJSON_AddNullToObject(root, "last_call");
        else
            cJSON_AddStringToObject(root, "last_call", shown(s->last_call, 1024).c_str());
    }
    put_json(root);
}

}  // namespace

int cmd_status(int argc, char** argv) {
    Options opt;
    const int done =
        read_options("status", argc, argv,
                     "usage: callctl status [--root DIR] [--json] [-q]\n"
                     "Asks the bus whether callctld is alive: its heartbeat and its own listeners'\n"
                     "subscriptions; reads only. -q: print nothing, only the exit status.\n"
                     "Exit status: 0 alive, 1 not alive, 2 the bus cannot be reached,\n"
                     "3 the output cannot be written.",
                     kOptJson | kOptQuiet, &opt);
    if (done >= 0) return done;
    Status s;
    std::string why;
    if (!query(&s, &why)) {
        if (opt.json && !opt.quiet)
            print_json(nullptr);
        else if (!opt.quiet)
            fprintf(stderr, "callctl status: the bus at %s cannot be reached: %s\n", dev::Path(dev::REDIS_SOCK).c_str(),
                    why.c_str());
        return finish("status", 2);
    }
    const int status = s.alive() ? 0 : 1;
    if (opt.quiet) return status;
    s.oplog = tail(dev::OPLOG_CSV, kOplogRows);
    std::vector<std::string> cdr = tail(dev::CDR_CSV, 1);
    if (!cdr.empty()) s.last_call = cdr.back();
    if (opt.json)
        print_json(&s);
    else
        print_text(s);
    return finish("status", status);
}

}  // namespace callctl
