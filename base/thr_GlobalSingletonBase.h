#ifndef BASE_THR_GLOBALSINGLETONBASE_H
#define BASE_THR_GLOBALSINGLETONBASE_H

#include <atomic>

class thr_Mutex;

// Storage of a process-wide singleton: the instance pointer and the mutex that
// serialises its creation. The members are defined in thr_GlobalSingletonImpl.h
// and instantiated once, inside the library, so that a host sees the same object.
template <class T> class thr_GlobalSingletonBase {
public:
    // The existing object, or null; never creates one.
    static T* Instance();

protected:
    static std::atomic<T*> instance;
    static std::atomic<thr_Mutex*> creationMutex;
};

#endif
