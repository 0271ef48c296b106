// The debug switch: set once at start when the command line is exactly
// "debug"; every diagnostic marked as debug output is printed only when set.
#pragma once
#include <atomic>

extern std::atomic<int> DEBUG;

inline bool debug_on() { return DEBUG.load(std::memory_order_relaxed) != 0; }
