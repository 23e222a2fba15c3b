#ifndef IPM_IPM_MODULES_H
#define IPM_IPM_MODULES_H

#include "base/base_Export.h"

// Start-up and shut-down. Each user of the library within the host calls
// QORKelCommunications_initialize once and QORKelCommunications_finalize once, from
// one thread; only the first start and the last stop do any work. The host's module
// counter rises by one for the library and by one for each module that starts.
QORKEL_API void QORKelCommunications_initialize(int& moduleCount);
QORKEL_API void QORKelCommunications_finalize(int& moduleCount);

// The reporting module. Its last finalisation asks the message task to stop and gives it
// IPM_SHUTDOWN_SECONDS (default 30) to deliver what waits, also when its Run has not begun
// yet; then makes it give up, waits until it has left Run, and destroys the transmitter,
// which closes the transport and the message file. Every report is in the file by then.
QORKEL_API void ipm_initialize(int& moduleCount);
QORKEL_API void ipm_finalize(int& moduleCount);

#endif
