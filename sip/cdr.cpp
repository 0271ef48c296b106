// The call-detail record: one record for the call in progress, filled at the
// call's start, answer and close, then appended to "/userdata/cdr.csv".
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "append.h"
#include "device.h"
#include "site_log.h"
#include "sip.h"
#include "text.h"

CallInfo callInfo;
CallInfo lastClosedCall;

namespace {

// Local calendar time of now; localtime_r keeps the result to this thread.
struct tm local_now(time_t* now) {
    *now = dev::now();
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    localtime_r(now, &tm);
    return tm;
}

void clock_text(char (&out)[16], const struct tm& tm) {
    str_format(out, sizeof out, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// A field taken from an event: cut to its width, every control character
// written as "?", so one closed call is always exactly one line and a
// caller's terminal escapes never reach the file.
template <size_t N>
void copy_field(char (&field)[N], const char* value) {
    str_copy_printable(field, value);
}

void start_call(const char* account, const char* number, const char* direction, const char* result) {
    time_t now;
    struct tm tm = local_now(&now);
    str_copy(callInfo.direction, direction);
    str_format(callInfo.date, sizeof callInfo.date, "%d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1,
               tm.tm_mday);
    clock_text(callInfo.start_time, tm);
    copy_field(callInfo.account, account);
    copy_field(callInfo.number, number);
    str_copy(callInfo.result, result);
}

}  // namespace

void peer_number(const char* uri, bool outgoing, char (&number)[PEER_NUMBER_SIZE]) {
    // the user part: up to the first "@", or without one, an outgoing URI
    // up to its first ";" (parameters follow)
    char part[PEER_NUMBER_SIZE + 4];
    memset(part, 0, sizeof part);
    size_t len = strlen(uri);
    const char* at = strchr(uri, '@');
    const char* semi = outgoing ? strchr(uri, ';') : nullptr;
    if (at != nullptr)
        len = static_cast<size_t>(at - uri);
    else if (semi != nullptr)
        len = static_cast<size_t>(semi - uri);
    if (len > PEER_NUMBER_SIZE - 1) len = PEER_NUMBER_SIZE - 1;
    memcpy(part, uri, len);
    // the number follows the four characters of the "sip:" scheme
    str_copy(number, part + 4);
}

void setIncomingCallInfo(const char* account, const char* number) {
    start_call(account, number, "in", "MISSED CALL");
}

void setOutgoingCallInfo(const char* account, const char* number) {
    start_call(account, number, "out", "NO ANSWER");
}

void setAnswerCallInfo() {
    callInfo.answer_time = static_cast<int64_t>(dev::now());
    str_copy(callInfo.result, "ANSWERED");
}

void setClosedCallInfo(const char* reason) {
    time_t now;
    struct tm tm = local_now(&now);
    clock_text(callInfo.end_time, tm);
    copy_field(callInfo.reason, reason);
    if (callInfo.answer_time != 0)
        callInfo.duration = static_cast<int32_t>(static_cast<int64_t>(now) - callInfo.answer_time);
    insert_call_log();
}

void insert_call_log() {
    // every field is bounded, so the line always fits
    char line[512];
    int len = str_format(line, sizeof line, "%s,%s,%s,%s,%s,%d,%s,%s,%s\n", callInfo.date, callInfo.start_time,
                         callInfo.end_time, callInfo.account, callInfo.number, static_cast<int>(callInfo.duration),
                         callInfo.direction, callInfo.result, callInfo.reason);
    dev::Path path(dev::CDR_CSV);
    // read as well: the last character of the file is looked at first
    int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        // the line is lost; the record is still emptied for the next call
        printf("cannot open %s: %s\n", dev::CDR_CSV, strerror(errno));
    } else {
        // one write: the line is in the file whole or not at all
        if (len > 0 && append_lines(fd, line, static_cast<size_t>(len)) != 0) {
            printf("cannot write %s: %s\n", dev::CDR_CSV, strerror(errno));
        } else if (len > 0) {
            line[len - 1] = '\0';  // the copy goes without its line end
            site_syslog("cdr", line);
        }
        close(fd);
    }
    lastClosedCall = callInfo;
    reset_callInfo();
}

void reset_callInfo() { memset(&callInfo, 0, sizeof callInfo); }
