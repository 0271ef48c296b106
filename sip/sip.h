// The SIP event listener and what it drives.
#pragma once

struct redisReply;

// Listener thread entry: subscribes to "session-channel" on a private
// connection and hands every message to ProcessReply.
void* baresip_status(void* arg);
// The dispatcher: one subscription reply (may be NULL).
void ProcessReply(redisReply* reply);

// Loads the account registration table from the status keys on the bus.
void sip_reg_status_init();
int get_sip_status(const char* key);
