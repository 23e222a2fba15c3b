#ifndef IPM_IPM_SENDMESSAGE_H
#define IPM_IPM_SENDMESSAGE_H

/* The job's two reporting calls. Plain C, so that C and Fortran hosts can call
 * them; both always return 0 and never let a failure escape.
 *
 * type:     report type, e.g. "Started", "Error", "Warning"; null reports nothing
 * format:   blank-separated fields "key=%t", t one of i r s b e (upper case too)
 * integers, reals, texts: the field values, each consumed in order; an array the
 *           format does not use may be null */

#include "base/base_Export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Logs the report to the message file, applies the error and warning caps and
 * leaves it for the message task to deliver. Never waits on the network: only on
 * the local disk and on other reporting threads. */
QORKEL_API int ipm_sendMessage(const char* type, const char* format, const int* integers,
                               const double* reals, const char* const* texts);

/* Hands the report to the transport at once, on the calling thread: not logged,
 * not counted, not capped. Only a transport that is up takes it; while none is (not
 * set up yet, or failed and not back yet), or while the transport is stuck in a write
 * for more than a quarter of a second, the report is dropped without a word. The whole
 * call returns within 5 s, however slowly the monitor reads: a write still unfinished
 * then gives up, and the transport counts as failed. */
QORKEL_API int ipm_sendMessageDirect(const char* type, const char* format, const int* integers,
                                     const double* reals, const char* const* texts);

#ifdef __cplusplus
}
#endif

#endif
