#ifndef BASE_BASE_MODULES_H
#define BASE_BASE_MODULES_H

#include "base/base_Export.h"

// Start-up and shut-down of the host's base-service modules. Each pair keeps a
// use counter of its own and moves the caller's module counter only on the first
// initialisation and the last finalisation.
QORKEL_API void atr_initialize(int& moduleCount); // strings, memory, translation, console, alerts
QORKEL_API void atr_finalize(int& moduleCount);
QORKEL_API void cow_initialize(int& moduleCount); // lists, maps, file path, sleeping
QORKEL_API void cow_finalize(int& moduleCount);
QORKEL_API void bas_initialize(int& moduleCount); // the further base module
QORKEL_API void bas_finalize(int& moduleCount);
QORKEL_API void xmp_initialize(int& moduleCount); // the XML parser
QORKEL_API void xmp_finalize(int& moduleCount);
QORKEL_API void utl_initialize(int& moduleCount); // exceptions, locks, command line, host name
QORKEL_API void utl_finalize(int& moduleCount);

// Reads a module's own use counter; for hosts and tests that check the pairing.
QORKEL_API int bas_moduleUseCount(const char* module);

#endif
