#include "base/thr_ThreadExitHook.h"

#include <pthread.h>

static_assert(sizeof(pthread_key_t) <= sizeof(unsigned long), "a thread key does not fit");

thr_ThreadExitHook::thr_ThreadExitHook(void (*onExit)(void* value)) : key(0), made(false) {
    pthread_key_t created;
    if (pthread_key_create(&created, onExit) == 0) {
        key = static_cast<unsigned long>(created);
        made = true;
    }
}

thr_ThreadExitHook::~thr_ThreadExitHook() {
    if (made)
        pthread_key_delete(static_cast<pthread_key_t>(key));
}

bool thr_ThreadExitHook::Arm(void* value) {
    return made && pthread_setspecific(static_cast<pthread_key_t>(key), value) == 0;
}
