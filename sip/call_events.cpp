// The call-event requests to the building's automation, each switched on by
// its own setting.
#include <cstdio>
#include <cstring>

#include "action_url.h"
#include "oplog.h"
#include "device.h"
#include "settings.h"
#include "sip.h"
#include "text.h"

namespace {

// Whole-transfer limit of a call-event request, in seconds.
constexpr int kRequestMaxTime = 10;

// Fills a placeholder with a value from the call, percent-encoded.
bool fill_call_value(char* url, const char* placeholder, const char* value) {
    if (strstr(url, placeholder) == nullptr) return true;
    char encoded[ACTION_URL_MAX + 1];
    // a value longer than a URL may hold cannot fit in any case
    if (percent_encode(encoded, sizeof encoded, value) >= sizeof encoded) {
        printf("action url longer than %d characters after filling in %s, request not sent\n", ACTION_URL_MAX,
               placeholder);
        return false;
    }
    return url_fill(url, placeholder, encoded);
}

}  // namespace

void call_action_request(const char* event, const CallInfo& call) {
    char key[64];
    char enable[8];
    str_format(key, sizeof key, "call_action_url:%s_enable", event);
    GetCmdValue(dev::SPEAKER_CONF, key, enable);
    if (!is_yes(enable)) return;
    str_format(key, sizeof key, "call_action_url:%s_url", event);
    char url[ACTION_URL_TEMPLATE_CAP];
    if (!url_template(key, url) || !url_fill_device(url)) return;

    // the reason and the duration belong to a closed call; other events
    // leave them empty
    bool closed = strcmp(event, "closed") == 0;
    char duration[16];
    str_format(duration, sizeof duration, "%d", static_cast<int>(call.duration));
    if (!fill_call_value(url, "${number}", call.number) || !fill_call_value(url, "${account}", call.account) ||
        !fill_call_value(url, "${direction}", call.direction) ||
        !fill_call_value(url, "${reason}", closed ? call.reason : "") ||
        !fill_call_value(url, "${duration}", closed ? duration : ""))
        return;
    if (!action_url_fired(url, kRequestMaxTime)) return;
    writeLog("FUNCTION", "CALL ACTION URL", event);
}
