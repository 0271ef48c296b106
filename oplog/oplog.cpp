#include "oplog.h"

#include <hiredis.h>

#include <cerrno>

#include <cstdio>
#include <cstring>

#include "bus.h"
#include "debug.h"
#include "device.h"
#include "log.h"
#include "pool.h"
#include "site_log.h"
#include "text.h"

void writeLog(const char* category, const char* event, const char* detail) {
    char entry[OPLOG_ENTRY_SIZE];
    str_format(entry, sizeof entry, "%s,%s,%s", category ? category : "", event ? event : "",
               detail ? detail : "");
    // One entry is one row: a line break inside a value (a peer URI, a close
    // reason) would start a row of its own, so it becomes a blank.
    for (char* p = entry; *p != '\0'; ++p)
        if (*p == '\n' || *p == '\r') *p = ' ';
    redis_command_safe("LPUSH writelog-channel %s", entry);
}

namespace {
constexpr int kReopenRetrySeconds = 3;
constexpr unsigned long kRetryPauseUs = kReopenRetrySeconds * 1000000UL;

bool stopping(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(); }

// Opens the log file and makes it the facility's only file sink. On failure
// nothing is registered, so nothing is ever written through a missing stream.
FILE* open_log_file(bool* failing) {
    dev::Path path(dev::OPLOG_CSV);
    // appending; read as well, so a row cut short at the end is seen
    FILE* fp = dev::fopen_cloexec(path, "a+");
    log_init_callback();
    if (fp == nullptr) {
        if (!*failing) printf("cannot open %s: %s\n", dev::OPLOG_CSV, strerror(errno));
        *failing = true;
        return nullptr;
    }
    *failing = false;
    log_add_fp(fp, LOG_INFO);
    return fp;
}
}  // namespace

void oplog_writer_run(int pop_timeout_s, const std::atomic<bool>* stop) {
    redisContext* ctx = redis_connect_device(dev::REDIS_SOCK);
    bool failing = false;
    bool write_failing = false;
    FILE* fp = open_log_file(&failing);
    char timeout[16];
    str_format(timeout, sizeof timeout, "%d", pop_timeout_s);

    while (!stopping(stop)) {
        // While the file cannot be opened, entries stay in the list: nothing is
        // popped, and the open is retried every few seconds.
        if (fp == nullptr) {
            dev::sleep_us(kRetryPauseUs);
            if (stopping(stop)) break;
            fp = open_log_file(&failing);
            continue;
        }
        if (ensure_connected(&ctx) == 0) {
            redisReply* reply = static_cast<redisReply*>(
                redisCommand(ctx, "BRPOP %s %s", WRITELOG_CHANNEL, timeout));
            if (reply != nullptr && reply->type == REDIS_REPLY_ARRAY && reply->elements == 2 &&
                reply->element[1]->str != nullptr) {
                const char* text = reply->element[1]->str;
                if (debug_on()) printf("opnLog [%s]\n", text);
                if (strcmp(text, "log_clean") == 0) {
                    log_init_callback();
                    fclose(fp);
                    fp = nullptr;
                    freeReplyObject(reply);
                    dev::sleep_us(5 * 1000000UL);
                    fp = open_log_file(&failing);
                    continue;
                }
                log_log(LOG_INFO, "main", 274, "%s", text);
                int err = log_file_status();
                if (err != 0) {
                    // The row is not in the file (a full or failing disk):
                    // the entry goes back to the tail of the list, where the
                    // next pop takes it, so nothing is lost and the order
                    // stays. One line tells of it until a row goes in again.
                    redisReply* back = static_cast<redisReply*>(redisCommand(
                        ctx, "RPUSH %s %b", WRITELOG_CHANNEL, text, reply->element[1]->len));
                    if (back) freeReplyObject(back);
                    if (!write_failing)
                        printf("cannot write %s: %s; entries wait in %s\n", dev::OPLOG_CSV, strerror(err),
                               WRITELOG_CHANNEL);
                    write_failing = true;
                    freeReplyObject(reply);
                    dev::sleep_us(kRetryPauseUs);
                    continue;
                }
                write_failing = false;
                site_syslog("oplog", log_last_row());
            }
            if (reply) freeReplyObject(reply);
        }
        dev::sleep_us(200 * 1000UL);
    }
    log_init_callback();
    if (fp) fclose(fp);
    if (ctx) redisFree(ctx);
}

void* write_opnlog(void*) {
    oplog_writer_run(60, nullptr);
    return nullptr;
}
