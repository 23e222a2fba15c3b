#ifndef BASE_THR_GLOBALLOCK_H
#define BASE_THR_GLOBALLOCK_H

#include "base/base_Export.h"

#include <mutex>

// The process-wide lock that guards creation and destruction of singletons.
// Recursive, because creating one singleton may touch another.
class QORKEL_API thr_GlobalLock {
public:
    thr_GlobalLock() = default;
    thr_GlobalLock(const thr_GlobalLock&) = delete;
    thr_GlobalLock& operator=(const thr_GlobalLock&) = delete;

    void Lock();
    void Unlock();

private:
    std::recursive_mutex mutex;
};

#include "base/omi_Singleton.h"

// One lock for the whole process, also when a host reaches it through its own
// copy of the template: the instance lives inside the library.
template <> QORKEL_API thr_GlobalLock& omi_Singleton<thr_GlobalLock>::Instance();

#endif
