#include "debug.h"

std::atomic<int> DEBUG{0};
