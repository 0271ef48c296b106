#include "accounts.h"

#include "call_state.h"
#include "device.h"
#include "settings.h"
#include "text.h"

const SipAccount SIP_ACCOUNT[SIP_ACCOUNTS] = {
    {"account_info_1:enable", "account_info_1:username", "account_info_1:domain",
     "account_info_1:server", &ACCOUNT1_REG, "Primary SIP Account <%s>",
     "Primary Account REGISTER FAILED <%s>"},
    {"account_info_2:enable", "account_info_2:username", "account_info_2:domain",
     "account_info_2:server", &ACCOUNT2_REG, "Secondary SIP Account-1 <%s>",
     "Secondary Account-1 REGISTER FAILED <%s>"},
    {"account_info_3:enable", "account_info_3:username", "account_info_3:domain",
     "account_info_3:server", &ACCOUNT3_REG, "Secondary SIP Account-2 <%s>",
     "Secondary Account-2 REGISTER FAILED <%s>"},
};

bool account_enabled(const SipAccount& a) {
    char enable[8];
    GetCmdValue(dev::SPEAKER_CONF, a.enable_key, enable);
    return is_yes(enable);
}

void account_user_host(const SipAccount& a, char (&user)[USERNAME_SIZE], char (&host)[HOST_SIZE]) {
    GetCmdValue(dev::SPEAKER_CONF, a.username_key, user);
    GetCmdValue(dev::SPEAKER_CONF, a.domain_key, host);
    if (host[0] == '\0') GetCmdValue(dev::SPEAKER_CONF, a.server_key, host);
}

void account_identity(const SipAccount& a, char (&identity)[IDENTITY_SIZE]) {
    char user[USERNAME_SIZE];
    char host[HOST_SIZE];
    account_user_host(a, user, host);
    str_format(identity, sizeof identity, "sip:%s@%s", user, host);
}
