// The relay, the screen and the AI module line, with their timed releases.
// Every call reads its settings afresh from "/etc/speaker.conf"; the state
// kept here is the relay's On period and the timed releases in progress.
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
// At start-up, with "relay_ctrl:off_at_start" set to "yes" or a cap
// "relay_ctrl:max_on" set: the relay Off command and the row "FUNCTION",
// "RELAY OFF AT START", "" (once, also with both).
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

// What a timed release does once its wait is over: the relay (or the
// screen) off.
void relayDelayControl();
void screenDelayControl();

// Timed releases wait on the timer thread ("relay_ctrl:duration" or
// "screen_ctrl:duration" seconds, read when started). A relay release is
// started for a call (its order of arrival, 0 for none). Returns false when
// the timer could not be started (the caller reports it).
enum TimedRelease { RELAY_RELEASE, SCREEN_RELEASE };
bool start_timed_release(TimedRelease which, unsigned call = 0);
// A newer call switched the relay On: the releases started for the calls
// before it (and for none) have nothing left to release and end now.
void cancel_relay_releases_before(unsigned call);
// Timed releases and relay caps started and not finished yet.
int timed_releases_pending();
