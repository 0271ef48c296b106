// The relay, the screen and the AI module line, with their timed releases.
#pragma once

constexpr const char* RELAY_ID = "gpio112";

void relayControl(const char* relay, int on);
void screenControl(int on);
void ai_ctrl(int on);
// Timed releases: thread entries, started detached; the argument is ignored.
void* relayDelayControl(void* arg);
void* screenDelayControl(void* arg);
