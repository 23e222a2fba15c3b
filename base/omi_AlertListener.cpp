#include "base/omi_AlertListener.h"

#if defined(_WIN32)
#include <process.h>
#define qorkel_getpid _getpid
#else
#include <unistd.h>
#define qorkel_getpid getpid
#endif

omi_AlertListener::omi_AlertListener() : handle(static_cast<int>(qorkel_getpid())) {}

template <> omi_AlertListener& omi_Singleton<omi_AlertListener>::Instance() {
    static omi_AlertListener listener;
    return listener;
}
