#ifndef BASE_QORBASUTLSLEEP_H
#define BASE_QORBASUTLSLEEP_H

#include "base/base_Export.h"

// Suspends the calling thread for the given number of milliseconds.
QORKEL_API void QORBasUtlsleep(int milliseconds);

#endif
