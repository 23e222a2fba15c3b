#ifndef BASE_UTL_HOSTNAME_H
#define BASE_UTL_HOSTNAME_H

#include "base/base_Export.h"
#include "base/cow_String.h"

// Name of the machine the job runs on.
QORKEL_API cow_String utl_getHostName();

#endif
