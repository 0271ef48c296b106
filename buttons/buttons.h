// What presses of the call button and holds of the reset input do.
#pragma once

// Press kinds: 1 call button (key action "call"), 2 reset held 4..10 s,
// 3 reset held more than 10 s.
void keyAction(int kind);
// Asks the SIP user agent to play a sound file count times.
void play_audio(const char* file, int count);
// The key beep of every call-button press.
void playBeep();
// Fires one HTTP GET for url in the background.
void action_url(const char* url);
// The registration watchdog (thread entry).
void* checkReg(void* arg);
