#ifndef BASE_THR_GLOBALSINGLETONIMPL_H
#define BASE_THR_GLOBALSINGLETONIMPL_H

// Included only by the one source file that instantiates a singleton, with
// QORKEL_INSTANTIATE_GLOBAL_SINGLETON(T). T's header declares the instantiation
// extern and exported, so hosts use the library's copy.

#include "base/omi_Singleton.h"
#include "base/thr_GlobalLock.h"
#include "base/thr_GlobalSingleton.h"
#include "base/thr_LockGuard.h"
#include "base/thr_Mutex.h"

template <class T> std::atomic<T*> thr_GlobalSingletonBase<T>::instance{nullptr};
template <class T> std::atomic<thr_Mutex*> thr_GlobalSingletonBase<T>::creationMutex{nullptr};

template <class T> T* thr_GlobalSingletonBase<T>::Instance() {
    return instance.load(std::memory_order_acquire);
}

template <class T> T& thr_GlobalSingleton<T>::Instance() {
    if (T* existing = thr_GlobalSingletonBase<T>::instance.load(std::memory_order_acquire))
        return *existing;
    thr_Mutex* mutex;
    {
        thr_LockGuard<thr_GlobalLock> global(omi_Singleton<thr_GlobalLock>::Instance());
        mutex = thr_GlobalSingletonBase<T>::creationMutex.load();
        if (mutex == nullptr) {
            mutex = new thr_Mutex(0);
            thr_GlobalSingletonBase<T>::creationMutex.store(mutex);
        }
    }
    thr_LockGuard<thr_Mutex> creation(*mutex);
    T* object = thr_GlobalSingletonBase<T>::instance.load(std::memory_order_acquire);
    if (object == nullptr) {
        object = new T; // registered only once fully constructed
        thr_GlobalSingletonBase<T>::instance.store(object, std::memory_order_release);
    }
    return *object;
}

template <class T> void thr_GlobalSingleton<T>::Destroy() {
    thr_Mutex* mutex;
    {
        thr_LockGuard<thr_GlobalLock> global(omi_Singleton<thr_GlobalLock>::Instance());
        mutex = thr_GlobalSingletonBase<T>::creationMutex.load();
    }
    if (mutex == nullptr) {
        // Never created through Instance(): nothing can be registered.
        return;
    }
    mutex->Lock();
    delete thr_GlobalSingletonBase<T>::instance.exchange(nullptr);
    thr_LockGuard<thr_GlobalLock> global(omi_Singleton<thr_GlobalLock>::Instance());
    mutex->Unlock();
    delete mutex;
    thr_GlobalSingletonBase<T>::creationMutex.store(nullptr);
}

#define QORKEL_INSTANTIATE_GLOBAL_SINGLETON(T)                                                     \
    template class thr_GlobalSingletonBase<T>;                                                     \
    template class thr_GlobalSingleton<T>

#endif
