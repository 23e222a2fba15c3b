#ifndef BASE_THR_MUTEX_H
#define BASE_THR_MUTEX_H

#include "base/base_Export.h"

#include <mutex>

// The host's mutex. Not recursive. The constructor's argument is the host's
// spin count hint, which this implementation does not need.
class QORKEL_API thr_Mutex {
public:
    explicit thr_Mutex(int spinCount = 0);
    thr_Mutex(const thr_Mutex&) = delete;
    thr_Mutex& operator=(const thr_Mutex&) = delete;

    void Lock();
    void Unlock();
    bool TryLock();

private:
    std::mutex mutex;
};

#endif
