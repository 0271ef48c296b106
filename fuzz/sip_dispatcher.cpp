// The SIP dispatcher over any subscription reply: any payload, any members,
// any types. Input: byte 0 sets the call state before the message (bits 0-2
// the status code, bit 3 debug output, bits 4-7 the registration table),
// byte 1 the reply's shape (0: a pub/sub message, 1: the same with a
// different payload element, 2..3: any reply tree from the next 8 bytes),
// and the rest is the payload text.
#include <cstring>

#include "call_state.h"
#include "debug.h"
#include "pool.h"
#include "sip.h"
#include "support.h"

using namespace fuzzsupport;

namespace {
const int kStatus[] = {0, 1, 2, 3, 5, 6, 4, 7};

bool terminated(const char* field, size_t cap) { return strnlen(field, cap) < cap; }

void check_state(int before) {
    int s = BARESIP_STATUS.load();
    check(s == before || s == 0 || s == 1 || s == 2 || s == 3 || s == 5 || s == 6, "call state stays a known code");
    check(CURRENT_CALLS.load() >= 0, "call count never below 0");
    for (auto* r : {&ACCOUNT1_REG, &ACCOUNT2_REG, &ACCOUNT3_REG, &ACCOUNTP2P_REG})
        check(r->load() == 0 || r->load() == 1, "registration entries are 0 or 1");
    check(terminated(DTMF_STRING, sizeof DTMF_STRING), "DTMF keys stay terminated");
    check(terminated(callInfo.date, sizeof callInfo.date) && terminated(callInfo.start_time, sizeof callInfo.start_time) &&
              terminated(callInfo.end_time, sizeof callInfo.end_time) &&
              terminated(callInfo.account, sizeof callInfo.account) &&
              terminated(callInfo.number, sizeof callInfo.number) &&
              terminated(callInfo.direction, sizeof callInfo.direction) &&
              terminated(callInfo.result, sizeof callInfo.result) && terminated(callInfo.reason, sizeof callInfo.reason),
          "call record fields stay terminated");
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    record_runners();
    redisClient = nullptr;  // every send is dropped at once
    // Three accounts, the peer-to-peer account, relay and screen codes and
    // every beep on; no release is timed (no threads), and no /userdata, so
    // the call record's line is refused (the record target writes it).
    write_file("/etc/speaker.conf",
               "[system]\nhard_version = Ver3.2\n[ai_settings]\nenable = yes\n"
               "[relay_ctrl]\ntype = On\ncall_state = yes\nstate_info = both\nmode = hangup\ndtmf = yes\n"
               "dtmf_code = 123\n[screen_ctrl]\ntype = 1\ndtmf = yes\ndtmf_code = 3\nmode = answered\n"
               "[sip_function]\nanswer_local_beep = yes\nanswer_local_beep_file = answer.wav\n"
               "answer_local_beep_volume = 80\nanswer_remote_beep = yes\nanswer_remote_beep_file = a b.wav\n"
               "answer_remote_beep_volume = 60\nhangup_beep = yes\nhangup_beep_file = hangup.wav\n"
               "hangup_beep_volume = 70\n"
               "[account_info_1]\nenable = yes\nusername = 201\ndomain =\nserver = 192.168.1.10\n"
               "[account_info_2]\nenable = yes\nusername = 202\ndomain = sip.example.com\n"
               "[account_info_3]\nenable = yes\nusername = 203\nserver = h3\n"
               "[account_info_p2p]\nenable = yes\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        ProcessReply(nullptr);
        return 0;
    }
    const uint8_t control = data[0];
    const uint8_t shape = data[1];
    int before = kStatus[control & 7];
    BARESIP_STATUS.store(before);
    DEBUG.store((control >> 3) & 1);
    ACCOUNT1_REG.store((control >> 4) & 1);
    ACCOUNT2_REG.store((control >> 5) & 1);
    ACCOUNT3_REG.store((control >> 6) & 1);
    ACCOUNTP2P_REG.store((control >> 7) & 1);
    CURRENT_CALLS.store((shape >> 4) & 3);

    ReplyBuilder b;
    redisReply* reply;
    if ((shape & 3) <= 1 || size < 10) {
        std::string payload(reinterpret_cast<const char*>(data) + 2, size - 2);
        reply = b.message(payload);
        if ((shape & 3) == 1) {
            // the same message with a payload element of another kind
            static const int kTypes[] = {REDIS_REPLY_INTEGER, REDIS_REPLY_NIL, REDIS_REPLY_STATUS, REDIS_REPLY_ERROR};
            redisReply* p = reply->element[2];
            p->type = kTypes[(shape >> 2) & 3];
            if (p->type == REDIS_REPLY_INTEGER || p->type == REDIS_REPLY_NIL) {
                p->str = nullptr;
                p->len = 0;
            }
        }
    } else {
        FuzzedDataProvider tree(data + 2, 8);
        std::string payload(reinterpret_cast<const char*>(data) + 10, size - 10);
        reply = b.any(tree, payload);
    }
    ProcessReply(reply);
    check_state(before);
    DEBUG.store(0);
    return 0;
}
