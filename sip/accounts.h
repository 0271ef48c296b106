// The three numbered SIP accounts as the settings describe them.
#pragma once
#include <atomic>

struct SipAccount {
    const char* enable_key;
    const char* username_key;
    const char* domain_key;
    const char* server_key;
    std::atomic<int>* reg;       // its entry of the registration table
    const char* registered_fmt;  // log text when it registers, "%s" = identity
    const char* failed_fmt;      // log text when its registration fails
};

enum { SIP_ACCOUNTS = 3, IDENTITY_SIZE = 192, USERNAME_SIZE = 32, HOST_SIZE = 128 };

extern const SipAccount SIP_ACCOUNT[SIP_ACCOUNTS];

// True when the account's "enable" setting is "yes".
bool account_enabled(const SipAccount& a);
// The user name and the host (the domain, or the server when the domain is
// empty), each cut to its capacity.
void account_user_host(const SipAccount& a, char (&user)[USERNAME_SIZE], char (&host)[HOST_SIZE]);
// "sip:<user>@<host>".
void account_identity(const SipAccount& a, char (&identity)[IDENTITY_SIZE]);
// The account's status key on the bus: "baresip-call-status-<user>-<host>".
void account_status_key(const SipAccount& a, char (&key)[IDENTITY_SIZE]);
