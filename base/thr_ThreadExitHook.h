#ifndef BASE_THR_THREADEXITHOOK_H
#define BASE_THR_THREADEXITHOOK_H

#include "base/base_Export.h"

// Calls a function when a thread that armed the hook ends, with the value that thread gave.
// The call may come after the thread's own thread-local objects are gone (with emulated
// thread-local storage they go first), so the value must carry all the function needs.
class QORKEL_API thr_ThreadExitHook {
public:
    explicit thr_ThreadExitHook(void (*onExit)(void* value));
    thr_ThreadExitHook(const thr_ThreadExitHook&) = delete;
    thr_ThreadExitHook& operator=(const thr_ThreadExitHook&) = delete;
    ~thr_ThreadExitHook();

    // For the calling thread; false when the hook could not be made or armed.
    bool Arm(void* value);

private:
    unsigned long key;
    bool made;
};

#endif
