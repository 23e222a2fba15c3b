#include "platform/platform_Thread.h"

#include <new>
#include <pthread.h>
#include <system_error>
#include <thread>

namespace platform_thread {

struct Thread {
    std::thread thread;
};

Thread* start(void (*body)(void*), void* argument) {
    Thread* started = new (std::nothrow) Thread;
    if (started == nullptr)
        return nullptr;
    try {
        started->thread = std::thread(body, argument);
    } catch (const std::system_error&) {
        delete started;
        return nullptr;
    }
    return started;
}

void join(Thread* thread) {
    if (thread == nullptr)
        return;
    if (thread->thread.joinable())
        thread->thread.join();
    delete thread;
}

// Exit handlers run from exit() while every thread still runs, or from dlclose() for a thread
// that needs no lock of the dynamic loader to end.
bool exitHandlersMayWait() {
    return true;
}

void atFork(void (*prepare)(), void (*parent)(), void (*child)()) {
    pthread_atfork(prepare, parent, child);
}

} // namespace platform_thread
