#ifndef IPM_IPM_STARTREPORTING_H
#define IPM_IPM_STARTREPORTING_H

/* Brings reporting up and down with one call each. Plain C, so that C and Fortran hosts
 * can call them; none lets a failure escape. Includes the reporting calls as well.
 *
 *   if (ipm_startReporting(argc, argv) != IPM_REPORTING_ON)   (main's arguments)
 *       ...the library has said why on stderr; reporting calls stay safe
 *   ipm_sendMessage("Started", ...);
 *   while (... && !ipm_killRequested())
 *       ...
 *   ipm_stopReporting();
 */

#include "base/base_Export.h"
#include "ipm/ipm_sendMessage.h"

/* The answers of ipm_startReporting. */
/* Every report is written to the message file <indir>/<job>.ipm and, when -msgserver or
 * -direct_port names a monitor, delivered to it. */
#define IPM_REPORTING_ON 0
/* Nothing is written or delivered: no -job, -message missing or NONE, a job name that is
 * not a plain file name, or no transport and no message file. */
#define IPM_REPORTING_OFF 1
/* Reports are written to the message file but not delivered: -direct_port or -msgserver is
 * not valid, or the delivery thread could not be started. */
#define IPM_DELIVERY_OFF 2
/* Reports are delivered but not written: the message file cannot be written in -indir. */
#define IPM_RECORDING_OFF 3
/* The library could not start completely (out of memory); the reporting calls stay safe. */
#define IPM_START_FAILED 4

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the job's options (argc 0 or argv null: the options the library already has, which
 * are the process's own command line unless a C++ host set others), starts the library and
 * picks the transport: -msgserver (Jabber), else -direct_port (a direct connection), else
 * none (the message file only). A delivery thread of the library's own then connects, and
 * keeps trying, without ever holding the caller. Answers one of the codes above; for each
 * thing that is off, one line on stderr names the option to fix.
 *
 * Call it once, before the job's threads report; a second call while reporting is up
 * changes nothing and answers what the first one did. A report made before it is recorded
 * under the options the library had then. (A C++ host that installs a transport and runs
 * ipm_MessageTask itself does not call it.) */
/* argv as main has it: C converts char** to char* const* without a cast (as for execv), but
 * not to const char* const*, which C++ takes from char** and const char** alike. Either way
 * the library only reads the arguments. */
#ifdef __cplusplus
QORKEL_API int ipm_startReporting(int argc, const char* const* argv);
#else
QORKEL_API int ipm_startReporting(int argc, char* const* argv);
#endif

/* Asks the delivery thread to deliver what waits and end, giving it IPM_SHUTDOWN_SECONDS
 * (default 30) before it gives up (a monitor that is away meanwhile is tried again every
 * quarter of a second); says goodbye to the monitor over Jabber, closes the message file and
 * shuts the library down. Call it once the job's threads have stopped reporting. Safe without
 * a start, and twice. A job that ends without it still leaves, without a hang and with its
 * message file complete (every report is written when it is made): on POSIX, exit() delivers
 * what waited when it began, within the same deadline, while threads that go on reporting
 * are recorded only and keep everything they use; a Windows DLL cannot wait for its thread at
 * exit, so there what waits for delivery is dropped at once. Called from the kill handler,
 * which runs on the delivery thread, it does nothing.
 *
 * In a child made by fork() reporting goes on into the message file, but nothing is delivered
 * and nothing touches the parent's connection; the child may leave by exit(), _exit() or this
 * call followed by exit(). */
QORKEL_API void ipm_stopReporting(void);

/* 1 once the monitor has sent Kill (for the rest of the process), 0 before. For hosts that
 * poll; a C++ host may install a handler with eli_setkillhandler instead. */
QORKEL_API int ipm_killRequested(void);

#ifdef __cplusplus
}
#endif

#endif
