// The relay, the screen and the AI module line, with their timed releases.
// Every call reads its settings afresh from "/etc/speaker.conf"; nothing here
// keeps state apart from the count of timed releases in progress.
#pragma once

constexpr const char* RELAY_ID = "gpio112";

// Longest wait of a timed release, in seconds: the wait is held as a 32-bit
// count of microseconds, so longer (and negative) durations are clamped.
enum { RELEASE_MAX_SECONDS = 4294, SCREEN_ID_SIZE = 16 };

// A duration setting as whole seconds: leading decimal digits (none gives 0),
// clamped to 0..RELEASE_MAX_SECONDS; *clamped (when given) tells whether the
// value was outside.
unsigned release_seconds(const char* value, bool* clamped);
// The duration setting key ("relay_ctrl:duration", "screen_ctrl:duration")
// of "/etc/speaker.conf" as the timed release reads it.
unsigned release_setting(const char* key, bool* clamped);
// Reads the screen id "screen_ctrl:type" as the screen commands do.
void screen_setting(char (&id)[SCREEN_ID_SIZE]);
// Whether a screen id goes into the screen commands: one JSON number of at
// most 15 characters. Any other id is refused.
bool screen_id_ok(const char* id);

// Sends the relay On (with "relay_ctrl:type") or Off command on "output-channel".
// With "relay_ctrl:max_on" set to N seconds, an On that finds the relay off
// starts a cap: unless an Off comes first, the cap sends the Off after N
// seconds and logs "FUNCTION", "RELAY MAX ON", "<N>s".
void relayControl(const char* relay, int on);
// At start-up, with "relay_ctrl:off_at_start" set to "yes": the relay Off
// command and the row "FUNCTION", "RELAY OFF AT START", "".
void relay_off_at_start();
// Publishes the screen on/off command with the id "screen_ctrl:type". An id
// that is not a JSON number is refused with one line on standard output.
// True when the command was sent.
bool screenControl(int on);
// Publishes {"action": "<action>", "id": <id>} on "screen-channel" when id is
// one JSON number of at most 15 characters; otherwise prints
// "<setting> is not a number, screen command not sent: <id>" and sends
// nothing. True when sent.
bool screen_send(const char* action, const char* id, const char* setting);
// True when text is one JSON number (the form a screen id must have).
bool is_json_number(const char* text);
// Writes the AI module's enable line; switching on only when
// "ai_settings:enable" is "yes".
void ai_ctrl(int on);

// Timed releases: thread entries that wait the configured seconds, then switch
// the relay (or the screen) off. Start them with start_timed_release.
void* relayDelayControl(void* arg);
void* screenDelayControl(void* arg);

// Starts a timed release on a detached thread with default attributes.
// Returns false when the thread could not be created (the caller reports it).
bool start_timed_release(void* (*entry)(void*));
// Timed releases and relay caps started and not finished yet.
int timed_releases_pending();
