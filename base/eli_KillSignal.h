#ifndef BASE_ELI_KILLSIGNAL_H
#define BASE_ELI_KILLSIGNAL_H

#include "base/base_Export.h"

// The kill hook. The library calls eli_setkillsig() when the monitor asks the job
// to stop. It records the request in a process-wide flag that the host polls, and
// calls the host's kill handler if one is installed.
//
// The handler runs on whichever library thread received the command, while that
// thread holds the transport's lock: it must only record the request (set a flag,
// signal an event) and return. Reporting from inside it would deadlock.
extern "C" {
QORKEL_API void eli_setkillsig(void);
QORKEL_API bool eli_getkillsig(void);
QORKEL_API void eli_resetkillsig(void);
QORKEL_API void eli_setkillhandler(void (*handler)(void));
}

#endif
