// Names on the bus and the senders of the device's messages.
#pragma once
#include <cstddef>

struct redisContext;

constexpr const char* CONTROL_CHANNEL = "control-channel";
constexpr const char* OUTPUT_CHANNEL = "output-channel";
constexpr const char* SCREEN_CHANNEL = "screen-channel";
constexpr const char* VOLUME_EVENT_CHANNEL = "volume-event-channel";
constexpr const char* SESSION_CHANNEL = "session-channel";
constexpr const char* VOLUME_VALUE_CHANNEL = "volume-value-channel";
constexpr const char* WRITELOG_CHANNEL = "writelog-channel";

// target 0 pushes to "control-channel" (the SIP user agent), 1 to
// "output-channel" (the output controller). True when the push was made.
bool control_cmd(int target, const char* msg);
// Publishes on "screen-channel".
void screen_control(const char* msg);
// Publishes on "volume-event-channel".
void state_event(const char* msg);
// Asks the SIP user agent to play a sound file count times: the play command
// on "control-channel". A file name too long for the command is refused with
// one line on standard output.
void play_audio(const char* file, int count);

// ---- proof of life, for `callctl status` --------------------------------------
// A subscriber alone proves nothing (any client may subscribe). The daemon's
// listeners name their connections "callctld-<pid>-<role>" before they
// subscribe, and the input loop renews HEARTBEAT_KEY, holding the pid, with
// a time to live: a daemon that stops turning lets it expire.
constexpr const char* HEARTBEAT_KEY = "callctld-heartbeat";
enum { HEARTBEAT_TTL_MS = 4500 };
constexpr const char* SESSION_ROLE = "session";  // the SIP event listener
constexpr const char* VOLUME_ROLE = "volume";    // the volume-event listener

// "callctld-<pid>-<role>" into buf.
void bus_connection_name(char* buf, size_t size, long pid, const char* role);
// Names a private connection of this process (CLIENT SETNAME) before it
// subscribes; the reply is not looked at.
void bus_name_connection(redisContext* c, const char* role);
// Renews the heartbeat through the pool, without a message when no loan is
// possible. True when the server stored it.
bool bus_heartbeat();
