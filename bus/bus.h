// Names on the bus and the senders of the device's messages.
#pragma once

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
