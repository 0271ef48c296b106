// Process start-up: the pool, the registration table and the worker threads.
#pragma once

#include "signals.h"

// Returns 1 when everything is started, 0 when a worker thread failed.
int init();

// Reads the command line: exactly one argument "debug" turns debug output on.
void read_command_line(int argc, char** argv);
