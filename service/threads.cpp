#include "threads.h"

#include <pthread.h>

bool start_detached(void* (*entry)(void*), void* arg) {
    pthread_t t;
    if (pthread_create(&t, nullptr, entry, arg) != 0) return false;
    pthread_detach(t);
    return true;
}
