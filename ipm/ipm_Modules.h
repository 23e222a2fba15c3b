#ifndef IPM_IPM_MODULES_H
#define IPM_IPM_MODULES_H

#include "base/base_Export.h"

// Start-up and shut-down. Each user of the library within the host calls
// QORKelCommunications_initialize once and QORKelCommunications_finalize once, from
// one thread; only the first start and the last stop do any work. The host's module
// counter rises by one for the library and by one for each module that starts.
QORKEL_API void QORKelCommunications_initialize(int& moduleCount);
QORKEL_API void QORKelCommunications_finalize(int& moduleCount);

// The reporting module. Its last finalisation stops a running message task (once
// the buffer is drained), waits until the task has left Run, and destroys the
// transmitter, which closes the transport and the message file.
QORKEL_API void ipm_initialize(int& moduleCount);
QORKEL_API void ipm_finalize(int& moduleCount);

#endif
