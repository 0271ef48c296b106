#include "outputs.h"

void relayControl(const char*, int) {}
void screenControl(int) {}
void ai_ctrl(int) {}
void* relayDelayControl(void*) { return nullptr; }
void* screenDelayControl(void*) { return nullptr; }
