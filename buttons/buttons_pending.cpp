// Placeholder bodies until the button functions land: a press is reported,
// nothing pretends to dial, beep or fire a request.
#include <cstdio>

#include "buttons.h"

void keyAction(int kind) { printf("keyAction(%d): button actions not available\n", kind); }
void play_audio(const char* file, int count) { printf("play_audio(%s, %d): not available\n", file, count); }
void playBeep() {}
void action_url(const char* url) { printf("action_url(%s): not available\n", url); }
void* checkReg(void*) { return nullptr; }
