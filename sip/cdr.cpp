// The call-detail record: one record for the call in progress, filled at the
// call's start, answer and close, then appended to "/userdata/cdr.csv".
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "device.h"
#include "sip.h"
#include "text.h"

CallInfo callInfo;

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

void start_call(const char* account, const char* number, const char* direction, const char* result) {
    time_t now;
    struct tm tm = local_now(&now);
    str_copy(callInfo.direction, direction);
    str_format(callInfo.date, sizeof callInfo.date, "%d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1,
               tm.tm_mday);
    clock_text(callInfo.start_time, tm);
    str_copy(callInfo.account, account);
    str_copy(callInfo.number, number);
    str_copy(callInfo.result, result);
}

}  // namespace

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
    str_copy(callInfo.reason, reason);
    if (callInfo.answer_time != 0)
        callInfo.duration = static_cast<int32_t>(static_cast<int64_t>(now) - callInfo.answer_time);
    insert_call_log();
}

void insert_call_log() {
    dev::Path path(dev::CDR_CSV);
    FILE* f = dev::fopen_cloexec(path, "a");
    if (f == nullptr) {
        // the line is lost; the record is still emptied for the next call
        printf("cannot open %s: %s\n", dev::CDR_CSV, strerror(errno));
    } else {
        fprintf(f, "%s,%s,%s,%s,%s,%d,%s,%s,%s\n", callInfo.date, callInfo.start_time, callInfo.end_time,
                callInfo.account, callInfo.number, static_cast<int>(callInfo.duration), callInfo.direction,
                callInfo.result, callInfo.reason);
        fclose(f);
    }
    reset_callInfo();
}

void reset_callInfo() { memset(&callInfo, 0, sizeof callInfo); }
