#ifndef BASE_THR_GLOBALSINGLETON_H
#define BASE_THR_GLOBALSINGLETON_H

#include "base/thr_GlobalSingletonBase.h"

// A process-wide object created on first use and destroyed on request (at
// library shut-down). A later Instance() after Destroy() creates a new one.
template <class T> class thr_GlobalSingleton : public thr_GlobalSingletonBase<T> {
public:
    static T& Instance();
    static void Destroy();
};

#endif
