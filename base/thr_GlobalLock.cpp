#include "base/thr_GlobalLock.h"

void thr_GlobalLock::Lock() {
    mutex.lock();
}

void thr_GlobalLock::Unlock() {
    mutex.unlock();
}

template <> thr_GlobalLock& omi_Singleton<thr_GlobalLock>::Instance() {
    static thr_GlobalLock lock;
    return lock;
}
