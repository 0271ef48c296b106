// The input loop over the call button and the reset input (active-low GPIO
// value files), with debounce and press classification.
#pragma once
#include <ctime>

// What a press triggers; the loop calls through this table so tests can
// record the calls. Defaults are the button functions.
struct InputActions {
    void (*keyAction)(int kind);
    void (*playBeep)();
    bool (*action_url)(const char* url);  // true when the request was sent
    void (*play_audio)(const char* file, int count);
};
InputActions set_input_actions(const InputActions& actions);
InputActions default_input_actions();

enum { DEBOUNCE_SAMPLES = 100, DEBOUNCE_PRESSED = 70 };
// The buffers of the call button's key actions: the URL of "http" and the
// sound file of "play"; a longer setting is cut to fit.
enum { KEY_HTTP_URL_SIZE = 256, KEY_AUDIO_FILE_SIZE = 32 };

// Takes 100 samples 1 ms apart; returns how many read '0' (pressed).
int debounce_samples(int fd);
bool debounce_pressed(int fd);

// The reset input's press time, and whether a press is recorded since the
// last release.
struct ResetState {
    time_t press_time = 0;
    bool pressed = false;
};

// Press kind for a reset hold of the given seconds: 3 above 10 s, 2 above
// 3 s, else 0 (only logged).
int reset_hold_kind(int seconds);

void on_call_button_press();
void on_reset_press(ResetState* st);
void on_reset_release(ResetState* st);

// Opens both inputs and runs for ever; returns -1 when poll fails.
int input_loop();
