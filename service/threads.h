// Short-lived and long-lived worker threads are all started the same way:
// default attributes, detached at once, never joined.
#pragma once

// Returns true when the thread was created.
bool start_detached(void* (*entry)(void*), void* arg);
