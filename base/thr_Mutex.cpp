#include "base/thr_Mutex.h"

thr_Mutex::thr_Mutex(int) {}

void thr_Mutex::Lock() {
    mutex.lock();
}

void thr_Mutex::Unlock() {
    mutex.unlock();
}

bool thr_Mutex::TryLock() {
    return mutex.try_lock();
}
